"""Reading a stream without writing a callback: a blocking and an async
iterator over its chunks, with live counters.

Threads: the stream's callback runs on the module's worker thread and never
blocks it. It puts chunks into a bounded buffer, from which the reader's
thread (or event loop) takes them. When the buffer is full, a chunk is
dropped and counted, like the module's own overflow notices, so a slow
reader costs bounded memory and every loss shows in the stats.
"""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import math
import numbers
import threading
import time
from typing import Any, Final

import pyvorn_device

from ._samples import Framer, SampleFormat

__all__ = ["OVERFLOW_NOTICE", "StreamReader", "StreamStats", "read_stream"]

OVERFLOW_NOTICE: Final = "Queue Overflow, dropping event"
_KEPT_ERROR_TEXTS = 8
_END: Final = object()  # take() result: nothing will come any more
Marks = tuple[str | int, ...]  # error texts and counts of dropped events, in stream order


def _seconds(name: str, value: float | None, *, low: float | None = None, strict: bool = False) -> float | None:
    """A time in seconds as the waits take it: None for no limit (also for
    inf and anything a lock cannot wait for). Raises ValueError for nan and
    for a value below ``low`` (or at it, when ``strict``), TypeError for what
    is not a number."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of seconds or None, got {value!r}")
    if math.isnan(value) or (low is not None and (value <= low if strict else value < low)):
        bound = "" if low is None else f" {'above' if strict else 'of at least'} {low:g}"
        raise ValueError(f"{name} must be a number of seconds{bound} or None, got {value!r}")
    return None if value >= threading.TIMEOUT_MAX else float(value)


@dataclasses.dataclass(frozen=True)
class StreamStats:
    """A snapshot of a stream's counters."""

    chunks: int = 0  # chunks handed to the reader
    bytes: int = 0  # their bytes
    dropped: int = 0  # events lost on the way: overflow notices, and chunks that found the buffer full
    errors: int = 0  # error texts the device sent (overflow notices are counted as dropped instead)
    error_texts: tuple[str, ...] = ()  # the last few of those texts
    ended: bool = False  # the device sent its end marker: nothing more will come
    buffered: int = 0  # chunks received and not handed out yet
    partial_bytes: int = 0  # typed streams: bytes that made no whole frame (cut by a gap or the end)


class _Sink:
    """The stream's callback and the buffer behind it.

    Called on the stream's worker thread; everything else runs on the reader's
    side. All state is guarded by ``lock``. Holds no reference to its reader,
    so a reader that nobody holds any more is collected, which stops its
    stream.
    """

    def __init__(self, copy: bool, max_chunks: int, max_bytes: int, framer: Framer | None = None,
                 keep_marks: bool = False):
        self.lock = threading.Lock()
        self.ready = threading.Condition(self.lock)
        self.copy = copy  # DataViews die with the callback: keep copies
        self.max_chunks = max_chunks
        self.max_bytes = max_bytes
        self.framer = framer
        # Each chunk with the number of events dropped before it in the stream,
        # and what came between it and the chunk before: error texts, and
        # counts of dropped events, in stream order.
        self.items: collections.deque[tuple[memoryview, int, Marks]] = collections.deque()
        self.keep_marks = keep_marks  # off, marks stay empty
        self.marks: list[str | int] = []  # since the last chunk kept
        self.marks_before_taken: Marks = ()  # those of the chunk (or end) last taken
        self.nbytes = 0
        self.chunks = 0
        self.bytes = 0
        self.dropped = 0
        self.dropped_before_taken = 0  # events dropped before the chunk (or end) last taken
        self.errors = 0
        self.error_texts: collections.deque[str] = collections.deque(maxlen=_KEPT_ERROR_TEXTS)
        self.ended = False
        self.closed = False
        # The future an async reader awaits, and its loop; set while it waits.
        self.waiter: asyncio.Future[None] | None = None
        self.loop: asyncio.AbstractEventLoop | None = None

    def __call__(self, chunk: Any, error: str | None) -> None:
        with self.lock:
            if self.closed:
                return
            if chunk is not None:
                view = memoryview(chunk)
                size = view.nbytes
                if len(self.items) >= self.max_chunks or (self.items and self.nbytes + size > self.max_bytes):
                    self._drop()
                    return
                if self.copy:
                    view = memoryview(view.tobytes())
                if self.framer is not None and (view := self.framer.push(view)) is None:
                    return  # part of a frame, held until the rest comes
                self.items.append((view, self.dropped, tuple(self.marks) if self.marks else ()))
                self.marks.clear()
                self.nbytes += view.nbytes
            elif error == OVERFLOW_NOTICE:
                self._drop()
                return
            elif error is not None:
                self.errors += 1
                self.error_texts.append(error)
                if self.keep_marks:
                    self.marks.append(error)
                return
            else:
                self.ended = True
                if self.framer is not None:
                    self.framer.end()
            self._wake()

    def _drop(self) -> None:
        """Counts a lost event. Lock held."""
        self.dropped += 1
        if self.keep_marks:
            if self.marks and isinstance(self.marks[-1], int):
                self.marks[-1] += 1
            else:
                self.marks.append(1)
        if self.framer is not None:
            self.framer.gap()

    def _wake(self) -> None:
        """Wakes the reader, whichever way it waits. Lock held."""
        self.ready.notify_all()
        waiter, self.waiter = self.waiter, None
        if waiter is not None and self.loop is not None:
            try:
                self.loop.call_soon_threadsafe(_resolve, waiter)
            except RuntimeError:  # the loop is closed: nobody waits any more
                pass

    def take(self) -> memoryview | object | None:
        """The next chunk, _END, or None when nothing is there yet. Lock held."""
        if self.items:
            item, self.dropped_before_taken, self.marks_before_taken = self.items.popleft()
            self.nbytes -= item.nbytes
            self.chunks += 1
            self.bytes += item.nbytes
            return item
        if self.closed:
            return _END
        if self.ended:
            self.dropped_before_taken = self.dropped
            self.marks_before_taken, self.marks = tuple(self.marks), []
            return _END
        return None

    def close(self) -> None:
        with self.lock:
            self.closed = True
            self.items.clear()
            self.nbytes = 0
            self._wake()

    def stats(self) -> StreamStats:
        with self.lock:
            return StreamStats(self.chunks, self.bytes, self.dropped, self.errors, tuple(self.error_texts),
                               self.ended, len(self.items), self.framer.partial if self.framer else 0)


