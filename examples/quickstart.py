"""A first tour of pyvorn_device with the simulator plug-in: no hardware needed.

    python3.12 examples/quickstart.py [PLUGIN] [--seconds N]

PLUGIN is a plug-in's short name or path (default: sim, the simulator that
comes with the package). Loads the plug-in, lists its devices, creates one,
round-trips registers, writes a block and reads it back, runs a short read
stream that checks every chunk for gaps while it shows the throughput, then
records a stream as typed samples and replays the recording.
"""

import argparse
import pathlib
import struct
import sys
import tempfile
import threading
import time

import pyvorn_device as pv
import vorn


def section(title):
    print(f"\n== {title}")


def registers(device):
    section("Registers")
    identity = device.get_register_sync(0)
    print(f"identity register 0: 0x{identity:08X}")
    status = device.set_register_sync(1, 0xC0FFEE, 0)
    print(f"set scratch register 1 to 0xC0FFEE: {status}")
    value = device.get_register_sync(1)
    print(f"read it back: 0x{value:06X}")
    assert status == pv.ReturnCode.Success and value == 0xC0FFEE, "register round trip failed"
    device.trigger(7, -3)
    device.read_registers()
    count, address, raw = (device.get_register(r) for r in (2, 3, 4))
    print(f"trigger(7, -3) -> trigger count {count}, address {address}, value {struct.unpack('<i', struct.pack('<I', raw))[0]}")


def block_transfer(device):
    section("Block transfer")
    data = bytes((i * 7) % 256 for i in range(1 << 20))
    written = device.write(0x1000, data)
    back = bytearray(len(data))
    read = device.read(0x1000, back)
    print(f"wrote {written} bytes at 0x1000, read {read} bytes back: {'identical' if back == data else 'DIFFERENT'}")
    assert back == data, "block read back differs from what was written"


class GapChecker:
    """Stream callback: the simulator sends consecutive 64-bit counters, so each
    chunk must start where the previous one ended."""

    def __init__(self):
        self.next_counter = 0
        self.bytes = 0
        self.chunks = 0
        self.gaps = 0
        self.errors = []
        self.ended = threading.Event()

    def __call__(self, chunk, text):
        if chunk is None:
            if text is None:
                self.ended.set()
            else:
                self.errors.append(text)
            return
        view = memoryview(chunk)
        first = struct.unpack_from("<Q", view, 0)[0]
        last = struct.unpack_from("<Q", view, len(view) - 8)[0]
        if first != self.next_counter:
            self.gaps += 1
        self.next_counter = last + 1
        self.bytes += len(view)
        self.chunks += 1


def stream(device, seconds):
    section(f"Read stream ({seconds:g} s, 1 MiB chunks, counters checked for gaps)")
    checker = GapChecker()
    start = time.monotonic()
    with device.start_read_stream(1, checker, chunk_size=1 << 20):
        last_bytes, last_time = 0, start
        while time.monotonic() - start < seconds:
            time.sleep(0.5)
            now = time.monotonic()
            rate = (checker.bytes - last_bytes) / (now - last_time) / 1e9
            print(f"  {now - start:4.1f} s  {checker.chunks:7d} chunks  {checker.bytes / 2**20:9.0f} MiB  "
                  f"{rate:6.2f} GB/s  gaps {checker.gaps}")
            last_bytes, last_time = checker.bytes, now
    elapsed = time.monotonic() - start
    print(f"received {checker.bytes / 2**20:.0f} MiB in {checker.chunks} chunks, "
          f"{checker.bytes / elapsed / 1e9:.2f} GB/s on average, {checker.gaps} gaps, {len(checker.errors)} errors"
          + (f" (first: {checker.errors[0]})" if checker.errors else ""))
    return checker.gaps == 0


def recording_and_replay(manager):
    section("Typed samples, a recording and its replay")
    text = "sim0 length=1M chunk_size=64K error_every=8"
    with vorn.read_stream(manager.create_device(text), 0, dtype="<u8", timeout=10) as reader:
        frames = [view for view in reader]
    first = frames[0]
    print(f"{len(frames)} typed chunks of shape {first.shape}, format {first.format!r}: "
          f"{first[0, 0]}, {first[1, 0]}, {first[2, 0]}, ...")
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "run.bin"
        stats = vorn.record(manager.create_device(text), path, dtype="<u8", plugin="sim", device_text=text)
        info = vorn.recording_info(path)
        print(f"recorded {stats.bytes} bytes in {stats.chunks} chunks with {len(info.errors)} device errors; "
              f"metadata in {path.name}.json")
        replayed = vorn.open_manager("replay").create_device(f"{path} rate=max")
        with vorn.read_stream(replayed, 0, dtype=info.dtype, timeout=10) as reader:
            again = [view.tobytes() for view in reader]
        same = again == [view.tobytes() for view in frames] and reader.stats.errors == len(info.errors)
        print(f"replayed: {reader.stats.chunks} chunks, {reader.stats.errors} errors: "
              f"{'the same' if same else 'DIFFERENT'}")
    return same


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plugin", nargs="?", default="sim", help="the simulator plug-in: a short name or a path")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the stream runs")
    args = parser.parse_args()

    section("Plug-in")
    manager = vorn.open_manager(args.plugin)
    print(f"loaded {manager.info()} from {manager.location()}")
    print("devices:")
    for line in manager.list_devices().splitlines():
        print(f"  {line}")

    device = manager.create_device("sim0 memory=64M")
    print(f"created {device!r}")
    registers(device)
    block_transfer(device)
    ok = stream(device, args.seconds)
    ok = recording_and_replay(manager) and ok

    section("Device texts")
    print(f"status: {device.get_status()}")
    print("info:")
    for line in device.get_info().splitlines():
        print(f"  {line}")
    print("\nAll checks passed." if ok else "\nGaps found in the stream, or the replay differed!")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
