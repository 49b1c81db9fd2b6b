"""Device: construction, dispatch to Python subclasses, argument widths, buffers
and the misbehaving Python devices that must never bring the process down."""

import array
import pickle
import re
import sys

import pytest

import pyvorn_device as pv
from conftest import BUILD, run_python
from remote_fixtures import open_manager, remote_servers  # noqa: F401 (remote_servers is a fixture)

S, F = pv.ReturnCode.Success, pv.ReturnCode.Failure


class Recorder(pv.Device):
    """A Python device that records every call it receives."""

    def __init__(self, read_status=S, value=7, set_status=S, send_status=S):
        super().__init__()
        self.calls = []
        self.read_status = read_status
        self.value = value
        self.set_status = set_status
        self.send_status = send_status

    def set_register(self, addr, value, extra):
        self.calls.append(("set_register", addr, value, extra))
        return self.set_status

    def send_registers(self):
        self.calls.append(("send_registers",))
        return self.send_status

    def read_registers(self):
        self.calls.append(("read_registers",))
        return self.read_status

    def get_register(self, addr):
        self.calls.append(("get_register", addr))
        return self.value

    def trigger(self, addr, value):
        self.calls.append(("trigger", addr, value))
        return S

    def write(self, addr, length, data):
        self.calls.append(("write", addr, length, bytes(data), data.readonly))
        return length

    def read(self, addr, length, data):
        data[:] = bytes(range(length))
        self.calls.append(("read", addr, length, data.readonly))
        return length


class TestConstruction:
    def test_plain_device_repr_and_empty_answers(self):
        d = pv.Device()
        assert re.fullmatch(r"<pyvorn_device\.Device at 0x[0-9a-f]+>", repr(d))
        assert repr(d) == repr(d) and repr(d) != repr(pv.Device())
        assert d.get_status() is None and d.get_info() is None
        assert d.start_read_stream(0, lambda *a: None) is None
        assert d.start_aligned_read_stream(0, 4, lambda *a: None) is None

    def test_subclass_repr_names_the_base(self):
        assert repr(Recorder()).startswith("<pyvorn_device.Device at 0x")

    def test_init_takes_no_arguments(self):
        with pytest.raises(TypeError):
            pv.Device(1)

    def test_subclass_must_call_base_init(self):
        class Forgetful(pv.Device):
            def __init__(self):
                pass

        with pytest.raises(TypeError, match=r"pyvorn_device\.Device\.__init__\(\) must be called when overriding"):
            Forgetful()

    @pytest.mark.parametrize("method, args", [("get_register", (0,)), ("send_registers", ()), ("__repr__", ()),
                                              ("write", (0, b"x")), ("get_status", ())])
    def test_uninitialised_object_raises_instead_of_crashing(self, method, args):
        d = pv.Device.__new__(pv.Device)
        with pytest.raises(RuntimeError, match=r"^$"):
            getattr(d, method)(*args)


