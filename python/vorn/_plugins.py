"""Finding device-manager plug-ins by short name along a search path.

The search path, first match wins:

1. the folders in ``VORN_PLUGIN_PATH`` (``os.pathsep``-separated), in order;
   only absolute ones: empty and relative entries (``plugins``, ``.``) are
   ignored, so what a name loads never depends on the current folder;
2. ``plugins/`` inside this package, where ``pip install`` puts the bundled
   plug-ins (and where the build tree links its plug-in folder);
3. ``<sys.prefix>/lib/vorn/plugins``, where ``cmake --install`` puts them.

A plug-in is a shared library in one of these folders. Its short name is the
file name without ``lib``, ``vorn_`` and the suffix: ``libvorn_sim.so`` is
``sim``. A name is looked up in these folders only, never in the current
folder; a name with a folder part (``./libvorn_sim.so``) is a path.

Folders and libraries that other users may change are skipped, each with a
``RuntimeWarning``: a folder that is world-writable, unless it also has the
sticky bit and is owned by the current user or root (as ``/tmp`` is), and a
library that is world-writable. Both are checked after following symbolic
links. Nothing here loads a library except :func:`open_manager`.
"""

from __future__ import annotations

import os
import pathlib
import stat
import sys
import warnings
from typing import NamedTuple

import pyvorn_device

__all__ = ["Plugin", "PluginNotFoundError", "SearchFolder", "find_plugins", "open_manager", "plugin_search_path"]

PATH_VARIABLE = "VORN_PLUGIN_PATH"
PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_SUFFIX = {"win32": ".dll", "darwin": ".dylib"}.get(sys.platform, ".so")


class SearchFolder(NamedTuple):
    path: pathlib.Path
    origin: str  # "VORN_PLUGIN_PATH", "package" or "prefix"


class Plugin(NamedTuple):
    name: str  # the short name
    path: pathlib.Path


class PluginNotFoundError(LookupError):
    """No plug-in of that name on the search path; ``searched`` lists the folders."""

    def __init__(self, name: str, searched: list[pathlib.Path]):
        self.name = name
        self.searched = searched
        folders = "".join(f"\n  {folder}" for folder in searched) or " (none)"
        super().__init__(
            f"no plug-in named {name!r} on the plug-in search path; folders searched:{folders}\n"
            f"(add folders with {PATH_VARIABLE}, or pass the plug-in's path)"
        )


def ignored_path_entries() -> list[str]:
    """The relative entries of ``VORN_PLUGIN_PATH``, which the search ignores."""
    return [entry for entry in os.environ.get(PATH_VARIABLE, "").split(os.pathsep)
            if entry and not os.path.isabs(entry)]


def plugin_search_path() -> list[SearchFolder]:
    """The folders searched for plug-ins, in order, whether they exist or not
    (also those that :func:`unsafe_reason` makes the search skip)."""
    entries = [(entry, PATH_VARIABLE) for entry in os.environ.get(PATH_VARIABLE, "").split(os.pathsep)
               if os.path.isabs(entry)]
    entries.append((os.path.join(os.path.dirname(os.path.abspath(__file__)), "plugins"), "package"))
    entries.append((os.path.join(sys.prefix, "lib", "vorn", "plugins"), "prefix"))
    folders: list[SearchFolder] = []
    seen: set[str] = set()
    for entry, origin in entries:
        path = pathlib.Path(os.path.normpath(entry))
        if os.path.realpath(path) not in seen:
            seen.add(os.path.realpath(path))
            folders.append(SearchFolder(path, origin))
    return folders


def unsafe_reason(path: pathlib.Path) -> str | None:
    """Why the search skips this folder or library, or None: other users can
    change it (see the module's docstring). None for a path that is missing."""
    if sys.platform == "win32":  # no such mode bits
        return None
    try:
        info = path.stat()
    except OSError:
        return None
    if not info.st_mode & stat.S_IWOTH:
        return None
    if stat.S_ISDIR(info.st_mode):
        if info.st_mode & stat.S_ISVTX and info.st_uid in (os.geteuid(), 0):
            return None
        return "world-writable folder (neither sticky nor owned by you or root)"
    return "world-writable library"


def _skipped(path: pathlib.Path) -> bool:
    reason = unsafe_reason(path)
    if reason is not None:
        warnings.warn(f"plug-in search path: skipped {path}: {reason}", RuntimeWarning, stacklevel=3)
    return reason is not None


def _names(path: pathlib.Path) -> tuple[str, ...]:
    """The names that select a plug-in file: its file name, its stem without
    "lib", and its short name."""
    stem = path.name[: -len(_SUFFIX)]
    stem = stem[3:] if stem.startswith("lib") else stem
    short = stem[5:] if stem.startswith("vorn_") and len(stem) > 5 else stem
    return (short, stem, path.name)


def find_plugins() -> list[Plugin]:
    """Every plug-in file on the search path, in search order. A short name
    found twice is listed twice; the first one is the one that opens. Unsafe
    folders and libraries are left out, with a warning each."""
    found: list[Plugin] = []
    for folder in plugin_search_path():
        try:
            files = sorted(folder.path.iterdir())
        except OSError:
            continue
        if _skipped(folder.path):
            continue
        found += [Plugin(_names(f)[0], f) for f in files
                  if f.name.endswith(_SUFFIX) and f.is_file() and not _skipped(f)]
    return found


def resolve_plugin(name_or_path: PathArg) -> PathArg:
    """What open_manager would load: a path as given, or the first plug-in on
    the search path whose name matches. Raises PluginNotFoundError."""
    if not isinstance(name_or_path, str) or os.sep in name_or_path or (os.altsep and os.altsep in name_or_path):
        return name_or_path
    for plugin in find_plugins():
        if name_or_path in _names(plugin.path):
            return plugin.path
    raise PluginNotFoundError(name_or_path, [folder.path for folder in plugin_search_path()])


def open_manager(name_or_path: PathArg) -> pyvorn_device.DeviceManager:
    """Loads a plug-in and returns its device manager.

    ``name_or_path`` is a path (``str`` with a folder part, ``bytes`` or
    ``os.PathLike``), loaded as ``pyvorn_device.get_device_manager`` does, or a
    short name such as ``"sim"``, looked up along :func:`plugin_search_path`
    only (never in the current folder). Raises PluginNotFoundError when no
    plug-in has that name, RuntimeError when the library cannot be loaded or
    makes no manager.
    """
    path = resolve_plugin(name_or_path)
    manager = pyvorn_device.get_device_manager(path)
    if manager is None:
        raise RuntimeError(f"plug-in {os.fsdecode(path)} made no device manager")
    return manager
