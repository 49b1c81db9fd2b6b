"""The metadata of a recording: the JSON file NAME.json beside the data file
NAME, which says what made the data and where its gaps and errors fall.

Written by :func:`vorn.record` when the recording ends, atomically (a
temporary file in the same folder, synced, then renamed over NAME.json), so
a reader sees either the old file or the whole new one. Read back, and
checked against the data file, by :func:`recording_info`, ``vorn info`` and
the ``replay`` plug-in.
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import os
import tempfile
from typing import Any

from ._samples import SampleFormat

__all__ = ["FORMAT", "VERSION", "DeviceError", "Gap", "RecordingInfo", "metadata_path", "recording_info"]

FORMAT = "vorn-recording"
VERSION = 1
MAX_METADATA_BYTES = 64 << 20  # a larger file is refused (the replay plug-in has the same limit)


@dataclasses.dataclass(frozen=True)
class Gap:
    offset: int  # bytes of data before it
    dropped: int  # events lost there


@dataclasses.dataclass(frozen=True)
class DeviceError:
    offset: int
    text: str


@dataclasses.dataclass(frozen=True)
class RecordingInfo:
    """What NAME.json says; see the README for each key."""

    plugin: str | None
    device: str | None
    device_info: str | None
    address: int
    chunk_size: int
    alignment: int | None
    dtype: str | None
    channels: int | None
    start: str  # UTC, ISO 8601
    duration: float  # seconds
    bytes: int
    chunks: int
    chunk_sizes: tuple[tuple[int, int], ...]  # (size, count): runs of chunks of one size, in order
    gaps: tuple[Gap, ...]
    errors: tuple[DeviceError, ...]
    complete: bool
    problem: str | None

    def sample_format(self, dtype: str | None = None, channels: int | None = None) -> SampleFormat | None:
        """The samples as recorded (None when the recording says nothing
        and no dtype is given), or as ``dtype`` and ``channels`` say, which
        must then agree with the recording's byte order and frame size
        (ValueError)."""
        recorded = None if self.dtype is None else SampleFormat.parse(self.dtype, self.channels or 1)
        if dtype is None:
            return recorded if channels is None or recorded is None else SampleFormat.parse(recorded.dtype, channels)
        asked = SampleFormat.parse(dtype, channels or (recorded.channels if recorded else 1))
        if recorded is not None and "|" not in (recorded.dtype[0], asked.dtype[0]) \
                and recorded.dtype[0] != asked.dtype[0]:
            raise ValueError(f"byte order mismatch: the recording's samples are {recorded.dtype!r}, "
                             f"not {asked.dtype!r}")
        if recorded is not None and recorded.frame_size != asked.frame_size:
            raise ValueError(f"frame size mismatch: the recording's frames are {recorded.frame_size} bytes "
                             f"({recorded.dtype!r} x {recorded.channels}), not {asked.frame_size} "
                             f"({asked.dtype!r} x {asked.channels})")
        return asked

    def to_json(self) -> dict[str, Any]:
        doc: dict[str, Any] = {"format": FORMAT, "version": VERSION}
        doc.update(dataclasses.asdict(self))
        doc["chunk_sizes"] = [{"size": size, "count": count} for size, count in self.chunk_sizes]
        doc["gaps"] = [dataclasses.asdict(gap) for gap in self.gaps]
        doc["errors"] = [dataclasses.asdict(error) for error in self.errors]
        return doc

    @classmethod
    def from_json(cls, doc: object) -> RecordingInfo:
        """Raises ValueError naming the first key that is missing or wrong."""
        if not isinstance(doc, dict):
            raise ValueError("not a JSON object")
        if doc.get("format") != FORMAT or doc.get("version") != VERSION:
            raise ValueError(f"format {doc.get('format')!r} version {doc.get('version')!r}, "
                             f"expected {FORMAT!r} version {VERSION}")

        def get(key: str, kind: type, optional: bool = False) -> Any:
            value = doc.get(key)
            if value is None and optional and key in doc:
                return None
            if not _valid(value, kind):
                raise ValueError(f"key {key!r}: missing or not a valid value: {value!r}")
            return value

        def entries(key: str, fields: tuple[str, str], kinds: tuple[type, type]) -> list[tuple[Any, Any]]:
            found = []
            for entry in get(key, list):
                pair = [entry.get(f) for f in fields] if isinstance(entry, dict) and set(entry) == set(fields) else []
                if not (pair and all(map(_valid, pair, kinds))):
                    raise ValueError(f"key {key!r}: not a valid entry: {entry!r}")
                found.append(tuple(pair))
            return found

        info = cls(get("plugin", str, True), get("device", str, True), get("device_info", str, True),
                   get("address", int), get("chunk_size", int), get("alignment", int, True), get("dtype", str, True),
                   get("channels", int, True), get("start", str), float(get("duration", float)), get("bytes", int),
                   get("chunks", int), tuple(entries("chunk_sizes", ("size", "count"), (int, int))),
                   tuple(Gap(*g) for g in entries("gaps", ("offset", "dropped"), (int, int))),
                   tuple(DeviceError(*e) for e in entries("errors", ("offset", "text"), (int, str))),
                   get("complete", bool), get("problem", str, True))
        info._check()
        return info

    def _check(self) -> None:
        if any(size < 0 or count < 1 for size, count in self.chunk_sizes):
            raise ValueError("key 'chunk_sizes': sizes must not be negative, counts must be positive")
        if sum(count for _, count in self.chunk_sizes) != self.chunks:
            raise ValueError(f"key 'chunk_sizes' counts {sum(n for _, n in self.chunk_sizes)} chunks, "
                             f"key 'chunks' says {self.chunks}")
        if sum(size * count for size, count in self.chunk_sizes) != self.bytes:
            raise ValueError(f"key 'chunk_sizes' adds up to {sum(s * n for s, n in self.chunk_sizes)} bytes, "
                             f"key 'bytes' says {self.bytes}")
        for key, offsets in (("gaps", [g.offset for g in self.gaps]), ("errors", [e.offset for e in self.errors])):
            if offsets != sorted(offsets) or any(not 0 <= offset <= self.bytes for offset in offsets):
                raise ValueError(f"key {key!r}: offsets must be in order and at most {self.bytes}")
        if any(gap.dropped < 1 for gap in self.gaps):
            raise ValueError("key 'gaps': each gap drops at least one event")


def _valid(value: object, kind: type) -> bool:
    """A JSON value of the kind: numbers not negative (a float may be an
    int), no bool for a number."""
    if kind in (int, float):
        return (isinstance(value, int) or (kind is float and isinstance(value, float))) \
            and not isinstance(value, bool) and value >= 0
    return isinstance(value, kind)


def metadata_path(path: str | os.PathLike[str]) -> str:
    """Where the metadata of the data file at ``path`` lives: NAME.json."""
    return os.fspath(path) + ".json"


def format_metadata(doc: dict[str, Any]) -> str:
    """The JSON text: one key a line."""
    lines = (f"  {json.dumps(key)}: {json.dumps(value, ensure_ascii=False)}" for key, value in doc.items())
    return "{\n" + ",\n".join(lines) + "\n}\n"


def write_metadata(path: str, info: RecordingInfo) -> None:
    """Writes the file atomically: a temporary file beside it, synced, then
    renamed over it, then the folder synced."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with open(fd, "w", encoding="utf-8") as file:
            file.write(format_metadata(info.to_json()))
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    try:
        folder_fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(folder_fd)
    except OSError:
        pass
    finally:
        os.close(folder_fd)


