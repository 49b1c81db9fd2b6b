"""Bounded stress run of the stream lifecycle.

    python3.12 tests/stress/stress_streams.py [SECONDS]      (default 60)

Two thirds of the time, several threads start, stop and drop simulator
streams at random: stops from the caller, from a stream's own callback and
across streams, drops from callbacks, streams left to the garbage collector,
with gc.collect() churn. It checks that nothing is delivered after a stop()
returns (off a delivery thread, or on the stream's own one), that kept
ManagedBuffers read back as the simulator's counters, that nothing hangs
(a watchdog dumps every thread and fails the run), and that the memory of
the ended streams goes back (RSS after the churn, next to the bytes in use).
The last third runs scenarios in fresh interpreters: the interpreter-exit
scenarios of tests/python/test_stop_and_exit.py (the daemon-thread one at
least 50 times), the fork() scenarios of tests/python/test_process_model.py,
a deferred stop beside a slow device stop (its latency printed) and a
callback-owner cycle left to the collector; zero hangs and zero aborts are
required. Prints its figures and exits non-zero on any fault.
"""

import ctypes
import faulthandler
import gc
import pathlib
import random
import re
import struct
import subprocess
import sys
import textwrap
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

from conftest import BUILD, run_python  # noqa: E402
import test_process_model as fork_cases  # noqa: E402
import test_stop_and_exit as exit_cases  # noqa: E402

import pyvorn_device as pv  # noqa: E402

SIM = BUILD / "plugins" / "libvorn_sim.so"


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}

    def add(self, name, n=1):
        with self.lock:
            self.counts[name] = self.counts.get(name, 0) + n


def counters_ok(buffer) -> bool:
    data = bytes(buffer)
    if len(data) % 8:
        return False
    values = struct.unpack(f"<{len(data) // 8}Q", data)
    return all(b == a + 1 for a, b in zip(values, values[1:]))


class Churn:
    def __init__(self, seconds, threads=4):
        self.deadline = time.monotonic() + seconds
        self.stats = Stats()
        self.kept = []
        self.kept_lock = threading.Lock()
        self.manager = pv.get_device_manager(SIM)
        self.threads = [threading.Thread(target=self.worker, args=(i,)) for i in range(threads)]

    def device(self):
        return self.manager.create_device(f"sim{random.randrange(4)} chunk_size=4K chunk_rate=20000")

    def start(self, device, callback):
        if random.random() < 0.3:
            return device.start_aligned_read_stream(0, 64, callback, max_queue_elements=64)
        return device.start_read_stream(0, callback, max_queue_elements=random.choice([64, 4096]))

    def keep(self, chunk):
        if isinstance(chunk, pv.ManagedBuffer) and random.random() < 0.01:
            with self.kept_lock:
                if len(self.kept) < 500:
                    self.kept.append(chunk)

    # One scenario each; every one ends its streams before it returns.
    def stop_from_caller(self):
        state = {"stopped": False}

        def cb(chunk, _):
            if state["stopped"]:
                self.stats.add("FAULT delivered after stop()")
            self.keep(chunk)
        stream = self.start(self.device(), cb)
        time.sleep(random.uniform(0, 0.02))
        stream.stop()
        state["stopped"] = True
        self.stats.add("stops from the caller")
        time.sleep(0.005)

    def stop_from_own_callback(self):
        state, box = {"calls": 0, "stopped": False}, {}

        def cb(chunk, _):
            if state["stopped"]:
                self.stats.add("FAULT delivered after stop() in the callback")
                return
            state["calls"] += 1
            if state["calls"] == 3 and "s" in box:
                if random.random() < 0.5:
                    box["s"].stop()
                else:
                    box["s"].__exit__(None, None, None)
                state["stopped"] = True
                self.stats.add("stops from the callback")
        box["s"] = self.start(self.device(), cb)
        time.sleep(0.03)
        box.clear()

    def drop_from_own_callback(self):
        box, done = {}, threading.Event()

        def cb(chunk, _):
            if box.pop("s", None) is not None:
                self.stats.add("drops from the callback")
                done.set()
        box["s"] = self.start(self.device(), cb)
        done.wait(2)

    def across_streams(self):
        streams, stopped = {}, set()
        action = random.choice(["stop", "drop"])

        def make(other):
            def cb(chunk, _):
                if action == "drop" and streams.pop(other, None) is not None:
                    self.stats.add("drops across streams")
                elif action == "stop" and other in streams and other not in stopped:
                    stopped.add(other)
                    streams[other].stop()
                    self.stats.add("stops across streams")
            return cb
        streams["a"] = self.start(self.device(), make("b"))
        streams["b"] = self.start(self.device(), make("a"))
        time.sleep(random.uniform(0, 0.02))
        streams.clear()

    def left_to_gc(self):
        self.start(self.device(), lambda c, t: self.keep(c))
        self.stats.add("streams left to the collector")

    def worker(self, seed):
        rnd = random.Random(seed)
        scenarios = [self.stop_from_caller, self.stop_from_own_callback, self.drop_from_own_callback,
                     self.across_streams, self.left_to_gc]
        while time.monotonic() < self.deadline:
            rnd.choice(scenarios)()
            self.stats.add("scenarios")
            if rnd.random() < 0.05:
                gc.collect()

    def run(self):
        for t in self.threads:
            t.start()
        for t in self.threads:
            t.join()
        gc.collect()
        with self.kept_lock:
            kept, self.kept = self.kept, []
        del self.manager
        gc.collect()
        self.stats.add("kept buffers checked", len(kept))
        self.stats.add("FAULT kept buffer corrupted", sum(not counters_ok(b) for b in kept))
        return self.stats.counts


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def memory_mib():
    """(RSS, bytes the C allocator hands out, bytes of Python objects), in MiB."""
    with open("/proc/self/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS")) / 1024
    try:
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo2
        info = libc.mallinfo2()
        malloc = (info.uordblks + info.hblkhd) / (1 << 20)
    except (AttributeError, OSError):
        malloc = float("nan")
    return rss, malloc, sys.getallocatedblocks() * 64 / (1 << 20)  # blocks: an estimate of 64 bytes each


