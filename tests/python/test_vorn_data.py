"""Data as users take it: typed samples, the metadata of recordings, and
the replay plug-in that streams a recording back."""

import array
import ctypes
import json
import os
import struct
import sys
import threading

import pytest

import pyvorn_device as pv
import vorn
from conftest import run_python
from test_vorn import OVERFLOW, SCRIPT_PLUGIN, counters, script, sim  # noqa: F401 (fixtures)

# Under the sanitizer, a Ctrl+C at an arbitrary point of the interpreter
# leaves CPython's own allocations unreleased at exit (see test_vorn_cli.py).
INTERRUPT_LEAKS = pytest.mark.skipif(
    bool(os.environ.get("VORN_SANITIZER")),
    reason="an asynchronous KeyboardInterrupt leaks CPython's own allocations under LeakSanitizer")
NATIVE = "<" if sys.byteorder == "little" else ">"
OTHER = ">" if NATIVE == "<" else "<"


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


def address(exporter) -> int:
    """Where the buffer of `exporter` starts in memory."""
    view = PyBuffer()
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
    assert get(exporter, ctypes.byref(view), 0) == 0
    try:
        return view.buf
    finally:
        ctypes.pythonapi.PyBuffer_Release.argtypes = [ctypes.POINTER(PyBuffer)]
        ctypes.pythonapi.PyBuffer_Release(ctypes.byref(view))


@pytest.fixture(scope="module")
def replay():
    return vorn.open_manager("replay")


def callback_events(device, addr=0):
    """Every event of a finite stream, through a plain callback."""
    events, ended = [], threading.Event()

    def on_event(chunk, error):
        events.append(bytes(chunk) if chunk is not None else error)
        if chunk is None and error is None:
            ended.set()

    with device.start_read_stream(addr, on_event):
        assert ended.wait(30)
    return events


@pytest.mark.parametrize("dtype, channels, chunk_size", [
    ("<i2", 4, 1000), (">i2", 4, 1000), ("u1", 3, 1000), (f"{NATIVE}u8", 1, 4096), (f"{OTHER}u4", 2, 999),
    ("<f4", 2, 1 << 12), (">f8", 1, 1000), ("=i4", 5, 7), ("<i8", 2, 1 << 16),
])
@pytest.mark.parametrize("mode", ["sync", "async"])
def test_typed_views_hold_whole_frames_of_the_right_values(sim, dtype, channels, chunk_size, mode):
    length = 6000
    device = sim.create_device(f"sim0 length={length} chunk_size={chunk_size}")
    reader = vorn.read_stream(device, 0, dtype=dtype, channels=channels, timeout=10)
    if mode == "sync":
        with reader:
            views = list(reader)
    else:
        import asyncio

        async def consume():
            async with reader:
                return [view async for view in reader]

        views = asyncio.run(asyncio.wait_for(consume(), 30))
    fmt = vorn.SampleFormat.parse(dtype, channels)
    frames = length // fmt.frame_size
    order = "<" if fmt.dtype[0] in "<|" else ">"
    expected = struct.unpack(f"{order}{frames * channels}{fmt.format}", counters(frames * fmt.frame_size))
    assert all(v.ndim == 2 and v.shape[1] == channels and v.format == fmt.format and v.c_contiguous
               and v.strides == (fmt.frame_size, fmt.itemsize) for v in views)
    values = [x for v in views for row in v.tolist() for x in row]
    assert values == list(expected)
    assert list(array.array(fmt.format, b"".join(v.tobytes() for v in views))) == list(expected)
    stats = reader.stats
    assert (stats.bytes, stats.partial_bytes) == (frames * fmt.frame_size, length % fmt.frame_size)


@pytest.mark.parametrize("dtype, in_place", [(f"{NATIVE}i2", True), (f"{OTHER}i2", False)])
def test_a_whole_chunk_in_native_order_is_viewed_in_place(sim, dtype, in_place):
    device = sim.create_device("sim0 length=64K chunk_size=4K")
    with vorn.read_stream(device, 1, dtype=dtype, channels=4, timeout=10) as reader:
        view = next(reader)
    assert view.shape == (512, 4)
    # The chunk's own memory, or a swapped copy in an array.
    assert type(view.obj) is (pv.ManagedBuffer if in_place else array.array)
    assert address(view) == address(view.obj)


