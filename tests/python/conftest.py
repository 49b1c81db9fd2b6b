"""Shared fixtures: where the build put the module and the plug-ins."""

import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VORN_BUILD_DIR", REPO / "build")).resolve()
os.environ.setdefault("VORN_BUILD_DIR", str(BUILD))

if str(BUILD / "python") not in sys.path:
    sys.path.insert(0, str(BUILD / "python"))


@pytest.fixture(scope="session")
def build_dir() -> pathlib.Path:
    return BUILD


@pytest.fixture(scope="session")
def sim_plugin() -> pathlib.Path:
    path = BUILD / "plugins" / "libvorn_sim.so"
    if not path.exists():
        pytest.fail(f"simulator plug-in not built: {path}")
    return path


def run_python(code: str, timeout: float = 60, python: str = sys.executable, **kwargs):
    """Runs code in a fresh interpreter that imports the built module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD / "python"), env.get("PYTHONPATH", "")])
    return subprocess.run(
        [python, "-c", code], capture_output=True, text=True, timeout=timeout, env=env, **kwargs
    )
