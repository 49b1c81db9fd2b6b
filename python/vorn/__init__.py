"""Companion of ``pyvorn_device``: plug-ins found by name, streams read
without a callback (as bytes or as typed samples), recordings to a file with
their metadata, and the ``vorn`` command.

Pure Python on top of the module's own interface; nothing here changes it.
"""

from ._plugins import Plugin, PluginNotFoundError, SearchFolder, find_plugins, open_manager, plugin_search_path
from ._record import RecordStats, record
from ._recording import DeviceError, Gap, RecordingInfo, metadata_path, recording_info
from ._samples import SampleFormat, samples
from ._streams import OVERFLOW_NOTICE, StreamReader, StreamStats, read_stream

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
    "find_plugins",
    "metadata_path",
    "open_manager",
    "plugin_search_path",
    "read_stream",
    "record",
    "recording_info",
    "samples",
]
