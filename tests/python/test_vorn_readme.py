"""Every example of the README runs as it is written, against the bundled
simulator, from a folder of its own: the Python blocks in order (as one
program), the JSON example as a valid metadata document, and each command
of the console blocks with the exit status the block shows. (The `sh`
block's pip install is what test_vorn_cli.py's packaging tests do; the
`cmake` block is the out-of-tree plug-in of test_sdk_package.py.)"""

import json
import os
import re
import signal
import subprocess
import sys

import vorn
from vorn import cli
from conftest import REPO, run_python
from test_vorn_cli import vorn_env

README = (REPO / "README.md").read_text()


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README, flags=re.S | re.M)


def test_the_python_examples_run_in_order(tmp_path):
    # The remote devices example opens the simulator through a server on the
    # port the README names.
    server = subprocess.Popen([sys.executable, "-m", "vorn", "serve", "sim"], env=vorn_env(), cwd=tmp_path,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        line = ""
        for line in server.stderr:  # ends early if the server cannot start
            if "listening on" in line:
                break
        assert "listening on tcp://127.0.0.1:7531" in line, line
        result = run_python("\n".join(blocks("python")), timeout=300, cwd=tmp_path)
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(30)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0xc0ffee" in result.stdout and "Traceback" not in result.stderr


def test_the_metadata_example_is_a_valid_document(tmp_path):
    (example,) = blocks("json")
    doc = json.loads(example)
    info = vorn.RecordingInfo.from_json(doc)
    made = vorn.record(vorn.open_manager("sim").create_device("sim0 length=64K"), tmp_path / "run.bin")
    assert list(doc) == list(vorn.recording_info(made.path).to_json()), "the keys of a real recording, in order"
    assert info.to_json() == doc


def commands():
    """(command line, the status it shows, whether it ends by Ctrl+C) of each
    console command, in order."""
    found = []
    for block in blocks("console"):
        for command, output in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", block, flags=re.M):
            shown = re.findall(r"^exit (\d+)$", output, flags=re.M)
            found.append((command, int(shown[0]) if shown else 0, "^C" in output.splitlines()))
    return found


def test_the_console_examples_run_with_the_status_they_show(tmp_path):
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "vorn").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m vorn "$@"\n')
    (tmp_path / "bin" / "vorn").chmod(0o755)
    env = vorn_env(PATH=f"{tmp_path / 'bin'}:/usr/bin:/bin")
    ran = 0
    for command, status, interrupted in commands():
        if interrupted and os.environ.get("VORN_SANITIZER"):
            continue  # an asynchronous KeyboardInterrupt leaks CPython's own allocations under LeakSanitizer
        if interrupted:  # runs until Ctrl+C: once it has printed its first line
            process = subprocess.Popen(["bash", "-c", f"exec {command}"], cwd=tmp_path, env=env, text=True,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                assert process.stdout.readline().startswith("vorn ")
                process.send_signal(signal.SIGINT)
                out, err = process.communicate(timeout=60)
            finally:
                process.kill()
            result = subprocess.CompletedProcess(command, process.returncode, out, err)
        else:
            result = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=env, capture_output=True, text=True,
                                    timeout=120)
        shown = re.findall(r"^exit (\d+)$", result.stdout, flags=re.M)
        assert (int(shown[0]) if shown else result.returncode) == status, f"{command}\n{result.stdout}{result.stderr}"
        assert "Traceback" not in result.stderr, command
        ran += 1
    assert ran >= 20 and any(interrupted for _, _, interrupted in commands())


def test_the_documented_commands_exist(capsys):
    """Each command that the README's tables describe is one the command has."""
    described = set(re.findall(r"^\| `vorn ([a-z]+)", README, flags=re.M))
    keys = README.split("### Machine-readable output")[1].split("\n#")[0]
    with_json = set(re.findall(r"^\| `([a-z]+)(?: \.\.\. [a-z]+)?` \| ", keys, flags=re.M))
    assert len(described) >= 8 and len(with_json) >= 7
    for command in sorted(described | with_json):
        assert cli.main([command, "--help"]) == 0, command
        assert ("--json" in capsys.readouterr().out) == (command in with_json), command
