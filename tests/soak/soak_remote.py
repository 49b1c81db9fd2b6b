"""Soak run of remote devices: many clients stream through one vorn-server.

    python3.12 tests/soak/soak_remote.py [SECONDS]      (default 60)

A vorn-server on loopback serves the simulator; 8 client processes each open
a remote device and read 2 streams from it (one of owning chunks, one
aligned) for SECONDS, at a rate the link carries (8 MB/s a stream, 128 MB/s
in all). Every chunk is checked against the simulator's counters where it
should continue the stream, so a lost, repeated or reordered chunk shows;
no overflow notice and no error may arrive. The server's and every
client's resident memory is sampled: after the first fifth of the run it
must stay flat. Each client must finish within a bounded time, and the
server must stop cleanly on SIGTERM. Prints its figures and exits non-zero
on any fault.
"""

import json
import os
import pathlib
import subprocess
import sys
import textwrap
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

from remote_fixtures import BUILD, REMOTE_PLUGIN, Server, python_child, read_line  # noqa: E402

SIM = BUILD / "plugins" / "libvorn_sim.so"
CLIENTS = 8
CHUNK = 64 * 1024
RATE = 8 * 1024 * 1024
# Growth of resident memory allowed after the warm-up, per process.
FLAT_KIB = 16 * 1024

CLIENT = textwrap.dedent("""
    import json, struct, sys, threading, time, pyvorn_device as pv
    plugin, address, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    d = pv.get_device_manager(plugin).create_device(address)
    faults, counts = [], {}
    def checker(name):
        state = {"offset": 0}
        counts[name] = {"chunks": 0, "bytes": 0}
        def cb(c, t):
            if c is None:
                if t is not None:
                    faults.append(f"{name}: {t}")
                return
            data = memoryview(c)
            n = data.nbytes
            first = struct.unpack_from("<Q", data, 0)[0]
            last = struct.unpack_from("<Q", data, n - 8)[0]
            expected = state["offset"] // 8
            if n % 8 or first != expected or last != expected + n // 8 - 1:
                faults.append(f"{name}: chunk at offset {state['offset']} starts with {first}, expected {expected}")
            state["offset"] += n
            counts[name]["chunks"] += 1
            counts[name]["bytes"] += n
        return cb
    def rss():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    streams = [d.start_read_stream(1, checker("owned")), d.start_aligned_read_stream(1, 8, checker("aligned"))]
    samples, start = [], time.monotonic()
    while time.monotonic() - start < seconds:
        time.sleep(min(1.0, max(0.0, seconds - (time.monotonic() - start))))
        samples.append(rss())
    for s in streams:
        s.stop()
    print(json.dumps({"faults": faults[:5], "fault_count": len(faults), "counts": counts, "rss": samples}), flush=True)
    """)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def flat(samples, warm_up):
    settled = samples[warm_up:]
    return not settled or max(settled) - settled[0] <= FLAT_KIB


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    server = Server(SIM)
    problems = []
    text = f"{server.listen}?heartbeat=5 sim0 chunk_size={CHUNK} rate={RATE}"
    clients = [python_child(CLIENT, REMOTE_PLUGIN, text, seconds) for _ in range(CLIENTS)]
    server_rss, start = [], time.monotonic()
    while time.monotonic() - start < seconds:
        time.sleep(1)
        server_rss.append(rss_kib(server.process.pid))
    results = []
    for number, client in enumerate(clients):
        try:
            results.append(json.loads(read_line(client, timeout=60)))
            client.wait(30)
        except BaseException as error:  # read_line fails through pytest's outcome; report it as a fault
            problems.append(f"client {number} did not report: {error!r}")
            client.kill()
    warm_up = max(1, len(server_rss) // 5)
    total_bytes = 0
    for number, result in enumerate(results):
        total_bytes += sum(c["bytes"] for c in result["counts"].values())
        if result["fault_count"]:
            problems.append(f"client {number}: {result['fault_count']} faults, first {result['faults']}")
        if any(c["chunks"] == 0 for c in result["counts"].values()):
            problems.append(f"client {number}: a stream delivered nothing: {result['counts']}")
        if not flat(result["rss"], warm_up):
            problems.append(f"client {number}: RSS grew: {result['rss']}")
    if not flat(server_rss, warm_up):
        problems.append(f"server RSS grew: {server_rss}")
    status = server.stop()
    if status != 0:
        problems.append(f"server exit status {status}")
    sessions = sum("ended after" in line for line in server.log)
    if sessions != CLIENTS:
        problems.append(f"{sessions} session lines in the server's log, expected {CLIENTS}")
    print(f"soak: {CLIENTS} clients x 2 streams for {seconds:.0f} s; {total_bytes / 1e6:.0f} MB checked "
          f"({total_bytes / seconds / 1e6:.1f} MB/s); server RSS {server_rss[warm_up] if server_rss else 0} -> "
          f"{server_rss[-1] if server_rss else 0} KiB; client RSS growth after warm-up "
          f"{max((r['rss'][-1] - r['rss'][min(warm_up, len(r['rss']) - 1)]) for r in results) if results else 0} KiB")
    for problem in problems:
        print(f"FAULT: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
