"""Read streams: events per second, GB/s with 1 MiB chunks, push-to-callback
latency, and the cost of an open but idle stream.

Two devices feed the streams:
  - the simulator (libvorn_sim.so), which generates its counter pattern into
    every chunk before pushing it;
  - the benchmark plug-in (libvorn_bench_clock.so), which writes only an
    8-byte CLOCK_MONOTONIC stamp per chunk, so its figures are the pipeline's
    own: push, queue, worker, Python call, release.
Unless a table says otherwise, the callback only counts calls; it does not
read the bytes. The main thread sleeps or waits on a threading.Event.
"""
import resource
import threading
import time

from benchlib import (CLOCK_PLUGIN, MIB, REPEATS, SIM_PLUGIN, median, print_table, print_targets, target,
                      thread_cpu_seconds, thread_names)

import _vorn_bench as vb
import pyvorn_device as pv

BIG_QUEUE = 1 << 22  # max_queue_elements that nothing here can fill


class Tally:
    """Counts what a stream delivers; `done` is set by the end marker."""

    def __init__(self):
        self.chunks = 0
        self.notices = 0
        self.errors = 0
        self.done = threading.Event()

    def callback(self):
        def on_event(chunk, text):
            if chunk is not None:
                self.chunks += 1
            elif text is None:
                self.done.set()
            elif text == "Queue Overflow, dropping event":
                self.notices += 1
            else:
                self.errors += 1

        return on_event


def run_to_end(start, timeout=60.0):
    """Starts a finite stream with start(callback), waits for its end marker.
    Returns (seconds from start to end marker, tally)."""
    tally = Tally()
    begin = time.perf_counter()
    stream = start(tally.callback())
    finished = tally.done.wait(timeout)
    seconds = time.perf_counter() - begin
    stream.stop()
    if not finished:
        raise RuntimeError(f"stream did not end within {timeout} s: {tally.chunks} chunks, "
                           f"{tally.notices} overflow notices")
    return seconds, tally


def status_chunks(device):
    fields = dict(item.split("=") for item in device.get_status().split())
    return int(fields["stream_chunks"])


def run_window(device, start, warmup=0.2, window=1.0):
    """Runs an endless stream; counts over `window` seconds after `warmup`.
    Returns per-second rates: delivered chunks, produced chunks, notices."""
    tally = Tally()
    stream = start(tally.callback())
    time.sleep(warmup)
    c0, n0, p0, t0 = tally.chunks, tally.notices, status_chunks(device), time.perf_counter()
    time.sleep(window)
    c1, n1, p1, t1 = tally.chunks, tally.notices, status_chunks(device), time.perf_counter()
    stream.stop()
    seconds = t1 - t0
    return (c1 - c0) / seconds, (p1 - p0) / seconds, (n1 - n0) / seconds


# --- 0. delivery against its floor ------------------------------------------

def delivery_floor(callback, calls=300_000):
    """Calls/s of a native thread with one thread state calling `callback`
    with a ready-made object: (GIL taken per call, GIL held throughout)."""
    arg = bytes(64)
    per_call = calls / vb.thread_calls(callback, arg, calls, True)
    held = calls / vb.thread_calls(callback, arg, calls, False)
    return per_call, held


