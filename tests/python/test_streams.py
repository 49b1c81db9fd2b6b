"""Read streams end to end through a plug-in whose devices replay a script."""

import gc
import re
import sys
import textwrap
import threading
import time
import weakref

import pytest

import pyvorn_device as pv
from conftest import BUILD, run_python
from remote_fixtures import is_remote, open_manager, remote_servers  # noqa: F401 (remote_servers is a fixture)

SCRIPT_PLUGIN = BUILD / "tests" / "plugins" / "libvorn_test_script.so"


@pytest.fixture(scope="module", params=["local", "remote"])
def manager(request, remote_servers):  # noqa: F811
    return open_manager(SCRIPT_PLUGIN, request.param, remote_servers)


class Collector:
    """A stream callback that records what it receives and signals the end marker."""

    def __init__(self, keep=False):
        self.events = []
        self.done = threading.Event()
        self.keep = keep
        self.kept = []

    def __call__(self, chunk, text):
        if chunk is None and text is None:
            assert not self.done.is_set(), "(None, None) delivered twice"
            self.events.append(("end",))
            self.done.set()
        elif chunk is None:
            self.events.append(("error", text))
        else:
            if self.keep:
                self.kept.append(memoryview(chunk))
            self.events.append((type(chunk).__name__, bytes(chunk)))

    def wait(self, timeout=10):
        assert self.done.wait(timeout), f"stream did not end; got {self.events}"
        return self.events


def counting(start, n):
    return bytes((start + i) % 256 for i in range(n))


def info(device):
    return dict(item.split("=") for item in device.get_info().split())


@pytest.mark.parametrize("kind", ["o", "v"])
def test_aligned_example_recuts_into_whole_units(manager, kind):
    dev = manager.create_device(f"{kind}:6 {kind}:3 {kind}:2 end")
    cb = Collector()
    with dev.start_aligned_read_stream(0, 4, cb):
        events = cb.wait()
    assert events == [("DataView", counting(0, 4)), ("DataView", counting(4, 4)), ("DataView", counting(8, 3)),
                      ("end",)]


def test_alignment_one_and_empty_chunks(manager):
    dev = manager.create_device("o:5 o:0 v:3 e:late end")
    cb = Collector()
    with dev.start_aligned_read_stream(0, 1, cb):
        events = cb.wait()
    assert events == [("DataView", counting(0, 5)), ("DataView", counting(5, 3)), ("error", "late"), ("end",)]


def test_managed_buffers_errors_and_views_in_order(manager):
    dev = manager.create_device("o:6 v:3 e:device_hiccup o:0 end o:4")
    cb = Collector()
    with dev.start_read_stream(7, cb, chunk_size=1024) as stream:
        assert isinstance(stream, pv.DataStream)
        events = cb.wait()
    assert events == [("ManagedBuffer", counting(0, 6)), ("ManagedBuffer", counting(6, 3)),
                      ("error", "device hiccup"), ("ManagedBuffer", b""), ("end",)]
    assert info(dev)["addr"] == "7" and info(dev)["chunk_size"] == "1024"


def test_managed_buffer_outlives_its_callback(manager):
    if is_remote(manager):
        pytest.skip("counts the plug-in's deleter calls: on a server they run once a chunk is sent")
    dev = manager.create_device("o:16 end")
    cb = Collector(keep=True)
    with dev.start_read_stream(0, cb):
        cb.wait()
    view = cb.kept[0]
    assert (view.format, view.itemsize, view.ndim, view.shape, view.readonly) == ("B", 1, 1, (16,), False)
    released = int(info(dev)["released"])
    assert bytes(view) == counting(0, 16)
    del view, cb
    gc.collect()
    assert int(info(dev)["released"]) == released + 1


def test_kept_data_view_exports_nothing_more(manager):
    dev = manager.create_device("o:8 o:6 o:2 end")
    views, memories = [], []

    def cb(chunk, text):
        if chunk is not None:
            views.append(chunk)
            memories.append(memoryview(chunk))

    with dev.start_aligned_read_stream(0, 4, cb):
        time.sleep(0.3)
    assert [bytes(m) for m in memories] == [counting(0, 8), counting(8, 4), counting(12, 4)]
    with pytest.raises(BufferError, match="no longer valid"):
        memoryview(views[0])


