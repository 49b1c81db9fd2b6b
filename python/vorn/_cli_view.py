"""``vorn view``: a live plot of a stream in the browser, served on
127.0.0.1 until Ctrl+C (or SIGTERM)."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from typing import Any, TextIO

from ._samples import SampleFormat
from ._streams import StreamReader, read_stream
from ._view_server import ViewServer
from ._view_window import FrameWindow
from .cli import _interrupt, open_device, parse_channels, parse_dtype, parse_size, parse_u32, size_parser


def _feed(reader: StreamReader, window: FrameWindow) -> None:
    """The reader's thread: every typed chunk into the window, until the
    stream ends or the reader is closed."""
    for view in reader:
        window.add(view)


def cmd_view(args: argparse.Namespace, out: TextIO) -> int:
    """Ctrl+C is the way to end it: exit status 0, with the stream stopped."""
    device = open_device(args.plugin, args.device)
    signal.signal(signal.SIGTERM, _interrupt)
    fmt = SampleFormat.parse(args.dtype, args.channels)
    reader = read_stream(device, args.addr, chunk_size=args.chunk_size, dtype=fmt.dtype, channels=fmt.channels)
    feeder = None
    try:
        window = FrameWindow(fmt, args.frames)
        server = ViewServer(window, lambda: reader.stats, port=args.port)
        feeder = threading.Thread(target=_feed, args=(reader, window), name="vorn-view-feed", daemon=True)
        feeder.start()
        try:
            print(f"vorn view: {server.url}  (Ctrl+C stops)", file=out, flush=True)
            server.serve_forever(poll_interval=0.2)
        except KeyboardInterrupt:
            pass
        finally:
            server.stop()
            server.server_close()
    finally:
        reader.close()
        if feeder is not None:
            feeder.join()
    stats = reader.stats
    print(f"vorn view: stopped; the stream stopped after {stats.chunks} chunks, {stats.bytes} bytes; "
          f"dropped {stats.dropped}, errors {stats.errors}", file=sys.stderr)
    return 0


def add_command(command: Any) -> None:
    sub = command("view", cmd_view, "plot a stream live in the browser: serves a page on 127.0.0.1 (random port, "
                  "random token in the printed URL) until Ctrl+C")
    sub.add_argument("--addr", type=parse_u32, default=0, help="stream address (default 0)")
    sub.add_argument("--chunk-size", type=parse_size, default=0, metavar="N",
                     help="bytes per chunk (default: the device's)")
    sub.add_argument("--dtype", type=parse_dtype, default="u1", metavar="TYPE",
                     help="sample type, such as <i2 or >f4 (default u1)")
    sub.add_argument("--channels", type=parse_channels, default=1, metavar="N", help="samples per frame (default 1)")
    sub.add_argument("--frames", type=size_parser(low=1, high=1 << 22), default=10000, metavar="N",
                     help="frames shown per channel: the last N (default 10000)")
    sub.add_argument("--port", type=size_parser(low=0, high=65535), default=0, metavar="P",
                     help="the port on 127.0.0.1 (default 0: any free one)")
