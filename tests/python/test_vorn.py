"""The vorn package: plug-in discovery, reading streams through iterators,
and recording them to a file."""

import array
import asyncio
import gc
import math
import os
import shutil
import stat
import threading
import time
import warnings
import weakref

import pytest

import vorn
from conftest import BUILD, run_python
from vorn import _streams

SCRIPT_PLUGIN = BUILD / "tests" / "plugins" / "libvorn_test_script.so"
OVERFLOW = "e:Queue_Overflow%2C_dropping_event"


def counters(nbytes):
    """The simulator's stream: little-endian 64-bit counters 0, 1, 2, ..."""
    return array.array("Q", range(nbytes // 8 + 1)).tobytes()[:nbytes]


@pytest.fixture(scope="module")
def sim():
    return vorn.open_manager("sim")


@pytest.fixture(scope="module")
def script():
    return vorn.open_manager(SCRIPT_PLUGIN)


def test_plugins_are_found_by_short_name_along_the_search_path(tmp_path, monkeypatch, sim_plugin):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    shutil.copy(sim_plugin, first / "libvorn_sim.so")  # shadows the package's simulator
    shutil.copy(sim_plugin, second / "libvorn_other.so")
    (second / "notes.txt").write_text("not a plug-in")
    monkeypatch.setenv("VORN_PLUGIN_PATH", os.pathsep.join([str(first), "", str(second), str(first)]))

    folders = vorn.plugin_search_path()
    assert [f.path for f in folders[:2]] == [first, second]
    assert [f.origin for f in folders[2:]] == ["package", "prefix"]
    found = [(p.name, p.path.parent) for p in vorn.find_plugins()]
    assert found[:2] == [("sim", first), ("other", second)] and ("sim", folders[2].path) in found

    assert vorn.open_manager("sim").location() == first
    assert vorn.open_manager("libvorn_other.so").location() == second
    assert vorn.open_manager(str(sim_plugin)).location() == sim_plugin.parent  # a path, as given
    with pytest.raises(vorn.PluginNotFoundError) as error:
        vorn.open_manager("nosuch")
    assert all(str(folder.path) in str(error.value) for folder in folders)


@pytest.mark.parametrize("case, found, warning", [
    ("absolute-entry", True, None),
    ("current-folder", False, None),
    ("relative-entries", False, None),
    ("world-writable-folder", False, "world-writable folder"),
    ("sticky-folder", True, None),
    ("sticky-folder-of-another-user", False, "world-writable folder"),
    ("world-writable-library", False, "world-writable library"),
])
def test_names_load_only_what_the_search_path_allows(tmp_path, monkeypatch, sim_plugin, case, found, warning):
    folder = tmp_path / "plugins"
    folder.mkdir()
    for target in (folder / "libvorn_smi.so", tmp_path / "smi", tmp_path / "libvorn_smi.so"):
        shutil.copy(sim_plugin, target)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("VORN_PLUGIN_PATH", {"current-folder": "", "relative-entries": "plugins:.:"}.get(case, str(folder)))
    if case == "sticky-folder-of-another-user":
        if os.geteuid() != 0:
            pytest.skip("giving a folder to another user needs root")
        os.chown(folder, 65534, 65534)
    folder.chmod({"world-writable-folder": 0o777, "sticky-folder": 0o1777,
                  "sticky-folder-of-another-user": 0o1777}.get(case, 0o755))
    (folder / "libvorn_smi.so").chmod(0o666 if case == "world-writable-library" else 0o755)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if found:
            assert vorn.open_manager("smi").location() == folder
        else:
            for name in ("smi", "libvorn_smi.so"):  # nothing in the current folder loads by name
                with pytest.raises(vorn.PluginNotFoundError):
                    vorn.open_manager(name)
    messages = {str(w.message) for w in caught}  # one message, however often the path is searched
    assert [warning in m and str(folder) in m for m in messages] == ([True] if warning else []), messages
    assert all(f.path.is_absolute() and f.path != tmp_path for f in vorn.plugin_search_path())
    assert vorn.open_manager("./smi").location() == tmp_path, "a name with a folder part is a path"


@pytest.mark.parametrize("mode", ["sync", "async"])
@pytest.mark.parametrize("addr, alignment", [(0, None), (2, None), (2, 4096)], ids=["owned", "views", "aligned"])
def test_iterators_yield_the_whole_stream(sim, mode, addr, alignment):
    device = sim.create_device("sim0 length=100000 chunk_size=1000 chunk_rate=500")
    reader = vorn.read_stream(device, addr, alignment=alignment, timeout=10)
    if mode == "sync":
        with reader:
            chunks = list(reader)
    else:
        async def consume():
            # The other task runs whenever the loop gets control; a wait for a
            # chunk that blocked the loop would never let it in.
            ticks = waits_with_ticks = 0

            async def tick():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0)
                    ticks += 1

            ticker = asyncio.create_task(tick())
            chunks = []
            async with reader:
                while True:
                    before = ticks
                    try:
                        chunks.append(await anext(reader))
                    except StopAsyncIteration:
                        break
                    waits_with_ticks += ticks > before
            ticker.cancel()
            return chunks, waits_with_ticks

        chunks, waits_with_ticks = asyncio.run(asyncio.wait_for(consume(), 30))
        # The throttled stream outlasts the reader's work, so it waits many times.
        assert waits_with_ticks > 0, "the event loop was blocked while waiting for chunks"
    assert b"".join(chunks) == counters(100000)  # also views kept past their callback
    if alignment:
        assert all(len(c) % alignment == 0 for c in chunks[:-1])
    assert reader.closed
    assert reader.stats == vorn.StreamStats(chunks=len(chunks), bytes=100000, ended=True)


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_iterators_time_out_and_close_from_another_thread(script, mode):
    reader = vorn.read_stream(script.create_device("o:4 hold"), 0, timeout=0.2)
    if mode == "sync":
        assert len(next(reader)) == 4
        with pytest.raises(TimeoutError):
            next(reader)
        threading.Timer(0.2, reader.close).start()
        reader.timeout = 10
        assert list(reader) == []
    else:
        async def consume():
            assert len(await anext(reader)) == 4
            with pytest.raises(TimeoutError):
                await anext(reader)
            asyncio.get_running_loop().call_later(0.2, threading.Thread(target=reader.close).start)
            reader.timeout = 10
            return [chunk async for chunk in reader]

        assert asyncio.run(asyncio.wait_for(consume(), 30)) == []
    assert reader.closed and not reader.stats.ended


def test_overflow_is_counted_in_stream_order(script):
    device = script.create_device(f"o:4 {OVERFLOW} e:device_hiccup o:4 o:4 o:4 end")
    with vorn.read_stream(device, 0, max_buffered_chunks=2, timeout=10) as reader:
        deadline = time.monotonic() + 10
        while not reader.stats.ended and time.monotonic() < deadline:
            time.sleep(0.01)
        # One notice and two chunks that found the buffer full are dropped.
        assert reader.stats == vorn.StreamStats(dropped=3, errors=1, error_texts=("device hiccup",), ended=True,
                                                buffered=2)
        assert bytes(next(reader)) == bytes(range(4)) and reader.dropped_before_last == 0
        assert bytes(next(reader)) == bytes(range(4, 8)) and reader.dropped_before_last == 1
        assert list(reader) == [] and reader.dropped_before_last == 3
    assert reader.stats.chunks == 2 and reader.stats.bytes == 8


@pytest.mark.parametrize("limits, kept", [({"max_buffered_chunks": 8}, 8), ({"max_buffered_bytes": 1}, 1)],
                         ids=["chunks", "bytes-below-one-chunk"])
def test_slow_reader_keeps_memory_bounded(sim, limits, kept):
    device = sim.create_device("sim0 length=4M chunk_size=4K")
    with vorn.read_stream(device, 1, timeout=10, **limits) as reader:
        deadline = time.monotonic() + 10
        while not reader.stats.ended and time.monotonic() < deadline:
            time.sleep(0.01)
        assert reader.stats.buffered <= kept
        data = [bytes(chunk) for chunk in reader]
    stats = reader.stats
    assert stats.chunks == len(data) <= kept and stats.chunks + stats.dropped == 1024
    assert data[0] == counters(4096), "the buffer always has room for one chunk"


def test_buffered_bytes_count_only_what_waits():
    """Two 4-byte chunks arrive per round, then the reader takes both: what
    was taken no longer counts against the limit of 8 bytes."""
    sink = _streams._Sink(False, 4096, 8)
    taken = []
    for _ in range(16):
        sink(b"abcd", None)
        sink(b"efgh", None)
        with sink.lock:
            while (item := sink.take()) is not None:
                taken.append(bytes(item))  # type: ignore[arg-type]
    assert taken == [b"abcd", b"efgh"] * 16 and sink.dropped == 0


def test_a_reader_nobody_holds_stops_its_stream(script):
    device = script.create_device("o:4 loop")
    reader = vorn.read_stream(device, 0)
    gone = weakref.ref(reader)
    del reader
    gc.collect()
    assert gone() is None
    assert " streams=0 " in device.get_info()


@pytest.mark.parametrize("text, options, expected", [
    ("sim0 chunk_size=1000", {"nbytes": 100003}, dict(bytes=100003, chunks=101, reached=True)),
    ("sim0 length=64K", {}, dict(bytes=65536, ended=True, reached=True)),
    ("sim0 length=64K", {"nbytes": 1 << 20}, dict(bytes=65536, ended=True, problem="the stream ended after 65536 "
                                                                                  "of 1048576 bytes")),
    ("sim0 rate=1M chunk_size=4K", {"seconds": 0.3}, dict(reached=True)),
    ("sim0 chunk_rate=10 chunk_size=4K", {"seconds": 5, "idle_timeout": 0.05}, dict(problem="no data for 0.05 s")),
], ids=["bytes", "end", "ended-early", "seconds", "idle"])
def test_record_writes_the_stream_and_says_what_is_missing(sim, tmp_path, text, options, expected):
    path = tmp_path / "out.bin"
    stats = vorn.record(sim.create_device(text), path, addr=1, **options)
    data = path.read_bytes()
    assert data == counters(len(data)) and stats.bytes == len(data) > 0
    assert {key: getattr(stats, key) for key in expected} == expected
    assert stats.complete == stats.reached and stats.dropped == 0
    assert (stats.problem is None) == stats.reached
    if "seconds" in options and stats.reached:
        assert 0.25 < stats.elapsed < 2


def test_record_reports_drops_and_write_failures(script, tmp_path):
    stats = vorn.record(script.create_device(f"o:4 {OVERFLOW} o:4 end"), tmp_path / "gap.bin")
    assert (stats.dropped, stats.reached, stats.complete) == (1, True, False)
    assert stats.problem == "1 events dropped: the file has gaps"
    stats = vorn.record(script.create_device("o:4 end"), "/dev/full")
    assert not stats.reached and stats.problem.startswith("write failed: [Errno 28]")
    with pytest.raises(FileNotFoundError):
        vorn.record(script.create_device("o:4 end"), tmp_path / "no" / "such" / "folder")


# Records in a fresh interpreter (a KeyboardInterrupt there reaches no test
# runner) and prints what it got, with the file sizes that fsync saw.
RECORD_AND_SYNC = """
import os, signal, threading, time
import vorn, vorn._record
synced, fsync = [], os.fsync
os.fsync = lambda fd: (synced.append((os.fstat(fd).st_ino, os.fstat(fd).st_size)), fsync(fd))[1]
if mode == "interrupted":  # Ctrl+C while a slow write is under way
    write, writing = vorn._record._Writer._write, threading.Event()
    def slow_write(self, *args):
        writing.set()
        time.sleep(0.3)
        write(self, *args)
    vorn._record._Writer._write = slow_write
    threading.Thread(target=lambda: writing.wait() and os.kill(os.getpid(), signal.SIGINT)).start()
device = vorn.open_manager("sim").create_device("sim0 chunk_size=4K rate=4M length=64M")
stats = vorn.record(device, path, nbytes=None if mode == "interrupted" else 1 << 20)
data = os.stat(path).st_ino
print(stats.complete, stats.problem, stats.bytes == os.path.getsize(path),
      [size for inode, size in synced if inode == data] == [stats.bytes], stats.bytes > 0)
"""


@pytest.mark.parametrize("mode", ["limit", "interrupted"])
def test_record_syncs_the_whole_file_before_it_returns(tmp_path, mode):
    result = run_python(f"mode, path = {mode!r}, {str(tmp_path / 'out.bin')!r}" + RECORD_AND_SYNC)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "None", "True", "True", "True"], result.stdout + result.stderr


