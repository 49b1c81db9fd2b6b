"""The live view's web server: the page and its server-sent events, on
127.0.0.1 only, behind a random token in every path.

Paths: ``/TOKEN/`` the page, ``/TOKEN/events?columns=W`` the event stream
(one JSON snapshot per interval, see FrameWindow.snapshot), ``/TOKEN/stats``
one snapshot as JSON. Anything else, and any request whose Host header is
not this server's own address, gets 404 or 403, so other sites in a browser
cannot read the stream.
"""

from __future__ import annotations

import http.server
import importlib.resources
import json
import secrets
import threading
import typing
import urllib.parse
from typing import Any, Callable

from ._streams import StreamStats
from ._view_window import MAX_COLUMNS, FrameWindow

__all__ = ["ViewServer"]

HOST = "127.0.0.1"


class ViewServer(http.server.ThreadingHTTPServer):
    """Serves one FrameWindow; each connected page has a thread of its own
    (a daemon), which ends when the page goes or the server stops."""

    daemon_threads = True

    def __init__(self, window: FrameWindow, stats: Callable[[], StreamStats], port: int = 0,
                 interval: float = 0.1):
        super().__init__((HOST, port), _Handler)
        self.window = window
        self.stats = stats
        self.interval = interval
        self.token = secrets.token_urlsafe(18)
        self.stopping = threading.Event()
        self.page = importlib.resources.files(__package__).joinpath("view_page.html").read_bytes()

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.server_address[1]}/{self.token}/"

    def snapshot(self, columns: int) -> dict[str, Any]:
        return self.window.snapshot(columns, self.stats())

    def stop(self) -> None:
        """Ends the event streams; then close the server (server_close)."""
        self.stopping.set()


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    @property
    def view(self) -> ViewServer:
        return typing.cast(ViewServer, self.server)

    def log_message(self, format: str, *args: Any) -> None:  # quiet: the terminal shows the URL only
        pass

    def do_GET(self) -> None:
        allowed = {f"{HOST}:{self.view.server_address[1]}", f"localhost:{self.view.server_address[1]}"}
        if self.headers.get("Host") not in allowed:
            self.send_error(403, "wrong Host")
            return
        url = urllib.parse.urlsplit(self.path)
        prefix = f"/{self.view.token}/"
        if not url.path.startswith(prefix):
            self.send_error(404)
            return
        route = url.path[len(prefix):]
        query = urllib.parse.parse_qs(url.query)
        try:
            columns = min(max(int(query.get("columns", ["800"])[0]), 1), MAX_COLUMNS)
        except ValueError:
            self.send_error(400, "columns must be a number")
            return
        if route == "":
            self._send(200, "text/html; charset=utf-8", self.view.page)
        elif route == "stats":
            self._send(200, "application/json", json.dumps(self.view.snapshot(columns)).encode())
        elif route == "events":
            self._events(columns)
        else:
            self.send_error(404)

    def _send(self, status: int, kind: str, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def _events(self, columns: int) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        try:
            while not self.view.stopping.is_set():
                self.wfile.write(b"data: " + json.dumps(self.view.snapshot(columns)).encode() + b"\n\n")
                self.wfile.flush()
                self.view.stopping.wait(self.view.interval)
        except (BrokenPipeError, ConnectionResetError, TimeoutError):
            pass  # the page went; the server goes on