class TestDispatch:
    @pytest.mark.parametrize("set_status, send_status, expected", [(S, S, S), (F, S, F), (S, F, F)])
    def test_set_register_sync_stages_then_sends_and_fails_if_either_did(self, set_status, send_status, expected):
        d = Recorder(set_status=set_status, send_status=send_status)
        result = d.set_register_sync(1, 2**32 - 1, 3)
        assert result == expected and result is not expected
        assert d.calls == [("set_register", 1, 2**32 - 1, 3), ("send_registers",)]

    @pytest.mark.parametrize("status, expected, calls", [
        (S, 7, [("read_registers",), ("get_register", 9)]),
        (F, None, [("read_registers",)]),
        (pv.ReturnCode(2), None, [("read_registers",)]),
    ])
    def test_get_register_sync_refreshes_then_reads(self, status, expected, calls):
        d = Recorder(read_status=status)
        assert d.get_register_sync(9) == expected
        assert d.calls == calls

    def test_zero_is_a_value_not_none(self):
        assert Recorder(value=0).get_register_sync(1) == 0

    def test_super_call_runs_the_interface_once(self):
        class Wrapping(Recorder):
            def set_register_sync(self, a, v, x):
                self.calls.append(("sync",))
                return super().set_register_sync(a, v, x)

        d = Wrapping()
        assert d.set_register_sync(1, 2, 3) == S
        assert d.calls == [("sync",), ("set_register", 1, 2, 3), ("send_registers",)]

    def test_negative_trigger_value_reaches_python(self):
        d = Recorder()
        assert pv.Device.trigger(d, 5, -5) == S
        assert d.calls == [("trigger", 5, -5)]

    @pytest.mark.parametrize("returned, expected", [("ok", "ok"), (b"\xc3\xa9", "é"), (bytearray(b"ab"), "ab"),
                                                    (None, None)])
    def test_text_results(self, returned, expected):
        class Describing(pv.Device):
            def get_status(self):
                return returned

        d = Describing()
        assert pv.Device.get_status(d) == expected

    def test_text_result_of_wrong_type(self):
        class Describing(pv.Device):
            def get_info(self):
                return 5

        with pytest.raises(RuntimeError):
            pv.Device.get_info(Describing())

    def test_write_lends_a_readonly_view_and_read_a_writable_one(self):
        d = Recorder()
        assert pv.Device.write(d, 3, b"abc") == 3
        target = bytearray(4)
        assert pv.Device.read(d, 8, target) == 4
        assert target == bytes(range(4))
        assert d.calls == [("write", 3, 3, b"abc", True), ("read", 8, 4, False)]


class TestArguments:
    @pytest.mark.parametrize("bad", [-1, 2**32, 1.0, "1", None])
    def test_unsigned_address_refuses(self, bad):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            pv.Device.get_register(Recorder(), bad)

    def test_widths_pass_unchanged(self):
        d = Recorder()
        pv.Device.get_register(d, 2**32 - 1)
        pv.Device.trigger(d, 0, -(2**31))
        with pytest.raises(TypeError):
            pv.Device.trigger(d, 0, 2**31)
        assert d.calls == [("get_register", 2**32 - 1), ("trigger", 0, -(2**31))]

    def test_index_objects_are_accepted(self):
        class Idx:
            def __index__(self):
                return 4

        d = Recorder()
        pv.Device.get_register(d, Idx())
        assert d.calls == [("get_register", 4)]

    def test_positional_only(self):
        with pytest.raises(TypeError):
            pv.Device.set_register(Recorder(), addr=1, value=2, extra=3)

    def test_stream_options_are_keyword_only(self):
        d = pv.Device()
        with pytest.raises(TypeError):
            d.start_read_stream(0, print, 4096)
        assert d.start_read_stream(addr=0, callback=print, chunk_size=4096) is None

    @pytest.mark.parametrize("start", [lambda d: d.start_read_stream(5, None),
                                       lambda d: d.start_aligned_read_stream(5, 4, None)], ids=["plain", "aligned"])
    def test_none_is_no_callback(self, start):
        device = pv.get_device_manager(BUILD / "tests" / "plugins" / "libvorn_test_script.so").create_device("end")
        with pytest.raises(TypeError, match="incompatible function arguments"):
            start(device)
        assert device.get_info().startswith("addr=0 ")  # the device was not asked for a stream


