"""Chunks that break the plug-in rules of vorn/buffers.hpp and vorn/stream.hpp
arrive as an error text in their place (or, where they can be, as a copy),
on both stream kinds; nothing crashes and every block is released exactly
once. Each case runs in a fresh interpreter, since a fault here crashes it."""

import ast
import struct

import pytest

from conftest import BUILD, run_python

SCRIPT_PLUGIN = BUILD / "tests" / "plugins" / "libvorn_test_script.so"


def null_data(n):
    return f"Invalid stream chunk: null data with {n} bytes"


def too_big(n):
    return f"Invalid stream chunk: {n} bytes is more than a buffer can hold"


def no_memory(n):
    return f"Out of memory: cannot copy a chunk view of {n} bytes"


TWO_THREADS = "Stream callback invoked from two threads at once: a device must push from one thread at a time"


def counting(start, n):
    return bytes((start + i) % 256 for i in range(n))


def run_streams(script, aligned, runs=1, queue=4096):
    """Runs `runs` streams of one script device to their end in a fresh
    interpreter. Returns each stream's events (bytes for data, str for error
    texts) and the device's get_info() fields once all streams are gone."""
    start = (f"dev.start_aligned_read_stream(0, 4, cb, max_queue_elements={queue})" if aligned
             else f"dev.start_read_stream(0, cb, max_queue_elements={queue})")
    result = run_python(f"""
import gc, threading, pyvorn_device as pv
dev = pv.get_device_manager({str(SCRIPT_PLUGIN)!r}).create_device({script!r})
results = []
for _ in range({runs}):
    events, done = [], threading.Event()
    def cb(chunk, text, events=events, done=done):
        if chunk is not None:
            events.append(bytes(chunk))
        elif text is not None:
            events.append(text)
        else:
            done.set()
    with {start}:
        assert done.wait(60), events
    results.append(events)
gc.collect()
print(repr((results, dev.get_info())))
""", timeout=120)
    assert result.returncode == 0, result.stderr
    results, info = ast.literal_eval(result.stdout.splitlines()[-1])
    return results, dict(item.split("=") for item in info.split())


def merged(events):
    """Consecutive data joined, empty data left out: what both kinds share."""
    out = []
    for event in events:
        if isinstance(event, bytes) and out and isinstance(out[-1], bytes):
            out[-1] += event
        elif event != b"":
            out.append(event)
    return out


OVERCOMMITS = open("/proc/sys/vm/overcommit_memory").read().strip() == "1"

# script, what a plain stream delivers, owning blocks released through their deleter
CASES = {
    "null owning chunk": ("o:4 z:5 o:4 end", [counting(0, 4), null_data(5), counting(4, 4)], 2),
    "null chunk view": ("o:4 zv:7 o:4 end", [counting(0, 4), null_data(7), counting(4, 4)], 2),
    "null data, no bytes": ("o:4 z:0 zv:0 o:4 end", [counting(0, 4), b"", b"", counting(4, 4)], 2),
    "null deleter": ("d:6 o:2 d:4 end", [counting(0, 6), counting(6, 2), counting(8, 4)], 1),
    "owning chunk too big": ("o:4 huge o:4 end", [counting(0, 4), too_big(2**63), counting(4, 4)], 3),
    "chunk view too big": ("o:4 bigview:63 o:4 end", [counting(0, 4), too_big(2**63), counting(4, 4)], 2),
    "uncopyable chunk view": ("o:4 bigview:62 o:4 end", [counting(0, 4), no_memory(2**62), counting(4, 4)], 2),
    "chunk view of 1 TiB": ("o:4 bigview:40 o:4 end", [counting(0, 4), no_memory(2**40), counting(4, 4)], 2),
}


@pytest.mark.parametrize("aligned", [False, True], ids=["plain", "aligned"])
@pytest.mark.parametrize("case", list(CASES))
def test_misfit_chunk_takes_its_place_as_an_error_text(case, aligned):
    if case == "chunk view of 1 TiB" and OVERCOMMITS:
        pytest.skip("vm.overcommit_memory=1 may grant 1 TiB, and the copy would then read past the view")
    script, expected, released = CASES[case]
    (events,), info = run_streams(script, aligned)
    if aligned:
        assert merged(events) == merged(expected)
    else:
        assert events == expected
    assert (info["released"], info["null_released"], info["streams"]) == (str(released), "0", "0")


@pytest.mark.parametrize("aligned", [False, True], ids=["plain", "aligned"])
def test_two_pushing_threads_lose_nothing_and_are_reported_at_most_once(aligned):
    count, runs = 5000, 12
    results, info = run_streams(f"two:{count} end", aligned, runs=runs, queue=1 << 22)
    for events in results:
        assert [e for e in events if isinstance(e, str)] in ([], [TWO_THREADS])
        data = b"".join(e for e in events if isinstance(e, bytes))
        assert len(data) == 2 * count * 8
        units = list(struct.iter_unpack("<II", data))
        for thread in (0, 1):
            assert [n for n, t in units if t == thread] == list(range(count))
    # The threads leave a spin barrier together every 100 chunks, so their
    # pushes overlap whenever both have a core: in about half of the runs on
    # an idle 2-core machine, but in none when other processes keep one core
    # busy (seen under ASan beside a build), so whether the notice comes is
    # not asserted here. The native test EventPump.OverlappingPushesAre-
    # SerialisedAndReportedOnce makes the overlap happen and checks the
    # notice and its place.
    assert info["released"] == str(runs * 2 * count)