def _resolve(waiter: asyncio.Future[None]) -> None:
    if not waiter.done():
        waiter.set_result(None)


class StreamReader:
    """A running stream read through iteration; made by :func:`read_stream`.

    ``for chunk in reader`` and ``async for chunk in reader`` yield each chunk
    as a ``memoryview`` that is the reader's to keep, and end after the
    device's end marker or :meth:`close`. One consumer at a time. ``stats``
    is live. Leaving a ``with`` or ``async with`` block closes the reader.
    """

    def __init__(self, stream: pyvorn_device.DataStream, sink: _Sink, timeout: float | None):
        self._stream: pyvorn_device.DataStream | None = stream
        self._sink = sink
        self.timeout = timeout

    @property
    def stats(self) -> StreamStats:
        return self._sink.stats()

    @property
    def dropped_before_last(self) -> int:
        """How many events were dropped in the stream before the chunk last
        handed out; once the iterator has reached the end marker, all of them.
        Unlike ``stats.dropped``, drops behind the reader's position do not
        count: this tells whether what was read so far has a gap."""
        with self._sink.lock:
            return self._sink.dropped_before_taken

    @property
    def closed(self) -> bool:
        return self._stream is None

    def next_chunk(self, timeout: float | None = None) -> memoryview | None:
        """The next chunk, waiting at most ``timeout`` seconds (None: no limit)
        for it; None once the stream has ended or the reader is closed.
        Raises TimeoutError when nothing arrived in time."""
        chunks = self.next_chunks(timeout, max_chunks=1)
        return chunks[0] if chunks else None

    def next_chunks(self, timeout: float | None = None, max_chunks: int | None = None,
                    max_bytes: int | None = None) -> list[memoryview]:
        """The chunks waiting in the buffer, in order, at least one: waits at
        most ``timeout`` seconds for the first, then takes more while fewer
        than ``max_chunks`` chunks and ``max_bytes`` bytes are taken. Empty
        once the stream has ended or the reader is closed. Raises TimeoutError
        when nothing arrived in time. Taking many chunks at once lets a
        consumer that gives up the GIL per call (a file writer) keep up.
        ``timeout`` None or inf waits without a limit; nan raises ValueError."""
        return self._take(timeout, max_chunks, max_bytes, None)

    def _take(self, timeout: float | None, max_chunks: int | None, max_bytes: int | None,
              marks: list[Marks] | None) -> list[memoryview]:
        """next_chunks(), also adding to ``marks`` what came before each chunk
        taken (for a sink that keeps marks); after the end, marks_at_end()
        holds what came after the last chunk."""
        limit = _seconds("timeout", timeout)
        deadline = None if limit is None else time.monotonic() + limit
        sink = self._sink
        with sink.ready:
            while (item := sink.take()) is None:
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    raise TimeoutError(f"no stream data for {timeout} s")
                sink.ready.wait(remaining)
            if item is _END:
                return []
            chunks: list[memoryview] = [item]  # type: ignore[list-item]
            size = chunks[0].nbytes
            if marks is not None:
                marks.append(sink.marks_before_taken)
            while (sink.items and (max_chunks is None or len(chunks) < max_chunks)
                   and (max_bytes is None or size < max_bytes)):
                chunks.append(sink.take())  # type: ignore[arg-type]
                size += chunks[-1].nbytes
                if marks is not None:
                    marks.append(sink.marks_before_taken)
        return chunks

    def _marks_at_end(self) -> Marks:
        with self._sink.lock:
            return self._sink.marks_before_taken

    def close(self) -> None:
        """Stops the stream and drops what is still buffered. Waits for the
        device to stop, like ``DataStream.stop()``. Idempotent."""
        self._sink.close()
        stream, self._stream = self._stream, None
        if stream is not None:
            stream.stop()

    async def aclose(self) -> None:
        """close() for an event loop: the device's stop runs on a worker thread."""
        self._sink.close()
        if self._stream is not None:
            await asyncio.to_thread(self.close)

    def __iter__(self) -> StreamReader:
        return self

    def __next__(self) -> memoryview:
        chunk = self.next_chunk(self.timeout)
        if chunk is None:
            self.close()
            raise StopIteration
        return chunk

    def __aiter__(self) -> StreamReader:
        return self

    async def __anext__(self) -> memoryview:
        loop = asyncio.get_running_loop()
        sink = self._sink
        limit = _seconds("timeout", self.timeout)
        deadline = None if limit is None else loop.time() + limit
        while True:
            waiter: asyncio.Future[None] | None = None
            with sink.lock:
                item = sink.take()
                if item is None:
                    waiter = sink.waiter = loop.create_future()
                    sink.loop = loop
            if waiter is None:
                if item is _END:
                    await self.aclose()
                    raise StopAsyncIteration
                return item  # type: ignore[return-value]
            remaining = None if deadline is None else deadline - loop.time()
            try:
                await asyncio.wait_for(waiter, remaining)
            except TimeoutError:
                raise TimeoutError(f"no stream data for {self.timeout} s") from None
            finally:
                with sink.lock:
                    if sink.waiter is waiter:
                        sink.waiter = None

    def __enter__(self) -> StreamReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> StreamReader:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "running"
        return f"<vorn.StreamReader {state} {self.stats}>"