@pytest.mark.parametrize("alignment", [None, 4])
def test_a_frame_cut_by_a_gap_is_left_out(script, alignment):
    device = script.create_device(f"o:6 {OVERFLOW} o:8 v:3 v:5 end")
    with vorn.read_stream(device, 0, dtype="<u4", alignment=alignment, timeout=10) as reader:
        frames = [frame for v in reader for (frame,) in v.tolist()]
    data = bytes(range(22))  # 2 bytes before the gap make no frame, with or without the aligned stream
    assert frames == [struct.unpack_from("<I", data, o)[0] for o in (0, 6, 10, 14, 18)]
    assert (reader.stats.dropped, reader.stats.partial_bytes) == (1, 2)


def record_with_gap_and_error(script, path, **options):
    device = script.create_device(f"o:8 {OVERFLOW} o:8 e:late o:8 {OVERFLOW} {OVERFLOW} end")
    return vorn.record(device, path, plugin=str(SCRIPT_PLUGIN), device_text="o:8 ...", **options)


@pytest.mark.parametrize("call, message", [
    (lambda device, path: vorn.read_stream(device, 0, dtype="<i3"), "unsupported dtype '<i3'"),
    (lambda device, path: vorn.read_stream(device, 0, dtype="|i2"), "needs a byte order"),
    (lambda device, path: vorn.read_stream(device, 0, dtype="<i2", channels=0), "channels must be from 1"),
    (lambda device, path: vorn.read_stream(device, 0, dtype="<i2", channels=3, alignment=4096),
     "frame size mismatch: alignment 4096 is not a whole number of 6-byte frames"),
    (lambda device, path: vorn.record(device, path, nbytes=100, dtype="<f8", channels=2),
     "frame size mismatch: nbytes 100"),
    (lambda device, path: vorn.samples(b"12345", vorn.SampleFormat.parse("<i2")), "buffer of 5 is not"),
    (lambda device, path: vorn.recording_info(path).sample_format(">i2"),
     "byte order mismatch: the recording's samples are '<i2', not '>i2'"),
    (lambda device, path: vorn.recording_info(path).sample_format("<i2", 3),
     "frame size mismatch: the recording's frames are 8 bytes"),
], ids=["dtype", "order", "channels", "alignment", "nbytes", "buffer", "recorded-order", "recorded-frames"])
def test_mismatched_samples_are_a_clear_value_error(script, sim, tmp_path, call, message):
    path = tmp_path / "run.bin"
    record_with_gap_and_error(script, path, dtype="<i2", channels=4)
    device = sim.create_device("sim0 length=64K")
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        call(device, path)
    assert "streams_started=0 " in device.get_status(), "nothing started"


def test_metadata_says_where_gaps_and_errors_fall(script, tmp_path):
    path = tmp_path / "run.bin"
    (tmp_path / "run.bin.json").write_text("{}")  # an older recording's: removed when this one starts
    stats = record_with_gap_and_error(script, path, dtype="<i2", channels=4)
    doc = json.loads((tmp_path / "run.bin.json").read_text())
    assert (stats.bytes, stats.chunks, stats.dropped, stats.errors) == (24, 3, 3, 1)
    assert stats.metadata == str(path) + ".json"
    assert doc == {**doc, "format": "vorn-recording", "version": 1, "plugin": str(SCRIPT_PLUGIN), "device": "o:8 ...",
                   "address": 0, "chunk_size": 0, "alignment": None, "dtype": "<i2", "channels": 4, "bytes": 24,
                   "chunks": 3, "chunk_sizes": [{"size": 8, "count": 3}],
                   "gaps": [{"offset": 8, "dropped": 1}, {"offset": 24, "dropped": 2}],
                   "errors": [{"offset": 16, "text": "late"}], "complete": False,
                   "problem": "3 events dropped: the file has gaps"}
    assert doc["start"].endswith("+00:00") and 0 <= doc["duration"] < 30
    info = vorn.recording_info(path)
    assert info.to_json() == doc and info.sample_format() == vorn.SampleFormat.parse("<i2", 4)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.bin", "run.bin.json"], "no temporary file is left"


