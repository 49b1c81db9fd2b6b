"""Remote devices: faults (a peer killed, a server restarted, a slow client),
security (CURVE, ZAP, malformed frames), and the vorn commands. What a remote
device does like a local one is tested by the stream and device tests, which
run once more through a vorn-server (remote_fixtures.open_manager)."""

import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pyvorn_device as pv
from remote_fixtures import (BUILD, REMOTE_PLUGIN, SERVER, RemoteManager, Server, free_port, python_child, read_line,
                             wait_until)

SIM = BUILD / "plugins" / "libvorn_sim.so"
PEER = BUILD / "tests" / "remote" / "vorn_remote_peer"
NOTICE = "Queue Overflow, dropping event"
FAST = "?heartbeat=1&timeout=1"

# The client of the fault cases, in a process of its own: opens the device
# text argv[2] with the remote plug-in argv[1], starts a stream and an aligned
# one, says "ready", then runs one step per line of stdin and answers each
# with a line of JSON.
CLIENT = textwrap.dedent("""
    import json, sys, threading, time, pyvorn_device as pv
    d = pv.get_device_manager(sys.argv[1]).create_device(sys.argv[2])
    events, ended = [], threading.Event()
    def cb(c, t):
        events.append(["end"] if c is None and t is None else ["error", t] if c is None else ["chunk"])
        if c is None and t is None:
            ended.set()
    streams = [d.start_read_stream(0, cb), d.start_aligned_read_stream(0, 8, lambda c, t: None)]
    print("ready", flush=True)
    for step in sys.stdin:
        start = time.monotonic()
        answer = {}
        if step.startswith("end"):
            answer["ended"] = ended.wait(30)
            answer["tail"] = events[-2:]
        elif step.startswith("calls"):
            answer["results"] = [d.get_register_sync(0), int(d.set_register_sync(1, 5, 0)), d.read(0, bytearray(8))]
            try:
                answer["status"] = d.get_status()
            except RuntimeError as error:
                answer["status"] = str(error)
        elif step.startswith("count"):
            time.sleep(float(step.split()[1]))
            answer["notices"] = sum(e == ["error", "%s"] for e in events)
            answer["chunks"] = sum(e == ["chunk"] for e in events)
        answer["seconds"] = time.monotonic() - start
        print(json.dumps(answer), flush=True)
    """ % NOTICE)


class Client:
    def __init__(self, server, options=FAST, text="sim0 chunk_size=4K chunk_rate=2000"):
        self.process = python_child(CLIENT, REMOTE_PLUGIN, f"{server.listen}{options} {text}")
        assert read_line(self.process, 30).strip() == "ready"

    def ask(self, step, timeout=40):
        self.process.stdin.write(step + "\n")
        self.process.stdin.flush()
        return json.loads(read_line(self.process, timeout))

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(10)


@pytest.fixture
def sim_server():
    server = Server(SIM)
    yield server
    server.kill()


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


@pytest.mark.parametrize("run", range(3))
@pytest.mark.parametrize("how", ["killed", "frozen", "SIGTERM", "SIGINT"])
def test_server_gone_mid_stream_ends_the_stream_and_fails_calls(how, run, sim_server):
    client = Client(sim_server)
    try:
        if how == "killed":
            sim_server.kill()
        elif how == "frozen":
            sim_server.process.send_signal(signal.SIGSTOP)
        else:
            assert sim_server.stop(getattr(signal, how)) == 0
            assert sim_server.log[-1].endswith("stopped") and "2 streams" in sim_server.log[-2]
        # timeout=1: a call the frozen server does not answer fails after a second
        calls = client.ask("calls")
        assert calls["results"] == [None, 1, 0] and calls["status"].startswith(("connection lost: ", "remote: no")), calls
        assert calls["seconds"] < 5, calls
        ended = client.ask("end")
        assert ended["ended"] and ended["tail"][1] == ["end"], ended
        assert ended["tail"][0][0] == "error" and ended["tail"][0][1].startswith("connection lost: "), ended
        # heartbeat=1: lost within about a second of silence (at once when the server says goodbye)
        assert calls["seconds"] + ended["seconds"] < 5, ended
        print(f"{how}: calls failed within {calls['seconds']:.2f} s, the stream ended {ended['seconds']:.2f} s later")
    finally:
        sim_server.process.send_signal(signal.SIGCONT)
        client.close()


@pytest.mark.parametrize("run", range(2))
@pytest.mark.parametrize("text, reason", [("sim0 chunk_size=4K chunk_rate=2000", "the client went away"),
                                          ("sim0 length=8 chunk_size=8", "no message from the client for 1.0 s")],
                         ids=["streaming", "idle"])