# Scenarios run in fresh interpreters: (kind, name, code, runs at least).
def scenarios():
    exit_code = exit_cases.PRELUDE
    daemon = "daemon threads start, stop and drop streams at exit"
    plan = [("exit", daemon, exit_code + textwrap.dedent(exit_cases.CASES[daemon]), 50)]
    plan += [("fork", name, fork_cases.PRELUDE + textwrap.dedent(code), 3)
             for name, code in sorted(fork_cases.FORK_CASES.items())]
    for name in ("a slow stop delays no other stream's deferred stop",
                 "a stream whose callback refers to its owner is collected"):
        plan.append(("stop", name, exit_code + textwrap.dedent(exit_cases.STOP_CASES[name]), 3))
    plan += [("exit", name, exit_code + textwrap.dedent(code), 1)
             for name, code in sorted(exit_cases.CASES.items()) if name != daemon]
    return [(kind, name, code + "\nprint('leaving')\n", runs) for kind, name, code, runs in plan]


def process_runs(seconds):
    counts = {"fresh interpreter runs": 0, "FAULT hangs": 0, "FAULT aborts or failures": 0}
    latencies = []
    plan = scenarios()
    deadline = time.monotonic() + seconds
    done = {name: 0 for _, name, _, _ in plan}

    def run(kind, name, code):
        counts["fresh interpreter runs"] += 1
        counts[f"{kind} runs"] = counts.get(f"{kind} runs", 0) + 1
        done[name] += 1
        try:
            result = run_python(code, timeout=60)
        except subprocess.TimeoutExpired:
            counts["FAULT hangs"] += 1
            print(f"hang: {name}", flush=True)
            return
        if result.returncode != 0 or "leaving\n" not in result.stdout:
            counts["FAULT aborts or failures"] += 1
            print(f"failed ({result.returncode}): {name}\n{result.stderr[-1500:]}", flush=True)
        latencies.extend(float(x) for x in re.findall(r"deferred stop beside a slow one: ([0-9.]+) s", result.stdout))

    for kind, name, code, runs in plan:  # the required runs first, in full
        for _ in range(runs):
            run(kind, name, code)
    while time.monotonic() < deadline:  # then round after round while time is left
        for kind, name, code, _ in plan:
            if time.monotonic() >= deadline:
                break
            run(kind, name, code)
    counts["daemon-thread exit runs"] = done["daemon threads start, stop and drop streams at exit"]
    if latencies:
        counts["deferred stop beside a slow stop, worst ms"] = round(max(latencies) * 1000, 1)
    return counts


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    churn_seconds = seconds * 2 / 3
    faulthandler.dump_traceback_later(churn_seconds + 60, exit=True)  # a hang dumps every thread and fails
    started = time.monotonic()
    rss_before = memory_mib()[0]
    counts = Churn(churn_seconds).run()
    faulthandler.cancel_dump_traceback_later()
    counts["churn seconds"] = round(time.monotonic() - started, 1)
    time.sleep(0.5)  # the stoppers trim once they are idle
    rss, malloc, python = memory_mib()
    print(f"  memory after the churn: RSS {rss:.0f} MiB (before it {rss_before:.0f} MiB); in use: "
          f"{malloc:.1f} MiB through the C allocator, about {python:.1f} MiB of Python objects")
    if rss - rss_before > 64:
        counts["FAULT RSS grew by more than 64 MiB over the churn"] = 1
    counts.update(process_runs(seconds - churn_seconds))
    faults = 0
    for name in sorted(counts):
        print(f"  {name:40} {counts[name]}")
        faults += counts[name] if name.startswith("FAULT") else 0
    print("stress: " + ("passed" if faults == 0 else f"FAILED with {faults} faults"))
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
