"""Shared helpers of the benchmark scripts: where the build is, medians, tables.

Every script takes the build directory as its only argument (default:
./build). Modules are imported from <build>/python (pyvorn_device) and
<build>/bench (_vorn_bench); the plug-ins are <build>/plugins/libvorn_sim.so
and <build>/bench/libvorn_bench_clock.so.
"""
import os
import statistics
import sys
import time

REPEATS = 3


def build_dir():
    path = sys.argv[1] if len(sys.argv) > 1 else "build"
    path = os.path.abspath(path)
    if not os.path.isdir(os.path.join(path, "python")):
        sys.exit(f"no pyvorn_device build in {path} (expected {path}/python); pass the build directory")
    return path


BUILD = build_dir()
sys.path[:0] = [os.path.join(BUILD, "python"), os.path.join(BUILD, "bench")]
SIM_PLUGIN = os.path.join(BUILD, "plugins", "libvorn_sim.so")
CLOCK_PLUGIN = os.path.join(BUILD, "bench", "libvorn_bench_clock.so")

KIB = 1024
MIB = 1024 * 1024


def median(values):
    return statistics.median(values)


def size_text(n):
    if n >= MIB and n % MIB == 0:
        return f"{n // MIB} MiB"
    if n >= KIB and n % KIB == 0:
        return f"{n // KIB} KiB"
    return f"{n} B"


def print_table(title, headers, rows, notes=(), text_columns=1):
    """Prints rows (lists of already formatted cells) under a title; the
    first text_columns columns are left-aligned, the rest right-aligned."""
    cells = [list(headers)] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]

    def line(row):
        out = [cell.ljust(width) if i < text_columns else cell.rjust(width)
               for i, (cell, width) in enumerate(zip(row, widths))]
        return "  ".join(out).rstrip()

    print()
    print(title)
    print(line(cells[0]))
    print("  ".join("-" * w for w in widths))
    for row in cells[1:]:
        print(line(row))
    for note in notes:
        print(f"  {note}")
    sys.stdout.flush()


# The targets a script checks, gathered as its tables are measured and
# printed together at its end: (what, measured, floor, ratio, goal, met).
TARGETS = []


def target(what, measured, floor, ratio, goal, met):
    TARGETS.append([what, measured, floor, ratio, goal, "yes" if met else "NO"])


def print_targets(title, notes=()):
    print_table(title, ["target", "measured", "floor", "ratio", "goal", "met"], TARGETS, notes=notes)


def thread_cpu_seconds(tid):
    """CPU time of one thread of this process (Linux: its per-thread clock)."""
    return time.clock_gettime(((~tid) << 3) | 6)


def thread_names():
    """{thread id: name} of this process's threads."""
    names = {}
    for entry in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{entry}/comm") as comm:
                names[int(entry)] = comm.read().strip()
        except OSError:
            pass
    return names
