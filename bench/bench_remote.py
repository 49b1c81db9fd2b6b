"""Remote devices through vorn-server on loopback, next to their floors
measured in the same run: raw ZeroMQ transfer of the same message sizes and
a raw ZeroMQ request/reply round trip (vorn_bench_zmq_floor).

- stream into Python: an unthrottled stream of the clock plug-in (owning
  chunks from its ring of prebuilt blocks, so the producer costs next to
  nothing) read through a server by a Python callback that touches each
  chunk's buffer; bytes per second against raw ZeroMQ one-way transfer of
  the chunk size, the two taking turns, run by run;
- get_register_sync: the p50 of single round trips against a raw
  DEALER/ROUTER round trip;
- an idle stream (a device that delivers nothing): processor time of the
  server and of the client process, in percent of one core.
"""
import json
import os
import subprocess
import sys
import threading
import time

from benchlib import BUILD, CLOCK_PLUGIN, MIB, KIB, REPEATS, SIM_PLUGIN, median, print_table, size_text

import pyvorn_device as pv

SERVER = os.path.join(BUILD, "bin", "vorn-server")
REMOTE = os.path.join(BUILD, "plugins", "libvorn_remote.so")
FLOOR = os.path.join(BUILD, "bench", "vorn_bench_zmq_floor")
SECONDS = 2.0


def floor(*args):
    return json.loads(subprocess.run([FLOOR, *map(str, args)], capture_output=True, text=True, check=True).stdout)


class Served:
    def __init__(self, plugin, port):
        self.address = f"tcp://127.0.0.1:{port}"
        self.process = subprocess.Popen([SERVER, plugin, "--listen", self.address], stderr=subprocess.PIPE, text=True)
        while "listening on" not in self.process.stderr.readline():
            pass
        threading.Thread(target=self.process.stderr.read, daemon=True).start()

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.process.terminate()
        self.process.wait(20)


# The clock plug-in's ring holds this many bytes of blocks: well inside a
# stream's window, so the server drops nothing and the producer waits for
# blocks that ZeroMQ still sends instead of spinning.
RING_BYTES = 16 * MIB


def stream_rate(manager, address, chunk_size):
    device = manager.create_device(f"{address} rate=0 chunk_size={chunk_size} ring={RING_BYTES // chunk_size}")
    count = [0, 0]

    def cb(chunk, text):
        if chunk is not None:
            count[0] += memoryview(chunk).nbytes
        elif text is not None:
            count[1] += 1

    with device.start_read_stream(0, cb, max_queue_elements=1 << 16):
        time.sleep(0.3)
        start, before = time.perf_counter(), count[0]
        time.sleep(SECONDS)
        rate = (count[0] - before) / (time.perf_counter() - start)
    return rate, count[1]


def register_p50(device, count=3000):
    times = []
    for _ in range(count):
        start = time.perf_counter_ns()
        device.get_register_sync(0)
        times.append(time.perf_counter_ns() - start)
    return median(times[200:])


def main():
    manager = pv.get_device_manager(REMOTE)
    rows = []
    clock = Served(CLOCK_PLUGIN, 7612)
    try:
        for size in (MIB, 64 * KIB):
            raws, runs = [], []
            for _ in range(REPEATS):  # in turns, so both see the same machine
                raws.append(floor("transfer", size, SECONDS)["bytes_per_second"])
                runs.append(stream_rate(manager, clock.address, size))
            raw = median(raws)
            rate = median([r[0] for r in runs])
            ratio = median([r[0] / f for r, f in zip(runs, raws)])
            target = 0.5 if size == MIB else 0.4
            rows.append([f"stream {size_text(size)} chunks into Python", f"{rate / 1e9:.2f} GB/s",
                         f"{raw / 1e9:.2f} GB/s", f"{ratio:.0%}", f">= {target:.0%}",
                         f"{max(r[1] for r in runs)} notices"])
    finally:
        clock.stop()
    sim = Served(SIM_PLUGIN, 7611)
    try:
        device = manager.create_device(f"{sim.address} sim0")
        raw_rtts, rtts = [], []
        for _ in range(REPEATS):
            raw_rtts.append(floor("rtt", 5000)["p50_ns"])
            rtts.append(register_p50(device))
        raw_rtt, rtt = median(raw_rtts), median(rtts)
        rows.append(["get_register_sync round trip p50", f"{rtt / 1000:.1f} us", f"{raw_rtt / 1000:.1f} us",
                     f"{median([r / f for r, f in zip(rtts, raw_rtts)]):.2f}x", "<= 2x", ""])
    finally:
        sim.stop()
    clock = Served(CLOCK_PLUGIN, 7613)
    try:
        device = manager.create_device(f"{clock.address} idle=1")
        with device.start_read_stream(0, lambda c, t: None):
            time.sleep(1)
            server_before, client_before, start = clock.cpu_seconds(), time.process_time(), time.monotonic()
            time.sleep(5)
            elapsed = time.monotonic() - start
            server_cpu = (clock.cpu_seconds() - server_before) / elapsed
            client_cpu = (time.process_time() - client_before) / elapsed
        rows.append(["idle stream, server CPU", f"{server_cpu:.3%}", "", "", "<= 0.1%", ""])
        rows.append(["idle stream, client CPU", f"{client_cpu:.3%}", "", "", "<= 0.1%", "whole process"])
    finally:
        clock.stop()
    print_table(f"Remote devices through vorn-server on loopback (median of {REPEATS})",
                ["what", "remote", "raw ZeroMQ", "ratio", "target", "note"], rows,
                notes=["raw ZeroMQ: vorn_bench_zmq_floor in the same run (transfer without a copy; DEALER/ROUTER "
                       "round trip), in turns with the remote runs; ratio: median of the runs' ratios",
                       "CPU: processor time over 5 s of wall time, in percent of one core"])


if __name__ == "__main__":
    sys.exit(main())
