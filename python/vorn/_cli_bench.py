"""``vorn bench``: a short throughput run of a device: register reads,
block reads at address 0 and a stream, each over the time it took after a
warm-up. It writes nothing to the device."""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any, Callable, TextIO

import pyvorn_device as pv

from ._streams import read_stream
from .cli import Failure, emit, human_bytes, one_line, open_device, parse_seconds, parse_size, parse_u32, size_parser

_WARM_UP = 0.1  # seconds of each measurement that do not count


def _timed(step: Callable[[], int], seconds: float) -> tuple[int, int, float]:
    """Calls step for a warm-up, then again for ``seconds``: how often, the
    sum of what it returned, and the time it took."""
    def run(limit: float) -> tuple[int, int, float]:
        calls = total = 0
        start = time.perf_counter()
        while (elapsed := time.perf_counter() - start) < limit:
            total += step()
            calls += 1
        return calls, total, elapsed

    run(_WARM_UP)
    return run(seconds)


def _bench_stream(args: argparse.Namespace, device: pv.Device) -> tuple[dict[str, Any], str]:
    """The stream's figures, and their prose: the bytes of the chunks taken
    after the warm-up over the time between taking the first and the last of
    them; for a stream that ended within the warm-up, all of it over the
    time from the start to its end marker."""
    try:
        reader = read_stream(device, args.addr, chunk_size=args.chunk_size)
    except MemoryError as error:
        raise Failure(f"cannot allocate the stream's memory (chunk size {args.chunk_size}): "
                      f"{str(error) or 'out of memory'}") from None
    except RuntimeError as error:
        return {"unavailable": one_line(str(error))}, f"n/a ({one_line(str(error))})"
    with reader:
        start = time.perf_counter()
        warmed = start + min(_WARM_UP, args.seconds / 4)
        # (time, bytes, chunks) at the last chunk of the warm-up, and at the
        # last one after it.
        mark = last = None
        total = count = 0
        while (left := start + args.seconds - time.perf_counter()) > 0:
            try:
                chunk = reader.next_chunk(left)
            except TimeoutError:
                break
            now = time.perf_counter()
            if chunk is None:
                if mark is not None and last is None:
                    mark, last = (start, 0, 0), (now, total, count)
                break
            total, count = total + len(chunk), count + 1
            if mark is None or now < warmed:
                mark = (now, total, count)
            else:
                last = (now, total, count)
        stats = reader.stats
    ended = f"; the stream ended after {total} bytes" if stats.ended else ""
    if mark is None or last is None or last[0] <= mark[0]:
        reason = (f"{count} chunk{'s' * (count != 1)}, {total} bytes in {time.perf_counter() - start:.1f} s: "
                  f"too few to measure; try more --seconds or a smaller --chunk-size{ended}")
        return {"unavailable": reason}, f"n/a ({reason})"
    elapsed = last[0] - mark[0]
    doc = {"bytes_per_second": (last[1] - mark[1]) / elapsed, "chunks_per_second": (last[2] - mark[2]) / elapsed,
           "address": args.addr, "seconds": elapsed, "ended_after": total if stats.ended else None,
           "dropped": stats.dropped, "errors": stats.errors}
    return doc, (f"{human_bytes(doc['bytes_per_second'])}/s, {doc['chunks_per_second']:,.0f} chunks/s "
                 f"(address {args.addr}, {elapsed:.3g} s{ended}); dropped {stats.dropped}, errors {stats.errors}")


def cmd_bench(args: argparse.Namespace, out: TextIO) -> int:
    device = open_device(args.plugin, args.device)
    doc: dict[str, Any] = {"plugin": args.plugin, "device": args.device}

    def show(key: str, figures: dict[str, Any], text: str) -> None:
        """Each figure in prose as it is measured; with --json, all at the end."""
        doc[key] = figures
        if not args.json:
            print(text, file=out, flush=True)

    if not args.json:
        print(f"bench: {args.plugin} {args.device!r}", file=out, flush=True)
    if device.get_register_sync(args.reg) is None:
        reason = f"register 0x{args.reg:X} gives no value"
        show("register_reads", {"unavailable": reason}, f"  register reads   n/a ({reason})")
    else:
        calls, _, elapsed = _timed(lambda: device.get_register_sync(args.reg) is not None, 0.5)
        show("register_reads", {"per_second": calls / elapsed, "address": args.reg},
             f"  register reads   {calls / elapsed:,.0f}/s (get_register_sync)")
    try:
        block = bytearray(args.block_size)
    except MemoryError:
        raise Failure(f"cannot allocate a block of {args.block_size} bytes (--block-size)") from None
    if device.read(0, block) == 0:
        reason = "the device reads nothing at address 0"
        show("block_reads", {"unavailable": reason}, f"  block reads      n/a ({reason})")
    else:
        calls, total, elapsed = _timed(lambda: device.read(0, block), 0.5)
        size = f"{human_bytes(len(block))} blocks" if total == calls * len(block) else \
            f"{human_bytes(total / calls)} per read of a {human_bytes(len(block))} block"
        show("block_reads", {"bytes_per_second": total / elapsed, "block_size": len(block),
                             "bytes_per_read": total / calls},
             f"  block reads      {human_bytes(total / elapsed)}/s ({size})")
    del block
    figures, text = _bench_stream(args, device)
    show("stream", figures, f"  stream           {text}")
    if args.json:
        emit(args, out, doc, str)
    return 0


def add_command(command: Any) -> None:
    bench = command("bench", cmd_bench, "a short throughput run: register reads, block reads, a stream", with_json=True)
    bench.add_argument("--addr", type=parse_u32, default=0, help="stream address (default 0)")
    bench.add_argument("--chunk-size", type=parse_size, default=0, metavar="N",
                       help="bytes per chunk (default: the device's)")
    bench.add_argument("--seconds", type=parse_seconds, default=2.0, metavar="S",
                       help="how long the stream runs (default 2)")
    bench.add_argument("--reg", type=parse_u32, default=0, metavar="ADDR", help="register to read (default 0)")
    bench.add_argument("--block-size", type=size_parser(low=1, high=sys.maxsize), default=1 << 20, metavar="N",
                       help="bytes per block read at address 0 (default 1M)")
