"""The ``quarlo`` command line.

``quarlo build`` is the host's own command; the plug-ins add their options to
it (``extendBuildParser``) and add subcommands of their own
(``extendSubParsers``). Every subcommand sets ``func``, which is called with
the parsed namespace.

Expected failures (bad input, missing files, failed checks, failed builds)
print one line ``quarlo: error: <message>`` on standard error and exit with
status 1; usage errors exit with status 2 as argparse does.
"""

from __future__ import annotations

import argparse
import functools
import sys
from pathlib import Path

from quarlo import __version__
from quarlo.errors import BuildError
from quarlo.plugins import PluginManager

# Failures that are the user's input or environment, not a fault of quarlo:
# reported as one line. Anything else keeps its traceback.
EXPECTED_ERRORS = (BuildError, OSError, ValueError, LookupError, ImportError)


def _run_build(args: argparse.Namespace, manager: PluginManager) -> None:
    # Imported here so that commands other than build do not load the
    # compiler machinery.
    from quarlo import build

    build.run(args, manager)


def make_parser(manager: PluginManager) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarlo",
        description="Compile Python programs into native extension modules and executables.",
    )
    parser.add_argument("--version", action="version", version=f"quarlo {__version__}")
    subParsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    buildParser = subParsers.add_parser(
        "build",
        help="Compile a program into native extension modules (and an executable)",
        description=(
            "Compile PROGRAM with Cython and the C compiler into a native extension module, "
            "together with the modules that the plug-ins contribute (quarlo_<unit>), and with "
            "--executable also into a standalone executable. Files are placed in the output "
            "directory only when the whole build has succeeded."
        ),
    )
    buildParser.add_argument("program", type=Path, metavar="PROGRAM", help="the program to build (.py or .pyx)")
    buildParser.add_argument(
        "--output", "-o", type=Path, metavar="DIR", help="directory for the built files (default: dist/<program name>)"
    )
    buildParser.add_argument(
        "--executable", action="store_true", help="also link an executable that embeds the Python interpreter"
    )
    buildParser.add_argument("--verbose", "-v", action="store_true", help="show the commands run and their output")
    manager.extendBuildParser(buildParser)
    buildParser.set_defaults(func=functools.partial(_run_build, manager=manager))

    try:
        manager.extendSubParsers(subParsers)
    except EXPECTED_ERRORS as error:
        # The commands registered so far stay usable, build included.
        print(f"quarlo: warning: plug-in commands incomplete: {_one_line(error)}", file=sys.stderr)
    return parser


def _one_line(error: BaseException) -> str:
    text = " ".join(line.strip() for line in str(error).splitlines() if line.strip())
    return text or type(error).__name__


def main(argv: list[str] | None = None) -> int:
    manager = PluginManager().load()
    for name, error in manager.failures:
        print(f"quarlo: warning: plug-in {name} not loaded: {_one_line(error)}", file=sys.stderr)
    parser = make_parser(manager)
    args = parser.parse_args(argv)
    try:
        args.func(args)
    except EXPECTED_ERRORS as error:
        print(f"quarlo: error: {_one_line(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quarlo: interrupted", file=sys.stderr)
        return 130
    return 0
