"""Stopping from callbacks, across streams and at interpreter exit: every case
runs in its own interpreter with a timeout, several times where timing
decides, and must neither hang nor abort."""

import textwrap

import pytest

from conftest import BUILD, run_python

SIM = BUILD / "plugins" / "libvorn_sim.so"
SCRIPT = BUILD / "tests" / "plugins" / "libvorn_test_script.so"

PRELUDE = f"""
import atexit, gc, threading, time
import pyvorn_device as pv
exiting = threading.Event()
atexit.register(exiting.set)      # registered later, so it runs before the module's exit handler
m = pv.get_device_manager({str(SIM)!r})
script = pv.get_device_manager({str(SCRIPT)!r})
def dev(text="sim0 chunk_size=1K chunk_rate=2000"):
    return m.create_device(text)
def wait_until(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.005)
def interrupted(action, after=0.3):
    import os, signal
    threading.Timer(after, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        action()
    except KeyboardInterrupt:
        return
    raise AssertionError("no KeyboardInterrupt")
"""

CASES = {
    # The callback stops its stream while the main thread's stop() waits for
    # that very callback.
    "stop inside the callback during an outer stop": """
        outer, inside, box, after = threading.Event(), threading.Event(), {}, []
        def cb(c, t):
            if box.get("stopped"):
                after.append(1)
            if outer.is_set():
                inside.set()
                time.sleep(0.05)      # the main thread is in stop() meanwhile
                box["s"].stop()
        box["s"] = dev().start_read_stream(0, cb)
        outer.set()
        assert inside.wait(5)
        box["s"].stop()
        box["stopped"] = True
        time.sleep(0.05)
        assert not after, after
        """,
    "with-exit inside the callback during an outer stop": """
        outer, inside, box = threading.Event(), threading.Event(), {}
        def cb(c, t):
            if outer.is_set():
                inside.set()
                time.sleep(0.05)
                with box["s"]:
                    pass
        with dev().start_aligned_read_stream(0, 8, cb) as s:
            box["s"] = s
            outer.set()
            assert inside.wait(5)
        """,
    # At exit the module stops the stream while its callback stops it too.
    "exit while the callback stops its stream": """
        box, inside = {}, threading.Event()
        def cb(c, t):
            inside.set()
            time.sleep(0.1)           # the exit handler is in stop() meanwhile
            box["s"].stop()
        box["s"] = dev().start_read_stream(0, cb)
        assert inside.wait(5)
        """,
    # Two callbacks, both in progress, each stopping or dropping the other's
    # stream.
    "callbacks drop each other's stream": """
        streams, meet = {}, threading.Barrier(2)
        def make(other):
            def cb(c, t):
                if other in streams:
                    try:
                        meet.wait(1)
                    except threading.BrokenBarrierError:
                        pass
                    streams.pop(other, None)
            return cb
        streams["a"], streams["b"] = dev().start_read_stream(0, make("b")), dev().start_read_stream(0, make("a"))
        deadline = time.time() + 5
        while streams and time.time() < deadline:
            time.sleep(0.01)
        assert not streams, streams
        """,
    "callbacks stop each other's stream": """
        streams, meet = {}, threading.Barrier(2)
        def make(other):
            def cb(c, t):
                if not meet.broken:
                    try:
                        meet.wait(1)
                    except threading.BrokenBarrierError:
                        pass
                    streams[other].stop()
                    meet.abort()
            return cb
        streams["a"], streams["b"] = dev().start_read_stream(0, make("b")), dev().start_read_stream(0, make("a"))
        time.sleep(0.2)
        """,
    # Daemon threads inside calls that release the GIL when the interpreter
    # finalizes: they must stay parked, never abort the process.
    "daemon threads start, stop and drop streams at exit": """
        def churn():
            d = dev("sim0 chunk_size=256")
            while True:
                s = d.start_read_stream(0, lambda c, t: None)
                s.stop()
                d.start_aligned_read_stream(0, 8, lambda c, t: None)
                dev().start_read_stream(0, lambda c, t: None)
        for _ in range(3):
            threading.Thread(target=churn, daemon=True).start()
        time.sleep(0.1)
        """,
    "daemon thread opening devices at exit": """
        def churn():
            while True:
                m.create_device("sim1")
        threading.Thread(target=churn, daemon=True).start()
        time.sleep(0.05)
        """,
}


