"""What the quarlo command line shows: help at every level, --quiet and
--verbose wherever a user puts them, the progress of a build (each step as
it starts, then its duration), and errors in verbose mode."""

import argparse
import io
import os
import pathlib
import re
import subprocess
import sys

import pytest

from quarlo import build as quarlo_build
from quarlo import cli
from quarlo.plugins import PluginManager

PLUGIN_COMMANDS = {
    "keygen": "Generate a new keypair (Pro)",
    "sign": "Sign a JWT (Pro)",
    "show": "Show information about a JWT (Pro)",
}
# A valid command line of each command, without output options.
COMMAND_LINES = {
    "build": ["build", "prog.py"],
    "keygen": ["keygen", "--private", "k.pem", "--public", "p.pem"],
    "sign": ["sign", "--private", "k.pem", "{}", "t.jwt"],
    "show": ["show", "t.jwt"],
}


def quarlo(cwd, *args):
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    done = subprocess.run([sys.executable, "-m", "quarlo", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=env, timeout=120)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture(scope="module")
def parser():
    return cli.make_parser(PluginManager().load())


# ---------------------------------------------------------------------------
# Help


@pytest.mark.parametrize("command", PLUGIN_COMMANDS)
def test_plugin_command_help_starts_with_what_the_command_does(tmp_path, command):
    status, out, _ = quarlo(tmp_path, command, "--help")
    assert status == 0
    usage, description = out.split("\n\n")[:2]
    assert usage.startswith(f"usage: quarlo {command} ")
    assert description == PLUGIN_COMMANDS[command]
    assert "--quiet" in out and "--verbose" in out


def test_usage_lines_of_the_docs_are_those_of_help(tmp_path):
    """docs/cli.md shows each command's usage line as --help prints it, and
    README.md the same without the options of every command."""
    root = pathlib.Path(__file__).resolve().parent.parent
    cli_md, readme = (root / "docs" / "cli.md").read_text(), (root / "README.md").read_text()
    for command in ["build", *PLUGIN_COMMANDS]:
        usage = " ".join(quarlo(tmp_path, command, "--help")[1].split("\n\n")[0].split())
        assert usage.startswith(f"usage: quarlo {command} [-h] [--quiet] [--verbose] ")
        section = cli_md.split(f"\n## quarlo {command}\n", 1)[1]
        assert section.split("```text\n", 1)[1].split("\n", 1)[0] == usage[len("usage: "):]
        assert f"\n    {usage[len('usage: '):].replace('[-h] [--quiet] [--verbose] ', '')}\n" in readme


def test_top_level_help_points_to_the_commands_help(tmp_path):
    status, out, _ = quarlo(tmp_path, "--help")
    assert status == 0
    assert out.rstrip().endswith("Run 'quarlo COMMAND --help' for the options of a command.")
    listed = re.findall(r"^    (\w+)\s+(.+)$", out, re.MULTILINE)
    assert [name for name, _ in listed] == ["build", "keygen", "sign", "show"]
    assert all(help_text.startswith(PLUGIN_COMMANDS[name]) for name, help_text in listed if name != "build")


# ---------------------------------------------------------------------------
# --quiet and --verbose


@pytest.mark.parametrize("command", COMMAND_LINES)
@pytest.mark.parametrize("option, attribute", [("-q", "quiet"), ("--quiet", "quiet"), ("-v", "verbose"),
                                               ("--verbose", "verbose")])
def test_output_options_work_before_and_after_the_command(parser, command, option, attribute):
    line = COMMAND_LINES[command]
    other = "verbose" if attribute == "quiet" else "quiet"
    plain = parser.parse_args(line)
    assert (plain.quiet, plain.verbose) == (False, False)
    for arguments in ([option, *line], [line[0], option, *line[1:]], [*line, option]):
        args = parser.parse_args(arguments)
        assert (getattr(args, attribute), getattr(args, other)) == (True, False), arguments


def test_quiet_and_verbose_together_are_a_usage_error(capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["-q", "show", "-v", "t.jwt"])
    assert exit_info.value.code == 2
    assert "--quiet and --verbose exclude each other" in capsys.readouterr().err


def test_verbose_error_shows_the_traceback_then_the_one_line(tmp_path):
    status, out, err = quarlo(tmp_path, "show", "--verbose", "missing.jwt")
    lines = err.splitlines()
    assert (status, out) == (1, "")
    assert lines[0] == "Traceback (most recent call last):" and "FileNotFoundError" in err
    assert lines[-1] == "quarlo: error: [Errno 2] No such file or directory: 'missing.jwt'"
    assert quarlo(tmp_path, "show", "missing.jwt")[2] == lines[-1] + "\n"


# ---------------------------------------------------------------------------
# Progress of a build


STEP_DONE = re.compile(r"^  compile  x\.c {51}\s*\d+\.\d\d s$")


def test_a_step_shows_before_it_ends_and_then_its_duration():
    stream = io.StringIO()
    reporter = quarlo_build.Reporter(stream)
    with reporter.step("compile", "x.c"):
        assert stream.getvalue() == "  compile  x.c" + " " * 53  # on screen while the step runs
    assert STEP_DONE.match(stream.getvalue().rstrip("\n")) and stream.getvalue().endswith(" s\n")


def test_a_failed_step_ends_its_line_with_failed():
    stream = io.StringIO()
    with pytest.raises(quarlo_build.BuildError, match="boom"):
        with quarlo_build.Reporter(stream).step("link", "x.so"):
            raise quarlo_build.BuildError("boom")
    assert stream.getvalue() == "  link     x.so" + " " * 52 + "failed\n"


def test_verbose_steps_frame_their_details():
    stream = io.StringIO()
    reporter = quarlo_build.Reporter(stream, verbose=True)
    with reporter.step("compile", "x.c"):
        reporter.detail("$ cc -c x.c")
    lines = stream.getvalue().splitlines()
    assert lines[:2] == ["  compile  x.c", "      $ cc -c x.c"] and STEP_DONE.match(lines[2])


def test_quiet_reporter_prints_nothing():
    stream = io.StringIO()
    reporter = quarlo_build.Reporter(stream, quiet=True)
    reporter.say("quarlo build x.py")
    reporter.detail("$ cc")
    with reporter.step("compile", "x.c"):
        pass
    with pytest.raises(ValueError):
        with reporter.step("link", "x.so"):
            raise ValueError
    assert stream.getvalue() == ""


def test_build_progress_and_quiet_build(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "prog.py").write_text("print(1)\n")
    assert cli.main(["build", "-o", "out", "prog.py"]) == 0
    lines = capsys.readouterr().out.splitlines()
    steps = [line.split()[0] for line in lines if re.match(r"^  \S+ .*\d+\.\d\d s$", line)]
    assert steps == ["plug-ins", "cython", "cython", "compile", "compile", "link", "link", "install"]
    assert lines[0] == "quarlo build prog.py -> out" and re.match(r"^built in \d+\.\d s:$", lines[-3])
    first = {p.name: p.stat().st_mtime_ns for p in (tmp_path / "out").iterdir()}

    assert cli.main(["-q", "build", "-o", "out", "prog.py"]) == 0
    assert capsys.readouterr().out == ""
    second = {p.name: p.stat().st_mtime_ns for p in (tmp_path / "out").iterdir()}
    assert second.keys() == first.keys() and all(second[name] > first[name] for name in first)


@pytest.mark.parametrize("error, line", [
    (ValueError("Token expired"), "quarlo: error: Token expired"),
    (AttributeError("'list' object has no attribute 'get'"),
     "quarlo: error: AttributeError: 'list' object has no attribute 'get'"),
    (MemoryError(), "quarlo: error: MemoryError"),
])
def test_any_failure_of_a_command_is_one_line_with_status_1(monkeypatch, capsys, error, line):
    def fail(args):
        raise error

    class Parser:
        def parse_args(self, argv):
            return argparse.Namespace(func=fail, quiet=False, verbose=False)

    monkeypatch.setattr(cli, "make_parser", lambda manager: Parser())
    assert cli.main([]) == 1
    assert capsys.readouterr().err == line + "\n"
