"""Companion of ``pyvorn_device``: plug-ins found by name, streams read
without a callback, recordings to a file, and the ``vorn`` command.

Pure Python on top of the module's own interface; nothing here changes it.
"""

from ._plugins import Plugin, PluginNotFoundError, SearchFolder, find_plugins, open_manager, plugin_search_path
from ._record import RecordStats, record
from ._streams import OVERFLOW_NOTICE, StreamReader, StreamStats, read_stream

__all__ = [
    "OVERFLOW_NOTICE",
    "Plugin",
    "PluginNotFoundError",
    "RecordStats",
    "SearchFolder",
    "StreamReader",
    "StreamStats",
    "find_plugins",
    "open_manager",
    "plugin_search_path",
    "read_stream",
    "record",
]
