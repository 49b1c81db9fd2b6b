"""Where the ELF objects of a wheel run: the platform tag they earn.

Every shared object and executable in the wheel is read for the libraries
it needs (DT_NEEDED) and the symbol versions it needs of each
(.gnu.version_r). The wheel earns ``manylinux_2_X_<arch>`` when every object
passes this policy for glibc 2.X, else ``linux_<arch>``:

- it needs no library but glibc's own, the unwinder libgcc_s.so.1 (which
  glibc itself loads, and every glibc system has), and objects of the wheel;
- of glibc it needs only ``GLIBC_2.N`` versions with N <= X (never
  ``GLIBC_PRIVATE``), X being the highest any object needs, 2.17 at least;
- of libgcc_s only versions up to ``GCC_4.8.0``, which every glibc 2.17
  system's libgcc_s has.

Standard library only. As a command, checks built wheels and prints what
each object needs:

    python3 tools/build_backend/elf_check.py WHEEL...

Exit status 1 when a wheel's file name carries another tag than it earns.
"""

from __future__ import annotations

import dataclasses
import re
import struct
import sys
import zipfile

GLIBC_LIBRARIES = frozenset({
    "libc.so.6", "libm.so.6", "libmvec.so.1", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libutil.so.1",
    "libresolv.so.2", "libanl.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1",
})
UNWINDER = "libgcc_s.so.1"
UNWINDER_NEWEST = (4, 8, 0)
GLIBC_OLDEST = (2, 17)
# Versions glibc gives other names than GLIBC_2.N, with the release that brought each.
GLIBC_MARKERS = {"GLIBC_ABI_DT_RELR": (2, 36)}
MACHINES = {3: "i686", 62: "x86_64", 183: "aarch64"}

_SHT_DYNAMIC, _SHT_VERNEED = 6, 0x6FFFFFFE
_DT_NULL, _DT_NEEDED = 0, 1


class ElfError(ValueError):
    pass


@dataclasses.dataclass
class ElfObject:
    machine: str
    needed: list[str]
    versions: dict[str, set[str]]  # library -> the version names needed of it


def read_elf(data: bytes) -> ElfObject | None:
    """The needs of the ELF object in `data`; None for a file that is no ELF object."""
    if data[:4] != b"\x7fELF":
        return None
    if data[4] not in (1, 2) or data[5] != 1:
        raise ElfError(f"not a little-endian ELF object (class {data[4]}, data encoding {data[5]})")
    wide = data[4] == 2
    try:
        machine, = struct.unpack_from("<H", data, 18)
        if wide:
            shoff, = struct.unpack_from("<Q", data, 40)
            shentsize, shnum = struct.unpack_from("<HH", data, 58)
        else:
            shoff, = struct.unpack_from("<I", data, 32)
            shentsize, shnum = struct.unpack_from("<HH", data, 46)
        sections = []
        for index in range(shnum):
            at = shoff + index * shentsize
            if wide:
                _, kind, _, _, offset, size, link = struct.unpack_from("<IIQQQQI", data, at)
            else:
                _, kind, _, _, offset, size, link = struct.unpack_from("<IIIIIII", data, at)
            sections.append((kind, offset, size, link))

        def text(table: int, at: int) -> str:
            start = sections[table][1] + at
            return data[start:data.index(b"\0", start)].decode()

        needed: list[str] = []
        versions: dict[str, set[str]] = {}
        for kind, offset, size, link in sections:
            if kind == _SHT_DYNAMIC:
                entry = 16 if wide else 8
                for at in range(offset, offset + size, entry):
                    tag, value = struct.unpack_from("<qQ" if wide else "<iI", data, at)
                    if tag == _DT_NULL:
                        break
                    if tag == _DT_NEEDED:
                        needed.append(text(link, value))
            elif kind == _SHT_VERNEED:
                at = offset
                while True:
                    _, count, file, aux, following = struct.unpack_from("<HHIII", data, at)
                    names = versions.setdefault(text(link, file), set())
                    entry = at + aux
                    for _ in range(count):
                        _, _, _, name, next_aux = struct.unpack_from("<IHHII", data, entry)
                        names.add(text(link, name))
                        entry += next_aux
                    if following == 0:
                        break
                    at += following
    except (struct.error, IndexError, ValueError, UnicodeDecodeError) as error:
        raise ElfError(f"unreadable ELF object: {error}") from None
    return ElfObject(MACHINES.get(machine, f"machine{machine}"), needed, versions)


