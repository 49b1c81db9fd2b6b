"""``vorn serve`` and ``vorn keys``: the Python side of vorn-server, the
program that serves a machine's devices to the ``remote`` plug-in.

Both hand over to the program itself (the process becomes vorn-server), so
signals, log lines and the exit status are the program's own: SIGINT or
SIGTERM stop every stream it serves before it exits; a bad command line
exits with 2 and one line.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
from typing import NoReturn, TextIO

__all__ = ["add_commands", "server_program"]

PROGRAM = "vorn-server"


def server_program() -> pathlib.Path:
    """vorn-server as the package bundles it (vorn/bin/), also in a build tree."""
    return pathlib.Path(os.path.dirname(os.path.abspath(__file__))) / "bin" / PROGRAM


def _run_server(arguments: list[str]) -> NoReturn:
    program = server_program()
    if not os.access(program, os.X_OK):
        raise RuntimeError(f"{PROGRAM} not found at {program} (is the package built with the remote plug-in?)")
    sys.stdout.flush()
    sys.stderr.flush()
    # The program looks for plug-ins by short name as vorn does; <prefix> is this interpreter's.
    env = {**os.environ, "VORN_PREFIX": sys.prefix}
    os.execve(program, [str(program), *arguments], env)


def cmd_serve(args: argparse.Namespace, out: TextIO) -> int:
    arguments = [*args.plugins, "--listen", args.listen]
    if args.key is not None:
        arguments += ["--key", args.key]
    for allowed in args.allow or []:
        arguments += ["--allow", allowed]
    _run_server(arguments)


def cmd_keys(args: argparse.Namespace, out: TextIO) -> int:
    _run_server(["keys", args.name])


def add_commands(commands: argparse._SubParsersAction) -> None:
    """Adds the subcommands serve and keys to the vorn command's parser."""
    help = ("serve the devices of plug-ins to other machines (vorn-server): open them there with the remote "
            "plug-in, as 'tcp://HOST:PORT DEVICE_TEXT'")
    serve = commands.add_parser("serve", help=help, description=help)
    serve.set_defaults(run=cmd_serve)
    serve.add_argument("plugins", metavar="PLUGIN", nargs="+", help="a plug-in's short name (see 'vorn plugins') or path")
    serve.add_argument("--listen", metavar="tcp://HOST:PORT", default="tcp://127.0.0.1:7531",
                       help="the address to listen on (default tcp://127.0.0.1:7531); any address other than "
                            "loopback needs --key and --allow")
    serve.add_argument("--key", metavar="FILE", help="the server's key pair (from 'vorn keys'): clients must use CURVE")
    serve.add_argument("--allow", metavar="FILE", action="append",
                       help="public keys of the clients admitted (their .pub files); may be repeated")
    help = "make a CURVE key pair for remote devices: NAME.key (secret) and NAME.pub (to give to the other side)"
    keys = commands.add_parser("keys", help=help, description=help)
    keys.set_defaults(run=cmd_keys)
    keys.add_argument("name", metavar="NAME", help="the files' name without .key and .pub")
