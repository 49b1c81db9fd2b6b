"""Recording a stream to a file on a writer thread."""

from __future__ import annotations

import collections
import dataclasses
import os
import stat
import threading
import time
from typing import Any, Callable, Literal

import pyvorn_device

from ._recording import RecordingLog, metadata_path, write_metadata
from ._samples import SampleFormat
from ._streams import Marks, StreamReader, _seconds, _start

__all__ = ["RecordStats", "record"]

_IOV_MAX = 1024  # buffers per writev call (the Linux limit)
_KEPT_ERROR_TEXTS = 8


@dataclasses.dataclass(frozen=True)
class RecordStats:
    """What a recording wrote. ``reached`` says whether it got as far as
    asked (the byte count, the time limit, or the end of the stream) with no
    failure; ``complete`` also needs no gap. ``problem`` says what is missing
    (None when complete). While recording, ``reached`` is False and
    ``problem`` None."""

    path: str
    bytes: int = 0  # bytes in the file
    chunks: int = 0  # chunks written (the last one possibly in part)
    dropped: int = 0  # events dropped in the recorded part of the stream: the file has gaps
    errors: int = 0  # error texts the device sent
    error_texts: tuple[str, ...] = ()  # the last few of them
    ended: bool = False  # the stream sent its end marker
    elapsed: float = 0.0  # seconds since the stream started
    reached: bool = False
    problem: str | None = None
    metadata: str | None = None  # the metadata file written (NAME.json), if any

    @property
    def complete(self) -> bool:
        return self.reached and not self.dropped

    @property
    def rate(self) -> float:
        """Bytes per second written."""
        return self.bytes / self.elapsed if self.elapsed > 0 else 0.0


