"""The ``vorn`` command: look at plug-ins and devices, access registers,
record and measure streams. Also ``python -m vorn``.

Exit status: 0 on success; 1 when a well-formed request fails (one line on
stderr); 2 for a malformed or missing argument (one line on stderr); 130
when interrupted outside a recording; 141 (as for a tool that SIGPIPE ends),
with nothing printed, when stdout is a pipe that was closed. Results go to
stdout; messages, the summary of ``record`` and its live progress on a
terminal go to stderr, so ``record -o -`` sends only the data to stdout.
"""

from __future__ import annotations

import argparse
import os
import re
import select
import signal
import sys
import time
import warnings
from typing import Callable, NoReturn, Sequence, TextIO

import pyvorn_device as pv

from ._plugins import (PluginNotFoundError, find_plugins, ignored_path_entries, open_manager, plugin_search_path,
                       unsafe_reason)
from ._record import RecordStats, record
from ._streams import read_stream
from ._version import __version__

EXIT_STDOUT_CLOSED = 128 + signal.SIGPIPE
_WARM_UP = 0.1  # seconds of each bench measurement that do not count
_MAX_SIZE = (1 << 64) - 1  # what the device interface takes as a size


class Failure(Exception):
    """An expected failure: reported as one line on stderr, exit status 1."""


def _number(text: str, what: str) -> int:
    """ASCII decimal digits, or hexadecimal digits after 0x; nothing else
    (no sign, space, underscore or other script's digits)."""
    match = re.fullmatch(r"0[xX]([0-9a-fA-F]+)|([0-9]+)", text)
    if match is None:
        raise argparse.ArgumentTypeError(f"not {what}: {text!r}")
    return int(match[1], 16) if match[1] is not None else int(match[2])


def size_parser(low: int = 0, high: int = _MAX_SIZE) -> Callable[[str], int]:
    """A byte count from low to high: digits (as for addresses) with an
    optional K, M or G (times 1024, 1024², 1024³)."""

    def parse_size(text: str) -> int:
        digits, unit = (text[:-1], text[-1]) if text[-1:] in ("k", "K", "m", "M", "g", "G") else (text, "")
        value = _number(digits, "a size (examples: 4096, 64K, 16M, 1G, 0x1000)") << (
            10 * " kmg".index(unit.lower() or " "))
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"size out of range ({low} to {high}): {text}")
        return value

    return parse_size


parse_size = size_parser()


def parse_u32(text: str) -> int:
    """A 32-bit unsigned number, decimal or 0x-hexadecimal."""
    value = _number(text, "a number (decimal or 0x-hexadecimal)")
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"out of range (0 to 0xFFFFFFFF): {text}")
    return value


def parse_seconds(text: str) -> float:
    """A finite number of seconds above 0, such as 2, 0.5 or 1e3."""
    value = float(text) if re.fullmatch(r"(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?", text) else -1.0
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return value