def recording_info(path: str | os.PathLike[str]) -> RecordingInfo:
    """The metadata of the recording whose data file is at ``path``, read
    from NAME.json and checked against the data file. Raises OSError when a
    file cannot be read, ValueError when the metadata is not valid (truncated,
    too large, a key missing or wrong) or does not agree with the data file."""
    name = metadata_path(path)
    with open(name, "rb") as file:
        text = file.read(MAX_METADATA_BYTES + 1)
    if len(text) > MAX_METADATA_BYTES:
        raise ValueError(f"{name}: larger than {MAX_METADATA_BYTES} bytes")
    try:
        info = RecordingInfo.from_json(json.loads(text))
    except (ValueError, UnicodeDecodeError) as error:
        raise ValueError(f"{name}: not valid recording metadata: {error}") from None
    size = os.path.getsize(path)
    if size != info.bytes:
        raise ValueError(f"{name} says {info.bytes} bytes, but {os.fspath(path)} has {size}")
    return info


class RecordingLog:
    """What a recording wrote, kept as it writes: the chunk sizes (as runs),
    and each gap and error at the byte offset where it falls."""

    def __init__(self) -> None:
        self.start = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="microseconds")
        self.offset = 0
        self.runs: list[list[int]] = []
        self.chunks = 0
        self.gaps: list[Gap] = []
        self.errors: list[DeviceError] = []
        self.dropped = 0

    def marks(self, marks: tuple[str | int, ...]) -> None:
        """Error texts and counts of dropped events at the current offset."""
        for mark in marks:
            if isinstance(mark, str):
                self.errors.append(DeviceError(self.offset, mark))
            else:
                self.gaps.append(Gap(self.offset, mark))
                self.dropped += mark

    def chunk(self, size: int) -> None:
        if self.runs and self.runs[-1][0] == size:
            self.runs[-1][1] += 1
        else:
            self.runs.append([size, 1])
        self.offset += size
        self.chunks += 1

    def info(self, **source: Any) -> RecordingInfo:
        """The metadata; ``source`` gives the keys that describe the device,
        the stream and the outcome."""
        return RecordingInfo(bytes=self.offset, chunks=self.chunks, chunk_sizes=tuple((s, n) for s, n in self.runs),
                             gaps=tuple(self.gaps), errors=tuple(self.errors), start=self.start, **source)