class TestBuffers:
    @pytest.mark.parametrize("method, data, message", [
        ("read", b"abc", "buffer is readonly"),
        ("read", memoryview(b"abcdef").cast("B", (2, 3)), "buffer is readonly"),
        ("write", memoryview(bytearray(6)).cast("B", (2, 3)), "ndim != 1"),
        ("read", array.array("b", [1, 2]), "Unsupported buffer format!"),
        ("write", array.array("H", [1, 2]), "Unsupported buffer format!"),
        ("write", memoryview(bytearray(4)).cast("c"), "Unsupported buffer format!"),
        ("write", memoryview(bytearray(8))[::2], "strides[0] != 1"),
    ])
    def test_refusals_come_before_the_device(self, method, data, message):
        d = Recorder()
        with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
            getattr(pv.Device, method)(d, 0, data)
        assert d.calls == []

    def test_object_without_buffer_does_not_match(self):
        with pytest.raises(TypeError):
            pv.Device.write(Recorder(), 0, [1, 2, 3])

    @pytest.mark.parametrize("data", [b"", bytearray(), array.array("B", [9, 8]), memoryview(bytearray(3))])
    def test_accepted_buffers(self, data):
        d = Recorder()
        assert pv.Device.write(d, 1, data) == len(data)
        assert d.calls[0][:3] == ("write", 1, len(data))

    def test_kept_data_block_is_unusable_after_the_call(self):
        class Keeper(Recorder):
            def write(self, addr, length, data):
                self.kept = data
                return length

        d = Keeper()
        pv.Device.write(d, 0, b"secret")
        with pytest.raises(ValueError, match="released"):
            bytes(d.kept)

    @pytest.mark.parametrize("keep", [lambda data: data[1:], lambda data: pickle.PickleBuffer(data),
                                      lambda data: memoryview(data)], ids=["slice", "export", "view"])
    def test_view_derived_from_the_block_keeps_the_callers_memory(self, keep):
        class Keeper(Recorder):
            def read(self, addr, length, data):
                data[:] = b"abcd"
                self.kept = keep(data)
                return length

        d = Keeper()
        target = bytearray(4)
        assert pv.Device.read(d, 0, target) == 4
        with pytest.raises(BufferError):
            target.extend(b"x")  # the kept view pins the caller's buffer, so it cannot move
        assert b"bcd" in bytes(memoryview(d.kept))
        del d.kept
        target.extend(b"x")


class TestNativeCaller:
    """A native caller lends bare memory: nothing of Python may outlive the call."""

    @pytest.fixture(scope="class")
    def native(self):
        sys.path.insert(0, str(BUILD / "tests" / "python_ext"))
        import _vorn_native_caller
        return _vorn_native_caller

    def test_block_reaches_the_python_device(self, native):
        class Echo(Recorder):
            def write(self, addr, length, data):
                self.got = bytes(data)
                return length

            def read(self, addr, length, data):
                data[:] = b"xyz"[:length]
                return length

        d = Echo()
        assert native.write(d, 5, b"abc") == 3 and d.got == b"abc"
        assert native.read(d, 0, 3) == (3, b"xyz")

    @pytest.mark.parametrize("direction", ["write", "read"])
    def test_kept_slice_fails_the_call(self, native, direction):
        class Keeper(Recorder):
            def write(self, addr, length, data):
                self.kept = data[1:]
                return length

            read = write

        reported = []
        old_hook, sys.unraisablehook = sys.unraisablehook, reported.append
        try:
            d = Keeper()
            call = native.write(d, 0, b"abcd") if direction == "write" else native.read(d, 0, 4)
        finally:
            sys.unraisablehook = old_hook
        assert call in (0, (0, b"\0" * 4))
        assert [type(r.exc_value) for r in reported] == [BufferError]
        assert "outlived the call" in str(reported[0].exc_value)


MISBEHAVING = {
    "missing": "",
    "raises": "def set_register(self, a, v, x): raise ValueError('bad register')",
    "not_callable": "set_register = 5",
    "wrong_type": "def set_register(self, a, v, x): return 1",
}