def parse_device_text(text: str) -> str:
    """A device text; bytes that are not UTF-8 (from argv, as surrogate
    escapes) cannot be passed to a plug-in."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not valid UTF-8: {os.fsencode(text)!r}") from None
    return text


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


def one_line(text: str) -> str:
    return " ".join(line.strip() for line in text.splitlines() if line.strip())


def open_device(plugin: str, text: str) -> pv.Device:
    device = open_manager(plugin).create_device(text)
    if device is None:
        raise Failure(f"plug-in {plugin!r} made no device for {text!r}")
    return device


def cmd_plugins(args: argparse.Namespace, out: TextIO) -> int:
    print("plug-in search path (first match wins):", file=out)
    for folder in plugin_search_path():
        reason = unsafe_reason(folder.path)
        state = "" if folder.path.is_dir() else ", not found"
        state += "" if reason is None else f", skipped: {reason}"
        print(f"  {folder.path}  [{folder.origin}{state}]", file=out)
    ignored = ignored_path_entries()
    if ignored:
        print(f"  (ignored: VORN_PLUGIN_PATH entries that are not absolute: {', '.join(map(repr, ignored))})",
              file=out)
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
            info = f"cannot load: {one_line(str(error))}"
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


def _stdout_closed() -> bool:
    """Whether stdout is a pipe whose reading end is closed."""
    try:
        poll = select.poll()
        poll.register(sys.stdout.fileno(), select.POLLOUT)
    except (OSError, ValueError):  # no file descriptor behind sys.stdout
        return False
    return any(events & select.POLLERR for _, events in poll.poll(0))


def cmd_record(args: argparse.Namespace, out: TextIO) -> int:
    device = open_device(args.plugin, args.device)
    signal.signal(signal.SIGTERM, _interrupt)  # ends the recording like Ctrl+C: file closed, summary printed
    live = sys.stderr.isatty()
    to_stdout = args.output == "-"
    if to_stdout:
        sys.stdout.flush()
    try:
        stats = record(device, sys.stdout.fileno() if to_stdout else args.output, addr=args.addr,
                       seconds=args.seconds, nbytes=args.bytes, chunk_size=args.chunk_size, alignment=args.aligned,
                       progress=progress_line(sys.stderr) if live else None)
    except MemoryError as error:
        raise Failure(f"cannot allocate the stream's memory (chunk size {args.chunk_size}, "
                      f"alignment {args.aligned}): {str(error) or 'out of memory'}") from None
    if live:
        sys.stderr.write("\r\033[K")
    if to_stdout and not stats.reached and _stdout_closed():
        return EXIT_STDOUT_CLOSED
    label = "stdout" if to_stdout else stats.path
    last = f" (last: {stats.error_texts[-1]})" if stats.error_texts else ""
    print(f"{label}: {stats.bytes} bytes ({human_bytes(stats.bytes)}) in {stats.chunks} chunks, "
          f"{stats.elapsed:.2f} s, {human_bytes(stats.rate)}/s; dropped {stats.dropped}, errors {stats.errors}{last}; "
          f"{'complete' if stats.complete else 'INCOMPLETE'}", file=sys.stderr)
    if not stats.reached:
        raise Failure(f"{label}: {stats.problem}")
    problems = []
    if stats.dropped and not args.allow_drops:
        problems.append(f"{stats.problem} (--allow-drops accepts them)")
    if stats.errors and not args.allow_errors:
        problems.append(f"the device reported {stats.errors} errors{last} (--allow-errors accepts them)")
    if problems:
        raise Failure(f"{label}: {'; '.join(problems)}")
    return 0


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


def _bench_stream(args: argparse.Namespace, device: pv.Device) -> str:
    """The stream's figures: the bytes of the chunks taken after the warm-up
    over the time between taking the first and the last of them; for a
    stream that ended within the warm-up, all of it over the time from the
    start to its end marker."""
    try:
        reader = read_stream(device, args.addr, chunk_size=args.chunk_size)
    except MemoryError as error:
        raise Failure(f"cannot allocate the stream's memory (chunk size {args.chunk_size}): "
                      f"{str(error) or 'out of memory'}") from None
    except RuntimeError as error:
        return f"n/a ({one_line(str(error))})"
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
        return (f"n/a ({count} chunk{'s' * (count != 1)}, {total} bytes in {time.perf_counter() - start:.1f} s: "
                f"too few to measure; try more --seconds or a smaller --chunk-size{ended})")
    elapsed = last[0] - mark[0]
    return (f"{human_bytes((last[1] - mark[1]) / elapsed)}/s, {(last[2] - mark[2]) / elapsed:,.0f} chunks/s "
            f"(address {args.addr}, {elapsed:.3g} s{ended}); dropped {stats.dropped}, errors {stats.errors}")


def cmd_bench(args: argparse.Namespace, out: TextIO) -> int:
    device = open_device(args.plugin, args.device)
    print(f"bench: {args.plugin} {args.device!r}", file=out)
    if device.get_register_sync(args.reg) is None:
        print(f"  register reads   n/a (register 0x{args.reg:X} gives no value)", file=out)
    else:
        calls, _, elapsed = _timed(lambda: device.get_register_sync(args.reg) is not None, 0.5)
        print(f"  register reads   {calls / elapsed:,.0f}/s (get_register_sync)", file=out)
    try:
        block = bytearray(args.block_size)
    except MemoryError:
        raise Failure(f"cannot allocate a block of {args.block_size} bytes (--block-size)") from None
    if device.read(0, block) == 0:
        print("  block reads      n/a (the device reads nothing at address 0)", file=out)
    else:
        calls, total, elapsed = _timed(lambda: device.read(0, block), 0.5)
        size = f"{human_bytes(len(block))} blocks" if total == calls * len(block) else \
            f"{human_bytes(total / calls)} per read of a {human_bytes(len(block))} block"
        print(f"  block reads      {human_bytes(total / elapsed)}/s ({size})", file=out)
    del block
    print(f"  stream           {_bench_stream(args, device)}", file=out)
    return 0


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="vorn", description="Look at plug-ins and devices, access registers, record and measure "
                     "streams. Exit status: 0 on success, 1 on failure, 2 on a usage error.")
    parser.add_argument("--version", action="version", version=f"vorn {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace, TextIO], int], help: str,
                device: bool | None = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        if device is not None:
            sub.add_argument("plugin", metavar="PLUGIN", help="a plug-in's short name (see 'vorn plugins') or path")
            sub.add_argument("device", metavar="DEVICE_TEXT", nargs=None if device else "?", type=parse_device_text,
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

    rec = command("record", cmd_record, "record a stream to a file (summary on stderr)")
    rec.add_argument("-o", "--output", metavar="FILE", required=True,
                     help="the file to write (replaced), or - for stdout")
    rec.add_argument("--addr", type=parse_u32, default=0, help="stream address (default 0)")
    rec.add_argument("--chunk-size", type=parse_size, default=0, metavar="N",
                     help="bytes per chunk (default: the device's)")
    rec.add_argument("--aligned", type=size_parser(low=1), metavar="N",
                     help="read an aligned stream: chunks of multiples of N")
    limit = rec.add_mutually_exclusive_group()
    limit.add_argument("--seconds", type=parse_seconds, metavar="S", help="stop after S seconds")
    limit.add_argument("--bytes", type=parse_size, metavar="N", help="stop after N bytes (such as 64M)")
    rec.add_argument("--allow-drops", action="store_true", help="exit with 0 even if events were dropped")
    rec.add_argument("--allow-errors", action="store_true", help="exit with 0 even if the device reported errors")

    bench = command("bench", cmd_bench, "a short throughput run: register reads, block reads, a stream")
    bench.add_argument("--addr", type=parse_u32, default=0, help="stream address (default 0)")
    bench.add_argument("--chunk-size", type=parse_size, default=0, metavar="N",
                       help="bytes per chunk (default: the device's)")
    bench.add_argument("--seconds", type=parse_seconds, default=2.0, metavar="S",
                       help="how long the stream runs (default 2)")
    bench.add_argument("--reg", type=parse_u32, default=0, metavar="ADDR", help="register to read (default 0)")
    bench.add_argument("--block-size", type=size_parser(low=1, high=sys.maxsize), default=1 << 20, metavar="N",
                       help="bytes per block read at address 0 (default 1M)")
    return parser


def _show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: TextIO | None = None, line: str | None = None) -> None:
    print(f"vorn: warning: {one_line(str(message))}", file=sys.stderr)


def _quit_on_closed_stdout() -> int:
    """Ends quietly, as a tool that SIGPIPE ends: nothing more goes to the
    closed pipe, not even the flush at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return EXIT_STDOUT_CLOSED


def _fail(message: str, status: int) -> int:
    """Prints the message as one line on stderr, after what stdout holds."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        return _quit_on_closed_stdout()
    print(f"vorn: {one_line(message)}", file=sys.stderr)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    with warnings.catch_warnings():
        warnings.showwarning = _show_warning
        try:
            try:
                args = build_parser().parse_args(argv)
                status = args.run(args, sys.stdout)
            except SystemExit as stop:  # --help, or a usage error
                status = 0 if stop.code is None else stop.code if isinstance(stop.code, int) else 2
            sys.stdout.flush()
            return status
        except BrokenPipeError as error:
            return _quit_on_closed_stdout() if _stdout_closed() else _fail(str(error), 1)
        except (Failure, PluginNotFoundError, RuntimeError, OSError, UnicodeError, ValueError) as error:
            return _fail(str(error), 1)
        except MemoryError as error:
            return _fail(f"out of memory{f' ({error})' if str(error) else ''}", 1)
        except KeyboardInterrupt:
            return _fail("interrupted", 130)


if __name__ == "__main__":
    sys.exit(main())
