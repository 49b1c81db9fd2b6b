"""Typed samples: stream bytes seen as frames of ``channels`` numbers each.

A sample format is a NumPy-style type string: an optional byte order
(``<`` little, ``>`` big, ``=`` native, ``|`` none, for 1-byte types), a
kind (``i`` signed, ``u`` unsigned integer, ``f`` floating point) and a size
in bytes (1, 2, 4 or 8 for integers, 4 or 8 for floats): ``"<i2"``,
``">f8"``, ``"u1"``. A typed view is a ``memoryview`` with the native
``struct`` format of that type and the shape ``(frames, channels)``, so
``numpy.asarray(view)`` takes it without a copy. Data in the other byte order
is swapped into a copy; data in the native order is viewed in place.
"""

from __future__ import annotations

import array
import dataclasses
import re
import sys

__all__ = ["Framer", "SampleFormat", "cast_view", "samples"]

# (kind, size) -> the struct format character of the native type.
_FORMATS = {("i", 1): "b", ("u", 1): "B", ("i", 2): "h", ("u", 2): "H", ("i", 4): "i", ("u", 4): "I",
            ("i", 8): "q", ("u", 8): "Q", ("f", 4): "f", ("f", 8): "d"}
_NATIVE = "<" if sys.byteorder == "little" else ">"
# An array type code of each size, for byte swapping.
_SWAP_CODES = {array.array(code).itemsize: code for code in "hiq"}


@dataclasses.dataclass(frozen=True)
class SampleFormat:
    """A sample type and a channel count; made by :meth:`parse`."""

    dtype: str  # the canonical type string: "<i2", ">f8", "|u1"
    channels: int
    format: str  # the native struct format of one sample: "h", "d", "B"
    itemsize: int
    swap: bool  # the data's byte order is not the native one

    @property
    def frame_size(self) -> int:
        """Bytes per frame: one sample of every channel."""
        return self.itemsize * self.channels

    @classmethod
    def parse(cls, dtype: str, channels: int = 1) -> SampleFormat:
        """Raises ValueError (TypeError for what is not a str or an int)
        naming the unsupported type or channel count."""
        if not isinstance(dtype, str):
            raise TypeError(f"dtype must be a type string such as '<i2', got {dtype!r}")
        if isinstance(channels, bool) or not isinstance(channels, int):
            raise TypeError(f"channels must be an int, got {channels!r}")
        match = re.fullmatch(r"([<>=|]?)([iuf])([1248])", dtype)
        kind_size = (match[2], int(match[3])) if match else None
        if match is None or kind_size not in _FORMATS:
            raise ValueError(f"unsupported dtype {dtype!r}: use a byte order (<, >, =), a kind (i, u, f) and a "
                             "size (1, 2, 4, 8 for integers; 4, 8 for floats), such as '<i2' or '>f8'")
        order, (kind, size) = match[1], kind_size
        if size == 1:
            order = "|"
        elif order in ("", "=", "|"):
            if order == "|":
                raise ValueError(f"dtype {dtype!r}: a {size}-byte type needs a byte order (<, > or =)")
            order = _NATIVE
        if not 1 <= channels <= 1 << 16:
            raise ValueError(f"channels must be from 1 to 65536, got {channels}")
        return cls(f"{order}{kind}{size}", channels, _FORMATS[kind, size], size, order not in ("|", _NATIVE))

    def check_whole(self, nbytes: int, what: str) -> None:
        """Raises ValueError unless nbytes is a whole number of frames."""
        if nbytes % self.frame_size:
            raise ValueError(f"frame size mismatch: {what} {nbytes} is not a whole number of {self.frame_size}-byte "
                             f"frames ({self.dtype} x {self.channels} channels)")


def cast_view(view: memoryview, format: str, shape: tuple[int, ...] | None = None) -> memoryview:
    """memoryview.cast with a format known only at run time."""
    return view.cast(format) if shape is None else view.cast(format, shape)  # type: ignore[call-overload]


def samples(data: object, fmt: SampleFormat) -> memoryview:
    """The bytes of ``data`` (any contiguous buffer) as a typed view of shape
    (frames, channels): in place when the byte order is native, else a
    swapped copy. Raises ValueError when they are not whole frames."""
    raw = memoryview(data).cast("B")  # type: ignore[arg-type]
    fmt.check_whole(raw.nbytes, "a buffer of")
    if raw.nbytes == 0:  # memoryview cannot have an empty dimension
        return cast_view(memoryview(array.array(fmt.format)).cast("B"), fmt.format)
    if fmt.swap:
        swapped = array.array(_SWAP_CODES[fmt.itemsize])
        swapped.frombytes(raw)
        swapped.byteswap()
        raw = memoryview(swapped).cast("B")
    return cast_view(raw, fmt.format, (raw.nbytes // fmt.frame_size, fmt.channels))


class Framer:
    """Re-cuts a stream's chunks into whole frames, in stream order.

    A chunk that starts on a frame boundary and holds whole frames is viewed
    in place; a frame split across chunks is joined in a copy of the chunk it
    completes. ``gap()`` forgets the part of a frame held from before a gap
    (what follows a gap is taken to start a frame). ``partial`` counts the
    bytes that made no whole frame: held at a gap, or at the end.
    """

    def __init__(self, fmt: SampleFormat):
        self.fmt = fmt
        self.held = b""
        self.partial = 0

    def push(self, chunk: object) -> memoryview | None:
        """The typed view of the whole frames this chunk completes, or None."""
        raw = memoryview(chunk).cast("B")  # type: ignore[arg-type]
        size = self.fmt.frame_size
        if self.held:
            raw = memoryview(self.held + raw)
        cut = raw.nbytes - raw.nbytes % size
        self.held = bytes(raw[cut:])
        return samples(raw[:cut], self.fmt) if cut else None

    def gap(self) -> None:
        self.partial += len(self.held)
        self.held = b""

    def end(self) -> None:
        self.gap()
