"""The ``quarlo`` command line.

``quarlo build`` is the host's own command; the plug-ins add their options to
it (``extendBuildParser``) and add subcommands of their own
(``extendSubParsers``). Every subcommand sets ``func``, which is called with
the parsed namespace.

Every command accepts ``--quiet`` and ``--verbose``, before or after its
name. Expected failures (bad input, missing files, failed checks, failed
builds) print one line ``quarlo: error: <message> (<notes>)`` on standard
error and exit with status 1 (with ``--verbose`` the traceback comes first);
the notes (PEP 678) are what the handlers add about the argument or file a
failure concerns, and what this module adds about a key file such a note
names. Usage errors exit with status 2 as argparse does. Output into a pipe
that was closed ends quietly with status 141, as a command killed by SIGPIPE.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import traceback
from pathlib import Path
from typing import Any

from quarlo import __version__, keyfiles
from quarlo.errors import BuildError
from quarlo.plugins import PluginManager

# Failures that are the user's input or environment: reported as their
# message alone. Other exceptions are reported on one line too, since the
# plug-in's handlers let the library's errors for malformed input through
# (OverflowError, TypeError, RecursionError ...); their type name comes first.
EXPECTED_ERRORS = (BuildError, OSError, ValueError, LookupError, ImportError)

# 128 + SIGPIPE and 128 + SIGINT, the statuses a shell shows for a command
# ended by those signals.
EXIT_CLOSED_PIPE = 141
EXIT_INTERRUPTED = 130

QUIET_HELP = "print only results, warnings and errors (no progress)"
VERBOSE_HELP = "print more: the commands a build runs with their output, and the traceback of an error"


def _add_output_options(parser: argparse.ArgumentParser, default: Any) -> None:
    """--quiet and --verbose. The top-level parser gives them the default
    False; a subcommand's parser leaves them unset unless given after the
    command's name, so that they do not undo the same option given before it."""
    parser.add_argument("--quiet", "-q", action="store_true", default=default, help=QUIET_HELP)
    parser.add_argument("--verbose", "-v", action="store_true", default=default, help=VERBOSE_HELP)


class _Parser(argparse.ArgumentParser):
    """An argument parser that names positional arguments in capitals, as
    the values of options are named (``--private PRIVATE ... PAYLOAD JWT``),
    in its usage lines, its help and its error messages alike, unless the
    argument brings a metavar of its own."""

    def add_argument(self, *args: Any, **kwargs: Any) -> argparse.Action:
        action = super().add_argument(*args, **kwargs)
        if not action.option_strings and action.metavar is None and action.dest != argparse.SUPPRESS:
            action.metavar = action.dest.upper()
        return action

    def _print_message(self, message: str, file: Any = None) -> None:
        # Help, usage or a version into a pipe whose reader is gone: nothing
        # to show and nobody to tell, as newer argparse releases do it too.
        try:
            super()._print_message(message, file)
        except BrokenPipeError:
            if _stdout_is_a_closed_pipe():
                _discard_stdout()
            else:
                raise


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
    parser = _Parser(
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


def _flat(text: str) -> str:
    return " ".join(line.strip() for line in text.splitlines() if line.strip())


def _one_line(error: BaseException, files: tuple[Path, ...] = ()) -> str:
    """The message of `error` with its notes in parentheses, on one line. A
    note that ends with the name of one of `files` (the paths the command
    was given) is completed with what that file is when it is a key of a
    kind quarlo cannot use."""
    text = _flat(str(error)) or type(error).__name__
    notes = [_flat(note) for note in getattr(error, "__notes__", ()) if isinstance(note, str) and note.strip()]
    notes = [_with_key_kind(note, files) for note in notes]
    return f"{text} ({'; '.join(notes)})" if notes else text


def _with_key_kind(note: str, files: tuple[Path, ...]) -> str:
    for path in files:
        if note.endswith(f" {path}"):
            kind = keyfiles.describe(path)
            if kind:
                return f"{note}: {kind}"
    return note


def _error_line(error: Exception, args: argparse.Namespace) -> str:
    files = tuple(value for value in vars(args).values() if isinstance(value, Path))
    message = _one_line(error, files)
    if not isinstance(error, EXPECTED_ERRORS) and message != type(error).__name__:
        message = f"{type(error).__name__}: {message}"
    return f"quarlo: error: {message}"


def _stdout_is_a_closed_pipe() -> bool:
    """Whether standard output is a pipe whose reading end is closed (poll
    reports an error on such a pipe's writing end)."""
    try:
        import select

        poller = select.poll()
        poller.register(sys.stdout.fileno(), select.POLLOUT)
        return any(events & select.POLLERR for _, events in poller.poll(0))
    except (AttributeError, OSError, ValueError):
        return False


def _discard_stdout() -> None:
    """Standard output into /dev/null, so that the interpreter's last flush
    of what is still buffered cannot fail again at exit."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (AttributeError, OSError, ValueError):
        pass


def _command_parser(parser: argparse.ArgumentParser, args: argparse.Namespace) -> argparse.ArgumentParser:
    """The parser of the command in `args`, for usage errors found after
    parsing: its usage line is the command's own."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return action.choices.get(getattr(args, "command", None), parser)
    return parser


def main(argv: list[str] | None = None) -> int:
    manager = PluginManager().load()
    for name, error in manager.failures:
        print(f"quarlo: warning: plug-in {name} not loaded: {_one_line(error)}", file=sys.stderr)
    parser = make_parser(manager)
    args = parser.parse_args(argv)
    if args.quiet and args.verbose:
        _command_parser(parser, args).error("--quiet and --verbose exclude each other")
    if hasattr(sys.stdout, "reconfigure"):
        # Claims may hold text that the terminal's encoding cannot show.
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        args.func(args)
        sys.stdout.flush()  # a closed pipe shows here, not in the flush at exit
    except Exception as error:  # noqa: BLE001 - every failure ends as one line and status 1
        if isinstance(error, BrokenPipeError) and _stdout_is_a_closed_pipe():
            _discard_stdout()
            return EXIT_CLOSED_PIPE
        if args.verbose:
            traceback.print_exception(error, file=sys.stderr)
        print(_error_line(error, args), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quarlo: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0
