"""The installed plug-in SDK: install it alone into a scratch prefix, build
the out-of-tree example plug-in against it and use that plug-in."""

import gc
import pathlib
import re
import subprocess

import pytest

import pyvorn_device as pv
from conftest import run_python
from plugins_fixtures import BUILD, REPO, is_mapped


def run(*command, cwd=None):
    result = subprocess.run(
        [str(part) for part in command], capture_output=True, text=True, timeout=600, cwd=cwd
    )
    assert result.returncode == 0, f"{command} failed:\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def installed_sdk(tmp_path_factory) -> pathlib.Path:
    prefix = tmp_path_factory.mktemp("prefix")
    run("cmake", "--install", BUILD, "--prefix", prefix, "--component", "sdk")
    return prefix


def test_sdk_component_holds_headers_and_package_only(installed_sdk):
    files = {p.relative_to(installed_sdk).as_posix() for p in installed_sdk.rglob("*") if p.is_file()}
    headers = {f"include/vorn/{p.name}" for p in (REPO / "include" / "vorn").glob("*.hpp")}
    assert headers <= files
    package = {f.rsplit("/", 1)[1] for f in files if "/cmake/vorn/" in f}
    assert {"vornConfig.cmake", "vornConfigVersion.cmake", "vornTargets.cmake", "VornPlugin.cmake"} <= package
    assert not [f for f in files if "pyvorn_device" in f or f.endswith((".so", ".a"))]


def test_example_plugin_builds_against_installed_sdk_and_runs(installed_sdk, tmp_path):
    build = tmp_path / "example"
    run(
        "cmake", "-S", REPO / "examples" / "plugin", "-B", build,
        f"-DCMAKE_PREFIX_PATH={installed_sdk}",
        "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Wshadow -Wconversion -Werror",
    )
    run("cmake", "--build", build)
    library = build / "libvorn_example.so"
    mark = run_python(f"import ctypes; print(hasattr(ctypes.CDLL({str(library)!r}), 'vorn_interface_version'))")
    assert mark.stdout.strip() == "True", "the installed vorn_add_plugin adds the interface mark"

    manager = pv.get_device_manager(library)
    assert manager.info() == "VORN example plug-in"
    assert manager.list_devices() == "echo"
    device = manager.create_device("first")
    del manager
    gc.collect()
    assert device.get_info() == "echo device first"
    assert device.set_register_sync(7, 1234, 0) == pv.ReturnCode.Success
    assert device.get_register_sync(7) == 1234
    assert device.write(250, bytearray(b"0123456789")) == 6  # clipped at the end of memory
    back = bytearray(6)
    assert device.read(250, back) == 6
    assert back == b"012345"
    assert is_mapped(library)
    del device
    gc.collect()
    assert not is_mapped(library)


def test_find_package_refuses_a_newer_minor_version(installed_sdk, tmp_path):
    """The plug-in ABI may change between 0.x minor versions."""
    version_file = next(installed_sdk.rglob("vornConfigVersion.cmake")).read_text()
    version = re.search(r'set\(PACKAGE_VERSION "(\d+)\.(\d+)', version_file)
    wanted = f"{version[1]}.{int(version[2]) + 1}"
    source = tmp_path / "src"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(
        f"cmake_minimum_required(VERSION 3.25)\nproject(probe LANGUAGES NONE)\nfind_package(vorn {wanted} REQUIRED)\n"
    )
    result = subprocess.run(
        ["cmake", "-S", str(source), "-B", str(tmp_path / "build"), f"-DCMAKE_PREFIX_PATH={installed_sdk}"],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode != 0
    assert "but not accepted" in result.stderr