def test_killed_client_has_its_streams_stopped_and_device_released(text, reason, run, sim_server):
    client = Client(sim_server, text=text)
    start = time.monotonic()
    client.close()
    assert sim_server.wait_for("ended after", timeout=10), sim_server.log
    print(f"session ended {time.monotonic() - start:.2f} s after the client was killed: {sim_server.log[-1]}")
    assert sim_server.log[-1].endswith(f"{reason}; 2 calls, 2 streams"), sim_server.log


def test_restarted_server_opens_new_devices_and_old_ones_fail():
    first = Server(SIM)
    remote = RemoteManager(first, FAST)
    old = remote.create_device("sim0")
    assert old.get_register_sync(0) == 0x56524E31
    first.kill()
    second = Server(SIM, listen=first.listen)
    try:
        assert remote.create_device("sim0").get_register_sync(0) == 0x56524E31
        assert wait_until(lambda: old.get_register_sync(0) is None, timeout=5)
        with pytest.raises(RuntimeError, match="^connection lost: "):
            old.get_info()
    finally:
        second.kill()


def test_slow_client_keeps_server_memory_bounded_and_sees_the_gap(sim_server):
    client = Client(sim_server, "?heartbeat=30", "sim0 chunk_size=64K")
    try:
        assert client.ask("count 0.5")["chunks"] > 0
        before = rss_kib(sim_server.process.pid)
        client.process.send_signal(signal.SIGSTOP)
        time.sleep(3)
        during = rss_kib(sim_server.process.pid)
        client.process.send_signal(signal.SIGCONT)
        counts = client.ask("count 1")
        print(f"server RSS {before} KiB before, {during} KiB after 3 s of a stopped client; {counts}")
        assert during - before < 96 * 1024
        assert counts["notices"] > 0 and counts["chunks"] > 0
    finally:
        client.close()


KEYS = {}


def key_pair(tmp_path_factory, name):
    if name not in KEYS:
        folder = tmp_path_factory.mktemp("keys")
        subprocess.run([SERVER, "keys", folder / name], check=True, capture_output=True)
        KEYS[name] = folder / name
    return KEYS[name]


@pytest.fixture(scope="module")
def curve_server(tmp_path_factory):
    server_key, client_key = key_pair(tmp_path_factory, "server"), key_pair(tmp_path_factory, "client")
    server = Server(SIM, "--key", f"{server_key}.key", "--allow", f"{client_key}.pub")
    yield server
    server.kill()


@pytest.mark.parametrize("client", ["allowed", "no key", "other key", "plain socket"])
def test_curve_server_admits_only_allowed_keys(client, curve_server, tmp_path_factory):
    server_pub = f"{key_pair(tmp_path_factory, 'server')}.pub"
    keys = {"allowed": key_pair(tmp_path_factory, "client"), "other key": key_pair(tmp_path_factory, "other")}
    if client == "plain socket":
        port = int(curve_server.listen.rsplit(":", 1)[1])
        with socket.create_connection(("127.0.0.1", port)) as plain:
            plain.sendall(b"\xff" + b"GET / HTTP/1.0\r\n\r\n" * 50)
            time.sleep(0.2)
        client, keys["allowed"] = "allowed", keys["allowed"]  # the server still serves its clients
    options = "?timeout=1" + (f"&key={keys[client]}.key&server_key={server_pub}" if client in keys else "")
    manager = RemoteManager(curve_server, options)
    if client == "allowed":
        assert manager.create_device("sim0").get_register_sync(0) == 0x56524E31
        return
    with pytest.raises(RuntimeError, match="^remote: no answer from .* within 1 s$"):
        manager.create_device("sim0")
    if client == "other key":
        assert curve_server.wait_for("is not allowed", timeout=5)


MALFORMED = {
    "bad magic": ["570104"],
    "unknown kind": ["560163"],
    "truncated hello": ["560101e8030000"],
    "text longer than the limit": ["560101e803000001ffffffff"],
    "trailing bytes": ["56010400"],
    "write without payload": ["56010201000000080000000000000000000000000400000000000000" + "00000000"],
    "three frames": ["560104", "00", "00"],
}


@pytest.mark.parametrize("case", sorted(MALFORMED))
def test_malformed_frame_ends_that_session_only(case, sim_server):
    good = RemoteManager(sim_server).create_device("sim0")
    answer = subprocess.run([PEER, sim_server.listen, *MALFORMED[case]], capture_output=True, text=True, timeout=20)
    assert answer.stdout.startswith("goodbye: malformed frame: "), answer
    assert wait_until(lambda: any("malformed frame" in line for line in sim_server.log))
    assert good.get_register_sync(0) == 0x56524E31 and sim_server.process.poll() is None