def delivery_vs_floor():
    clock = pv.get_device_manager(CLOCK_PLUGIN)
    owned = lambda align: (lambda d, cb: d.start_aligned_read_stream(0, align, cb, max_queue_elements=BIG_QUEUE)
                           if align else d.start_read_stream(0, cb, max_queue_elements=BIG_QUEUE))
    views = lambda align: (lambda d, cb: d.start_aligned_read_stream(1, align, cb, max_queue_elements=BIG_QUEUE)
                           if align else d.start_read_stream(1, cb, max_queue_elements=BIG_QUEUE))
    cases = [
        # label, chunk size, chunks, start
        ("64 B owned -> ManagedBuffer", 64, 2_000_000, owned(0)),
        ("64 B owned -> aligned(64) DataView", 64, 2_000_000, owned(64)),
        ("64 B views -> copy -> ManagedBuffer", 64, 1_000_000, views(0)),
        ("64 B views -> copy -> aligned(64) DataView", 64, 1_000_000, views(64)),
        ("1 MiB owned -> ManagedBuffer", MIB, 200_000, owned(0)),
        ("1 MiB owned -> aligned(64) DataView", MIB, 200_000, owned(64)),
        ("1 MiB views -> copy -> ManagedBuffer", MIB, 12_000, views(0)),
        ("1 MiB views -> copy -> aligned(64) DataView", MIB, 12_000, views(64)),
    ]
    rows = []
    floors_per_call, floors_held = [], []
    worst_delivered = 1.0
    for label, size, chunks, start in cases:
        rates, delivered, to_per_call, to_held = [], [], [], []
        # Large enough that the consumer, not the ring, sets the pace (a smaller
        # ring gives the same rate); small enough to stay in the cache: 65536
        # blocks of 64 B made the producer's recycling of cold blocks the cost.
        ring = 256 if size == MIB else 4096
        # The 64-byte runs are short and the ones that swing most: 5 of them.
        for _ in range(5 if size == 64 else REPEATS):
            # The floors right before and right after each run, so that each
            # ratio compares the same state of a machine whose speed drifts.
            before = delivery_floor(Tally().callback())
            device = clock.create_device(f"rate=0 count={chunks} chunk_size={size} ring={ring}")
            seconds, tally = run_to_end(lambda cb: start(device, cb))
            after = delivery_floor(Tally().callback())
            rate = tally.chunks / seconds
            per_call, held = (before[0] + after[0]) / 2, (before[1] + after[1]) / 2
            floors_per_call += [before[0], after[0]]
            floors_held += [before[1], after[1]]
            rates.append(rate)
            to_per_call.append(rate / per_call)
            to_held.append(rate / held)
            delivered.append(tally.chunks / chunks)
        rate, x_per_call, x_held = median(rates), median(to_per_call), median(to_held)
        rows.append([label, f"{rate:,.0f}", f"{1e6 / rate:.3f}", f"{rate * size / 1e9:.2f}",
                     f"{x_per_call:.2f}", f"{x_held:.2f}", f"{median(delivered):.3f}"])
        if size == 64 and "owned" in label:
            target(label, f"{rate:,.0f}/s", f"held {rate / x_held:,.0f}/s", f"{x_held:.2f}", ">= 0.50",
                   x_held >= 0.5)
        elif size == 64:
            target(label, f"{rate:,.0f}/s", f"per call {rate / x_per_call:,.0f}/s", f"{x_per_call:.2f}", ">= 0.45",
                   x_per_call >= 0.45)
        elif "owned" in label:
            target(label, f"{1e6 / rate:.3f} us", "-", "-", "<= 0.300 us", 1e6 / rate <= 0.3)
        worst_delivered = min(worst_delivered, min(delivered))
    per_call, held = median(floors_per_call), median(floors_held)
    rows.append(["floor: native thread, GIL per call", f"{per_call:,.0f}", f"{1e6 / per_call:.3f}", "-", "1.00",
                 f"{per_call / held:.2f}", "-"])
    rows.append(["floor: native thread, GIL held", f"{held:,.0f}", f"{1e6 / held:.3f}", "-",
                 f"{held / per_call:.2f}", "1.00", "-"])
    print_table(
        f"Consumer-limited delivery into a counting callback vs. its floor (median of 5 runs for 64 B, {REPEATS} for 1 MiB)",
        ["chunks -> path", "events/s", "us/event", "GB/s", "x floor/call", "x floor held", "delivered"],
        rows,
        notes=[
            "Bench plug-in, unthrottled, finite, queue large enough that nothing is dropped; events/s = chunks /",
            "(start to end marker). Floors: _vorn_bench.thread_calls, the same callback called from a native",
            "thread with a ready-made object, taking the GIL per call or holding it across calls, measured",
            "right before and after each run; a ratio is the median over runs of the run's rate / the mean of",
            "its two floors (the floor rows: median of every floor measured).",
            "Owned chunks come from the plug-in's ring of recycled blocks (4096 blocks for 64 B, 256 for 1 MiB);",
            "views are copied at push into owning blocks.",
        ],
    )
    target("delivered share, every consumer-limited run", f"{worst_delivered:.3f}", "-", "-", "1.000",
           worst_delivered == 1.0)


