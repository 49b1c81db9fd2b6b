"""The vorn command, run as a user runs it, and pip install of the whole
project into a virtual environment."""

import base64
import csv
import hashlib
import io
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time
import zipfile

import pytest

from vorn import cli as vorn_cli
from conftest import BUILD, REPO
from test_vorn import OVERFLOW, SCRIPT_PLUGIN, counters

NO_PLUGIN_ERROR = "no plug-in named 'nosuch' on the plug-in search path; folders searched: "
TOO_BIG = str(1 << 64)
UNALLOCATABLE = hex(1 << 62)
SANITIZER = bool(os.environ.get("VORN_SANITIZER"))


def vorn_env(**variables):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VORN_PLUGIN_PATH")}
    return {**env, "PYTHONPATH": str(BUILD / "python"), **variables}


def vorn(*args, cwd=None, command=(sys.executable, "-m", "vorn"), timeout=120, text=True, **variables):
    """Runs the command; `python -m vorn` from the build tree unless told otherwise."""
    env = vorn_env(**variables)
    if command[0] != sys.executable:
        del env["PYTHONPATH"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=text, timeout=timeout, cwd=cwd,
                          env=env)


@pytest.mark.parametrize("args, status, expected", [
    (["plugins"], 0, ["plug-in search path (first match wins):", "[package]", "  sim: ",
                      "    vorn simulator 1.0.0 (0 devices created)"]),
    (["probe", "sim"], 0, ["info:     vorn simulator", "sim3: simulated data-acquisition device",
                           "device options:\n  Device text: "]),
    (["probe", "sim", "sim0 memory=1M"], 0, ["device 'sim0 memory=1M':\n  info:\n", "memory: 1048576 bytes",
                                             "  status:\n    register_writes=0 "]),
    (["reg", "sim", "sim0", "get", "0"], 0, ["0x56524E31 (1448234545)"]),
    (["reg", "sim", "sim0", "set", "0x1", "12648430", "7"], 0, ["register 0x1 set to 0xC0FFEE"]),
    (["reg", "sim", "sim0", "set", "0", "1"], 1, ["vorn: setting register 0x0 to 0x1 failed: ReturnCode.Failure"]),
    (["reg", "sim", "sim0", "get", "0x100000000"], 2, ["out of range"]),
    (["reg", "sim", "sim0", "get", "300"], 1, ["vorn: register 0x12C could not be read"]),
    (["bench", "sim", "sim0", "--seconds", "0.3"], 0, ["register reads", "block reads", "stream   ", "chunks/s"]),
    (["bench", "sim", "sim0", "--seconds", "0.3", "--block-size", "64M"], 0,
     ["(16.0 MiB per read of a 64.0 MiB block)"]),
    (["bench", "sim", "sim0 rate=1K", "--seconds", "0.3"], 0, ["stream           n/a (1 chunk, 65536 bytes in"]),
    (["bench", "sim", "sim0 length=1M", "--seconds", "0.3"], 0, ["; the stream ended after 1048576 bytes)"]),
    (["probe", "nosuch"], 1, [NO_PLUGIN_ERROR]),
    (["probe", "sim", "simx"], 1, ["vorn: sim: unknown device 'simx'"]),
    (["probe", "/no/such/libplugin.so"], 1, ["vorn: Device Manager not found: /no/such/libplugin.so"]),
    (["probe", BUILD / "tests" / "plugins" / "libvorn_test_bad_text.so"], 1, ["vorn: "]),  # not UTF-8
    (["record", "sim", "sim0", "-o", "x", "--seconds", "1", "--bytes", "1"], 2, ["not allowed with argument"]),
    ([], 2, ["vorn: error: the following arguments are required: COMMAND (see --help)"]),
    # Malformed arguments: exit 2. Recordings are finite, should an argument be ignored.
    (["reg", "sim", "sim0", "get", "\u0663"], 2, ["not a number (decimal or 0x-hexadecimal): '\u0663'"]),
    (["reg", "sim", "sim0", "set", "1_0", "1"], 2, ["not a number (decimal or 0x-hexadecimal): '1_0'"]),
    (["probe", "sim", "sim0 \udcff"], 2, ["argument DEVICE_TEXT: not valid UTF-8: b'sim0 \\xff'"]),
    (["record", "sim", "sim0 length=1M", "-o", "x", "--aligned", "0"], 2, ["--aligned: size out of range (1 to "]),
    (["record", "sim", "sim0 length=1M", "-o", "x", "--bytes", TOO_BIG], 2, [f"out of range (0 to {(1 << 64) - 1})"]),
    (["record", "sim", "sim0 length=1M", "-o", "x", "--chunk-size", hex(1 << 64)], 2, ["--chunk-size: size out of"]),
    (["bench", "sim", "sim0 length=1M", "--block-size", TOO_BIG], 2, ["--block-size: size out of range"]),
    *[(["record", "sim", "sim0 length=1M", "-o", "x", "--seconds", seconds], 2,
       [f"--seconds: not a positive number of seconds: '{seconds}'"]) for seconds in ("0", "-1", "nan", "soon", "inf")],
    (["bench", "sim", "sim0 length=1M", "--seconds", "1e999"], 2, ["not a positive number of seconds: '1e999'"]),
    # Well-formed requests that cannot be met: exit 1.
    (["bench", "sim", "sim0 length=1M", "--block-size", UNALLOCATABLE], 1,
     [f"vorn: cannot allocate a block of {1 << 62} bytes"]),
    pytest.param(["record", "sim", "sim0 length=1M", "-o", "x", "--aligned", UNALLOCATABLE], 1,
                 ["vorn: cannot allocate the stream's memory"],
                 marks=pytest.mark.skipif(SANITIZER, reason="AddressSanitizer ends the process when operator new "
                                                            "finds no memory, instead of throwing std::bad_alloc")),
])
def test_commands(tmp_path, args, status, expected):
    result = vorn(*args, cwd=tmp_path)
    output = result.stdout + result.stderr
    assert result.returncode == status, output
    assert all(text in output for text in expected), output
    assert "Traceback" not in output
    assert (result.stderr == "") == (status == 0)
    assert status == 0 or len(result.stderr.splitlines()) == 1, "one line says what is wrong"