# Stops that wait for a device or a callback that takes its time, or never
# returns: no stream waits behind another, Ctrl+C gets through, and exit is
# bounded.
STOP_CASES = {
    "a slow stop delays no other stream's deferred stop": """
        box, stopping = {}, threading.Event()
        def stop_self(name):
            def cb(c, t):
                if name in box:
                    stopping.set()
                    box.pop(name).stop()
            return cb
        quick = dev("sim1 chunk_size=1K chunk_rate=2000")
        box["slow"] = script.create_device("o:1 loop stop_ms:3000").start_read_stream(0, stop_self("slow"))
        assert stopping.wait(5)
        box["quick"] = quick.start_read_stream(0, stop_self("quick"))
        started = time.monotonic()
        wait_until(lambda: "streams_running=0" in quick.get_status(), timeout=1.5)
        print(f"deferred stop beside a slow one: {time.monotonic() - started:.3f} s")
        """,
    "Ctrl+C breaks a stop that waits for a blocked callback": """
        import queue
        q, inside = queue.Queue(maxsize=1), threading.Event()
        def cb(c, t):
            if q.full():
                inside.set()           # this call is the one that blocks, so stop() finds it running
            q.put(c)                   # blocks: nobody takes from the queue while stop() waits
        s = dev().start_read_stream(0, cb)
        assert inside.wait(5)
        interrupted(s.stop)
        while True:                    # unblock the callback; the stream stays muted and stops
            try:
                q.get(timeout=0.5)
            except queue.Empty:
                break
        s.stop()
        """,
    "Ctrl+C breaks a stop that never returns, and exit is bounded": """
        s = script.create_device("o:1 loop stop_forever").start_read_stream(0, lambda c, t: None)
        interrupted(s.stop)
        """,
    "Ctrl+C breaks the drop of a stream whose callback is blocked": """
        release, inside = threading.Event(), threading.Event()
        def cb(c, t):
            inside.set()
            release.wait()
        box = {"s": dev().start_aligned_read_stream(0, 8, cb)}
        assert inside.wait(5)
        interrupted(lambda: (box.clear(), time.sleep(5)))   # raised in the sleep at the latest
        release.set()
        """,
    "two threads stop one stream: the device's stop() never runs twice at once": """
        d = script.create_device("o:1 loop stop_ms:30")
        s = d.start_read_stream(0, lambda c, t: None)
        threads = [threading.Thread(target=s.stop) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert "max_in_stop=1" in d.get_info(), d.get_info()
        """,
    "a stream whose callback refers to its owner is collected": """
        import weakref
        class Owner:
            def __init__(self):
                self.stream = dev("sim2 chunk_size=1K chunk_rate=2000").start_read_stream(0, self.on_chunk)
            def on_chunk(self, c, t):
                pass
        owner = Owner()
        gone = weakref.ref(owner)
        del owner
        gc.collect()
        wait_until(lambda: gone() is None and "streams_running=0" in dev("sim2").get_status(), timeout=10)
        """,
}


@pytest.mark.parametrize("case", sorted(CASES) + sorted(STOP_CASES))
def test_no_hang_no_abort(case):
    code = PRELUDE + textwrap.dedent(CASES.get(case) or STOP_CASES[case]) + "\nprint('leaving')\n"
    for _ in range(5 if case in CASES else 3):
        result = run_python(code, timeout=60)
        assert result.returncode == 0 and "leaving\n" in result.stdout, result.stderr[-2000:]
        if "exit is bounded" in case:
            assert "Streams still stopping at exit after 5 s: stream at address 0 of <pyvorn_device.Device at 0x" \
                in result.stdout + result.stderr, result.stderr


def test_streams_are_stopped_before_finalization():
    # A handler registered before the import runs after the module's own.
    code = f"""
import atexit
def check():
    status = d.get_status()
    assert "streams_running=0" in status, status
    print("stopped before finalization")
atexit.register(check)
import pyvorn_device as pv
d = pv.get_device_manager({str(SIM)!r}).create_device("sim0 chunk_size=1K")
s = d.start_read_stream(0, lambda c, t: None)
"""
    result = run_python(code, timeout=30)
    assert result.stdout == "stopped before finalization\n", result.stderr