# --- 1. events per second, 64-byte chunks ----------------------------------

def events_per_second(sim):
    clock = pv.get_device_manager(CLOCK_PLUGIN)
    rows = []
    notes = []

    def finite(manager, text, addr, chunks, max_queue, label):
        rates, notices = [], []
        for _ in range(REPEATS):
            dev = manager.create_device(text)
            seconds, tally = run_to_end(lambda cb: dev.start_read_stream(addr, cb, max_queue_elements=max_queue))
            if tally.chunks + tally.notices != chunks:
                notes.append(f"{label}: {chunks - tally.chunks - tally.notices} chunks lost without a notice")
            rates.append(tally.chunks / seconds)
            notices.append(tally.notices)
        rows.append([label, f"{median(rates):,.0f}", "-", f"{median(notices):,.0f}"])

    def windowed(manager, text, addr, label, requested=None):
        delivered, produced, notices = [], [], []
        for _ in range(REPEATS):
            dev = manager.create_device(text)
            d, p, n = run_window(dev, lambda cb: dev.start_read_stream(addr, cb))
            delivered.append(d)
            produced.append(p)
            notices.append(n)
        rows.append([label, f"{median(delivered):,.0f}", f"{median(produced):,.0f}", f"{median(notices):,.0f}/s"])
        if median(notices) > 0:
            notes.append(f"{label}: the producer outruns the callback; each event dropped at the limit")
            notes.append("  reaches the callback as one notice, in its place, and data resumes whenever it catches up.")
        if requested and median(produced) < 0.9 * requested:
            notes.append(f"{label}: the device itself produced only {median(produced):,.0f} of the"
                         f" {requested:,} chunks/s asked for.")

    count = 1_000_000
    finite(sim, f"sim0 chunk_size=64 length={64 * count}", 1, count, BIG_QUEUE,
           f"sim, unthrottled, {count:,} chunks, queue {BIG_QUEUE:,}")
    windowed(sim, "sim0 chunk_size=64", 1, "sim, unthrottled, endless, default queue")
    windowed(sim, "sim0 chunk_size=64 chunk_rate=250000", 1, "sim, chunk_rate=250000, default queue",
             requested=250_000)
    for rate in (250_000, 500_000):
        windowed(clock, f"rate={rate} chunk_size=64", 0, f"plug-in, paced {rate // 1000}k/s, default queue",
                 requested=rate)
    finite(clock, "rate=0 count=400000 chunk_size=64", 0, 400_000, 4096,
           "plug-in, unthrottled (64-block ring), default queue")

    print_table(
        f"Stream events into a Python callback, 64-byte ManagedBuffer chunks (median of {REPEATS} runs)",
        ["device and settings", "delivered chunks/s", "produced chunks/s", "overflow notices"],
        rows,
        notes=[
            "Finite runs: chunks / (time from start_read_stream to the end marker). Windowed runs: 1 s after",
            "0.2 s warm-up; 'produced' is the device's own stream_chunks count over the same window.",
            "Default queue = max_queue_elements 4096. Each overflow notice stands for one dropped event.",
            "The plug-in's owned chunks come from a 64-block ring: when all are out, its producer waits.",
        ] + notes,
    )


# --- 2. throughput with 1 MiB chunks -----------------------------------------

def memcpy_floors(rounds=5, copies=200):
    """Seconds per 1 MiB memcpy: hot (same buffers), and rotating over 32
    destinations (32 MiB, beyond the per-core L2) as freshly queued blocks."""
    src = bytearray(b"\x5a" * MIB)
    dst = bytearray(MIB)
    rotation = [bytearray(MIB) for _ in range(32)]
    for d in rotation:
        vb.memcpy(d, src)
    hot, rotating = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        vb.memcpy_loop(dst, src, copies)
        hot.append((time.perf_counter() - start) / copies)
        start = time.perf_counter()
        for i in range(copies):
            vb.memcpy(rotation[i % 32], src)
        rotating.append((time.perf_counter() - start) / copies)
    return median(hot), median(rotating)


