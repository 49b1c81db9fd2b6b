"""Import, the interpreter gate, the registered surface and ReturnCode."""

import operator
import os
import pathlib
import pickle
import shutil
import subprocess
import sys

import pytest

import pyvorn_device as pv
from conftest import BUILD, run_python

SIGNATURES = {
    "Device.__init__": "__init__(self: pyvorn_device.Device) -> None",
    "Device.__repr__": "__repr__(self: pyvorn_device.Device) -> str",
    "Device.set_register_sync": "set_register_sync(self: pyvorn_device.Device, arg0: int, arg1: int, arg2: int)"
    " -> pyvorn_device.ReturnCode",
    "Device.set_register": "set_register(self: pyvorn_device.Device, arg0: int, arg1: int, arg2: int)"
    " -> pyvorn_device.ReturnCode",
    "Device.send_registers": "send_registers(self: pyvorn_device.Device) -> pyvorn_device.ReturnCode",
    "Device.get_register_sync": "get_register_sync(self: pyvorn_device.Device, arg0: int) -> Optional[int]",
    "Device.get_register": "get_register(self: pyvorn_device.Device, arg0: int) -> int",
    "Device.read_registers": "read_registers(self: pyvorn_device.Device) -> pyvorn_device.ReturnCode",
    "Device.trigger": "trigger(self: pyvorn_device.Device, arg0: int, arg1: int) -> pyvorn_device.ReturnCode",
    "Device.write": "write(self: pyvorn_device.Device, arg0: int, arg1: buffer) -> int",
    "Device.read": "read(self: pyvorn_device.Device, arg0: int, arg1: buffer) -> int",
    "Device.start_read_stream": "start_read_stream(self: pyvorn_device.Device, addr: int, callback: "
    "Callable[[Optional[pyvorn_device.ManagedBuffer], Optional[str]], None], *, chunk_size: int = 0, "
    "max_queue_elements: int = 4096) -> Optional[pyvorn_device.DataStream]",
    "Device.start_aligned_read_stream": "start_aligned_read_stream(self: pyvorn_device.Device, addr: int, "
    "alignment: int, callback: Callable[[Optional[pyvorn_device.DataView], Optional[str]], None], *, "
    "chunk_size: int = 0, max_queue_elements: int = 4096) -> Optional[pyvorn_device.DataStream]",
    "Device.get_status": "get_status(self: pyvorn_device.Device) -> Optional[str]",
    "Device.get_info": "get_info(self: pyvorn_device.Device) -> Optional[str]",
    "DataStream.stop": "stop(self: pyvorn_device.DataStream) -> None",
    "DataStream.__enter__": "__enter__(self: pyvorn_device.DataStream) -> pyvorn_device.DataStream",
    "DataStream.__exit__": "__exit__(self: pyvorn_device.DataStream, arg0: Optional[type], "
    "arg1: Optional[object], arg2: Optional[object]) -> None",
    "DeviceManager.info": "info(self: pyvorn_device.DeviceManager) -> str",
    "DeviceManager.location": "location(self: pyvorn_device.DeviceManager) -> os.PathLike",
    "DeviceManager.list_devices": "list_devices(self: pyvorn_device.DeviceManager) -> str",
    "DeviceManager.get_device_options": "get_device_options(self: pyvorn_device.DeviceManager) -> str",
    "DeviceManager.create_device": "create_device(self: pyvorn_device.DeviceManager, arg0: str)"
    " -> pyvorn_device.Device",
    "get_device_manager": "get_device_manager(arg0: os.PathLike) -> pyvorn_device.DeviceManager",
    "ReturnCode.__init__": "__init__(self: pyvorn_device.ReturnCode, value: int) -> None",
}


def _resolve(dotted):
    obj = pv
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_first_docstring_line_is_the_signature(name):
    doc = _resolve(name).__doc__
    assert doc.splitlines()[0] == SIGNATURES[name]
    assert doc.strip() == SIGNATURES[name], "bound functions carry no docstring beyond the signature"


