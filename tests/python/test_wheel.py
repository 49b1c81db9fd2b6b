"""What the wheel needs where it runs: the platform tag its ELF objects earn,
its metadata, the one-line report of a missing or broken native part, and
the wheel at work in Debian 13 without any -dev package."""

import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

from conftest import BUILD, REPO

sys.path.insert(0, str(REPO / "tools" / "build_backend"))
import elf_check  # noqa: E402

VERSION = (REPO / "CMakeLists.txt").read_text().split("VERSION ")[2].split()[0]
DEBIAN13 = os.environ.get("VORN_DEBIAN13_DIR")
SPDLOG = pathlib.Path("/usr/lib/x86_64-linux-gnu/libspdlog.so.1.10.0")


def elf(path):
    return elf_check.read_elf(pathlib.Path(path).read_bytes())


def zmq_linked_in():
    cache = (BUILD / "CMakeCache.txt").read_text()
    return any(line.split("=", 1)[1] in ("ON", "TRUE", "1") for line in cache.splitlines()
               if line.startswith("VORN_ZMQ_STATIC:"))


def shipped():
    return {"pyvorn_device.so": elf(next((BUILD / "python").glob("pyvorn_device*.so"))),
            "vorn/plugins/libvorn_sim.so": elf(BUILD / "plugins" / "libvorn_sim.so")}


@pytest.mark.skipif(bool(os.environ.get("VORN_SANITIZER")), reason="the sanitizer build links the C++ runtime shared")
@pytest.mark.parametrize("case", ["shipped", "older glibc", "a library beyond glibc", "another machine", "no ELF"])
def test_platform_tag_follows_what_the_objects_need(case):
    objects = shipped()
    needed = max(elf_check.glibc_needed(o) for o in objects.values())
    assert all(set(o.needed) <= elf_check.GLIBC_LIBRARIES | {elf_check.UNWINDER} for o in objects.values())
    if case == "shipped":
        assert elf_check.platform_tag(objects) == (f"manylinux_{needed[0]}_{needed[1]}_x86_64", [])
        assert needed <= tuple(map(int, os.confstr("CS_GNU_LIBC_VERSION").split()[1].split(".")))
    elif case == "older glibc":
        found = elf_check.problems("pyvorn_device.so", objects["pyvorn_device.so"], (2, 17), set())
        assert found and all("beyond glibc 2.17" in problem for problem in found)
    elif case == "a library beyond glibc":
        if not SPDLOG.exists():
            pytest.skip(f"no {SPDLOG} on this machine")
        tag, found = elf_check.platform_tag({**objects, "libspdlog.so.1.10": elf(SPDLOG)})
        assert tag == "linux_x86_64"
        assert "libspdlog.so.1.10 needs libfmt.so.9, which is neither glibc's nor in the wheel" in found
    elif case == "another machine":
        other = elf_check.ElfObject("aarch64", ["libc.so.6"], {})
        assert elf_check.platform_tag({**objects, "other.so": other})[0] == "linux_aarch64_x86_64"
    else:
        assert elf_check.read_elf(b"#!/bin/sh\n") is None
        with pytest.raises(elf_check.ElfError):
            elf_check.read_elf(b"\x7fELF\x02\x01" + bytes(10))


def test_wheel_carries_the_tag_it_earns_and_its_metadata(venv_and_wheel):
    wheel = venv_and_wheel[2]
    check = subprocess.run([sys.executable, REPO / "tools" / "build_backend" / "elf_check.py", wheel],
                           capture_output=True, text=True, timeout=120)
    assert check.returncode == 0, check.stdout
    assert "pyvorn_device" in check.stdout and "libvorn_sim.so" in check.stdout
    if zmq_linked_in():
        assert "earns manylinux_2_" in check.stdout
    else:  # a build on the system's libzmq (as in Debian 13) says why it is no manylinux wheel
        assert "earns linux_x86_64" in check.stdout and \
            "libvorn_remote.so needs libzmq.so.5, which is neither glibc's nor in the wheel" in check.stdout
    with zipfile.ZipFile(wheel) as archive:
        metadata = archive.read(f"pyvorn_device-{VERSION}.dist-info/METADATA").decode()
    headers, readme = metadata.split("\n\n", 1)
    assert {"Version: " + VERSION, "License: Proprietary", "Description-Content-Type: text/markdown",
            "Summary: Data-acquisition devices from Python: registers, block transfers, read streams, plug-ins"} \
        <= set(headers.splitlines())
    assert readme == (REPO / "README.md").read_text()


def vorn_command(args, pythonpath):
    env = {**os.environ, "PYTHONPATH": str(pythonpath)}
    return subprocess.run([sys.executable, "-m", "vorn", *args], capture_output=True, text=True, timeout=60, env=env)


