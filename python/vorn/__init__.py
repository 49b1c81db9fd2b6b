"""Companion of ``pyvorn_device``: plug-ins found by name, streams read
without a callback (as bytes or as typed samples), recordings to a file with
their metadata, and the ``vorn`` command.

Pure Python on top of the module's own interface; nothing here changes it.
``__version__`` is the project's version. When the native module cannot be
loaded, the package still imports, and every name below raises ImportError
with one line that says what is wrong and how to reinstall.
"""

from typing import TYPE_CHECKING

from ._native import problem as _native_problem
from ._version import __version__

__all__ = [
    "OVERFLOW_NOTICE",
    "DeviceError",
    "Gap",
    "Plugin",
    "PluginNotFoundError",
    "RecordStats",
    "RecordingInfo",
    "SampleFormat",
    "SearchFolder",
    "StreamReader",
    "StreamStats",
    "__version__",
    "find_plugins",
    "metadata_path",
    "open_manager",
    "plugin_search_path",
    "read_stream",
    "record",
    "recording_info",
    "samples",
]

_unusable = _native_problem()
if _unusable is None:
    from ._plugins import Plugin, PluginNotFoundError, SearchFolder, find_plugins, open_manager, plugin_search_path
    from ._record import RecordStats, record
    from ._recording import DeviceError, Gap, RecordingInfo, metadata_path, recording_info
    from ._samples import SampleFormat, samples
    from ._streams import OVERFLOW_NOTICE, StreamReader, StreamStats, read_stream


if not TYPE_CHECKING:

    def __getattr__(name):
        if _unusable is not None and name in __all__:
            raise ImportError(_unusable)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
