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
import json
import os
import re
import select
import signal
import sys
import warnings
from typing import Any, Callable, NoReturn, Sequence, TextIO

import pyvorn_device as pv

from ._plugins import (PluginNotFoundError, find_plugins, ignored_path_entries, open_manager, plugin_search_path,
                       unsafe_reason)
from ._record import RecordStats, record
from ._samples import SampleFormat
from ._serve import add_commands as add_serve_commands
from ._version import __version__

EXIT_STDOUT_CLOSED = 128 + signal.SIGPIPE
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


def parse_dtype(text: str) -> str:
    """A sample type such as <i2 (see vorn.SampleFormat)."""
    try:
        return SampleFormat.parse(text).dtype
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def parse_channels(text: str) -> int:
    value = _number(text, "a channel count")
    if not 1 <= value <= 1 << 16:
        raise argparse.ArgumentTypeError(f"channels out of range (1 to 65536): {text}")
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


def one_line(text: str) -> str:
    return " ".join(line.strip() for line in text.splitlines() if line.strip())


def open_device(plugin: str, text: str) -> pv.Device:
    device = open_manager(plugin).create_device(text)
    if device is None:
        raise Failure(f"plug-in {plugin!r} made no device for {text!r}")
    return device


def emit(args: argparse.Namespace, out: TextIO, doc: dict[str, Any], prose: Callable[[dict[str, Any]], str]) -> None:
    """Prints the result: with --json, as one JSON document on one line;
    else as the prose that ``prose`` makes of it."""
    print(json.dumps(doc, ensure_ascii=False) if getattr(args, "json", False) else prose(doc), file=out)


def device_entries(text: str) -> list[dict[str, str]]:
    """A plug-in's list_devices text as entries: one a non-empty line, the
    name before the first ": " (the whole line when there is none)."""
    entries = []
    for line in text.splitlines():
        if line.strip():
            name, _, description = line.strip().partition(": ")
            entries.append({"name": name, "description": description})
    return entries


def plugin_entries() -> list[dict[str, Any]]:
    """Every plug-in on the search path, each loaded once (a shadowed one
    not at all), with its info() or why it cannot be loaded."""
    entries: list[dict[str, Any]] = []
    seen: set[str] = set()
    for plugin in find_plugins():
        entry: dict[str, Any] = {"name": plugin.name, "path": str(plugin.path), "shadowed": plugin.name in seen,
                                 "info": None, "error": None}
        entries.append(entry)
        if entry["shadowed"]:
            continue
        seen.add(plugin.name)
        try:
            entry["manager"] = pv.get_device_manager(plugin.path)
            if entry["manager"] is None:
                entry["error"] = "made no device manager"
            else:
                entry["info"] = entry["manager"].info()
        except Exception as error:  # one bad library does not hide the others
            entry["error"] = f"cannot load: {one_line(str(error))}"
    return entries


def cmd_plugins(args: argparse.Namespace, out: TextIO) -> int:
    doc = {
        "search_path": [{"path": str(folder.path), "origin": folder.origin, "exists": folder.path.is_dir(),
                         "skipped": unsafe_reason(folder.path)} for folder in plugin_search_path()],
        "ignored": ignored_path_entries(),
        "plugins": [{k: v for k, v in entry.items() if k != "manager"} for entry in plugin_entries()],
    }

    def prose(doc: dict[str, Any]) -> str:
        lines = ["plug-in search path (first match wins):"]
        for folder in doc["search_path"]:
            state = ("" if folder["exists"] else ", not found") + (
                "" if folder["skipped"] is None else f", skipped: {folder['skipped']}")
            lines.append(f"  {folder['path']}  [{folder['origin']}{state}]")
        if doc["ignored"]:
            lines.append("  (ignored: VORN_PLUGIN_PATH entries that are not absolute: "
                         f"{', '.join(map(repr, doc['ignored']))})")
        lines.append("\nplug-ins:" if doc["plugins"] else "\nno plug-ins found")
        for plugin in doc["plugins"]:
            detail = f"(shadowed by an earlier {plugin['name']})" if plugin["shadowed"] else \
                plugin["info"] if plugin["error"] is None else \
                f"({plugin['error']})" if plugin["error"] == "made no device manager" else plugin["error"]
            lines.append(f"  {plugin['name']}: {plugin['path']}\n{indented(detail, '    ')}")
        return "\n".join(lines)

    emit(args, out, doc, prose)
    return 0


def cmd_probe(args: argparse.Namespace, out: TextIO) -> int:
    manager = open_manager(args.plugin)
    doc: dict[str, Any] = {"plugin": args.plugin, "info": manager.info(), "location": str(manager.location()),
                           "devices": device_entries(listed := manager.list_devices()),
                           "device_options": manager.get_device_options(), "device": None}
    device = None if args.device is None else manager.create_device(args.device)  # a bad text fails first
    if args.device is not None:
        if device is None:
            raise Failure(f"plug-in {args.plugin!r} made no device for {args.device!r}")
        doc["device"] = {"text": args.device, "info": device.get_info(), "status": device.get_status()}

    def prose(doc: dict[str, Any]) -> str:
        text = (f"info:     {doc['info']}\nlocation: {manager.location()}\n\n"
                f"devices:\n{indented(listed)}\n\n"
                f"device options:\n{indented(doc['device_options'])}")
        if doc["device"] is not None:
            text += (f"\n\ndevice {args.device!r}:\n  info:\n{indented(doc['device']['info'], '    ')}\n"
                     f"  status:\n{indented(doc['device']['status'], '    ')}")
        return text

    emit(args, out, doc, prose)
    return 0