@pytest.mark.parametrize("aligned", [False, True])
def test_objects_python_keeps_are_never_reused(manager, aligned):
    # A delivery's object that Python let go of may be handed out again; one
    # that Python still holds (in a list, through a memoryview, or by a weak
    # reference) never is, and keeps its bytes.
    dev = manager.create_device(" ".join(["o:8"] * 60 + ["end"]))
    kept, weak, reused, seen, done = [], [], [], [0], threading.Event()

    def cb(chunk, text):
        if chunk is None:
            done.set()
            return
        if any(chunk is k for k, _, _ in kept) or any(chunk is w() for w in weak):
            reused.append(seen[0])
        seen[0] += 1
        if seen[0] % 3 == 0:
            memory = memoryview(chunk)
            kept.append((chunk if seen[0] % 2 else None, memory, bytes(memory)))
        elif seen[0] % 3 == 1:
            weak.append(weakref.ref(chunk))

    start = dev.start_aligned_read_stream if aligned else dev.start_read_stream
    with start(*((0, 8) if aligned else (0,)), cb):
        assert done.wait(10)
    assert not reused and len(kept) == 20 and all(bytes(m) == b for _, m, b in kept)
    gc.collect()
    assert all(w() is None for w in weak)


@pytest.mark.parametrize("limit", [63, 0, 2147483648])
def test_queue_limit_below_64_is_refused_before_the_device(manager, limit):
    dev = manager.create_device("o:1 end")
    with pytest.raises(RuntimeError, match="^max_elements must be greater than init_elements$"):
        dev.start_read_stream(5, print, max_queue_elements=limit)
    assert info(dev)["addr"] == "0"


@pytest.mark.parametrize("limit", [64, 4294967360])
def test_queue_limit_keeps_its_low_32_bits(manager, limit):
    cb = Collector()
    with manager.create_device("o:1 end").start_read_stream(0, cb, max_queue_elements=limit):
        assert cb.wait() == [("ManagedBuffer", b"\x00"), ("end",)]


def test_alignment_zero_is_refused_before_the_device(manager):
    dev = manager.create_device("o:1 end")
    with pytest.raises(RuntimeError, match="alignment must be at least 1 byte, got 0"):
        dev.start_aligned_read_stream(3, 0, print)
    assert info(dev)["addr"] == "0"


@pytest.mark.parametrize("script", ["nostream", "nostream keep", "throw:refused"])
def test_device_that_starts_nothing_releases_the_callback(manager, script):
    class Callback:
        def __call__(self, chunk, text):
            pass

    cb = Callback()
    before = sys.getrefcount(cb)
    dev = manager.create_device(script)
    if script.startswith("throw"):
        with pytest.raises(RuntimeError, match="^refused$"):
            dev.start_read_stream(0, cb)
    else:
        assert dev.start_read_stream(0, cb) is None
    assert sys.getrefcount(cb) == before


def test_stream_stops_when_the_with_block_is_left_by_an_exception(manager):
    dev = manager.create_device("loop o:8")
    seen = []
    with pytest.raises(KeyError):
        with dev.start_read_stream(0, lambda c, t: seen.append(c)):
            while not seen:
                time.sleep(0.01)
            raise KeyError("leave")
    count = len(seen)
    time.sleep(0.1)
    assert len(seen) == count


def test_nothing_after_the_end_marker(manager):
    cb = Collector()
    with manager.create_device("o:2 end o:4").start_read_stream(0, cb):
        cb.wait()
        time.sleep(0.1)
    assert cb.events == [("ManagedBuffer", counting(0, 2)), ("end",)]


@pytest.mark.parametrize("aligned", [False, True])
def test_end_marker_survives_overflow(manager, aligned):
    # 200 three-byte chunks against a queue of 64 and a callback held on the
    # first: most are dropped, but the end marker (and the held tail) arrive.
    dev = manager.create_device(" ".join(["o:3"] * 200 + ["end"]))
    release, cb = threading.Event(), Collector()

    def held(chunk, text):
        release.wait(10)
        cb(chunk, text)

    stream = (dev.start_aligned_read_stream(0, 4, held, max_queue_elements=64) if aligned
              else dev.start_read_stream(0, held, max_queue_elements=64))
    with stream:
        time.sleep(0.2)
        release.set()
        events = cb.wait()
    assert events[-1] == ("end",) and events.count(("end",)) == 1
    dropped = events.count(("error", "Queue Overflow, dropping event"))
    assert dropped > 0
    assert sum(len(e[1]) for e in events if len(e) == 2 and e[0] != "error") == 3 * (200 - dropped)


@pytest.mark.parametrize("aligned", [False, True])
def test_error_text_that_is_not_utf8_arrives_replaced(manager, aligned):
    dev = manager.create_device("e:bad%FFbyte end")
    cb = Collector()
    with (dev.start_aligned_read_stream(0, 4, cb) if aligned else dev.start_read_stream(0, cb)):
        assert cb.wait() == [("error", "bad\ufffdbyte"), ("end",)]


def _run_logged(code):
    result = run_python(textwrap.dedent(code), timeout=30)
    assert result.returncode == 0, result.stderr
    return result