@pytest.mark.parametrize("error", [UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
                                   RuntimeError("sim: bad \ufffd text,\nsaid on two lines")], ids=["decode", "runtime"])
@pytest.mark.parametrize("args", [["probe", "x"], ["probe", "x", "d"], ["reg", "x", "d", "get", "0"],
                                  ["record", "x", "d", "-o", "-"], ["bench", "x", "d"]], ids=lambda a: a[0])
def test_native_errors_are_one_line_whichever_kind(monkeypatch, capsys, error, args):
    """Native texts that are not UTF-8 arrive as UnicodeDecodeError, or as
    RuntimeError with the bad bytes replaced."""
    class Failing:
        def __getattr__(self, name):
            def fail(*_):
                raise error
            return fail

    monkeypatch.setattr(vorn_cli, "open_manager", lambda name: Failing())
    assert vorn_cli.main(args) == 1
    out, err = capsys.readouterr()
    assert out == "" and err == f"vorn: {' '.join(str(error).split(chr(10)))}\n"


@pytest.mark.parametrize("plugin, text, options, status, summary", [
    ("sim", "sim0", ["--bytes", "64M"], 0, "67108864 bytes (64.0 MiB) in 1024 chunks"),
    ("sim", "sim0 length=1M chunk_size=1000", ["--addr", "2", "--aligned", "4K"], 0, "1048576 bytes"),
    (SCRIPT_PLUGIN, f"o:8 {OVERFLOW} o:8 end", [], 1, "dropped 1, errors 0; INCOMPLETE"),
    (SCRIPT_PLUGIN, f"o:8 {OVERFLOW} o:8 e:late end", ["--allow-drops"], 1, "dropped 1, errors 1 (last: late)"),
    (SCRIPT_PLUGIN, f"o:8 {OVERFLOW} o:8 e:late end", ["--allow-drops", "--allow-errors"], 0, "errors 1 (last: late)"),
    (SCRIPT_PLUGIN, "o:8 e:late o:8 end", [], 1, "dropped 0, errors 1 (last: late); complete"),
], ids=["bytes", "aligned", "drops", "errors-with-allowed-drops", "allowed-both", "errors"])
def test_record_command(tmp_path, plugin, text, options, status, summary):
    result = vorn("record", plugin, text, "-o", "out.bin", *options, cwd=tmp_path)
    assert result.returncode == status, result.stdout + result.stderr
    assert result.stdout == "" and summary in result.stderr.splitlines()[0]
    data = (tmp_path / "out.bin").read_bytes()
    if plugin == "sim":
        assert data == counters(len(data))
    else:
        assert data == bytes(range(16))
        assert ("the file has gaps (--allow-drops accepts them)" in result.stderr) == ("--allow-drops" not in options
                                                                                     and "INCOMPLETE" in summary)
        assert ("1 errors (last: late) (--allow-errors accepts them)" in result.stderr) == (
            "late" in text and "--allow-errors" not in options)


