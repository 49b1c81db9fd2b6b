"""The vorn command, run as a user runs it, and pip install of the whole
project into a virtual environment."""

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from conftest import BUILD, REPO
from test_vorn import OVERFLOW, SCRIPT_PLUGIN, counters

NO_PLUGIN_ERROR = "no plug-in named 'nosuch' on the plug-in search path; folders searched:"


def vorn(*args, cwd=None, command=(sys.executable, "-m", "vorn"), timeout=120):
    """Runs the command; `python -m vorn` from the build tree unless told otherwise."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VORN_PLUGIN_PATH")}
    if command[0] == sys.executable:
        env["PYTHONPATH"] = str(BUILD / "python")
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, timeout=timeout, cwd=cwd,
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
    (["bench", "sim", "sim0", "--seconds", "0.3"], 0, ["register reads", "block reads", "stream   ", "chunks/s"]),
    (["probe", "nosuch"], 1, [NO_PLUGIN_ERROR]),
    (["probe", "sim", "simx"], 1, ["vorn: sim: unknown device 'simx'"]),
    (["probe", "/no/such/libplugin.so"], 1, ["vorn: Device Manager not found: /no/such/libplugin.so"]),
    (["record", "sim", "sim0", "-o", "x", "--seconds", "1", "--bytes", "1"], 2, ["not allowed with argument"]),
    ([], 2, ["usage: vorn"]),
])
def test_commands(args, status, expected):
    result = vorn(*args)
    output = result.stdout + result.stderr
    assert result.returncode == status, output
    assert all(text in output for text in expected), output
    assert "Traceback" not in output
    assert (result.stderr == "") == (status == 0)


@pytest.mark.parametrize("plugin, text, options, status, summary", [
    ("sim", "sim0", ["--bytes", "64M"], 0, "67108864 bytes (64.0 MiB) in 1024 chunks"),
    ("sim", "sim0 length=1M chunk_size=1000", ["--addr", "2", "--aligned", "4K"], 0, "1048576 bytes"),
    (SCRIPT_PLUGIN, f"o:8 {OVERFLOW} o:8 end", [], 1, "dropped 1, errors 0; INCOMPLETE"),
    (SCRIPT_PLUGIN, f"o:8 {OVERFLOW} o:8 e:late end", ["--allow-drops"], 0, "dropped 1, errors 1 (last: late)"),
], ids=["bytes", "aligned", "drops", "allowed-drops"])
def test_record_command(tmp_path, plugin, text, options, status, summary):
    result = vorn("record", plugin, text, "-o", "out.bin", *options, cwd=tmp_path)
    assert result.returncode == status, result.stdout + result.stderr
    assert summary in result.stdout
    data = (tmp_path / "out.bin").read_bytes()
    if plugin == "sim":
        assert data == counters(len(data))
    else:
        assert data == bytes(range(16))
        assert ("the file has gaps (--allow-drops accepts them)" in result.stderr) == (status == 1)


def test_pip_install_into_a_venv_and_uninstall(tmp_path):
    """The wheel is built from the test build (config setting build-dir), so
    this checks packaging, not a build from scratch."""
    if os.environ.get("VORN_SANITIZER"):
        pytest.skip("packaging is not what the sanitizer build checks")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=300)
    before = {p for p in venv.rglob("*")}
    pip = [venv / "bin" / "python", "-m", "pip", "--no-input", "--disable-pip-version-check"]
    install = subprocess.run([*pip, "install", "--no-index", REPO, f"--config-settings=build-dir={BUILD}"],
                             capture_output=True, text=True, timeout=600)
    assert install.returncode == 0, install.stdout + install.stderr

    probe = vorn("probe", "sim", "sim0", command=[venv / "bin" / "vorn"], cwd=tmp_path)
    assert probe.returncode == 0 and "sim0: simulated data-acquisition device (vorn simulator" in probe.stdout
    assert f"location: {venv}" in probe.stdout, "the bundled simulator is the one found"
    show = subprocess.run([*pip, "show", "pyvorn_device"], capture_output=True, text=True, timeout=120)
    version = pathlib.Path(REPO / "CMakeLists.txt").read_text().split("VERSION ")[2].split()[0]
    assert f"Version: {version}" in show.stdout

    subprocess.run([*pip, "uninstall", "-y", "pyvorn_device"], check=True, capture_output=True, timeout=120)
    assert {p for p in venv.rglob("*")} == before


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
    assert outcome in out and "Traceback" not in err
    data = (tmp_path / "out.bin").read_bytes()
    assert data == counters(len(data)) and f"{len(data)} bytes" in out
