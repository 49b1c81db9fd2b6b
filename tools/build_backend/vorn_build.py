"""PEP 517 build backend of pyvorn_device: standard library only.

Builds the extension module and the bundled plug-ins with the project's
CMake build and packs a wheel of what ``cmake --install`` puts in place:

- component ``python``: the module, its stubs and the ``vorn`` package, at
  the wheel's root (site-packages);
- component ``plugins``: the simulator, the replay and the remote plug-ins, into
  ``vorn/plugins/``, where the plug-in search path looks for bundled plug-ins;
- component ``programs``: ``vorn-server``, into ``vorn/bin/``, where
  ``vorn serve`` runs it;
- ``.dist-info``: metadata from pyproject.toml (summary, license, the
  README as the description) with the version of CMakeLists.txt, the
  ``vorn`` console script, and the RECORD.

The platform tag is the one the wheel's ELF objects earn (elf_check.py):
``manylinux_2_X`` when they need nothing beyond glibc 2.X (and its unwinder),
else ``linux_<arch>``; the reasons are printed.

Config settings (``pip install . --config-settings build-dir=DIR``):
``build-dir`` is the CMake build folder, relative to the source folder
(default ``build-wheel``, configured for the interpreter that runs pip, as a
Release build without tests). A chosen folder that is already configured is
built as it is, so a development build can be reused.
"""

from __future__ import annotations

import base64
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import tomllib
import zipfile

import elf_check

SOURCE = pathlib.Path(__file__).resolve().parents[2]
# What the build needs, as Debian packages (scripts/bootstrap.sh installs
# them and the test tools).
BUILD_PACKAGES = ("cmake", "g++", "make", "pkg-config", "pybind11-dev", "libboost-dev", "libboost-filesystem-dev",
                  "libspdlog-dev", "libfmt-dev", "libreaderwriterqueue-dev", "libzmq3-dev", "cppzmq-dev")


# The bundled plug-ins: the simulator and the replay of recordings.
PLUGIN_TARGETS = ("vorn_sim", "vorn_replay", "vorn_remote", "vorn-server")


class BuildError(RuntimeError):
    pass


def _project() -> dict:
    with open(SOURCE / "pyproject.toml", "rb") as file:
        project = tomllib.load(file)["project"]
    cmake = (SOURCE / "CMakeLists.txt").read_text()
    version = re.search(r"project\(\s*pyvorn_device\s+VERSION\s+([0-9.]+)", cmake)
    if version is None:
        raise BuildError("no version in CMakeLists.txt's project()")
    return {**project, "version": version[1]}


def _dist_name(project: dict) -> str:
    return re.sub(r"[-_.]+", "_", project["name"])


def _tag(platform: str) -> str:
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    return f"{interpreter}-{interpreter}-{platform}"


def _platform(files: dict[str, bytes]) -> str:
    """The platform tag the wheel's ELF objects earn; what keeps them from
    manylinux goes to stderr."""
    platform, problems = elf_check.platform_tag(elf_check.wheel_objects(files))
    if platform == "any":  # nothing native: the platform this interpreter builds for
        platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    for problem in problems:
        print(f"vorn_build: not manylinux: {problem}", file=sys.stderr)
    return platform


def _metadata(project: dict) -> str:
    license_text = project.get("license", {}).get("text", "")
    readme = (SOURCE / project["readme"]).read_text(encoding="utf-8") if "readme" in project else ""
    headers = [("Metadata-Version", "2.1"), ("Name", project["name"]), ("Version", project["version"]),
               ("Summary", project.get("description", "")), ("License", license_text),
               ("Requires-Python", project.get("requires-python", ""))]
    headers += [("Classifier", classifier) for classifier in project.get("classifiers", [])]
    if readme:
        headers.append(("Description-Content-Type", "text/markdown"))
    return "".join(f"{name}: {value}\n" for name, value in headers if value) + (f"\n{readme}" if readme else "")


def _dist_info_files(project: dict, platform: str | None = None) -> dict[str, bytes]:
    scripts = "".join(f"{name} = {target}\n" for name, target in project.get("scripts", {}).items())
    files = {
        "METADATA": _metadata(project).encode(),
        "entry_points.txt": f"[console_scripts]\n{scripts}".encode(),
    }
    if platform is not None:
        files["WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: vorn_build\nRoot-Is-Purelib: false\n"
                          f"Tag: {_tag(platform)}\n").encode()
    return files


def _missing_packages() -> list[str]:
    """The build packages dpkg does not list as installed; none where there is no dpkg."""
    if shutil.which("dpkg-query") is None:
        return []
    missing = []
    for package in BUILD_PACKAGES:
        status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True)
        if "install ok installed" not in status.stdout:
            missing.append(package)
    return missing


def _install_hint(packages: list[str] | tuple[str, ...]) -> str:
    return (f"Install them with: sudo apt-get install {' '.join(packages)}\n"
            "(or run scripts/bootstrap.sh from the source folder, which installs them)")


