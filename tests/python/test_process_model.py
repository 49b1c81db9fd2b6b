"""fork() with streams running, and subinterpreters: each case runs in a
fresh interpreter with a timeout, several times where timing decides."""

import os
import textwrap

import pytest

from conftest import BUILD, run_python

SIM = BUILD / "plugins" / "libvorn_sim.so"

PRELUDE = f"""
import gc, os, sys, threading, time, warnings
import pyvorn_device as pv
warnings.simplefilter("ignore", DeprecationWarning)   # fork() of a process with threads
m = pv.get_device_manager({str(SIM)!r})
def dev(text="sim0 chunk_size=1K chunk_rate=2000"):
    return m.create_device(text)
def counting():
    seen = []
    def cb(c, t):
        seen.append(c is not None)
    return seen, cb
def child_exit(pid, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    raise SystemExit("child hung")
def fork_in_callback(start, child_exit_code, expected):
    box, forked = {{}}, threading.Event()
    def cb(c, t):
        if not forked.is_set():
            forked.set()
            box["pid"] = os.fork()
            if box["pid"] == 0 and child_exit_code is not None:
                sys.exit(child_exit_code)
    s = start(dev(), cb)
    assert forked.wait(5)
    s.stop()
    assert box["pid"] != 0, "the child went on past the callback"
    assert child_exit(box["pid"]) == expected
"""

FORK_CASES = {
    # The child inherits running streams (and a stop in progress on another
    # thread) and exits through the interpreter's exit handlers; its copies
    # stop and drop at once; the parent's streams go on.
    "child exits while the parent's streams run": """
        seen, cb = counting()
        streams = [dev().start_read_stream(0, cb), dev().start_aligned_read_stream(0, 64, cb)]
        time.sleep(0.05)
        pid = os.fork()
        if pid == 0:
            streams[0].stop()
            del streams[1]
            gc.collect()
            sys.exit(7)
        assert child_exit(pid) == 7
        before = len(seen)
        time.sleep(0.1)
        assert len(seen) > before, "the parent's streams stopped delivering"
        for s in streams:
            s.stop()
        """,
    # The child opens devices and streams of its own and stops one from its
    # own callback: the child starts its own stopper.
    "child stops its own stream from the callback": """
        keep = dev().start_read_stream(0, lambda c, t: None)
        pid = os.fork()
        if pid == 0:
            box, stopped = {}, threading.Event()
            def cb(c, t):
                if "s" in box and not stopped.is_set():
                    box["s"].stop()
                    stopped.set()
            d = dev("sim1 chunk_size=1K")
            box["s"] = d.start_read_stream(0, cb)
            deadline = time.monotonic() + 10
            while "streams_running=0" not in d.get_status() and time.monotonic() < deadline:
                time.sleep(0.01)
            os._exit(0 if stopped.is_set() and "streams_running=0" in d.get_status() else 1)
        assert child_exit(pid) == 0
        keep.stop()
        """,
    # fork() inside a callback: the child's only thread returns from the
    # callback and the child ends as a program would.
    "fork inside a callback, the child returns": "fork_in_callback(lambda d, cb: d.start_read_stream(0, cb), None, 0)",
    "fork inside a callback, the child exits with SystemExit":
        "fork_in_callback(lambda d, cb: d.start_aligned_read_stream(0, 8, cb), 3, 3)",
    # multiprocessing with the fork start method, streams running meanwhile,
    # each worker reading a stream of its own.
    "multiprocessing fork pool": """
        import multiprocessing
        def work(n):
            seen, cb = counting()
            with dev(f"sim{n % 4} chunk_size=1K length=64K").start_read_stream(0, cb) as s:
                deadline = time.monotonic() + 5
                while len(seen) < 65 and time.monotonic() < deadline:
                    time.sleep(0.01)
            return sum(seen)
        keep = dev().start_read_stream(0, lambda c, t: None)
        with multiprocessing.get_context("fork").Pool(2) as pool:
            assert pool.map(work, range(4)) == [64] * 4
        keep.stop()
        """,
}


@pytest.mark.skipif(os.environ.get("VORN_SANITIZER") == "address",
                    reason="this AddressSanitizer runtime does not hold its allocator's locks across fork(): "
                           "a child of a process with threads can deadlock in malloc")
@pytest.mark.parametrize("case", sorted(FORK_CASES))
def test_fork_with_streams_running(case):
    code = PRELUDE + textwrap.dedent(FORK_CASES[case]) + "\nprint('leaving')\n"
    for _ in range(3):
        result = run_python(code, timeout=60)
        assert result.returncode == 0 and result.stdout.endswith("leaving\n"), result.stderr[-3000:]


SUBINTERPRETER_CASES = {
    "a subinterpreter imports first": ("sub", "main"),
    "the main interpreter imports first": ("main", "sub", "main again"),
    "two subinterpreters": ("sub", "sub", "main"),
}


@pytest.mark.parametrize("case", sorted(SUBINTERPRETER_CASES))
def test_only_the_main_interpreter_imports_the_module(case):
    steps = []
    for step in SUBINTERPRETER_CASES[case]:
        if step == "sub":
            steps.append("results.append(_testcapi.run_in_subinterp(SUB))")
        elif step == "main again":
            steps.append("del sys.modules['pyvorn_device']\nimport pyvorn_device as again\n"
                         "results.append(again is pyvorn_device)")
        else:
            steps.append("import pyvorn_device\nresults.append(pyvorn_device.ReturnCode.Success.name)")
    code = textwrap.dedent("""
        import sys
        try:
            import _testcapi
        except ImportError:
            print("skip: no _testcapi")
            raise SystemExit(0)
        SUB = '''
        try:
            import pyvorn_device
        except ImportError as error:
            assert "only be imported in the main interpreter" in str(error), error
        else:
            raise AssertionError("imported in a subinterpreter")
        '''
        results = []
        """) + "\n".join(steps) + "\nprint(results)\n"
    result = run_python(code, timeout=60)
    if result.stdout.startswith("skip"):
        pytest.skip("this interpreter has no _testcapi")
    assert result.returncode == 0, result.stderr
    expected = [{"sub": 0, "main": "Success", "main again": True}[step] for step in SUBINTERPRETER_CASES[case]]
    assert result.stdout.strip() == repr(expected)
