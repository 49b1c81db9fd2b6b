"""``vorn devices``: every device of every plug-in on the search path."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from .cli import device_entries, emit, indented, one_line, plugin_entries


def cmd_devices(args: argparse.Namespace, out: TextIO) -> int:
    """A plug-in that cannot be loaded or listed is reported in its place;
    the others are listed all the same."""
    listed: list[dict[str, Any]] = []
    for entry in plugin_entries():
        if entry["shadowed"]:
            continue
        manager, error, devices = entry.get("manager"), entry["error"], []
        if manager is not None:
            try:
                devices = device_entries(manager.list_devices())
            except Exception as failure:
                error = f"cannot list devices: {one_line(str(failure))}"
        listed.append({"plugin": entry["name"], "path": entry["path"], "devices": devices, "error": error})

    def prose(doc: dict[str, Any]) -> str:
        lines = [] if doc["plugins"] else ["no plug-ins found (see 'vorn plugins')"]
        for plugin in doc["plugins"]:
            lines.append(f"{plugin['plugin']}: {plugin['path']}")
            if plugin["error"] is not None:
                lines.append(indented(plugin["error"]))
            elif not plugin["devices"]:
                lines.append("  (no devices listed; see 'vorn probe " + plugin["plugin"] + "')")
            lines += [f"  {d['name']}: {d['description']}" if d["description"] else f"  {d['name']}"
                      for d in plugin["devices"]]
        return "\n".join(lines)

    emit(args, out, {"plugins": listed}, prose)
    return 0


def add_command(command: Any) -> None:
    command("devices", cmd_devices, "list every device of every plug-in found (a failing plug-in is reported "
            "in its place)", device=None, with_json=True)