@pytest.mark.parametrize("output", ["-", "/dev/stdout", "fifo", "/dev/null"])
def test_record_into_stdout_a_pipe_or_dev_null(tmp_path, output):
    """Only the data goes to stdout; a file that is not regular is not synced."""
    fifo, read = tmp_path / "fifo", []
    if output == "fifo":
        os.mkfifo(fifo)
        reader = threading.Thread(target=lambda: read.append(fifo.read_bytes()), daemon=True)
        reader.start()
    result = vorn("record", "sim", "sim0 length=1M", "-o", output, cwd=tmp_path, text=False)
    summary = result.stderr.decode()
    assert result.returncode == 0, summary
    assert len(summary.splitlines()) == 1 and " 1048576 bytes (1.0 MiB) in 16 chunks, " in summary
    assert summary.endswith("errors 0; complete\n")
    if output == "fifo":
        reader.join(60)
        assert read == [counters(1 << 20)]
    assert result.stdout == (counters(1 << 20) if output in ("-", "/dev/stdout") else b"")
    assert sorted(p.name for p in tmp_path.iterdir()) == (["fifo"] if output == "fifo" else [])
    assert not os.path.exists(f"{output}.json"), "no metadata beside a pipe or a device"


@pytest.mark.parametrize("args", [["plugins"], ["record", "sim", "sim0 rate=100M length=64M", "-o", "-"]], ids=["plugins", "record"])
def test_a_closed_stdout_ends_quietly(tmp_path, args):
    read, write = os.pipe()
    os.close(read)  # the reader went away, as `| head -1` does
    process = subprocess.Popen([sys.executable, "-m", "vorn", *args], stdout=write, stderr=subprocess.PIPE,
                               text=True, env=vorn_env(), cwd=tmp_path)
    os.close(write)
    try:
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert (process.returncode, err) == (128 + signal.SIGPIPE, "")


def test_plugins_command_shows_what_the_search_path_leaves_out(tmp_path, sim_plugin):
    open_folder = tmp_path / "open"
    open_folder.mkdir()
    open_folder.chmod(0o777)
    shutil.copy(sim_plugin, tmp_path / "smi")
    result = vorn("plugins", cwd=tmp_path, VORN_PLUGIN_PATH=os.pathsep.join(["plugins", str(open_folder), "."]))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert f"  {open_folder}  [VORN_PLUGIN_PATH, skipped: world-writable folder" in result.stdout
    assert [line for line in lines if "ignored" in line] == [
        "  (ignored: VORN_PLUGIN_PATH entries that are not absolute: 'plugins', '.')"]
    assert result.stderr == f"vorn: warning: plug-in search path: skipped {open_folder}: world-writable folder " \
                            "(neither sticky nor owned by you or root)\n"
    probe = vorn("probe", "smi", cwd=tmp_path)
    assert probe.returncode == 1 and probe.stderr.startswith("vorn: no plug-in named 'smi'"), probe.stderr


def test_pip_install_into_a_venv_and_uninstall(tmp_path, venv_and_wheel):
    venv, pip, wheel = venv_and_wheel
    before = {p for p in venv.rglob("*")}
    install = subprocess.run([*pip, "install", "--no-index", wheel], capture_output=True, text=True, timeout=600)
    assert install.returncode == 0, install.stdout + install.stderr

    probe = vorn("probe", "sim", "sim0", command=[venv / "bin" / "vorn"], cwd=tmp_path)
    assert probe.returncode == 0 and "sim0: simulated data-acquisition device (vorn simulator" in probe.stdout
    assert f"location: {venv}" in probe.stdout, "the bundled simulator is the one found"
    demo = subprocess.run([venv / "bin" / "python", REPO / "examples" / "quickstart.py", "--seconds", "0.5"],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path, env=vorn_env(PYTHONPATH=""))
    assert demo.returncode == 0 and demo.stdout.endswith("All checks passed.\n"), demo.stdout + demo.stderr
    assert "replayed: 16 chunks, 2 errors: the same" in demo.stdout, "the bundled replay plug-in is found"
    show = subprocess.run([*pip, "show", "pyvorn_device"], capture_output=True, text=True, timeout=120)
    version = pathlib.Path(REPO / "CMakeLists.txt").read_text().split("VERSION ")[2].split()[0]
    assert f"Version: {version}" in show.stdout

    subprocess.run([*pip, "uninstall", "-y", "pyvorn_device"], check=True, capture_output=True, timeout=120)
    assert {p for p in venv.rglob("*")} == before