@pytest.mark.parametrize("case", ["fd", "fd-with-metadata", "failed-write", "no-metadata"])
def test_metadata_of_descriptors_and_failed_writes(script, tmp_path, case):
    target = {"fd": os.devnull, "fd-with-metadata": os.devnull, "failed-write": "/dev/full"}.get(case)
    metadata = {"fd": None, "no-metadata": False}.get(case, tmp_path / "meta.json")
    fd = os.open(target, os.O_WRONLY) if target else None
    try:
        stats = vorn.record(script.create_device("o:8 e:oops o:8 end"), tmp_path / "run.bin" if fd is None else fd,
                            metadata=metadata)
    finally:
        if fd is not None:
            os.close(fd)
    written = sorted(p.name for p in tmp_path.iterdir())
    assert written == {"fd": [], "fd-with-metadata": ["meta.json"], "failed-write": ["meta.json"],
                       "no-metadata": ["run.bin"]}[case]
    if "meta.json" in written:
        doc = json.loads((tmp_path / "meta.json").read_text())
        assert (doc["bytes"], doc["chunks"], doc["complete"]) == (stats.bytes, stats.chunks, stats.complete)
        assert doc["errors"] == ([] if case == "failed-write" else [{"offset": 8, "text": "oops"}])
        assert (doc["problem"] or "").startswith("write failed") == (case == "failed-write")


INTERRUPTED = """
import os, signal, threading, vorn
device = vorn.open_manager("sim").create_device("sim0 chunk_size=4K rate=4M length=64M")
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
stats = vorn.record(device, path)
info = vorn.recording_info(path)
print(stats.complete, info.bytes == stats.bytes == os.path.getsize(path) > 0, info.chunks == stats.chunks)
"""


@INTERRUPT_LEAKS
def test_metadata_agrees_with_the_data_after_ctrl_c(tmp_path):
    result = run_python(f"path = {str(tmp_path / 'run.bin')!r}" + INTERRUPTED)
    assert result.stdout.split() == ["True", "True", "True"], result.stdout + result.stderr


@pytest.mark.parametrize("damage, message, replay_message", [
    (lambda data, meta: meta.write_text(meta.read_text()[:-40]), "not valid recording metadata", "not valid JSON"),
    (lambda data, meta: data.write_bytes(data.read_bytes() + b"x"), "says 24 bytes, but", "says 24 bytes, but"),
    (lambda data, meta: meta.write_text(meta.read_text().replace('"version": 1', '"version": 7')), "version 7",
     "version 7"),
    (lambda data, meta: meta.unlink(), "run.bin.json", "cannot open .*run.bin.json"),
], ids=["truncated", "longer-data", "version", "missing"])
def test_damaged_recordings_are_refused_by_info_and_replay(script, replay, tmp_path, damage, message,
                                                           replay_message):
    path = tmp_path / "run.bin"
    record_with_gap_and_error(script, path)
    damage(path, tmp_path / "run.bin.json")
    with pytest.raises((ValueError, OSError), match=message):
        vorn.recording_info(path)
    with pytest.raises(RuntimeError, match=f"^replay: .*{replay_message}"):
        replay.create_device(str(path))


@pytest.mark.parametrize("text, addr", [("sim0 length=100000 chunk_size=3000 error_every=4", 0),
                                        ("sim0 length=64K chunk_size=1000 error_every=1", 2)])
def test_a_replayed_simulator_recording_gives_the_same_events(sim, replay, tmp_path, text, addr):
    path = tmp_path / "run.bin"
    stats = vorn.record(sim.create_device(text), path, addr=addr)
    assert stats.complete
    device = replay.create_device(f"{path} rate=max")
    assert callback_events(device, addr) == callback_events(sim.create_device(text), addr)
    info = device.get_info()
    assert json.loads(info[info.index("\n{") + 1:]) == vorn.recording_info(path).to_json()
    block = bytearray(stats.bytes + 10)
    assert device.read(0, block) == stats.bytes and block[:stats.bytes] == path.read_bytes()


def test_replayed_gaps_and_errors_reach_the_reader_in_place(script, replay, tmp_path):
    path = tmp_path / "run.bin"
    record_with_gap_and_error(script, path, dtype="<i2", channels=4)
    with vorn.read_stream(replay.create_device(f"{path} rate=realtime"), 0, dtype="<i2", channels=4,
                          timeout=10) as reader:
        views = [v.tolist() for v in reader]
    assert views == [[list(struct.unpack_from("<4h", bytes(range(24)), o))] for o in (0, 8, 16)]
    assert (reader.stats.dropped, reader.stats.errors, reader.stats.error_texts) == (3, 1, ("late",))
    again = vorn.record(replay.create_device(str(path)), tmp_path / "again.bin")
    assert vorn.recording_info(tmp_path / "again.bin").gaps == vorn.recording_info(path).gaps
    with vorn.read_stream(replay.create_device(f"'{path}' loop=1"), 0, timeout=10) as looping:
        assert b"".join(next(looping) for _ in range(7)) == (bytes(range(24)) * 3)[:56]
    assert again.errors == 1