def _version(name: str, prefix: str) -> tuple[int, ...] | None:
    match = re.fullmatch(re.escape(prefix) + r"([0-9]+(?:\.[0-9]+)*)", name)
    return tuple(int(part) for part in match[1].split(".")) if match else None


def glibc_needed(elf: ElfObject) -> tuple[int, ...]:
    """The newest glibc release whose versions the object needs (2.17 at least)."""
    newest = GLIBC_OLDEST
    for library, names in elf.versions.items():
        if library in GLIBC_LIBRARIES:
            for name in names:
                release = _version(name, "GLIBC_") or GLIBC_MARKERS.get(name)
                if release is not None:
                    newest = max(newest, release)
    return newest


def problems(name: str, elf: ElfObject, glibc: tuple[int, ...], own: set[str]) -> list[str]:
    """Why the object `name` fails the policy for glibc `glibc` (none: it passes)."""
    found = []
    for library in elf.needed:
        if library not in GLIBC_LIBRARIES and library != UNWINDER and library not in own:
            found.append(f"{name} needs {library}, which is neither glibc's nor in the wheel")
    for library, names in sorted(elf.versions.items()):
        for version in sorted(names):
            if library in GLIBC_LIBRARIES:
                release = _version(version, "GLIBC_") or GLIBC_MARKERS.get(version)
                if release is None or release > glibc:
                    found.append(f"{name} needs {version} of {library}, beyond glibc "
                                 f"{'.'.join(map(str, glibc))}")
            elif library == UNWINDER:
                release = _version(version, "GCC_")
                if release is None or release > UNWINDER_NEWEST:
                    found.append(f"{name} needs {version} of {library}, beyond GCC_4.8.0")
    return found


def platform_tag(objects: dict[str, ElfObject]) -> tuple[str, list[str]]:
    """The platform tag the objects (wheel path -> object) earn together, and
    what keeps them from manylinux, if anything. Without objects, "any"."""
    if not objects:
        return "any", []
    machines = {elf.machine for elf in objects.values()}
    if len(machines) != 1:
        return "linux_" + "_".join(sorted(machines)), [f"objects for several machines: {sorted(machines)}"]
    machine = machines.pop()
    glibc = max(glibc_needed(elf) for elf in objects.values())
    own = {path.rsplit("/", 1)[-1] for path in objects}
    found = [problem for path, elf in sorted(objects.items()) for problem in problems(path, elf, glibc, own)]
    if found:
        return f"linux_{machine}", found
    return f"manylinux_{glibc[0]}_{glibc[1]}_{machine}", []


def wheel_objects(members: dict[str, bytes]) -> dict[str, ElfObject]:
    """The ELF objects among a wheel's members (path -> content)."""
    objects = {}
    for path, data in members.items():
        try:
            elf = read_elf(data)
        except ElfError as error:
            raise ElfError(f"{path}: {error}") from None
        if elf is not None:
            objects[path] = elf
    return objects


def main(arguments: list[str]) -> int:
    status = 0
    for wheel_path in arguments:
        with zipfile.ZipFile(wheel_path) as wheel:
            objects = wheel_objects({name: wheel.read(name) for name in wheel.namelist()})
        tag, found = platform_tag(objects)
        print(f"{wheel_path}: earns {tag}")
        for path, elf in sorted(objects.items()):
            newest = {library: max(names, key=lambda v: tuple(map(int, re.findall(r"[0-9]+", v))) or (0,))
                      for library, names in sorted(elf.versions.items())}
            print(f"  {path}: needs {', '.join(elf.needed) or 'nothing'}; newest versions: "
                  + ", ".join(f"{library} {version}" for library, version in newest.items()))
        for problem in found:
            print(f"  {problem}")
        if not wheel_path.removesuffix(".whl").endswith("-" + tag):
            print(f"  the file name does not carry the tag it earns ({tag})")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