@pytest.mark.parametrize("native", ["missing", "broken"])
def test_a_missing_or_broken_module_is_one_line(tmp_path, native):
    package = tmp_path / "vorn"
    shutil.copytree(REPO / "python" / "vorn", package)
    shutil.copy(BUILD / "python" / "vorn" / "_version.py", package)
    if native == "broken":
        (tmp_path / next((BUILD / "python").glob("pyvorn_device*.so")).name).write_bytes(b"not a library")
    result = vorn_command(["probe", "sim"], tmp_path)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith(f"vorn: the native module pyvorn_device is {native} (")
    assert result.stderr.endswith("; reinstall it: pip install --force-reinstall <the pyvorn_device wheel>, "
                                  "or pip install . in its source folder\n") and result.stderr.count("\n") == 1
    imported = subprocess.run([sys.executable, "-c", "import vorn; print(vorn.__version__); vorn.read_stream"],
                              capture_output=True, text=True, timeout=60, env={**os.environ, "PYTHONPATH": tmp_path})
    assert imported.stdout == f"{VERSION}\n" and imported.stderr.splitlines()[-1].startswith("ImportError: the native")


def test_version_of_the_build_tree():
    assert vorn_command(["--version"], BUILD / "python").stdout == f"vorn {VERSION}\n"


@pytest.fixture
def venv(venv_and_wheel, tmp_path):
    """A venv of its own with the wheel installed."""
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv], check=True, timeout=300)
    install = subprocess.run([*venv_and_wheel[1], "--python", venv / "bin" / "python", "install", "--no-index",
                              venv_and_wheel[2]], capture_output=True, text=True, timeout=600)
    assert install.returncode == 0, install.stdout + install.stderr
    return venv


def test_installed_version_and_a_damaged_bundled_plugin(venv, tmp_path):
    vorn = venv / "bin" / "vorn"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VORN_PLUGIN_PATH")}  # the venv's own
    assert subprocess.run([vorn, "--version"], capture_output=True, text=True, env=env).stdout == f"vorn {VERSION}\n"
    (plugin,) = venv.glob("lib/python3.12/site-packages/vorn/plugins/libvorn_sim.so")
    plugin.write_bytes(plugin.read_bytes()[:4096])  # loading a cut-short library can crash the process
    result = subprocess.run([vorn, "probe", "sim", "sim0"], capture_output=True, text=True, timeout=60, cwd=tmp_path,
                            env=env)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == (f"vorn: the native part of vorn is damaged: {plugin} has 4096 bytes instead of "
                             f"{(BUILD / 'plugins' / 'libvorn_sim.so').stat().st_size}; reinstall it: pip install "
                             "--force-reinstall <the pyvorn_device wheel>, or pip install . in its source folder\n")


@pytest.mark.skipif(not DEBIAN13, reason="needs the Debian 13 roots of scripts/debian13.sh (VORN_DEBIAN13_DIR)")
def test_wheel_runs_in_debian13_without_dev_packages(venv_and_wheel, tmp_path):
    bare = pathlib.Path(DEBIAN13) / "bare"
    listed = subprocess.run(["chroot", bare, "dpkg-query", "-W", "-f=${Package}\\n"], capture_output=True, text=True,
                            check=True, timeout=60).stdout.split()
    assert "libc6" in listed and [p for p in listed if p.startswith(("libspdlog", "libfmt", "libboost", "pybind11",
                                                                     "python3-pybind11", "libstdc++-"))] == []
    wheel = shutil.copy(venv_and_wheel[2], tmp_path)
    script = (f"cd {tmp_path} && {sys.executable} -m venv venv && venv/bin/pip install --no-index --no-cache-dir "
              f"--no-input --disable-pip-version-check -q {wheel} && venv/bin/vorn probe sim sim0 && "
              "venv/bin/vorn record sim 'sim0 rate=256M' -o out.bin --bytes 64M --allow-drops")
    result = subprocess.run([REPO / "scripts" / "debian13.sh", "--bare", "--bind", tmp_path, "--", "sh", "-c", script],
                            capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"location: {tmp_path}/venv/lib/python3.12/site-packages/vorn/plugins\n" in result.stdout
    assert "sim0: simulated data-acquisition device (vorn simulator 1.0.0)" in result.stdout
    assert "    register_writes=0 register_reads=0 triggers=0 bytes_written=0 bytes_read=0 streams_started=0 " \
           in result.stdout
    summary = result.stderr.splitlines()[-1]
    assert summary.startswith("out.bin: 67108864 bytes (64.0 MiB) in 1024 chunks, ") and ", errors 0; complete" in summary
    assert (tmp_path / "out.bin").stat().st_size == 64 << 20
