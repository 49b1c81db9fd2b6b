"""The test plug-ins of tests/plugins: where the build put them, and how a
test watches one being loaded and unloaded."""

import ctypes
import os
import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VORN_BUILD_DIR", REPO / "build")).resolve()
PLUGIN_DIR = BUILD / "tests" / "plugins"

if str(BUILD / "python") not in sys.path:
    sys.path.insert(0, str(BUILD / "python"))


def plugin_path(name: str) -> pathlib.Path:
    """The built test plug-in `name` (a target name such as vorn_test_good)."""
    path = PLUGIN_DIR / f"lib{name}.so"
    if not path.exists():
        pytest.fail(f"test plug-in not built: {path}")
    return path


def is_mapped(path) -> bool:
    """True while the file at path is mapped into this process."""
    target = os.path.realpath(path)
    with open("/proc/self/maps", encoding="utf-8", errors="surrogateescape") as maps:
        return any(line.rstrip("\n").endswith(" " + target) for line in maps)


class ProbeLog:
    """The events recorded by the probe plug-in, read through ctypes from its
    log library, which stays loaded while the plug-in comes and goes."""

    def __init__(self):
        self._lib = ctypes.CDLL(str(plugin_path("vorn_test_probe_log")))
        self._lib.vorn_probe_events.restype = ctypes.c_char_p
        self.clear()

    def clear(self):
        self._lib.vorn_probe_clear()

    def events(self) -> list:
        text = self._lib.vorn_probe_events().decode()
        return text.split(",") if text else []


@pytest.fixture
def probe_log():
    return ProbeLog()
