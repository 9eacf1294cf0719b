"""The ``quarlo`` command line.

``quarlo build`` is the host's own command; the plug-ins add their options to
it (``extendBuildParser``) and add subcommands of their own
(``extendSubParsers``). Every subcommand sets ``func``, which is called with
the parsed namespace.

Every command accepts ``--quiet`` and ``--verbose``, before or after its
name. Expected failures (bad input, missing files, failed checks, failed
builds) print one line ``quarlo: error: <message>`` on standard error and
exit with status 1 (with ``--verbose`` the traceback comes first); usage
errors exit with status 2 as argparse does.
"""

from __future__ import annotations

import argparse
import functools
import sys
import traceback
from pathlib import Path
from typing import Any

from quarlo import __version__
from quarlo.errors import BuildError
from quarlo.plugins import PluginManager

# Failures that are the user's input or environment: reported as their
# message alone. Other exceptions are reported on one line too, since the
# plug-in's handlers let the library's errors for malformed input through
# (OverflowError, TypeError, RecursionError ...); their type name comes first.
EXPECTED_ERRORS = (BuildError, OSError, ValueError, LookupError, ImportError)

QUIET_HELP = "print only results, warnings and errors (no progress)"
VERBOSE_HELP = "print more: the commands a build runs with their output, and the traceback of an error"


def _add_output_options(parser: argparse.ArgumentParser, default: Any) -> None:
    """--quiet and --verbose. The top-level parser gives them the default
    False; a subcommand's parser leaves them unset unless given after the
    command's name, so that they do not undo the same option given before it."""
    parser.add_argument("--quiet", "-q", action="store_true", default=default, help=QUIET_HELP)
    parser.add_argument("--verbose", "-v", action="store_true", default=default, help=VERBOSE_HELP)


class _SubParsers(argparse._SubParsersAction):  # type: ignore[type-arg]
    """The registry of subcommands, quarlo's own and the plug-ins': each
    subcommand also takes --quiet and --verbose, and its help text serves as
    the description of its own --help unless it brings one. An option that
    a plug-in defines under the same name replaces quarlo's."""

    def add_parser(self, name: str, **kwargs: Any) -> argparse.ArgumentParser:
        if "help" in kwargs and "description" not in kwargs:
            kwargs["description"] = kwargs["help"]
        common = argparse.ArgumentParser(add_help=False)
        _add_output_options(common, argparse.SUPPRESS)
        kwargs["parents"] = [*kwargs.get("parents", ()), common]
        kwargs.setdefault("conflict_handler", "resolve")
        return super().add_parser(name, **kwargs)


def _run_build(args: argparse.Namespace, manager: PluginManager) -> None:
    # Imported here so that commands other than build do not load the
    # compiler machinery.
    from quarlo import build

    build.run(args, manager)


def make_parser(manager: PluginManager) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarlo",
        description="Compile Python programs into native extension modules and executables.",
        epilog="Run 'quarlo COMMAND --help' for the options of a command.",
    )
    parser.register("action", "parsers", _SubParsers)
    parser.add_argument("--version", action="version", version=f"quarlo {__version__}")
    _add_output_options(parser, False)
    subParsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    buildParser = subParsers.add_parser(
        "build",
        help="Compile a program into native extension modules (and an executable)",
        description=(
            "Compile PROGRAM with Cython and the C compiler into a native extension module, "
            "together with the modules that the plug-ins contribute (quarlo_<unit>), and with "
            "--executable also into a standalone executable. Files are placed in the output "
            "directory only when the whole build has succeeded. Each step is shown with the "
            "time it took."
        ),
    )
    buildParser.add_argument("program", type=Path, metavar="PROGRAM", help="the program to build (.py or .pyx)")
    buildParser.add_argument(
        "--output", "-o", type=Path, metavar="DIR", help="directory for the built files (default: dist/<program name>)"
    )
    buildParser.add_argument(
        "--executable", action="store_true", help="also link an executable that embeds the Python interpreter"
    )
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
    if args.quiet and args.verbose:
        parser.error("--quiet and --verbose exclude each other")
    try:
        args.func(args)
    except Exception as error:  # noqa: BLE001 - every failure ends as one line and status 1
        if args.verbose:
            traceback.print_exception(error, file=sys.stderr)
        message = _one_line(error)
        if not isinstance(error, EXPECTED_ERRORS) and message != type(error).__name__:
            message = f"{type(error).__name__}: {message}"
        print(f"quarlo: error: {message}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quarlo: interrupted", file=sys.stderr)
        return 130
    return 0
