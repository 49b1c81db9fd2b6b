"""DeviceManager and get_device_manager against the test plug-ins."""

import gc
import os
import pathlib
import re
import threading
import time

import pytest

import pyvorn_device as pv
from plugins_fixtures import is_mapped, plugin_path, probe_log  # noqa: F401 (probe_log is a fixture)

UNKNOWN = "Caught an unknown exception!"


@pytest.fixture
def good():
    return pv.get_device_manager(plugin_path("vorn_test_good"))


@pytest.mark.parametrize(
    "name, signature",
    [
        ("info", "info(self: pyvorn_device.DeviceManager) -> str"),
        ("location", "location(self: pyvorn_device.DeviceManager) -> os.PathLike"),
        ("list_devices", "list_devices(self: pyvorn_device.DeviceManager) -> str"),
        ("get_device_options", "get_device_options(self: pyvorn_device.DeviceManager) -> str"),
        ("create_device", "create_device(self: pyvorn_device.DeviceManager, arg0: str) -> pyvorn_device.Device"),
    ],
)
def test_method_docstring_is_its_signature(name, signature):
    assert getattr(pv.DeviceManager, name).__doc__.strip() == signature


def test_loader_docstring_is_its_signature():
    assert pv.get_device_manager.__doc__.strip() == (
        "get_device_manager(arg0: os.PathLike) -> pyvorn_device.DeviceManager"
    )


def test_manager_cannot_be_constructed():
    with pytest.raises(TypeError, match="^pyvorn_device.DeviceManager: No constructor defined!$"):
        pv.DeviceManager()


@pytest.mark.parametrize(
    "case",
    ["missing", "directory", "no_export", "throwing", "throwing_int", "throwing_object"],
)
def test_load_failures_report_the_path_as_given(case, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "folder").mkdir()
    given = {
        "missing": "sub/missing.so",
        "directory": "folder",
    }.get(case) or str(plugin_path(f"vorn_test_{case}"))
    expected = {
        "missing": "Device Manager not found: sub/missing.so",
        "directory": "Not a regular file: folder",
        "no_export": f"Device Manager does not have create_manager function: {given}",
        "throwing": f"Failed to create manager: {given} create_manager refused",
        "throwing_int": UNKNOWN,
        "throwing_object": UNKNOWN,
    }[case]
    with pytest.raises(RuntimeError) as caught:
        pv.get_device_manager(given)
    assert str(caught.value) == expected
    if case in ("no_export", "throwing"):
        assert not is_mapped(given)


@pytest.mark.parametrize("name, offset", [("vorn_test_wrong_mark", 1), ("vorn_test_old_mark", -1)])
def test_plugin_built_for_another_interface_version_is_refused_before_create_manager(name, offset):
    path = str(plugin_path(name))  # its mark is this module's version + offset
    with pytest.raises(RuntimeError) as caught:
        pv.get_device_manager(path)
    versions = re.fullmatch(
        rf"Plug-in interface version mismatch: {re.escape(path)} was built for interface version (\d+), "
        r"this module provides version (\d+)", str(caught.value))
    assert versions and int(versions[1]) == int(versions[2]) + offset, caught.value
    assert not is_mapped(path)


def test_file_that_is_no_library_fails_to_load(tmp_path):
    fake = tmp_path / "libfake.so"
    fake.write_text("not a shared library\n")
    with pytest.raises(RuntimeError, match=r"^boost::dll::shared_library::load\(\) failed"):
        pv.get_device_manager(fake)


def test_null_manager_is_none_and_releases_the_library():
    path = plugin_path("vorn_test_null")
    assert pv.get_device_manager(path) is None
    assert not is_mapped(path)


@pytest.mark.parametrize("convert", [str, pathlib.Path, os.fsencode], ids=["str", "Path", "bytes"])
def test_path_argument_forms(convert):
    manager = pv.get_device_manager(convert(plugin_path("vorn_test_good")))
    assert manager.info().startswith("vorn test manager #")


@pytest.mark.parametrize(
    "call",
    [
        lambda: pv.get_device_manager(7),
        lambda: pv.get_device_manager(None),
        lambda: pv.get_device_manager(arg0=str(plugin_path("vorn_test_probe"))),
        lambda: pv.get_device_manager(path=str(plugin_path("vorn_test_probe"))),
    ],
    ids=["int", "None", "keyword arg0", "keyword path"],
)
def test_unconvertible_arguments_raise_type_error_before_loading(call, probe_log):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()
    assert probe_log.events() == []