class TestMisbehavingDevices:
    """A noexcept device operation whose Python side fails must give the native caller a failure
    and the Python caller the Python error, never terminate the process."""

    @pytest.mark.parametrize("kind, error, message", [
        ("missing", RuntimeError, 'Tried to call pure virtual function "Device::set_register"'),
        ("raises", ValueError, "bad register"),
        ("not_callable", TypeError, "Object of type 'int' is not an instance of 'function'"),
        ("wrong_type", RuntimeError, "Unable to cast"),
    ])
    def test_error_reaches_the_python_caller(self, kind, error, message):
        ns = {}
        exec("import pyvorn_device as pv\nclass Bad(pv.Device):\n"
             f"    {MISBEHAVING[kind] or 'pass'}\n"
             "    def send_registers(self):\n        self.sent = True\n        return pv.ReturnCode.Success\n", ns)
        d = ns["Bad"]()
        with pytest.raises(error, match=re.escape(message)):
            d.set_register_sync(1, 2, 3)
        assert not hasattr(d, "sent"), "no more Python code runs once an error is pending"
        with pytest.raises(error):
            pv.Device.set_register(d, 1, 2, 3)
        assert d.set_register_sync.__self__ is d  # the interpreter carries on

    @pytest.mark.parametrize("name, args, pure", [
        ("send_registers", (), "send_registers"), ("get_register", (1,), "get_register"),
        ("read_registers", (), "read_registers"), ("trigger", (1, 2), "trigger"),
        ("write", (0, b"ab"), "write"), ("read", (0, bytearray(2)), "read"),
        ("get_register_sync", (1,), "read_registers"),
    ])
    def test_missing_methods_name_the_operation(self, name, args, pure):
        with pytest.raises(RuntimeError, match=re.escape(f'Tried to call pure virtual function "Device::{pure}"')):
            getattr(pv.Device(), name)(*args)

    def test_raising_read_registers_stops_get_register_sync(self):
        class Bad(Recorder):
            def read_registers(self):
                raise KeyError("refresh failed")

        d = Bad()
        with pytest.raises(KeyError):
            d.get_register_sync(3)
        assert d.calls == []

    def test_errors_in_a_subprocess_leave_the_process_alive(self):
        code = (
            "import pyvorn_device as pv\n"
            "class Bad(pv.Device):\n"
            "    def read(self, a, n, data): raise OSError('no device')\n"
            "    def get_register(self, a): return 'x'\n"
            "    def read_registers(self): return pv.ReturnCode.Success\n"
            "d = Bad()\n"
            "for call in (lambda: d.get_register_sync(0), lambda: pv.Device.read(d, 0, bytearray(2))):\n"
            "    try: call()\n"
            "    except Exception as e: print(type(e).__name__)\n"
            "print('alive')\n")
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["RuntimeError", "OSError", "alive"]


class TestSimulator:
    @pytest.fixture(params=["local", "remote"])
    def sim_manager(self, request, sim_plugin, remote_servers):  # noqa: F811
        return open_manager(sim_plugin, request.param, remote_servers)

    @pytest.fixture
    def sim(self, sim_manager):
        return sim_manager.create_device("sim0")

    @pytest.mark.parametrize("addr", [0, 2, 256], ids=["identity", "trigger_count", "past_the_end"])
    def test_refused_register_write_fails_and_changes_nothing(self, sim, addr):
        before = sim.get_register_sync(addr)
        assert sim.set_register_sync(addr, 0xBEEF, 0) == F
        assert sim.get_register_sync(addr) == before

    @pytest.mark.parametrize("call, message", [
        (lambda m: m.create_device("sim0 colour=red"), "sim: unknown option 'colour'"),
        (lambda m: m.create_device("sim0").start_read_stream(3, print), "sim: no stream at address 3 "),
        (lambda m: m.create_device("sim0").start_read_stream(0, print, chunk_size=2**28 + 1),
         "sim: chunk_size 268435457 is above"),
    ], ids=["device_text", "stream_address", "chunk_size"])
    def test_refusals_raise_runtime_error(self, sim_manager, call, message):
        with pytest.raises(RuntimeError) as caught:
            call(sim_manager)
        assert str(caught.value).startswith(message)