def cmd_reg(args: argparse.Namespace, out: TextIO) -> int:
    device = open_device(args.plugin, args.device)
    if args.action == "get":
        value = device.get_register_sync(args.addr)
        if value is None:
            raise Failure(f"register 0x{args.addr:X} could not be read")
        emit(args, out, {"address": args.addr, "value": value}, lambda doc: f"0x{value:08X} ({value})")
        return 0
    status = device.set_register_sync(args.addr, args.value, args.extra)
    if status != pv.ReturnCode.Success:
        raise Failure(f"setting register 0x{args.addr:X} to 0x{args.value:X} failed: {status}")
    emit(args, out, {"address": args.addr, "value": args.value, "extra": args.extra, "status": status.name},
         lambda doc: f"register 0x{args.addr:X} set to 0x{args.value:X}")
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
                       progress=progress_line(sys.stderr) if live else None, dtype=args.dtype,
                       channels=args.channels, metadata=args.metadata, plugin=args.plugin, device_text=args.device)
    except MemoryError as error:
        raise Failure(f"cannot allocate the stream's memory (chunk size {args.chunk_size}, "
                      f"alignment {args.aligned}): {str(error) or 'out of memory'}") from None
    if live:
        sys.stderr.write("\r\033[K")
    if to_stdout and not stats.reached and _stdout_closed():
        return EXIT_STDOUT_CLOSED
    label = "stdout" if to_stdout else stats.path
    last = f" (last: {stats.error_texts[-1]})" if stats.error_texts else ""
    doc = {"output": args.output, "metadata": stats.metadata, "bytes": stats.bytes, "chunks": stats.chunks,
           "elapsed": stats.elapsed, "rate": stats.rate, "dropped": stats.dropped, "errors": stats.errors,
           "error_texts": list(stats.error_texts), "ended": stats.ended, "reached": stats.reached,
           "complete": stats.complete, "problem": stats.problem}
    # The summary goes to stderr in prose, and with --json to stdout, unless the data goes there.
    emit(args, sys.stderr if to_stdout or not args.json else out, doc, lambda doc: (
        f"{label}: {stats.bytes} bytes ({human_bytes(stats.bytes)}) in {stats.chunks} chunks, "
        f"{stats.elapsed:.2f} s, {human_bytes(stats.rate)}/s; dropped {stats.dropped}, errors {stats.errors}{last}; "
        f"{'complete' if stats.complete else 'INCOMPLETE'}"))
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


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="vorn", description="Look at plug-ins and devices, access registers, record and measure "
                     "streams. Exit status: 0 on success, 1 on failure, 2 on a usage error.")
    parser.add_argument("--version", action="version", version=f"vorn {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace, TextIO], int], help: str,
                device: bool | None = True, with_json: bool = False) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run, json=False)
        if with_json:
            sub.add_argument("--json", action="store_true", help="print the result as one JSON document")
        if device is not None:
            sub.add_argument("plugin", metavar="PLUGIN", help="a plug-in's short name (see 'vorn plugins') or path")
            sub.add_argument("device", metavar="DEVICE_TEXT", nargs=None if device else "?", type=parse_device_text,
                             help="the device-selection text, such as 'sim0 length=1M'")
        return sub

    command("plugins", cmd_plugins, "show the plug-in search path and each plug-in found", device=None, with_json=True)
    command("probe", cmd_probe, "show a plug-in's info, devices and device options, and with a device "
            "text, the device's info and status", device=False, with_json=True)

    reg = command("reg", cmd_reg, "read or write a register", with_json=True)
    actions = reg.add_subparsers(dest="action", required=True, metavar="ACTION")
    get = actions.add_parser("get", help="read a register (get_register_sync)")
    get.add_argument("addr", metavar="ADDR", type=parse_u32)
    put = actions.add_parser("set", help="write a register (set_register_sync)")
    put.add_argument("addr", metavar="ADDR", type=parse_u32)
    put.add_argument("value", metavar="VALUE", type=parse_u32)
    put.add_argument("extra", metavar="EXTRA", type=parse_u32, nargs="?", default=0)
    for action in (get, put):  # --json also after the action
        action.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                            help="print the result as one JSON document")

    rec = command("record", cmd_record, "record a stream to a file, with its metadata in FILE.json (summary on "
                  "stderr; with --json, on stdout unless the data goes there)", with_json=True)
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
    rec.add_argument("--dtype", type=parse_dtype, metavar="TYPE",
                     help="say in the metadata what the samples are, such as <i2 (see 'vorn info')")
    rec.add_argument("--channels", type=parse_channels, default=1, metavar="N",
                     help="with --dtype: samples per frame (default 1)")
    rec.add_argument("--metadata", metavar="FILE",
                     help="write the metadata here (default: FILE.json; with -o -, none unless given)")

    # Commands with modules of their own.
    from . import _cli_bench, _cli_devices, _cli_info, _cli_view
    for module in (_cli_bench, _cli_devices, _cli_info, _cli_view):
        module.add_command(command)
    add_serve_commands(commands)
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