NAN = math.nan


@pytest.mark.parametrize("call", [
    lambda device, path: vorn.read_stream(device, 0, timeout=NAN),
    lambda device, path: vorn.record(device, path, seconds=NAN),
    lambda device, path: vorn.record(device, path, seconds=-1),
    lambda device, path: vorn.record(device, path, idle_timeout=NAN),
    lambda device, path: vorn.record(device, path, progress_interval=NAN),
    lambda device, path: vorn.record(device, path, progress_interval=0),
], ids=["read_stream-timeout", "seconds", "seconds-negative", "idle_timeout", "progress_interval",
        "progress_interval-zero"])
def test_bad_times_raise_before_anything_starts(sim, tmp_path, call):
    device = sim.create_device("sim0 length=64K")  # bounded, should a time be ignored
    with pytest.raises(ValueError, match=r"got (nan|-1|0)$"):
        call(device, tmp_path / "out.bin")
    assert not (tmp_path / "out.bin").exists() and "streams_started=0 " in device.get_status()


def test_inf_is_no_limit_and_nan_is_refused_on_every_wait(sim, tmp_path):
    device = sim.create_device("sim0 length=64K chunk_size=4K")
    with vorn.read_stream(device, 0, timeout=math.inf) as reader:
        chunks = [reader.next_chunk(math.inf), *reader.next_chunks(1e300, max_chunks=2)]
        with pytest.raises(ValueError, match="got nan"):
            reader.next_chunk(NAN)
        chunks += asyncio.run(asyncio.wait_for(anext(reader), 30)), *reader
    assert b"".join(chunks) == counters(65536)
    reader = vorn.read_stream(device, 0)
    reader.timeout = NAN
    with pytest.raises(ValueError, match="got nan"):
        asyncio.run(anext(reader))
    reader.close()
    stats = vorn.record(device, tmp_path / "out.bin", seconds=math.inf, idle_timeout=math.inf,
                        progress_interval=math.inf)
    assert stats.complete and stats.bytes == 65536