class _Writer:
    """Takes chunks from the reader and writes them, on its own thread.

    Its counters are read from the calling thread for progress reports;
    ``stop`` may be called from any thread. ``done`` is set as the very last
    thing the thread does, once the file is synced and closed: the one thing
    to wait for (``Thread.join`` interrupted by Ctrl+C may take a running
    thread for a finished one).
    """

    def __init__(self, reader: StreamReader, path: str, file, seconds: float | None, nbytes: int | None,
                 idle_timeout: float | None, metadata: str | None, source: dict[str, Any]):
        self.reader = reader
        self.path = path
        self.file = file
        self.seconds = seconds
        self.nbytes = nbytes
        self.idle_timeout = idle_timeout
        self.metadata = metadata
        self.source = source  # the metadata's keys that describe the device and the stream
        self.log = RecordingLog()
        self.start = time.monotonic()
        self.end: float | None = None
        self.written = 0
        self.problems: list[str] = []
        self.finished = False  # reached nbytes, the time limit, or the end of the stream
        self.stopped = False  # another thread ended the recording
        self.stop_problem: str | None = None  # what that left missing, if anything
        self.done = threading.Event()
        # Whether run() has begun, or will never begin (abandon()).
        self.claim = threading.Lock()
        self.begun = self.abandoned = False

    def stop(self, problem: str | None) -> None:
        """Ends the recording; ``problem`` None makes it a requested end. The
        first call's problem counts; calling it again closes the reader again,
        in case an interrupt cut the first call short."""
        if not self.stopped:
            self.stop_problem = problem
            self.stopped = True
        self.reader.close()

    def abandon(self) -> bool:
        """For a thread whose start a Ctrl+C cut short: if run() has not
        begun, it never will; this closes what it would have closed. False
        when run() has begun (and will set ``done`` itself)."""
        with self.claim:
            if self.begun:
                return False
            self.abandoned = True
        self.finished = self.stopped and self.stop_problem is None
        try:
            self.file.close()
        finally:
            self.reader.close()
            self.end = time.monotonic()
            self._write_metadata()
            self.done.set()
        return True

    def run(self) -> None:
        with self.claim:
            if self.abandoned:
                return
            self.begun = True
        try:
            self._write_all()
        except OSError as error:
            self.problems.append(f"write failed: {error}")
        except BaseException as error:  # reported in the stats, never lost with the thread
            self.problems.append(f"recording failed: {error!r}")
        finally:
            try:
                try:
                    # Only a regular file can be synced; a pipe, a terminal or
                    # /dev/null has nothing to flush (and fsync says EINVAL).
                    if stat.S_ISREG(os.fstat(self.file.fileno()).st_mode):
                        os.fsync(self.file.fileno())
                finally:
                    self.file.close()
            except OSError as error:
                if not any(problem.startswith("write failed") for problem in self.problems):
                    self.problems.append(f"write failed: {error}")
            finally:
                try:
                    self.reader.close()
                finally:
                    self.end = time.monotonic()
                    self._write_metadata()
                    self.done.set()

    def _write_metadata(self) -> None:
        """Writes NAME.json for what the file holds now. Never raises: a
        failure is one more problem of the recording."""
        if self.metadata is None:
            return
        try:
            stats = self.stats(final=True)
            info = self.log.info(**self.source, duration=round(stats.elapsed, 6), complete=stats.complete,
                                 problem=stats.problem)
            write_metadata(self.metadata, info)
        except Exception as error:  # the data file stays; say why its metadata is missing
            self.problems.append(f"metadata write failed: {error}")
            self.metadata = None

    def _write_all(self) -> None:
        deadline = None if self.seconds is None else self.start + self.seconds
        while self.nbytes is None or self.written < self.nbytes:
            wait = self.idle_timeout
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                wait = left if wait is None else min(wait, left)
            marks: list[Marks] = []
            try:
                chunks = self.reader._take(wait, _IOV_MAX, None if self.nbytes is None else self.nbytes - self.written,
                                           marks)
            except TimeoutError:
                if deadline is not None and time.monotonic() >= deadline:
                    break
                self.problems.append(f"no data for {self.idle_timeout:g} s")
                return
            if not chunks:
                if not self.stopped:
                    self.log.marks(self.reader._marks_at_end())  # what came after the last chunk
                if not self.stopped and self.nbytes is not None:
                    self.problems.append(f"the stream ended after {self.written} of {self.nbytes} bytes")
                self.finished = self.nbytes is None if not self.stopped else self.stop_problem is None
                return
            if self.nbytes is not None and self.written + sum(c.nbytes for c in chunks) > self.nbytes:
                chunks[-1] = chunks[-1][: self.nbytes - self.written - sum(c.nbytes for c in chunks[:-1])]
            self._write(chunks, marks)
        self.finished = not self.stopped or self.stop_problem is None

    def _write(self, chunks: list[memoryview], marks: list[Marks]) -> None:
        """Writes the chunks in order with as few system calls as it takes,
        each of which releases the GIL once. Logs each chunk begun, after the
        marks before it; should a write fail within a chunk, with the part of
        it that was written."""
        fd = self.file.fileno()
        pending = collections.deque(chunks)
        index = 0  # of the chunk in pending[0]
        begun = 0  # bytes of it written before pending[0]
        try:
            while pending:
                written = os.writev(fd, pending)
                self.written += written
                while pending and written >= pending[0].nbytes:
                    written -= pending[0].nbytes
                    self.log.marks(marks[index])
                    self.log.chunk(begun + pending.popleft().nbytes)
                    index, begun = index + 1, 0
                if written:
                    pending[0] = pending[0][written:]
                    begun += written
        finally:
            if begun:
                self.log.marks(marks[index])
                self.log.chunk(begun)

    def stats(self, final: bool = False) -> RecordStats:
        stream = self.reader.stats
        end = self.end if self.end is not None else time.monotonic()
        reached, problem = False, None
        if final:
            problems = ([self.stop_problem] if self.stop_problem is not None else []) + self.problems
            reached = self.finished and not problems
            if self.log.dropped:
                problems.insert(0, f"{self.log.dropped} events dropped: the file has gaps")
            problem = "; ".join(problems) or None
        errors = self.log.errors
        return RecordStats(self.path, self.written, self.log.chunks, self.log.dropped, len(errors),
                           tuple(error.text for error in errors[-_KEPT_ERROR_TEXTS:]), stream.ended,
                           end - self.start, reached, problem, self.metadata)


