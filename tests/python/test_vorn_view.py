"""The live view: its decimation, and `vorn view` in a real browser
(Debian's headless chromium driven by playwright-core, tools/browser)."""

import dataclasses
import json
import os
import shutil
import signal
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

import vorn
from conftest import BUILD, REPO
from test_vorn_cli import vorn_env
from test_vorn_data import INTERRUPT_LEAKS
from vorn import _recording, _view_window

CHECK = REPO / "tools" / "browser" / "check_view.mjs"
CHROMIUM = os.environ.get("VORN_CHROMIUM", "/usr/bin/chromium")
SCREENSHOT = BUILD / "artifacts" / "vorn-view.png"


@pytest.mark.parametrize("values, columns, lows, highs", [
    ([0] * 500 + [9] + [0] * 499, 10, [0] * 10, [0] * 5 + [9] + [0] * 4),  # a one-frame spike stays
    (list(range(10)), 3, [0, 3, 6], [2, 5, 9]),
    ([1, 2], 5, [1, 2], [1, 2]),  # fewer values than columns: one column each
    ([float("nan"), 1.0, float("inf")], 3, [None, 1.0, None], [None, 1.0, None]),
])
def test_each_column_keeps_its_min_and_max(values, columns, lows, highs):
    assert _view_window.decimate(values, columns) == (lows, highs)


def test_the_window_keeps_the_last_frames_per_channel():
    fmt = vorn.SampleFormat.parse("<i2", 2)
    window = _view_window.FrameWindow(fmt, frames=5)
    for start in range(0, 40, 8):
        window.add(vorn.samples(b"".join(i.to_bytes(2, "little") for i in range(start, start + 8)), fmt))
    snapshot = window.snapshot(10, vorn.StreamStats(chunks=5))
    assert snapshot["frames"] == 5 and snapshot["stats"]["frames"] == 20
    assert snapshot["min"] == snapshot["max"] == [[30, 32, 34, 36, 38], [31, 33, 35, 37, 39]]


def get(url, host=None):
    request = urllib.request.Request(url, headers={"Host": host} if host else {})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, b""


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """4 MiB of the simulator's counters with an error after every 64 chunks
    and two gaps added: 8 s at the rate the view test replays it."""
    path = tmp_path_factory.mktemp("view") / "run.bin"
    stats = vorn.record(vorn.open_manager("sim").create_device("sim0 length=4M chunk_size=16K error_every=64"), path)
    info = vorn.recording_info(path)
    _recording.write_metadata(vorn.metadata_path(path), dataclasses.replace(
        info, gaps=(vorn.Gap(1 << 20, 3), vorn.Gap(3 << 20, 1)), complete=False))
    assert (stats.chunks, stats.errors) == (256, 4)
    return path, stats


@pytest.mark.skipif(not (REPO / "tools" / "browser" / "node_modules" / "playwright-core").exists()
                    or not shutil.which("node") or not os.path.exists(CHROMIUM),
                    reason="playwright-core or chromium is not installed: run_tests.sh installs both")
@pytest.mark.skipif(bool(os.environ.get("VORN_SANITIZER")), reason="a browser test, not what a sanitizer build checks")
def test_the_view_plots_the_live_stream_in_a_browser(recording):
    path, stats = recording
    process = subprocess.Popen([sys.executable, "-m", "vorn", "view", "replay", f"{path} rate=512K", "--dtype", "<i2",
                                "--channels", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=vorn_env())
    try:
        url = process.stdout.readline().split()[2]
        assert url.startswith("http://127.0.0.1:") and len(url.split("/")[3]) >= 20, url
        port = url.split(":")[2].split("/")[0]
        assert get(url.replace(url.split("/")[3], "guess"))[0] == 404, "the token is needed"
        assert get(url, host=f"example.com:{port}")[0] == 403, "only its own address as Host"

        SCREENSHOT.parent.mkdir(exist_ok=True)
        browser = subprocess.run(["node", CHECK, url, SCREENSHOT], capture_output=True, text=True, timeout=240)
        assert browser.returncode == 0, browser.stderr
        seen = json.loads(browser.stdout)
        assert seen["changed"], "the plot changed between two frames"
        assert seen["counters"] == {"chunks": str(stats.chunks), "bytes": str(stats.bytes), "frames": str(
            stats.bytes // 4), "dropped": "4", "errors": "4", "state": "ended"}
        assert SCREENSHOT.stat().st_size > 0

        status, body = get(url + "stats")  # the page is closed: the server goes on
        assert status == 200 and json.loads(body)["stats"]["ended"]
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 0, err
    assert err == (f"vorn view: stopped; the stream stopped after {stats.chunks} chunks, {stats.bytes} bytes; "
                   "dropped 4, errors 4\n")


@INTERRUPT_LEAKS
def test_ctrl_c_stops_the_server_and_a_running_stream():
    process = subprocess.Popen([sys.executable, "-m", "vorn", "view", "sim", "sim0 rate=1M chunk_size=4K",
                                "--dtype", "<u8"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=vorn_env())
    try:
        url = process.stdout.readline().split()[2]
        counts = []
        while len(counts) < 2 or counts[-1] == counts[0]:  # the stream runs
            counts.append(json.loads(get(url + "stats?columns=3")[1])["stats"]["bytes"])
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 0 and out == "", err
    assert err.startswith("vorn view: stopped; the stream stopped after ") and "Traceback" not in err
    with pytest.raises(OSError):
        urllib.request.urlopen(url, timeout=10)