def test_non_loopback_address_in_a_network_namespace(tmp_path_factory):
    server_key, client_key = key_pair(tmp_path_factory, "server"), key_pair(tmp_path_factory, "client")
    probe = subprocess.run(["unshare", "-n", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot make a network namespace here: {probe.stderr.decode().strip()}")
    script = textwrap.dedent(f"""
        import subprocess, sys
        sys.path.insert(0, {str(BUILD / 'python')!r}); sys.path.insert(0, {os.path.dirname(__file__)!r})
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        subprocess.run(["ip", "addr", "add", "10.200.0.1/32", "dev", "lo"], check=True)
        from remote_fixtures import RemoteManager, SERVER, Server
        refused = subprocess.run([SERVER, {str(SIM)!r}, "--listen", "tcp://10.200.0.1:7531"], capture_output=True,
                                 text=True, timeout=10)
        print(refused.returncode, len(refused.stderr.splitlines()))
        server = Server({str(SIM)!r}, "--key", "{server_key}.key", "--allow", "{client_key}.pub",
                        listen="tcp://10.200.0.1:7531")
        keys = "?timeout=1&key={client_key}.key&server_key={server_key}.pub"
        print(RemoteManager(server, keys).create_device("sim0").get_register_sync(0))
        try:
            RemoteManager(server, "?timeout=1").create_device("sim0")
        except RuntimeError as error:
            print(error)
        server.stop()
        """)
    result = subprocess.run(["unshare", "-n", sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "2 1" and lines[1] == str(0x56524E31), lines
    assert lines[2].startswith("remote: no answer from tcp://10.200.0.1:7531"), lines


def vorn(*args, timeout=30, env=None):
    env = {**os.environ, "PYTHONPATH": str(BUILD / "python"), **(env or {})}
    return subprocess.run([sys.executable, "-m", "vorn", *args], capture_output=True, text=True, timeout=timeout,
                          env=env)


@pytest.mark.parametrize("args, message", [
    (["sim", "--listen", "tcp://0.0.0.0:7531"], "which is not a loopback address, needs CURVE"),
    (["sim", "--listen", "udp://127.0.0.1:1"], "only tcp:// addresses are served"),
    (["sim", "--listen", "tcp://127.0.0.1:99999"], "is not a number from 1 to 65535"),
    (["sim", "--key", "x.key"], "--key and --allow go together"),
    (["no_such_plugin"], "no plug-in named 'no_such_plugin'"),
])
def test_serve_refuses_bad_arguments_in_one_line(args, message):
    result = vorn("serve", *args)
    assert result.returncode == 2, result
    assert len(result.stderr.splitlines()) == 1 and message in result.stderr, result.stderr


def test_vorn_serve_probe_and_list_devices():
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "vorn", "serve", "sim", "--listen", f"tcp://127.0.0.1:{port}"],
                              env={**os.environ, "PYTHONPATH": str(BUILD / "python")}, stderr=subprocess.PIPE,
                              text=True)
    try:
        assert "serving plug-in sim" in server.stderr.readline()
        server.stderr.readline()  # listening on ...
        probe = vorn("probe", "remote", f"tcp://127.0.0.1:{port} sim0",
                     env={"VORN_REMOTE_SERVERS": f"tcp://127.0.0.1:{port}"})
        assert probe.returncode == 0, probe.stderr
        assert f"tcp://127.0.0.1:{port} sim0: simulated data-acquisition device" in probe.stdout
        assert "identity" in probe.stdout and "register_writes=0" in probe.stdout
        server.send_signal(signal.SIGINT)
        assert server.wait(20) == 0
        assert "ended after" in server.stderr.read()
    finally:
        if server.poll() is None:
            server.kill()


# Around the bounds of the plug-in's cache of large blocks (64 KiB to 8 MiB).
BLOCK_SIZES = [1000, 64 * 1024 - 64, 64 * 1024 + 64, 1 << 20, 3 << 20, (9 << 20) + 1]


def test_calls_from_threads_and_a_stream_share_one_connection(sim_server):
    """Callers send on the connection's socket themselves while its I/O thread
    receives a stream on it: every call gets its own answer, every block read
    its own bytes, and the stream runs on without a protocol error."""
    device = RemoteManager(sim_server).create_device("sim0 memory=40M chunk_size=64K chunk_rate=1000")
    texts, chunks = [], [0]

    def cb(chunk, text):
        if chunk is not None:
            chunks[0] += 1
        elif text is not None:
            texts.append(text)

    failures = []

    def caller(k):
        try:
            for i, size in enumerate(BLOCK_SIZES * 3):
                data = os.urandom(size)
                back = bytearray(size)
                assert device.write(k * (10 << 20), data) == size
                assert device.read(k * (10 << 20), back) == size and back == data
                assert int(device.set_register_sync(5 + k, i, 0)) == 0 and device.get_register_sync(5 + k) == i
        except Exception as error:  # noqa: BLE001 - reported by the main thread
            failures.append(repr(error))

    with device.start_read_stream(0, cb, max_queue_elements=1 << 16):
        threads = [threading.Thread(target=caller, args=(k,)) for k in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        before = chunks[0]
        assert wait_until(lambda: chunks[0] > before + 10, 10)
    assert failures == []
    assert set(texts) <= {NOTICE}
