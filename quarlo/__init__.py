"""quarlo: compiles Python programs into native extension modules and
executables with Cython, and hosts plug-ins that extend its command line
and its builds.

This package is the host side of the quarlopro plug-in: a command line
(``quarlo.cli``), a plug-in manager (``quarlo.plugins``) and a build driver
(``quarlo.build``).
"""

# The version of the quarlopro distribution, written only here: the build
# reads it into the package metadata, and `quarlo --version` shows it.
__version__ = "0.1.0"