def _run(command: list[str], what: str, env: dict[str, str] | None = None) -> None:
    print(f"vorn_build: {' '.join(command)}", file=sys.stderr, flush=True)
    result = subprocess.run(command, stdout=sys.stderr, stderr=sys.stderr, env=env)
    if result.returncode != 0:
        raise BuildError(f"{what} failed (exit status {result.returncode}); see the output above.\n"
                         f"pyvorn_device needs these Debian packages to build: {' '.join(BUILD_PACKAGES)}\n"
                         + _install_hint(BUILD_PACKAGES))


def _build(config_settings: dict | None, staging: pathlib.Path) -> None:
    """Builds with CMake and installs the components into staging/python and
    staging/plugins (as DESTDIR, so any install folder lands inside)."""
    missing = _missing_packages()
    if missing:
        raise BuildError(f"pyvorn_device cannot be built: these Debian packages are missing: {' '.join(missing)}\n"
                         + _install_hint(missing))
    if shutil.which("cmake") is None:
        raise BuildError("pyvorn_device cannot be built: cmake not found.\n" + _install_hint(BUILD_PACKAGES))
    chosen = (config_settings or {}).get("build-dir")
    build_dir = SOURCE / (chosen or "build-wheel")
    if chosen is None or not (build_dir / "CMakeCache.txt").exists():  # the backend's own folder follows this Python
        # ZeroMQ linked in, so that the remote plug-in and vorn-server need
        # nothing beyond glibc either; built once from Debian's sources.
        # Where that cannot be done (no root for its packages, no mirror),
        # the shared library is used and the wheel's tag says so.
        zmq_prefix = SOURCE / "build-deps" / "zmq"
        print(f"vorn_build: building the static ZeroMQ into {zmq_prefix}", file=sys.stderr, flush=True)
        static_zmq = subprocess.run([str(SOURCE / "scripts" / "zmq_static.sh"), str(zmq_prefix)], stdout=sys.stderr,
                                    stderr=sys.stderr).returncode == 0
        if not static_zmq:
            print("vorn_build: no static ZeroMQ; the remote plug-in and vorn-server use the system's libzmq",
                  file=sys.stderr, flush=True)
        zmq_options = [f"-DVORN_ZMQ_STATIC={'ON' if static_zmq else 'OFF'}", f"-DVORN_ZMQ_STATIC_PREFIX={zmq_prefix}"]
        _run(["cmake", "-S", str(SOURCE), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release", "-DVORN_BUILD_TESTS=OFF",
              f"-DPYTHON={sys.executable}", *zmq_options], "configuring with CMake")
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    _run(["cmake", "--build", str(build_dir), "--target", "pyvorn_device", *PLUGIN_TARGETS, "--parallel", jobs],
         "building with CMake")
    for component in ("python", "plugins", "programs"):
        env = {**os.environ, "DESTDIR": str(staging / component)}
        _run(["cmake", "--install", str(build_dir), "--component", component, "--prefix", "/prefix"],
             f"installing the {component} component", env)


def _wheel_tree(staging: pathlib.Path) -> dict[str, pathlib.Path]:
    """Wheel path -> staged file."""
    modules = list((staging / "python").rglob("pyvorn_device*.so"))
    if len(modules) != 1:
        raise BuildError(f"expected one built module in {staging / 'python'}, found {modules}")
    site = modules[0].parent
    files = {p.relative_to(site).as_posix(): p for p in site.rglob("*")
             if p.is_file() and "__pycache__" not in p.parts}
    for plugin in (staging / "plugins").rglob("*.so"):
        files[f"vorn/plugins/{plugin.name}"] = plugin
    for program in (staging / "programs").rglob("vorn-server"):
        files[f"vorn/bin/{program.name}"] = program
    return files


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    dist_info = f"{_dist_name(project)}-{project['version']}.dist-info"
    target = pathlib.Path(metadata_directory) / dist_info
    target.mkdir(parents=True, exist_ok=True)
    for name, data in _dist_info_files(project).items():
        (target / name).write_bytes(data)
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    base = f"{_dist_name(project)}-{project['version']}"
    with tempfile.TemporaryDirectory(prefix="vorn-wheel-") as temp:
        staging = pathlib.Path(temp)
        _build(config_settings, staging)
        contents = {name: path.read_bytes() for name, path in sorted(_wheel_tree(staging).items())}
        platform = _platform(contents)
        wheel_name = f"{base}-{_tag(platform)}.whl"
        contents.update({f"{base}.dist-info/{n}": d for n, d in _dist_info_files(project, platform).items()})
        record_name = f"{base}.dist-info/RECORD"
        record = [_record_line(name, data) for name, data in contents.items()] + [f"{record_name},,"]
        contents[record_name] = ("\n".join(record) + "\n").encode()
        path = pathlib.Path(wheel_directory) / wheel_name
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
            for name, data in contents.items():
                info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
                info.external_attr = (0o755 if data[:4] == b"\x7fELF" else 0o644) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                wheel.writestr(info, data)
    return wheel_name