def test_weak_reference_to_a_delivered_buffer_dies_with_it():
    # Each chunk's object is freed when its callback returns, and the next
    # one is likely made at the same address: a weak reference left standing
    # by the deallocation would hand out that unrelated live object.
    _run_logged(f"""
        import gc, threading, weakref, pyvorn_device as pv
        refs, alive, done = [], [], threading.Event()
        def cb(chunk, text):
            if chunk is not None:
                alive.extend(r for r in refs if r() is not None)
                refs.append(weakref.ref(chunk))
            elif text is None:
                done.set()
        dev = pv.get_device_manager({str(SCRIPT_PLUGIN)!r}).create_device(" ".join(["o:8"] * 20 + ["end"]))
        with dev.start_read_stream(0, cb):
            assert done.wait(10)
        gc.collect()
        assert not alive and len(refs) == 20 and all(r() is None for r in refs), alive
        print("done")
        """)


CALLBACK_FAILURES = {
    "data": ("o:1 o:1 o:1 end", "def cb(c, t):\n    if c is not None: raise ValueError('bad chunk')\n    done.append(t)", 3),
    "end": ("o:1 end", "def cb(c, t):\n    if c is None and t is None: raise ValueError('bad end')", 1),
    "error": ("e:oops end", "def cb(c, t):\n    if t: raise ValueError('bad error')", 1),
}


@pytest.mark.parametrize("case", sorted(CALLBACK_FAILURES))
def test_callback_failures_are_logged_and_the_stream_goes_on(case):
    script, callback, lines = CALLBACK_FAILURES[case]
    result = _run_logged(f"""
        import time, pyvorn_device as pv
        done = []
        {callback.replace(chr(10), chr(10) + ' ' * 8)}
        dev = pv.get_device_manager({str(SCRIPT_PLUGIN)!r}).create_device({script!r})
        s = dev.start_read_stream(0, cb)
        time.sleep(0.5)
        s.stop()
        print("alive", done)
        """)
    logged = [line for line in result.stdout.splitlines() if "Error in callback: " in line]
    assert len(logged) == lines, result.stdout
    assert all("[error]" in line for line in logged)
    assert result.stdout.splitlines()[-1].startswith("alive")


DEADLOCK_PATHS = {
    "untaken pump": """
        for _ in range(50):
            assert dev_none.start_read_stream(0, lambda c, t: None) is None
        """,
    "collected without stop": """
        for _ in range(20):
            s = dev.start_read_stream(0, lambda c, t: None)
            time.sleep(0.01)
            del s
        """,
    "collected without stop, pump ends in the destructor": """
        for _ in range(20):
            s = dev_lazy.start_read_stream(0, lambda c, t: None)
            time.sleep(0.01)
            s.stop()
            del s
        """,
    "stop from the callback": """
        box = {}
        def cb(c, t):
            box["stream"].stop()
            box["calls"] = box.get("calls", 0) + 1
        box["stream"] = dev.start_read_stream(0, cb)
        time.sleep(0.3)
        assert box["calls"] == 1, box
        """,
    "with-exit from the callback": """
        box = {}
        def cb(c, t):
            with box["stream"]:
                pass
        box["stream"] = dev.start_aligned_read_stream(0, 4, cb)
        time.sleep(0.2)
        del box["stream"]
        """,
    "device and manager dropped while the stream runs": """
        seen = []
        s = pv.get_device_manager(PLUGIN).create_device("loop o:8").start_read_stream(0, lambda c, t: seen.append(1))
        del dev, dev_none, dev_lazy
        gc.collect()
        time.sleep(0.1)
        s.stop()
        assert seen
        del s
        gc.collect()
        """,
    "stream left running at exit": """
        s = dev.start_read_stream(0, lambda c, t: None)
        time.sleep(0.05)
        """,
}


SIM_PLUGIN = BUILD / "plugins" / "libvorn_sim.so"

# Plug-in code must stay loaded while anything it made can still be released:
# chunks kept by Python, and a stream dropped by its own callback after its
# device and manager are gone. Crashes (not exceptions) are what these catch.
LIFETIME_CASES = {
    "kept buffers": """
        kept = []
        s = m.create_device("o:16 o:16 end").start_read_stream(0, lambda c, t: c is not None and kept.append(c))
        time.sleep(0.2)
        del s, m
        gc.collect()
        assert len(kept) == 2 and bytes(kept[1])[0] == 16
        del kept
        gc.collect()
        """,
    "kept views": """
        kept = []
        s = m.create_device("o:6 o:6 end").start_aligned_read_stream(0, 4, lambda c, t: c is not None and kept.append(memoryview(c)))
        time.sleep(0.2)
        del s, m
        gc.collect()
        assert [bytes(v) for v in kept] == [bytes(range(0, 4)), bytes(range(4, 8)), bytes(range(8, 12))]
        del kept
        gc.collect()
        """,
    "managed stream dropped in its callback": """
        box = {}
        def cb(c, t):
            box.pop("s", None)
        box["s"] = m.create_device("o:16 loop").start_read_stream(0, cb)
        del m
        time.sleep(0.3)
        assert "s" not in box
        """,
    "aligned stream dropped in its callback": """
        box = {}
        def cb(c, t):
            box.pop("s", None)
        box["s"] = m.create_device("o:6 loop").start_aligned_read_stream(0, 4, cb)
        del m
        time.sleep(0.3)
        assert "s" not in box
        """,
}


