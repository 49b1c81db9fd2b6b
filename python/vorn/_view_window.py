"""The data behind the live view: the last frames of a typed stream, and
their decimation to one (min, max) pair per pixel column and channel, which
keeps a one-frame spike visible however many frames a column covers."""

from __future__ import annotations

import collections
import math
import threading
import time
from typing import Any

from ._samples import SampleFormat, cast_view
from ._streams import StreamStats

__all__ = ["FrameWindow", "decimate"]

MAX_COLUMNS = 4096


def decimate(values: list[Any], columns: int) -> tuple[list[Any], list[Any]]:
    """The min and max of each of ``columns`` equal runs of values (fewer
    columns when there are fewer values). Non-finite floats become None."""
    count = len(values)
    columns = min(columns, count)
    lows, highs = [], []
    for column in range(columns):
        run = values[column * count // columns:(column + 1) * count // columns]
        lows.append(min(run))
        highs.append(max(run))
    if values and isinstance(values[0], float):
        lows = [v if math.isfinite(v) else None for v in lows]
        highs = [v if math.isfinite(v) else None for v in highs]
    return lows, highs


class FrameWindow:
    """The last ``frames`` frames of a stream, added by one thread and
    snapshotted by others (all under one lock), with the rate of the bytes
    added over the last second or so."""

    def __init__(self, fmt: SampleFormat, frames: int):
        self.fmt = fmt
        self.frames = frames
        self.lock = threading.Lock()
        self.views: collections.deque[memoryview] = collections.deque()  # flat, one sample each
        self.held = 0  # frames in views
        self.total = 0  # frames ever added
        self.arrivals: collections.deque[tuple[float, int]] = collections.deque()  # (time, bytes)

    def add(self, view: memoryview) -> None:
        """A typed view of shape (frames, channels)."""
        flat = cast_view(view.cast("B"), self.fmt.format)
        now = time.monotonic()
        with self.lock:
            self.views.append(flat)
            self.held += len(flat) // self.fmt.channels
            self.total += len(flat) // self.fmt.channels
            while self.views and self.held - len(self.views[0]) // self.fmt.channels >= self.frames:
                self.held -= len(self.views.popleft()) // self.fmt.channels
            self.arrivals.append((now, view.nbytes))
            while self.arrivals and now - self.arrivals[0][0] > 2.0:
                self.arrivals.popleft()

    def rate(self) -> float:
        """Bytes per second added over the last second (0 when none came)."""
        now = time.monotonic()
        with self.lock:
            recent = sum(size for at, size in self.arrivals if now - at <= 1.0)
        return float(recent)

    def snapshot(self, columns: int, stats: StreamStats) -> dict[str, Any]:
        """What the page draws: per channel the min and max of each column
        over the last frames, with the stream's counters."""
        with self.lock:
            views = list(self.views)
            total = self.total
        channels = self.fmt.channels
        parts, needed = [], self.frames * channels  # the last samples, from the newest view back
        for flat in reversed(views):
            if needed <= 0:
                break
            parts.append((flat[-needed:] if len(flat) > needed else flat).cast("B"))
            needed -= len(flat)
        samples = cast_view(memoryview(b"".join(reversed(parts))), self.fmt.format).tolist() if parts else []
        lows, highs = [], []
        for channel in range(channels):
            low, high = decimate(samples[channel::channels], max(1, min(columns, MAX_COLUMNS)))
            lows.append(low)
            highs.append(high)
        return {"dtype": self.fmt.dtype, "channels": channels, "frames": len(samples) // channels,
                "window": self.frames, "min": lows, "max": highs,
                "stats": {"chunks": stats.chunks, "bytes": stats.bytes, "frames": total, "dropped": stats.dropped,
                          "errors": stats.errors, "error_texts": list(stats.error_texts), "ended": stats.ended,
                          "partial_bytes": stats.partial_bytes, "rate": self.rate()}}
