"""The ``vorn`` command: look at plug-ins and devices, access registers,
record and measure streams. Also ``python -m vorn``.

Exit status: 0 on success, 1 on failure, 2 on a usage error. Results go to
stdout; messages, and the live progress of ``record`` on a terminal, go to
stderr.
"""

from __future__ import annotations

import argparse
import re
import signal
import sys
import time
from typing import Callable, Sequence, TextIO

import pyvorn_device as pv

from ._plugins import PluginNotFoundError, find_plugins, open_manager, plugin_search_path
from ._record import RecordStats, record
from ._serve import add_commands as add_serve_commands
from ._streams import read_stream


class Failure(Exception):
    """An expected failure: reported as one line on stderr, exit status 1."""


def parse_size(text: str) -> int:
    """A byte count: decimal digits with an optional K, M or G (times 1024,
    1024², 1024³), or hexadecimal digits after 0x."""
    match = re.fullmatch(r"(0[xX][0-9a-fA-F]+|\d+)([kKmMgG]?)", text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (examples: 4096, 64K, 16M, 1G, 0x1000)")
    return int(match[1], 0) << (10 * " kmg".index(match[2].lower() or " "))


def parse_u32(text: str) -> int:
    """A 32-bit unsigned number, decimal or 0x-hexadecimal."""
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r} (decimal or 0x-hexadecimal)") from None
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"out of range (0 to 0xFFFFFFFF): {text}")
    return value


def parse_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return value