def test_module_surface_and_docstring():
    assert pv.__doc__ == "Python binding for VORN Device"
    public = sorted(n for n in vars(pv) if not n.startswith("_"))
    assert public == ["DataStream", "DataView", "Device", "DeviceManager", "ManagedBuffer", "ReturnCode",
                      "get_device_manager"]
    for cls in (pv.DataStream, pv.DataView, pv.Device, pv.DeviceManager, pv.ManagedBuffer):
        assert cls.__doc__ is None
        assert cls.__module__ == "pyvorn_device"


def test_device_methods_are_registered_in_order():
    names = [n for n in vars(pv.Device) if not n.startswith("__") or n in ("__init__", "__repr__")]
    assert names == ["__init__", "__repr__", "set_register_sync", "set_register", "send_registers",
                     "get_register_sync", "get_register", "read_registers", "trigger", "write", "read",
                     "start_read_stream", "start_aligned_read_stream", "get_status", "get_info"]


@pytest.mark.parametrize("cls", ["DataStream", "ManagedBuffer", "DataView", "DeviceManager"])
def test_types_without_constructor_refuse_construction(cls):
    with pytest.raises(TypeError, match=rf"^pyvorn_device\.{cls}: No constructor defined!$"):
        getattr(pv, cls)()


UNINITIALISED_CALLS = [
    ("DeviceManager", "info", ()), ("DeviceManager", "location", ()), ("DeviceManager", "list_devices", ()),
    ("DeviceManager", "get_device_options", ()), ("DeviceManager", "create_device", ("sim0",)),
    ("DataStream", "stop", ()), ("DataStream", "__enter__", ()), ("DataStream", "__exit__", (None, None, None)),
    ("ReturnCode", "__int__", ()), ("ReturnCode", "__repr__", ()), ("ReturnCode", "__hash__", ()),
    ("ReturnCode", "__eq__", (pv.ReturnCode.Success,)), ("ReturnCode", "__getstate__", ()),
]


@pytest.mark.parametrize("cls, method, args", UNINITIALISED_CALLS, ids=lambda v: v if isinstance(v, str) else "")
def test_objects_made_with_new_alone_raise(cls, method, args):
    obj = getattr(pv, cls).__new__(getattr(pv, cls))
    with pytest.raises(RuntimeError, match=rf"^pyvorn_device\.{cls} object holds no native value"):
        getattr(obj, method)(*args)


def test_python_subclass_of_data_stream_has_no_native_stream():
    class Sub(pv.DataStream):
        def stop(self):
            return "python"

    with pytest.raises(TypeError, match="^Sub: No constructor defined!$"):
        Sub()
    obj = Sub.__new__(Sub)
    assert obj.stop() == "python"
    with pytest.raises(RuntimeError, match="^Sub object holds no native value"):
        pv.DataStream.stop(obj)


def test_with_block_on_an_uninitialised_stream_raises():
    with pytest.raises(RuntimeError, match="holds no native value"):
        with pv.DataStream.__new__(pv.DataStream):
            pass


