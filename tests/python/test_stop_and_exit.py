"""Stopping from callbacks, across streams and at interpreter exit: every case
runs in its own interpreter with a timeout, several times where timing
decides, and must neither hang nor abort."""

import textwrap

import pytest

from conftest import BUILD, run_python

SIM = BUILD / "plugins" / "libvorn_sim.so"

PRELUDE = f"""
import atexit, gc, threading, time
import pyvorn_device as pv
exiting = threading.Event()
atexit.register(exiting.set)      # registered later, so it runs before the module's exit handler
m = pv.get_device_manager({str(SIM)!r})
def dev(text="sim0 chunk_size=1K chunk_rate=2000"):
    return m.create_device(text)
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


@pytest.mark.parametrize("case", sorted(CASES))
def test_no_hang_no_abort(case):
    code = PRELUDE + textwrap.dedent(CASES[case]) + "\nprint('leaving')\n"
    for _ in range(5):
        result = run_python(code, timeout=30)
        assert result.returncode == 0 and result.stdout.endswith("leaving\n"), result.stderr[-2000:]


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