@pytest.mark.parametrize("case", sorted(LIFETIME_CASES))
def test_plugin_code_outlives_what_it_made(case):
    body = textwrap.indent(textwrap.dedent(LIFETIME_CASES[case]), " " * 8)
    _run_logged(f"""
        import gc, time, pyvorn_device as pv
        m = pv.get_device_manager({str(SCRIPT_PLUGIN)!r})
{body}
        print("done")
        """)


EXIT_CASES = {
    "slow callback still busy": """
        d = pv.get_device_manager(SIM).create_device("sim0 chunk_size=1K")
        def cb(c, t):
            time.sleep(0.002)
        s = d.start_read_stream(0, cb, max_queue_elements=100000)
        time.sleep(0.3)
        """,
    "streams dropping each other at exit": """
        d = pv.get_device_manager(SIM).create_device("sim0 chunk_size=1K chunk_rate=5000")
        streams, exiting = {}, [False]
        def make(other):
            def cb(c, t):
                if exiting[0]:
                    streams.pop(other, None)
            return cb
        streams["a"] = d.start_read_stream(0, make("b"))
        streams["b"] = d.start_read_stream(0, make("a"))
        atexit.register(lambda: exiting.__setitem__(0, True))
        time.sleep(0.1)
        """,
}


@pytest.mark.parametrize("case", sorted(EXIT_CASES))
def test_exit_with_streams_running_is_clean(case):
    body = textwrap.indent(textwrap.dedent(EXIT_CASES[case]), " " * 8)
    for _ in range(3):
        _run_logged(f"""
        import atexit, time, pyvorn_device as pv
        SIM = {str(SIM_PLUGIN)!r}
{body}
        print("leaving")
        """)


# Paced, the worker polls between events when the stop comes.
@pytest.mark.parametrize("plugin, text", [("sim", "sim0 chunk_size=64"), ("sim", "sim0 chunk_size=64 chunk_rate=20000"),
                                          ("script", "o:6 o:6 o:6 loop")])
@pytest.mark.parametrize("aligned", [False, True])
@pytest.mark.parametrize("where", ["caller", "callback"])
@pytest.mark.parametrize("side", ["local", "remote"])
def test_nothing_is_delivered_after_stop_returns(plugin, text, aligned, where, side, remote_servers):  # noqa: F811
    path = SIM_PLUGIN if plugin == "sim" else SCRIPT_PLUGIN
    dev = open_manager(path, side, remote_servers).create_device(text)
    state = {"calls": 0, "after": 0, "stopped": False}
    # Set by the second call, or once the callback has stopped its stream.
    ready = threading.Event()

    def cb(chunk, _text):
        state["calls"] += 1
        if state["stopped"]:
            state["after"] += 1
        elif state["calls"] >= 2 and "stream" in state:
            if where == "callback":
                state["stream"].stop()
                state["stopped"] = True
            ready.set()

    start = (lambda: dev.start_aligned_read_stream(0, 4, cb)) if aligned else (lambda: dev.start_read_stream(0, cb))
    state["stream"] = start()
    assert ready.wait(30), f"no second call within 30 s: {state}"
    if where == "caller":
        state["stream"].stop()
        state["stopped"] = True
    time.sleep(0.1)  # room for a delivery that should not come
    assert state["stopped"] and state["after"] == 0, state
    del state["stream"]


@pytest.mark.parametrize("path", sorted(DEADLOCK_PATHS))
def test_shutdown_paths_neither_hang_nor_crash(path):
    body = textwrap.indent(textwrap.dedent(DEADLOCK_PATHS[path]), " " * 8)
    _run_logged(f"""
        import gc, time, pyvorn_device as pv
        PLUGIN = {str(SCRIPT_PLUGIN)!r}
        m = pv.get_device_manager(PLUGIN)
        dev = m.create_device("loop o:64")
        dev_none = m.create_device("nostream keep")
        dev_lazy = m.create_device("loop o:64 lazy_release")
        del m
{body}
        print("done")
        """)