class TestReturnCode:
    def test_docstring_and_members(self):
        assert pv.ReturnCode.__doc__ == "Members:\n\n  Success\n\n  Failure"
        assert list(pv.ReturnCode.__members__) == ["Success", "Failure"]
        assert not hasattr(pv, "Success") and not hasattr(pv, "Failure")

    @pytest.mark.parametrize("other", [0, 0.0, None, "ReturnCode.Success", False])
    def test_equality_is_strict(self, other):
        assert (pv.ReturnCode.Success == other) is False
        assert (pv.ReturnCode.Success != other) is True

    def test_values_names_and_text(self):
        s, f = pv.ReturnCode.Success, pv.ReturnCode.Failure
        assert pv.ReturnCode(0) == s and pv.ReturnCode(0) is not s
        assert (int(f), operator.index(f), f.value, f.name) == (1, 1, 1, "Failure")
        assert hash(f) == hash(1)
        assert (repr(s), str(s)) == ("<ReturnCode.Success: 0>", "ReturnCode.Success")
        odd = pv.ReturnCode(5)
        assert (odd.name, repr(odd)) == ("???", "<ReturnCode.???: 5>")
        assert pv.ReturnCode(-(2**31)).value == -(2**31)
        with pytest.raises(TypeError):
            pv.ReturnCode(2**31)

    def test_no_ordering(self):
        with pytest.raises(TypeError):
            pv.ReturnCode.Success < pv.ReturnCode.Failure  # noqa: B015

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle_round_trip(self, protocol):
        back = pickle.loads(pickle.dumps(pv.ReturnCode.Failure, protocol))
        assert back == pv.ReturnCode.Failure
        assert pv.ReturnCode.Failure.__getstate__() == 1


def _other_python(version):
    root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip() if shutil.which("pyenv") \
        else ""
    candidates = [shutil.which(f"python{version}")]
    if root:
        candidates += sorted(pathlib.Path(root, "versions").glob(f"{version}*/bin/python{version}"))
    for c in candidates:
        if c and os.access(c, os.X_OK):
            probe = subprocess.run([str(c), "-c", "import sys; print(sys.version)"], capture_output=True, text=True)
            if probe.returncode == 0:
                return str(c), probe.stdout.strip()
    return None, None


@pytest.mark.parametrize("version", ["3.11", "3.13"])
def test_other_interpreters_get_the_version_mismatch(version, tmp_path):
    python, full_version = _other_python(version)
    if python is None:
        pytest.skip(f"no Python {version} on this machine")
    built = next((BUILD / "python").glob("pyvorn_device*.so"))
    shutil.copy(built, tmp_path / "pyvorn_device.so")
    result = subprocess.run([python, "-c", "import pyvorn_device"], cwd=tmp_path, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last == ("ImportError: Python version mismatch: module was compiled for Python 3.12, but the interpreter "
                    f"version is incompatible: {full_version}.")


def test_import_under_312_starts_no_thread():
    result = run_python("import threading, pyvorn_device; print(threading.active_count())")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "1"


def test_type_stubs_match_the_module():
    import ast

    stub = ast.parse((BUILD / "python" / "pyvorn_device.pyi").read_text())
    declared = {}
    for node in stub.body:
        if isinstance(node, ast.ClassDef):
            declared[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.FunctionDef):
            declared[node.name] = set()
    public = {n for n in vars(pv) if not n.startswith("_")}
    assert set(declared) == public
    for cls, methods in declared.items():
        for method in methods - {"__buffer__"}:
            assert hasattr(getattr(pv, cls), method), f"{cls}.{method} is in the stubs only"
        if cls == "Device":
            bound = {n for n in vars(pv.Device) if not n.startswith("_")}
            assert bound <= methods, f"missing from the stubs: {bound - methods}"


def test_install_into_a_named_prefix_is_importable(tmp_path):
    cache = (BUILD / "CMakeCache.txt").read_text()
    folder = next(line.split("=", 1)[1] for line in cache.splitlines() if line.startswith("VORN_PYTHON_INSTALL_DIR:"))
    if os.path.isabs(folder):
        pytest.skip(f"this build installs the module into {folder} whatever the prefix")
    subprocess.run(["cmake", "--install", str(BUILD), "--component", "python", "--prefix", str(tmp_path)],
                   check=True, capture_output=True, timeout=120)
    site = tmp_path / "lib" / "python3.12" / "site-packages"
    assert (site / "pyvorn_device.pyi").is_file()
    result = subprocess.run([sys.executable, "-c", "import pyvorn_device; print(pyvorn_device.__file__)"],
                            env={**os.environ, "PYTHONPATH": str(site)}, cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().startswith(str(site))