def test_wheel_record_lists_every_member_with_its_hash_and_size(venv_and_wheel):
    with zipfile.ZipFile(venv_and_wheel[2]) as wheel:
        members = {name: wheel.read(name) for name in wheel.namelist()}
    (record,) = [name for name in members if name.endswith(".dist-info/RECORD")]
    rows = list(csv.reader(io.StringIO(members[record].decode())))

    def entry(data):
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        return [f"sha256={digest}", str(len(data))]

    assert len(rows) == len(members) and {"vorn/plugins/libvorn_sim.so", "vorn/plugins/libvorn_replay.so",
                                          "vorn/view_page.html"} <= set(members)
    assert {row[0]: row[1:] for row in rows} == {name: ["", ""] if name == record else entry(data)
                                                 for name, data in members.items()}


def test_build_names_missing_debian_packages(tmp_path):
    fake = tmp_path / "dpkg-query"
    fake.write_text('#!/bin/sh\ncase "$*" in *pybind11-dev*) exit 1;; esac\necho "install ok installed"\n')
    fake.chmod(0o755)
    code = (f"import sys; sys.path.insert(0, {str(REPO / 'tools' / 'build_backend')!r}); import vorn_build\n"
            f"vorn_build.build_wheel({str(tmp_path)!r})")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "PATH": f"{tmp_path}{os.pathsep}{os.environ['PATH']}"})
    assert result.returncode != 0
    assert "these Debian packages are missing: pybind11-dev\nInstall them with: sudo apt-get install pybind11-dev" \
        in result.stderr


# Under the sanitizer, the KeyboardInterrupt that the signal raises at an
# arbitrary point of the interpreter leaves CPython's own thread-start and
# object allocations unreleased at exit, which LeakSanitizer reports; the
# command itself is pure Python and is checked by the ordinary run.
@pytest.mark.skipif(bool(os.environ.get("VORN_SANITIZER")),
                    reason="an asynchronous KeyboardInterrupt leaks CPython's own allocations under LeakSanitizer")
