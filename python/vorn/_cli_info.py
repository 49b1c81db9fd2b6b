"""``vorn info NAME``: what a recording's metadata says."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from ._recording import RecordingInfo, metadata_path, recording_info
from .cli import emit, human_bytes

_LISTED = 10  # gaps and errors shown in prose; --json has them all


def describe(path: str, info: RecordingInfo) -> str:
    def where(entries: list[str], total: int) -> str:
        more = f", ... {total - len(entries)} more" if total > len(entries) else ""
        return ", ".join(entries) + more

    source = f"{info.plugin or '(plug-in not recorded)'} {info.device!r}" if info.device is not None else \
        info.plugin or "(device not recorded)"
    samples = "bytes" if info.dtype is None else f"{info.dtype} x {info.channels} channels"
    runs = ", ".join(f"{count} x {size}" for size, count in info.chunk_sizes[:_LISTED])
    dropped = sum(gap.dropped for gap in info.gaps)
    lines = [
        f"{path}: {'complete' if info.complete else 'INCOMPLETE: ' + (info.problem or 'unknown')}",
        f"  source:   {source}, stream address {info.address}",
        f"  stream:   chunk size {info.chunk_size or 'the device default'}, "
        f"{'not aligned' if info.alignment is None else f'aligned to {info.alignment}'}; samples: {samples}",
        f"  started:  {info.start}, for {info.duration:.3f} s",
        f"  data:     {info.bytes} bytes ({human_bytes(info.bytes)}) in {info.chunks} chunks"
        + (f" ({runs}{', ...' if len(info.chunk_sizes) > _LISTED else ''})" if runs else ""),
        f"  gaps:     {len(info.gaps)} ({dropped} events dropped)" + (": " + where(
            [f"at {gap.offset} ({gap.dropped})" for gap in info.gaps[:_LISTED]], len(info.gaps)) if info.gaps else ""),
        f"  errors:   {len(info.errors)}" + (": " + where(
            [f"at {error.offset}: {error.text!r}" for error in info.errors[:_LISTED]], len(info.errors))
            if info.errors else ""),
        f"  metadata: {metadata_path(path)}",
    ]
    return "\n".join(lines)


def cmd_info(args: argparse.Namespace, out: TextIO) -> int:
    info = recording_info(args.name)  # OSError, ValueError: one line, exit 1
    emit(args, out, info.to_json(), lambda doc: describe(args.name, info))
    return 0


def add_command(command: Any) -> None:
    sub = command("info", cmd_info, "show a recording's metadata (NAME.json), checked against the data file "
                  "NAME", device=None, with_json=True)
    sub.add_argument("name", metavar="NAME", help="the data file of a recording made by 'vorn record'")
