"""Binding overhead: nanoseconds per Device.get_register call on a simulator
device, beside the cheapest calls a pybind11 module and Python itself make."""
import time

from benchlib import REPEATS, SIM_PLUGIN, median, print_table, print_targets, target

import _vorn_bench as vb
import pyvorn_device as pv

CALLS = 400_000
ROUNDS = max(REPEATS, 5)


class PlainRegisters:
    def get_register(self, addr):
        return addr


def loop_empty(_fn, n):
    for _ in range(n):
        pass


def loop_no_arg(fn, n):
    for _ in range(n):
        fn()


def loop_one_arg(fn, n):
    for _ in range(n):
        fn(1)


def ns_per_iteration(loop, fn):
    # The calling thread's CPU time: what other processes on the machine take
    # from it while it runs does not count.
    start = time.thread_time_ns()
    loop(fn, CALLS)
    return (time.thread_time_ns() - start) / CALLS


def main():
    manager = pv.get_device_manager(SIM_PLUGIN)
    device = manager.create_device("sim0")
    cases = [
        ("empty loop iteration", loop_empty, None),
        ("Python method  obj.get_register(1)", loop_one_arg, PlainRegisters().get_register),
        ("pybind11 fn    _vorn_bench.noop()", loop_no_arg, vb.noop),
        ("pybind11 fn    _vorn_bench.noop_u32(1)", loop_one_arg, vb.noop_u32),
        ("pybind11 method Registers.get_register(1)", loop_one_arg, vb.Registers().get_register),
        ("Device.get_register(1)  (simulator)", loop_one_arg, device.get_register),
    ]
    samples = {name: [] for name, _, _ in cases}
    for name, loop, fn in cases:  # warm-up
        loop(fn, 10_000)
    for _ in range(ROUNDS):  # round-robin, so drift hits every case alike
        for name, loop, fn in cases:
            samples[name].append(ns_per_iteration(loop, fn))

    ns = {name: median(values) for name, values in samples.items()}
    empty = ns["empty loop iteration"]
    method_floor = ns["pybind11 method Registers.get_register(1)"]
    rows = []
    for name, _, _ in cases:
        net = ns[name] - empty
        rows.append([name, f"{ns[name]:.1f}", f"{net:.1f}" if name != "empty loop iteration" else "-",
                     f"{ns[name] - method_floor:+.1f}" if name != "empty loop iteration" else "-"])
    device_ns = ns["Device.get_register(1)  (simulator)"]
    print_table(
        f"Binding overhead (median of {ROUNDS} rounds x {CALLS} calls, thread CPU time; bound method looked up once)",
        ["call", "ns/iter", "ns/call net of loop", "vs pybind11 method floor"],
        rows,
        notes=[
            f"Device.get_register costs {device_ns - method_floor:+.1f} ns over a pybind11 method with the same"
            f" signature, {device_ns - ns['pybind11 fn    _vorn_bench.noop_u32(1)']:+.1f} ns over noop_u32.",
            "The difference is the module's own work: holder/self conversion, the virtual call into the plug-in"
            " and the simulator's register lookup.",
        ],
    )
    target("Device.get_register(1) vs the pybind11 method", f"{device_ns:.1f} ns", f"{method_floor:.1f} ns",
           f"{device_ns / method_floor:.2f}x", "<= 1.15x", device_ns / method_floor <= 1.15)
    print_targets("Targets of this run (floor measured in the same run)")


if __name__ == "__main__":
    main()