def throughput_1mib(sim):
    clock = pv.get_device_manager(CLOCK_PLUGIN)
    sim_bytes = 2 << 30
    cases = [
        # label, manager, device text, chunks, start(device, callback)
        ("sim owned  -> ManagedBuffer", sim, f"sim0 chunk_size=1M length={sim_bytes}", sim_bytes // MIB,
         lambda d, cb: d.start_read_stream(1, cb)),
        ("sim owned  -> aligned(8) DataView in place", sim, f"sim0 chunk_size=1M length={sim_bytes}",
         sim_bytes // MIB, lambda d, cb: d.start_aligned_read_stream(1, 8, cb)),
        ("sim views  -> copy at push -> ManagedBuffer", sim, f"sim0 chunk_size=1M length={sim_bytes}",
         sim_bytes // MIB, lambda d, cb: d.start_read_stream(2, cb)),
        ("plug-in owned -> ManagedBuffer", clock, "rate=0 count=200000 chunk_size=1M", 200_000,
         lambda d, cb: d.start_read_stream(0, cb)),
        ("plug-in owned -> aligned(8) DataView in place", clock, "rate=0 count=200000 chunk_size=1M", 200_000,
         lambda d, cb: d.start_aligned_read_stream(0, 8, cb)),
        ("plug-in views -> copy at push -> ManagedBuffer", clock, "rate=0 count=12000 chunk_size=1M", 12_000,
         lambda d, cb: d.start_read_stream(1, cb)),
        ("plug-in views -> copy at push -> aligned DataView", clock, "rate=0 count=12000 chunk_size=1M", 12_000,
         lambda d, cb: d.start_aligned_read_stream(1, 8, cb)),
    ]
    per_chunk = {}
    for label, manager, text, chunks, start in cases:
        samples = []
        for _ in range(REPEATS):
            device = manager.create_device(text)
            seconds, tally = run_to_end(lambda cb: start(device, cb))
            if tally.chunks != chunks or tally.notices or tally.errors:
                raise RuntimeError(f"{label}: {tally.chunks} of {chunks} chunks, {tally.notices} notices")
            samples.append(seconds / chunks)
        per_chunk[label] = median(samples)
    hot, rotating = memcpy_floors()

    rows = [[label, f"{s * 1e6:.2f}", f"{MIB / s / 1e9:.1f}", f"{hot / s * 100:.0f}%", f"{rotating / s * 100:.0f}%"]
            for label, s in per_chunk.items()]
    rows.append(["memcpy 1 MiB, hot (same buffers)", f"{hot * 1e6:.2f}", f"{MIB / hot / 1e9:.1f}", "100%",
                 f"{rotating / hot * 100:.0f}%"])
    rows.append(["memcpy 1 MiB, rotating over 32 destinations", f"{rotating * 1e6:.2f}",
                 f"{MIB / rotating / 1e9:.1f}", f"{hot / rotating * 100:.0f}%", "100%"])
    sim_generation = per_chunk["sim owned  -> ManagedBuffer"] - per_chunk["plug-in owned -> ManagedBuffer"]
    print_table(
        f"Stream throughput, 1 MiB chunks (median of {REPEATS} runs; time from start to end marker / chunks)",
        ["device -> path", "us/chunk", "GB/s", "vs memcpy hot", "vs memcpy rotating"],
        rows,
        notes=[
            "GB/s = 1e9 bytes/s. Callback counts calls only. 'vs memcpy' = memcpy time / chunk time (100% = one",
            "plain memcpy per chunk; far above 100% = bytes passed by reference, no copy).",
            f"Simulator rows include its pattern generation, about {sim_generation * 1e6:.0f} us/chunk"
            " (sim owned minus plug-in owned).",
            "Plug-in owned chunks come from a 64-block ring: the producer waits for returned blocks, no overflow.",
        ],
    )


# --- 3. latency ----------------------------------------------------------------

def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, round(fraction * (len(sorted_values) - 1)))
    return sorted_values[index]


def worker_threads():
    """Threads of this process that may deliver stream events: all but the
    main thread and the bench plug-in's producers (named bench-clock)."""
    main = threading.main_thread().native_id
    return [tid for tid, name in thread_names().items() if tid != main and name != "bench-clock"]


def delays_of(run, skip):
    """Runs run(on_event) and returns the sorted push-to-callback delays in
    ns (the first `skip` left out) and the CPU share of the worker threads
    over the run, in % of one core."""
    delays = []

    def on_event(chunk, text):
        now = time.monotonic_ns()
        if chunk is not None:
            delays.append(now - int.from_bytes(memoryview(chunk)[:8], "little"))

    cpu = run(on_event)
    return sorted(delays[skip:]), cpu


def stream_run(device, start, seconds):
    def run(on_event):
        stream = start(device, on_event)
        time.sleep(0.1)  # the worker exists and has delivered
        threads = worker_threads()
        c0, t0 = sum(thread_cpu_seconds(t) for t in threads), time.perf_counter()
        time.sleep(seconds)
        cpu = sum(thread_cpu_seconds(t) for t in threads) - c0
        share = cpu / (time.perf_counter() - t0) * 100
        stream.stop()
        return share
    return run


def direct_run(rate, seconds):
    def run(on_event):
        vb.direct_calls(on_event, rate, int(rate * (seconds + 0.1)))
        return None
    return run


def latency(seconds=1.2):
    clock = pv.get_device_manager(CLOCK_PLUGIN)
    owned = ("owned -> ManagedBuffer", lambda d, cb: d.start_read_stream(0, cb))
    aligned = ("owned -> aligned(8) DataView", lambda d, cb: d.start_aligned_read_stream(0, 8, cb))
    views = ("view -> copy at push -> ManagedBuffer", lambda d, cb: d.start_read_stream(1, cb))
    cases = [(1_000, owned), (1_000, views), (10_000, owned), (10_000, aligned), (10_000, views),
             (100_000, owned), (100_000, views)]
    rows = []
    floors = {}
    for rate in (1_000, 10_000, 100_000):
        p50s, p99s = [], []
        for _ in range(REPEATS):
            delays, _ = delays_of(direct_run(rate, seconds), rate // 10)
            p50s.append(percentile(delays, 0.50))
            p99s.append(percentile(delays, 0.99))
        floors[rate] = (median(p50s), median(p99s))
    for rate, (label, start) in cases:
        p50s, p99s, maxes, counts, cpus = [], [], [], [], []
        for _ in range(REPEATS):
            device = clock.create_device(f"rate={rate} chunk_size=64")
            delays, cpu = delays_of(stream_run(device, start, seconds), rate // 10)
            p50s.append(percentile(delays, 0.50))
            p99s.append(percentile(delays, 0.99))
            maxes.append(delays[-1])
            counts.append(len(delays))
            cpus.append(cpu)
        p50, p99 = median(p50s), median(p99s)
        f50, f99 = floors[rate]
        rows.append([f"{rate // 1000}k/s  {label}", f"{median(counts):.0f}", f"{p50 / 1e3:.1f}", f"{p99 / 1e3:.1f}",
                     f"{median(maxes) / 1e3:.1f}", f"{p50 / f50:.2f}", f"{p99 / f99:.2f}", f"{median(cpus):.0f}%"])
        if rate == 10_000:
            target(f"latency p50 at 10k/s, {label}", f"{p50 / 1e3:.1f} us", f"direct {f50 / 1e3:.1f} us",
                   f"{p50 / f50:.2f}", "<= 5.0 us", p50 <= 5_000)
            target(f"latency p99 at 10k/s, {label}", f"{p99 / 1e3:.1f} us", f"direct {f99 / 1e3:.1f} us",
                   f"{p99 / f99:.2f}", "<= 25.0 us", p99 <= 25_000)
    for rate, (f50, f99) in floors.items():
        rows.append([f"{rate // 1000}k/s  floor: direct call on a native thread", "-", f"{f50 / 1e3:.1f}",
                     f"{f99 / 1e3:.1f}", "-", "1.00", "1.00", "-"])
    print_table(
        f"Latency push -> callback, bench plug-in, 64-byte chunks (median over {REPEATS} runs of {seconds} s)",
        ["rate  path", "samples/run", "p50 us", "p99 us", "max us", "p50 x floor", "p99 x floor", "worker CPU"],
        rows,
        notes=[
            "Stamp: CLOCK_MONOTONIC read by the producer right before the push; the callback reads",
            "time.monotonic_ns() as its first statement. The first 0.1 s of chunks of each run are left out.",
            "Worker CPU: processor time of the stream's threads other than the producer (the worker, idle",
            "stoppers) over the run, in % of one core. Floor: _vorn_bench.direct_calls, the same callback called",
            "at the same rate from a native thread that takes the GIL per call (a binding calling Python on",
            "the device's thread).",
        ],
    )


# --- 4. idle stream: CPU and stop() ------------------------------------------

def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def idle_cost(sim, seconds=2.0, stops=15):
    clock = pv.get_device_manager(CLOCK_PLUGIN)
    many = 64

    def idle_streams(count):
        return lambda cb: [clock.create_device("idle=1").start_read_stream(0, cb) for _ in range(count)]

    idle_cases = [
        ("no stream open (baseline)", None),
        ("bench plug-in idle=1 (nothing arrives)", idle_streams(1)),
        (f"{many} bench plug-in streams idle=1", idle_streams(many)),
        ("simulator chunk_rate=1 (1 chunk/s arrives)",
         lambda cb: [sim.create_device("sim0 chunk_size=64 chunk_rate=1").start_read_stream(1, cb)]),
    ]
    rows = []
    shares_of = {}
    for label, start in idle_cases:
        shares = []
        for _ in range(1 if start is None else REPEATS):
            tally = Tally()
            streams = start(tally.callback()) if start else []
            time.sleep(0.1)  # let producer and worker reach their waits
            c0, t0 = cpu_seconds(), time.perf_counter()
            time.sleep(seconds)
            c1, t1 = cpu_seconds(), time.perf_counter()
            for stream in streams:
                stream.stop()
            shares.append((c1 - c0) / (t1 - t0) * 100)
        shares_of[label] = median(shares)
        rows.append([label, f"{median(shares):.3f}%", f"{max(shares):.3f}%"])
    baseline = shares_of["no stream open (baseline)"]
    for label, goal in (("bench plug-in idle=1 (nothing arrives)", "one idle stream"),
                        (f"{many} bench plug-in streams idle=1", f"{many} idle streams together")):
        net = shares_of[label] - baseline
        target(f"CPU of {goal}, net of no stream", f"{net:.3f}%", f"baseline {baseline:.3f}%", "-", "<= 0.100%",
               net <= 0.1)
    print_table(
        f"CPU of the whole process while streams are open and idle ({seconds:.0f} s window, "
        f"median of {REPEATS}; main thread sleeping)",
        ["stream", "% of one core", "worst run"],
        rows,
        notes=["resource.getrusage(RUSAGE_SELF) user+system time over the window, all threads."],
    )

    stop_cases = [
        ("bench plug-in idle=1", lambda: clock.create_device("idle=1").start_read_stream(0, lambda c, t: None)),
        ("simulator chunk_rate=1",
         lambda: sim.create_device("sim0 chunk_size=64 chunk_rate=1").start_read_stream(1, lambda c, t: None)),
    ]
    rows = []
    for label, start in stop_cases:
        times = []
        for _ in range(stops):
            stream = start()
            time.sleep(0.03)
            begin = time.perf_counter()
            stream.stop()
            times.append(time.perf_counter() - begin)
        times.sort()
        rows.append([label, f"{median(times) * 1e6:.0f}", f"{times[0] * 1e6:.0f}", f"{times[-1] * 1e6:.0f}"])
        target(f"stop() on an idle stream, {label}, median", f"{median(times) * 1e6:.0f} us", "-", "-", "<= 1000 us",
               median(times) <= 1e-3)
    print_table(
        f"DataStream.stop() on an idle stream ({stops} streams each, 30 ms after start)",
        ["stream", "median us", "min us", "max us"],
        rows,
    )


def main():
    print(f"\ndelivery path: {vb.binding_path()}")
    sim = pv.get_device_manager(SIM_PLUGIN)
    delivery_vs_floor()
    events_per_second(sim)
    throughput_1mib(sim)
    latency()
    idle_cost(sim)
    print_targets("Targets of this run (floors measured in the same run)",
                  notes=["ratio: measured / floor (events/s against a delivery floor, latency against the direct",
                         "call's). Per-call floor: GIL taken per call; held floor: GIL held across calls."])


if __name__ == "__main__":
    main()
