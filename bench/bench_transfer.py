"""Block transfers: Device.write and Device.read of bytearrays on a simulator
device, beside a plain memcpy of the same size in the same run."""
import time

from benchlib import KIB, MIB, REPEATS, SIM_PLUGIN, median, print_table, size_text

import _vorn_bench as vb
import pyvorn_device as pv

# size -> calls per timed round
SIZES = {4 * KIB: 50_000, 16 * MIB: 24}
ROUNDS = max(REPEATS, 5)


def timed_calls(fn, calls):
    """Seconds per call of fn()."""
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def main():
    manager = pv.get_device_manager(SIM_PLUGIN)
    device = manager.create_device("sim0 memory=32M")
    rows = []
    for size, calls in SIZES.items():
        src = bytearray(b"\x5a" * size)
        dst = bytearray(size)

        def python_slice():
            dst[:] = src

        cases = {
            "Device.write(0, src)": lambda: device.write(0, src),
            "Device.read(0, dst)": lambda: device.read(0, dst),
            "_vorn_bench.memcpy(dst, src)": lambda: vb.memcpy(dst, src),
            "memcpy inside one call (no Python per copy)": None,
            "Python  dst[:] = src": python_slice,
        }
        for fn in cases.values():  # first touch of every page, caches warm
            if fn is not None:
                fn()
        assert device.write(0, src) == size and device.read(0, dst) == size
        samples = {name: [] for name in cases}
        for _ in range(ROUNDS):
            for name, fn in cases.items():
                if fn is None:
                    start = time.perf_counter()
                    vb.memcpy_loop(dst, src, calls)
                    samples[name].append((time.perf_counter() - start) / calls)
                else:
                    samples[name].append(timed_calls(fn, calls))
        seconds = {name: median(values) for name, values in samples.items()}
        floor = seconds["_vorn_bench.memcpy(dst, src)"]
        for name, s in seconds.items():
            rows.append([size_text(size), name, f"{s * 1e6:.3f}" if s < 1e-4 else f"{s * 1e6:.0f}",
                         f"{size / s / 1e9:.2f}", f"{floor / s * 100:.0f}%"])
    print_table(
        f"Block transfers (median of {ROUNDS} rounds; 50000 calls per round at 4 KiB, 24 at 16 MiB)",
        ["size", "operation", "us/call", "GB/s", "speed vs memcpy"],
        rows,
        notes=[
            "GB/s = 1e9 bytes per second. 'memcpy' is _vorn_bench.memcpy: one std::memcpy between the two",
            "bytearrays behind one pybind11 call, GIL held, as Device.write/read do. The device side is the",
            "simulator's plain memcpy into/out of its memory, so equal figures mean no extra copy on the way.",
        ],
        text_columns=2,
    )


if __name__ == "__main__":
    main()
