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


@pytest.fixture(scope="session")
def venv_and_wheel(tmp_path_factory):
    """A virtual environment, its pip, and the project's wheel built by that
    pip through the build backend, once: from the test build (config setting
    build-dir), so this checks packaging, not a build from scratch."""
    if os.environ.get("VORN_SANITIZER"):
        pytest.skip("packaging is not what the sanitizer build checks")
    root = tmp_path_factory.mktemp("packaging")
    venv = root / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=300)
    pip = [venv / "bin" / "python", "-m", "pip", "--no-input", "--disable-pip-version-check"]
    build = subprocess.run([*pip, "wheel", "--no-deps", "--no-index", "-w", root / "dist", REPO,
                            f"--config-settings=build-dir={BUILD}"], capture_output=True, text=True, timeout=600)
    assert build.returncode == 0, build.stdout + build.stderr
    (wheel,) = (root / "dist").glob("pyvorn_device-*.whl")
    return venv, pip, wheel


def run_python(code: str, timeout: float = 60, python: str = sys.executable, **kwargs):
    """Runs code in a fresh interpreter that imports the built module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD / "python"), env.get("PYTHONPATH", "")])
    return subprocess.run(
        [python, "-c", code], capture_output=True, text=True, timeout=timeout, env=env, **kwargs
    )
