"""vorn-server for the tests: servers started on loopback, and the fixture
that gives the same tests a local and a remote device manager."""

import os
import pathlib
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import pyvorn_device as pv

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VORN_BUILD_DIR", REPO / "build")).resolve()
SERVER = BUILD / "bin" / "vorn-server"
REMOTE_PLUGIN = BUILD / "plugins" / "libvorn_remote.so"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """A vorn-server process; its log lines are collected as they come."""

    def __init__(self, *arguments, listen=None, env=None, wrap=()):
        self.listen = listen or f"tcp://127.0.0.1:{free_port()}"
        self.log: list[str] = []
        self._seen = threading.Condition()
        command = [*wrap, str(SERVER), *map(str, arguments), "--listen", self.listen]
        self.process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, env=env)
        threading.Thread(target=self._collect, daemon=True).start()
        if not self.wait_for("listening on", timeout=20):
            self.kill()
            raise RuntimeError(f"vorn-server did not start: {self.log}")

    def _collect(self):
        for line in self.process.stderr:
            with self._seen:
                self.log.append(line.rstrip("\n"))
                self._seen.notify_all()

    def wait_for(self, text: str, timeout: float = 10) -> bool:
        with self._seen:
            return self._seen.wait_for(lambda: any(text in line for line in self.log), timeout)

    def stop(self, sig=signal.SIGTERM, timeout: float = 20) -> int:
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.process.wait(timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(10)


class RemoteManager:
    """The remote plug-in's manager bound to one server: create_device(text)
    opens the server's device `text`, so tests written for a local manager
    run unchanged against a remote one."""

    def __init__(self, server: Server, options: str = ""):
        self.server = server
        self.address = server.listen + options
        self._manager = pv.get_device_manager(REMOTE_PLUGIN)

    def create_device(self, text=""):
        return self._manager.create_device(f"{self.address} {text}")

    def __getattr__(self, name):
        return getattr(self._manager, name)


@pytest.fixture(scope="session")
def remote_servers():
    """servers(plugin_path) -> a Server serving that plug-in, started once per session."""
    started: dict = {}

    def server_for(plugin):
        if plugin not in started:
            started[plugin] = Server(plugin)
        return started[plugin]

    yield server_for
    for server in started.values():
        server.stop()


def open_manager(plugin, where: str, servers):
    """The device manager of `plugin`, loaded here ("local") or through a
    vorn-server on loopback ("remote")."""
    if where == "local":
        return pv.get_device_manager(plugin)
    return RemoteManager(servers(plugin))


def is_remote(manager) -> bool:
    return isinstance(manager, RemoteManager)


def python_child(code: str, *args, **kwargs) -> subprocess.Popen:
    """A fresh interpreter that imports the built module, running code with args."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD / "python"), env.get("PYTHONPATH", "")])
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], env=env, text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def read_line(process: subprocess.Popen, timeout: float) -> str:
    """The child's next line of output; fails the test after timeout seconds."""
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    if not ready:
        process.kill()
        pytest.fail(f"no answer from the child within {timeout} s; stderr: {process.stderr.read()}")
    line = process.stdout.readline()
    if not line:
        pytest.fail(f"the child ended (status {process.wait()}); stderr: {process.stderr.read()}")
    return line


def wait_until(predicate, timeout: float = 10, step: float = 0.02) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