def read_stream(
    device: pyvorn_device.Device,
    addr: int,
    *,
    chunk_size: int = 0,
    alignment: int | None = None,
    dtype: str | None = None,
    channels: int = 1,
    max_queue_elements: int = 4096,
    max_buffered_chunks: int = 4096,
    max_buffered_bytes: int = 64 << 20,
    timeout: float | None = None,
) -> StreamReader:
    """Starts a read stream at ``addr`` and returns a :class:`StreamReader`.

    ``chunk_size`` and ``max_queue_elements`` go to the device's stream as
    with ``Device.start_read_stream``; with ``alignment``, the stream is
    aligned (``start_aligned_read_stream``) and every chunk is a copy. At most
    ``max_buffered_chunks`` chunks and ``max_buffered_bytes`` bytes (at least
    one chunk) wait for the reader; past that, chunks are dropped and counted.
    ``timeout`` bounds each wait of the iterators (TimeoutError); None or inf
    is no limit, and nan raises ValueError before the stream starts.

    With ``dtype`` (such as ``"<i2"``, see :class:`SampleFormat`), each chunk
    is a typed view of shape (frames, channels) holding whole frames only: a
    chunk of whole frames is viewed in place, a frame split across chunks is
    joined in a copy, the part of a frame before a gap is left out, and
    ``stats.partial_bytes`` counts what made no whole frame. An ``alignment``
    must then be a whole number of frames (ValueError otherwise).

    Raises what the device's stream start raises, and RuntimeError when the
    device starts no stream.
    """
    return _start(device, addr, chunk_size, alignment, None if dtype is None else SampleFormat.parse(dtype, channels),
                  max_queue_elements, max_buffered_chunks, max_buffered_bytes, timeout)


def _start(device: pyvorn_device.Device, addr: int, chunk_size: int, alignment: int | None,
           fmt: SampleFormat | None, max_queue_elements: int, max_buffered_chunks: int, max_buffered_bytes: int,
           timeout: float | None, keep_marks: bool = False) -> StreamReader:
    """read_stream() with a parsed sample format; ``keep_marks`` makes the
    reader keep every error text and drop in its place (for a recording)."""
    _seconds("timeout", timeout)
    if max_buffered_chunks < 1 or max_buffered_bytes < 0:
        raise ValueError(f"buffer limits must allow one chunk, got {max_buffered_chunks} chunks, "
                         f"{max_buffered_bytes} bytes")
    if fmt is not None and alignment is not None:
        fmt.check_whole(alignment, "alignment")
    sink = _Sink(alignment is not None, max_buffered_chunks, max_buffered_bytes,
                 None if fmt is None else Framer(fmt), keep_marks)
    if alignment is None:
        stream = device.start_read_stream(addr, sink, chunk_size=chunk_size, max_queue_elements=max_queue_elements)
    else:
        stream = device.start_aligned_read_stream(addr, alignment, sink, chunk_size=chunk_size,
                                                  max_queue_elements=max_queue_elements)
    if stream is None:
        raise RuntimeError(f"{device!r} started no stream at address {addr}")
    return StreamReader(stream, sink, timeout)
