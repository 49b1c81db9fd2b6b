"""The vorn command, run as a user runs it, and pip install of the whole
project into a virtual environment."""

import base64
import csv
import hashlib
import io
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
    (["record", "sim", "sim0 length=1M", "-o", "x", "--aligned", UNALLOCATABLE], 1,
     ["vorn: cannot allocate the stream's memory"]),
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

    assert len(rows) == len(members) and "vorn/plugins/libvorn_sim.so" in members
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
