"""Errors of the host that are reported as one line on the command line."""


class BuildError(Exception):
    """An expected failure of a build: bad input, a failed tool, a missing compiler."""