@pytest.mark.parametrize("signum, options, status, outcome", [
    (signal.SIGINT, [], 0, "complete"),  # the way to end a recording without a limit
    (signal.SIGTERM, [], 0, "complete"),
    (signal.SIGINT, ["--seconds", "60"], 1, "INCOMPLETE"),
])
def test_record_ends_on_a_signal_with_the_file_closed(tmp_path, signum, options, status, outcome):
    env = {**os.environ, "PYTHONPATH": str(BUILD / "python")}
    process = subprocess.Popen([sys.executable, "-m", "vorn", "record", "sim", "sim0 rate=10M", "-o", "out.bin",
                                *options], cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    try:
        deadline = time.monotonic() + 30
        while not (tmp_path / "out.bin").exists() or (tmp_path / "out.bin").stat().st_size == 0:
            assert time.monotonic() < deadline and process.poll() is None, "the recording did not start"
            time.sleep(0.05)
        process.send_signal(signum)
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == status, out + err
    assert outcome in err and "Traceback" not in err and out == ""
    data = (tmp_path / "out.bin").read_bytes()
    assert data == counters(len(data)) and f"{len(data)} bytes" in err


PROBE_KEYS = {"plugin", "info", "location", "devices", "device_options", "device"}
RECORD_KEYS = {"output", "metadata", "bytes", "chunks", "elapsed", "rate", "dropped", "errors", "error_texts", "ended",
               "reached", "complete", "problem"}


@pytest.mark.parametrize("args, status, check", [
    (["plugins", "--json"], 0, lambda doc: set(doc) == {"search_path", "ignored", "plugins"}
     and any({"name": "sim", "shadowed": False, "error": None}.items() <= p.items() for p in doc["plugins"])),
    (["probe", "sim", "sim0", "--json"], 0, lambda doc: set(doc) == PROBE_KEYS and doc["devices"][3] == {
        "name": "sim3", "description": "simulated data-acquisition device"} and "memory: " in doc["device"]["info"]),
    (["probe", "replay", "--json"], 0, lambda doc: doc["devices"] == [] and doc["device"] is None),
    (["reg", "sim", "sim0", "get", "0", "--json"], 0, lambda doc: doc == {"address": 0, "value": 0x56524E31}),
    (["reg", "--json", "sim", "sim0", "set", "1", "5"], 0, lambda doc: doc == {"address": 1, "value": 5, "extra": 0,
                                                                             "status": "Success"}),
    (["record", "sim", "sim0 length=1M", "-o", "out.bin", "--json"], 0, lambda doc: set(doc) == RECORD_KEYS
     and (doc["bytes"], doc["complete"], doc["metadata"]) == (1 << 20, True, "out.bin.json")),
    (["record", SCRIPT_PLUGIN, "o:8 e:late end", "-o", "out.bin", "--json"], 1, lambda doc: doc["errors"] == 1),
    (["bench", "sim", "sim0 length=1M", "--seconds", "0.3", "--json"], 0, lambda doc: set(doc) == {
        "plugin", "device", "register_reads", "block_reads", "stream"} and doc["stream"]["ended_after"] == 1 << 20),
    (["bench", SCRIPT_PLUGIN, "o:4 end", "--seconds", "0.3", "--json"], 0,
     lambda doc: doc["block_reads"] == {"unavailable": "the device reads nothing at address 0"}),
    (["reg", "sim", "sim0", "get", "300", "--json"], 1, None),
    (["probe", "nosuch", "--json"], 1, None),
    (["info", "nosuch.bin", "--json"], 1, None),
], ids=["plugins", "probe", "probe-replay", "reg-get", "reg-set", "record", "record-errors", "bench", "bench-n/a",
        "reg-fails", "no-plugin", "no-recording"])
def test_json_output_is_one_document_and_failures_stay_one_line(tmp_path, args, status, check):
    result = vorn(*args, cwd=tmp_path)
    assert result.returncode == status, result.stdout + result.stderr
    if check is None:
        assert result.stdout == "" and len(result.stderr.splitlines()) == 1 and result.stderr.startswith("vorn: ")
        return
    assert len(result.stdout.splitlines()) == 1 and check(json.loads(result.stdout)), result.stdout
    assert len(result.stderr.splitlines()) == status, "a failure still says why on stderr"


def test_record_to_stdout_keeps_the_json_summary_off_the_data(tmp_path):
    result = vorn("record", "sim", "sim0 length=64K", "-o", "-", "--json", "--metadata", "meta.json", cwd=tmp_path,
                  text=False)
    assert result.returncode == 0 and result.stdout == counters(65536)
    summary = json.loads(result.stderr)
    assert summary["output"] == "-" and summary["metadata"] == "meta.json"
    assert json.loads((tmp_path / "meta.json").read_text())["bytes"] == 65536


def test_devices_lists_every_plugin_and_reports_one_that_fails(tmp_path, sim_plugin):
    folder = tmp_path / "plugins"
    folder.mkdir()
    shutil.copy(sim_plugin, folder / "libvorn_mysim.so")
    shutil.copy(BUILD / "tests" / "plugins" / "libvorn_test_throwing.so", folder / "libvorn_broken.so")
    prose = vorn("devices", cwd=tmp_path, VORN_PLUGIN_PATH=str(folder))
    doc = json.loads(vorn("devices", "--json", cwd=tmp_path, VORN_PLUGIN_PATH=str(folder)).stdout)
    assert prose.returncode == 0 and prose.stderr == "", prose.stderr
    by_name = {plugin["plugin"]: plugin for plugin in doc["plugins"]}
    assert set(by_name) == {"broken", "mysim", "remote", "replay", "sim"}
    assert by_name["broken"]["devices"] == [] and by_name["broken"]["error"].startswith("cannot load: ")
    assert [d["name"] for d in by_name["mysim"]["devices"]] == ["sim0", "sim1", "sim2", "sim3"]
    assert f"broken: {folder / 'libvorn_broken.so'}\n  cannot load: " in prose.stdout
    assert "  sim3: simulated data-acquisition device" in prose.stdout.split("mysim:")[1]


def test_info_prints_what_a_recording_is(tmp_path):
    made = vorn("record", SCRIPT_PLUGIN, f"o:8 {OVERFLOW} o:8 e:late end", "-o", "run.bin", "--dtype", ">u2",
                "--channels", "4", "--allow-drops", "--allow-errors", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    result = vorn("info", "run.bin", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == "run.bin: INCOMPLETE: 1 events dropped: the file has gaps"
    for line in [f"  source:   {SCRIPT_PLUGIN} 'o:8 {OVERFLOW} o:8 e:late end', stream address 0",
                 "  data:     16 bytes (16 B) in 2 chunks (2 x 8)", "  gaps:     1 (1 events dropped): at 8 (1)",
                 "  errors:   1: at 16: 'late'"]:
        assert line in result.stdout.splitlines()
    assert "samples: >u2 x 4 channels" in result.stdout
    assert json.loads(vorn("info", "run.bin", "--json", cwd=tmp_path).stdout) == json.loads(
        (tmp_path / "run.bin.json").read_text())
    (tmp_path / "run.bin").write_bytes(b"shorter")
    broken = vorn("info", "run.bin", cwd=tmp_path)
    assert broken.returncode == 1 and broken.stderr == "vorn: run.bin.json says 16 bytes, but run.bin has 7\n"
