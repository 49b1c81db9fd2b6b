"""The native part of vorn, and the ``vorn`` command's entry point.

The native part is the extension module ``pyvorn_device`` and, in an
installed distribution, the plug-ins bundled with it. A part that is
missing, cut short or unloadable is named in one line, with how to
reinstall, instead of a traceback (or the crash that loading a cut-short
library can be).
"""

from __future__ import annotations

import functools
import importlib.metadata
import pathlib
import sys
from typing import Sequence

DISTRIBUTION = "pyvorn_device"
REINSTALL = "reinstall it: pip install --force-reinstall <the pyvorn_device wheel>, or pip install . in its source folder"


def damaged_files() -> list[str]:
    """The native files of the distribution this package was installed with
    that are missing or have another size than installed; none outside an
    installation (a build tree)."""
    try:
        files = importlib.metadata.distribution(DISTRIBUTION).files or []
    except importlib.metadata.PackageNotFoundError:
        return []
    here = pathlib.Path(__file__).resolve()
    if not any(file.name == here.name and pathlib.Path(file.locate()).resolve() == here for file in files):
        return []  # another installation's; not the one imported
    damaged = []
    for file in files:
        if file.suffix != ".so" or file.size is None:
            continue
        path = pathlib.Path(file.locate())
        try:
            size = path.stat().st_size
        except OSError:
            damaged.append(f"{path} is missing")
            continue
        if size != file.size:
            damaged.append(f"{path} has {size} bytes instead of {file.size}")
    return damaged


@functools.cache
def problem() -> str | None:
    """What is wrong with the native part, as one line, or None."""
    damaged = damaged_files()
    if damaged:
        return f"the native part of vorn is damaged: {'; '.join(damaged)}; {REINSTALL}"
    try:
        import pyvorn_device  # noqa: F401
    except ImportError as error:
        what = "missing" if error.name == "pyvorn_device" and "No module named" in str(error) else "broken"
        reason = " ".join(str(error).split())
        return f"the native module pyvorn_device is {what} ({reason}); {REINSTALL}"
    return None


def main(argv: Sequence[str] | None = None) -> int:
    """The vorn command: exit status 1 with one line on stderr when the
    native part cannot be used, else what the command returns."""
    found = problem()
    if found is not None:
        print(f"vorn: {found}", file=sys.stderr)
        return 1
    from .cli import main as run

    return run(argv)