def human_bytes(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(count) < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError


def indented(text: str | None, prefix: str = "  ") -> str:
    if text is None:
        return prefix + "(none)"
    return "\n".join(prefix + line if line else "" for line in text.splitlines()) or prefix + "(empty)"


def open_device(plugin: str, text: str) -> pv.Device:
    device = open_manager(plugin).create_device(text)
    if device is None:
        raise Failure(f"plug-in {plugin!r} made no device for {text!r}")
    return device


def cmd_plugins(args: argparse.Namespace, out: TextIO) -> int:
    print("plug-in search path (first match wins):", file=out)
    for folder in plugin_search_path():
        missing = "" if folder.path.is_dir() else ", not found"
        print(f"  {folder.path}  [{folder.origin}{missing}]", file=out)
    plugins = find_plugins()
    print("\nplug-ins:" if plugins else "\nno plug-ins found", file=out)
    seen: set[str] = set()
    for plugin in plugins:
        if plugin.name in seen:
            print(f"  {plugin.name}: {plugin.path}\n    (shadowed by an earlier {plugin.name})", file=out)
            continue
        seen.add(plugin.name)
        try:
            manager = pv.get_device_manager(plugin.path)
            info = manager.info() if manager is not None else "(made no device manager)"
        except Exception as error:  # one bad library does not hide the others
            info = f"cannot load: {error}"
        print(f"  {plugin.name}: {plugin.path}\n{indented(info, '    ')}", file=out)
    return 0


def cmd_probe(args: argparse.Namespace, out: TextIO) -> int:
    manager = open_manager(args.plugin)
    texts = (f"info:     {manager.info()}\nlocation: {manager.location()}\n\n"
             f"devices:\n{indented(manager.list_devices())}\n\n"
             f"device options:\n{indented(manager.get_device_options())}")
    device = None if args.device is None else manager.create_device(args.device)  # a bad text fails first
    print(texts, file=out)
    if args.device is not None:
        if device is None:
            raise Failure(f"plug-in {args.plugin!r} made no device for {args.device!r}")
        print(f"\ndevice {args.device!r}:", file=out)
        print(f"  info:\n{indented(device.get_info(), '    ')}", file=out)
        print(f"  status:\n{indented(device.get_status(), '    ')}", file=out)
    return 0


def cmd_reg(args: argparse.Namespace, out: TextIO) -> int:
    device = open_device(args.plugin, args.device)
    if args.action == "get":
        value = device.get_register_sync(args.addr)
        if value is None:
            raise Failure(f"register 0x{args.addr:X} could not be read")
        print(f"0x{value:08X} ({value})", file=out)
        return 0
    status = device.set_register_sync(args.addr, args.value, args.extra)
    if status != pv.ReturnCode.Success:
        raise Failure(f"setting register 0x{args.addr:X} to 0x{args.value:X} failed: {status}")
    print(f"register 0x{args.addr:X} set to 0x{args.value:X}", file=out)
    return 0


def progress_line(stream: TextIO) -> Callable[[RecordStats], None]:
    def show(stats: RecordStats) -> None:
        stream.write(f"\r\033[K{human_bytes(stats.bytes)}  {human_bytes(stats.rate)}/s  dropped {stats.dropped}  "
                     f"errors {stats.errors}  {stats.elapsed:.1f} s")
        stream.flush()

    return show


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def cmd_record(args: argparse.Namespace, out: TextIO) -> int:
    device = open_device(args.plugin, args.device)
    signal.signal(signal.SIGTERM, _interrupt)  # ends the recording like Ctrl+C: file closed, summary printed
    live = sys.stderr.isatty()
    stats = record(device, args.output, addr=args.addr, seconds=args.seconds, nbytes=args.bytes,
                   chunk_size=args.chunk_size, alignment=args.aligned,
                   progress=progress_line(sys.stderr) if live else None)
    if live:
        sys.stderr.write("\r\033[K")
    errors = f"errors {stats.errors}" + (f" (last: {stats.error_texts[-1]})" if stats.error_texts else "")
    print(f"{stats.path}: {stats.bytes} bytes ({human_bytes(stats.bytes)}) in {stats.chunks} chunks, "
          f"{stats.elapsed:.2f} s, {human_bytes(stats.rate)}/s; dropped {stats.dropped}, {errors}; "
          f"{'complete' if stats.complete else 'INCOMPLETE'}", file=out)
    if stats.reached and (not stats.dropped or args.allow_drops):
        return 0
    hint = " (--allow-drops accepts them)" if stats.reached else ""
    raise Failure(f"{stats.path}: {stats.problem}{hint}")


def cmd_bench(args: argparse.Namespace, out: TextIO) -> int:
    device = open_device(args.plugin, args.device)
    print(f"bench: {args.plugin} {args.device!r}", file=out)

    def rate(step: Callable[[], object], seconds: float) -> float:
        count, start = 0, time.perf_counter()
        while (elapsed := time.perf_counter() - start) < seconds:
            step()
            count += 1
        return count / elapsed

    if device.get_register_sync(args.reg) is None:
        print(f"  register reads   n/a (register 0x{args.reg:X} gives no value)", file=out)
    else:
        per_second = rate(lambda: device.get_register_sync(args.reg), 0.5)
        print(f"  register reads   {per_second:,.0f}/s (get_register_sync)", file=out)
    block = bytearray(args.block_size)
    if device.read(0, block) == 0:
        print("  block reads      n/a (the device reads nothing at address 0)", file=out)
    else:
        per_second = rate(lambda: device.read(0, block), 0.5)
        print(f"  block reads      {human_bytes(per_second * len(block))}/s ({human_bytes(len(block))} blocks)",
              file=out)
    try:
        reader = read_stream(device, args.addr, chunk_size=args.chunk_size, timeout=args.seconds)
    except RuntimeError as error:
        print(f"  stream           n/a ({error})", file=out)
        return 0
    with reader:
        start = time.perf_counter()
        try:
            for _ in reader:
                if time.perf_counter() - start >= args.seconds:
                    break
        except TimeoutError:
            pass
        elapsed = time.perf_counter() - start
        stats = reader.stats
    print(f"  stream           {human_bytes(stats.bytes / elapsed)}/s, {stats.chunks / elapsed:,.0f} chunks/s "
          f"(address {args.addr}, {elapsed:.1f} s); dropped {stats.dropped}, errors {stats.errors}", file=out)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vorn", description="Look at plug-ins and devices, access registers, "
                                     "record and measure streams. Exit status: 0 on success, 1 on failure, 2 on a "
                                     "usage error.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace, TextIO], int], help: str,
                device: bool | None = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        if device is not None:
            sub.add_argument("plugin", metavar="PLUGIN", help="a plug-in's short name (see 'vorn plugins') or path")
            sub.add_argument("device", metavar="DEVICE_TEXT", nargs=None if device else "?",
                             help="the device-selection text, such as 'sim0 length=1M'")
        return sub

    command("plugins", cmd_plugins, "show the plug-in search path and each plug-in found", device=None)
    command("probe", cmd_probe, "show a plug-in's info, devices and device options, and with a device "
            "text, the device's info and status", device=False)

    reg = command("reg", cmd_reg, "read or write a register")
    actions = reg.add_subparsers(dest="action", required=True, metavar="ACTION")
    get = actions.add_parser("get", help="read a register (get_register_sync)")
    get.add_argument("addr", metavar="ADDR", type=parse_u32)
    put = actions.add_parser("set", help="write a register (set_register_sync)")
    put.add_argument("addr", metavar="ADDR", type=parse_u32)
    put.add_argument("value", metavar="VALUE", type=parse_u32)
    put.add_argument("extra", metavar="EXTRA", type=parse_u32, nargs="?", default=0)

    rec = command("record", cmd_record, "record a stream to a file")
    rec.add_argument("-o", "--output", metavar="FILE", required=True, help="the file to write (replaced)")
    rec.add_argument("--addr", type=parse_u32, default=0, help="stream address (default 0)")
    rec.add_argument("--chunk-size", type=parse_size, default=0, metavar="N",
                     help="bytes per chunk (default: the device's)")
    rec.add_argument("--aligned", type=parse_size, metavar="N", help="read an aligned stream: chunks of multiples of N")
    limit = rec.add_mutually_exclusive_group()
    limit.add_argument("--seconds", type=parse_seconds, metavar="S", help="stop after S seconds")
    limit.add_argument("--bytes", type=parse_size, metavar="N", help="stop after N bytes (such as 64M)")
    rec.add_argument("--allow-drops", action="store_true", help="exit with 0 even if events were dropped")

    bench = command("bench", cmd_bench, "a short throughput run: register reads, block reads, a stream")
    bench.add_argument("--addr", type=parse_u32, default=0, help="stream address (default 0)")
    bench.add_argument("--chunk-size", type=parse_size, default=0, metavar="N",
                       help="bytes per chunk (default: the device's)")
    bench.add_argument("--seconds", type=parse_seconds, default=2.0, metavar="S",
                       help="how long the stream runs (default 2)")
    bench.add_argument("--reg", type=parse_u32, default=0, metavar="ADDR", help="register to read (default 0)")
    bench.add_argument("--block-size", type=parse_size, default=1 << 20, metavar="N",
                       help="bytes per block read at address 0 (default 1M)")
    add_serve_commands(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args, sys.stdout)
    except (Failure, PluginNotFoundError, RuntimeError, OSError, UnicodeError, ValueError) as error:
        sys.stdout.flush()
        print(f"vorn: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("vorn: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