def record(
    device: pyvorn_device.Device,
    path: str | os.PathLike[str] | int,
    *,
    addr: int = 0,
    seconds: float | None = None,
    nbytes: int | None = None,
    chunk_size: int = 0,
    alignment: int | None = None,
    max_queue_elements: int = 4096,
    max_buffered_chunks: int = 4096,
    max_buffered_bytes: int = 64 << 20,
    idle_timeout: float | None = 10.0,
    progress: Callable[[RecordStats], object] | None = None,
    progress_interval: float = 0.25,
    dtype: str | None = None,
    channels: int = 1,
    metadata: str | os.PathLike[str] | Literal[False] | None = None,
    plugin: str | None = None,
    device_text: str | None = None,
) -> RecordStats:
    """Records the stream at ``addr`` into the file at ``path`` (replaced),
    or into an open file descriptor (an ``int``, such as 1 for stdout: written
    from its current position and left open; ``stats.path`` is "<fd N>").

    Stops after ``nbytes`` bytes (the last chunk is cut), after ``seconds``,
    at the end of the stream, or when no data came for ``idle_timeout``
    seconds, whichever comes first; None or inf is no limit. Ctrl+C
    (KeyboardInterrupt) also ends it: as asked when there is no limit, short
    of it ("interrupted") otherwise; a second Ctrl+C while the writer
    finishes gives up waiting for it and raises KeyboardInterrupt. The file
    is written on a writer thread, synced to disk (``fsync``, for a regular
    file) and closed before this returns. ``progress`` is called with the
    running stats every ``progress_interval`` seconds (above 0; inf: never)
    on the calling thread. The stream options are those of
    :func:`read_stream`.

    When it ends (also after Ctrl+C or a failed write), the recording's
    metadata is written as JSON (see :class:`RecordingInfo`): to
    ``metadata``, by default NAME.json beside a regular file NAME (an older
    one is removed when the recording starts); for a file descriptor, a pipe
    or a device such as /dev/null only when ``metadata`` names a file;
    ``False`` writes none. ``plugin`` and
    ``device_text`` say there what the device is; ``dtype`` and
    ``channels`` what its samples are (the data is written as it comes, so
    ``nbytes`` and ``alignment`` must then be whole frames: ValueError).

    Returns the stats: ``complete`` says whether the file holds everything
    asked for without a gap, ``problem`` what is missing if not (drops are
    counted, and recording goes on after them). Raises, with no file left
    behind, only when an argument is wrong (ValueError, also for a nan time),
    the stream cannot start or the file cannot be opened.
    """
    if nbytes is not None and nbytes < 0:
        raise ValueError(f"nbytes must not be negative, got {nbytes}")
    seconds_left = _seconds("seconds", seconds, low=0)
    idle_wait = _seconds("idle_timeout", idle_timeout, low=0)
    interval = _seconds("progress_interval", progress_interval, low=0, strict=True)
    fmt = None if dtype is None else SampleFormat.parse(dtype, channels)
    if fmt is not None:
        for what, value in (("nbytes", nbytes), ("alignment", alignment)):
            if value is not None:
                fmt.check_whole(value, what)
    metadata_file = None if metadata is None or metadata is False else os.fspath(metadata)
    try:
        device_info = device.get_info()
    except Exception:  # a description only
        device_info = None
    reader = _start(device, addr, chunk_size, alignment, None, max_queue_elements, max_buffered_chunks,
                    max_buffered_bytes, None, keep_marks=True)
    try:
        file = open(path, "wb", buffering=0, closefd=not isinstance(path, int))
        if metadata is None and not isinstance(path, int) and stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            metadata_file = metadata_path(path)  # beside a regular file, not beside a pipe or a device
        if metadata_file is not None and os.path.lexists(metadata_file):
            try:
                os.unlink(metadata_file)  # it describes what the file held before
            except OSError:
                pass  # writing the new one will fail too, and say so in the stats
    except BaseException:
        reader.close()
        raise
    name = f"<fd {path}>" if isinstance(path, int) else os.fspath(path)
    source = dict(plugin=plugin, device=device_text, device_info=device_info, address=addr, chunk_size=chunk_size,
                  alignment=alignment, dtype=None if fmt is None else fmt.dtype,
                  channels=None if fmt is None else fmt.channels)
    writer = _Writer(reader, name, file, seconds_left, nbytes, idle_wait, metadata_file, source)
    try:
        # Inside the try: Ctrl+C can arrive while start() waits for the thread.
        threading.Thread(target=writer.run, name="vorn-record", daemon=True).start()
        while not writer.done.wait(interval):
            if progress is not None:
                progress(writer.stats())
    except KeyboardInterrupt:
        # The way to end a recording without a limit; one with a limit falls short.
        _stop_and_wait(writer, None if seconds_left is None and nbytes is None else "interrupted")
    except BaseException:
        _stop_and_wait(writer, "the progress report failed")
        raise
    return writer.stats(final=True)


def _stop_and_wait(writer: _Writer, problem: str | None) -> None:
    """Stops the writer and waits until it is done (at once when its thread
    never began). A KeyboardInterrupt while stopping repeats the stop; one
    while waiting for a stopped writer (which only has to finish its last
    write and sync) gives up and propagates."""
    while True:
        try:
            writer.stop(problem)
            writer.abandon()
            break
        except KeyboardInterrupt:
            continue
    writer.done.wait()