def test_create_device_rejects_keywords(good):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        good.create_device(arg0="")


def test_texts_and_location(good):
    assert good.list_devices() == "test:0\ntest:1"
    assert "sleep_ms=N" in good.get_device_options()
    location = good.location()
    assert isinstance(location, pathlib.Path)
    assert location == plugin_path("vorn_test_good").parent


@pytest.mark.parametrize("method", ["info", "list_devices", "get_device_options"])
def test_invalid_utf8_text_raises_unicode_decode_error(method):
    manager = pv.get_device_manager(plugin_path("vorn_test_bad_text"))
    with pytest.raises(UnicodeDecodeError):
        getattr(manager, method)()
    assert manager.location() == plugin_path("vorn_test_bad_text").parent


def test_created_device_works(good):
    device = good.create_device("fail_read")
    assert type(device) is pv.Device
    assert device.get_info() == "fail_read"
    assert device.set_register_sync(3, 0xDEADBEEF, 0) == pv.ReturnCode.Success
    assert device.get_register_sync(3) is None  # read_registers fails on this device
    data = bytearray(b"abcdef")
    assert device.write(10, data) == 6
    back = bytearray(6)
    assert device.read(10, back) == 6
    assert back == data


def test_empty_holder_becomes_none(good):
    assert good.create_device("none") is None
    assert pv.get_device_manager(plugin_path("vorn_test_bad_text")).create_device("") is None


def test_create_device_exception_becomes_runtime_error(good):
    with pytest.raises(RuntimeError, match="^no such device$"):
        good.create_device("throw=no such device")
    assert good.create_device("") is not None  # the GIL came back intact


@pytest.mark.parametrize("call, message", [
    (lambda: pv.get_device_manager(b"/no/such/plug\xffin.so"), "Device Manager not found: /no/such/plug\ufffdin.so"),
    (lambda: pv.get_device_manager(plugin_path("vorn_test_bad_text")).create_device("throw"),
     "unknown option \ufffd in the device text"),
], ids=["loader", "plug-in"])
def test_error_messages_that_are_not_utf8_arrive_with_bytes_replaced(call, message):
    with pytest.raises(RuntimeError) as caught:
        call()
    assert str(caught.value) == message


def test_two_loads_give_two_managers():
    path = plugin_path("vorn_test_good")
    first, second = pv.get_device_manager(path), pv.get_device_manager(path)
    assert first is not second
    assert first.info() != second.info()
    device = second.create_device("")
    del first, second
    gc.collect()
    assert is_mapped(path)
    del device
    gc.collect()
    assert not is_mapped(path)


def test_device_outlives_its_manager_and_holds_the_library(probe_log):
    path = plugin_path("vorn_test_probe")
    manager = pv.get_device_manager(path)
    device = manager.create_device("")
    del manager
    gc.collect()
    assert probe_log.events() == ["loaded", "manager created", "device created"]
    assert is_mapped(path)
    assert device.set_register_sync(1, 5, 0) == pv.ReturnCode.Success
    assert device.get_register_sync(1) == 5

    del device
    gc.collect()
    assert probe_log.events() == [
        "loaded",
        "manager created",
        "device created",
        "device destroyed",
        "manager destroyed",
        "unloaded",
    ]
    assert not is_mapped(path)


def test_slow_create_device_lets_other_threads_run(good):
    """create_device runs without the GIL: while one thread waits in a slow
    open, Python code on another thread and a second create_device run."""
    entered, opened = threading.Event(), threading.Event()
    results = {}

    def open_slowly():
        entered.set()
        results["slow"] = good.create_device("sleep_ms=1500")
        opened.set()

    worker = threading.Thread(target=open_slowly)
    worker.start()
    entered.wait()
    deadline = time.monotonic() + 0.3
    spins = 0
    while time.monotonic() < deadline:
        spins += 1
    fast = good.create_device("")
    assert not opened.is_set(), "the slow create_device held the GIL"
    assert spins > 0 and fast is not None
    worker.join(timeout=10)
    assert results["slow"] is not None
