"""The plug-in manager: loads the plug-ins and calls their hooks.

A plug-in is a module with a class ``Plugin``; the manager constructs one
``Plugin(manager)`` per module and calls the same hook on every plug-in, in
the order the plug-ins were loaded.
"""

from __future__ import annotations

import argparse
import importlib
from typing import Any

DEFAULT_PLUGINS = ("quarlopro.main",)


class PluginLoadError(Exception):
    """A plug-in module could not be imported or constructed."""


class PluginManager:
    """Holds the loaded plug-ins and fans each hook out to all of them."""

    def __init__(self, module_names: tuple[str, ...] = DEFAULT_PLUGINS) -> None:
        self.module_names = tuple(module_names)
        self.plugins: list[Any] = []
        # (module name, error) for each plug-in that failed to load.
        self.failures: list[tuple[str, Exception]] = []

    def load(self) -> "PluginManager":
        """Imports every plug-in module and constructs its Plugin.

        A plug-in that fails to load is recorded in ``failures`` and left out,
        so the host's own commands keep working without it.
        """
        for name in self.module_names:
            try:
                module = importlib.import_module(name)
                self.plugins.append(module.Plugin(self))
            except Exception as error:  # any failure of foreign code at load
                self.failures.append((name, error))
        return self

    # -- command line -------------------------------------------------------

    def extendSubParsers(self, subParsers: argparse._SubParsersAction) -> None:
        for plugin in self.plugins:
            plugin.extendSubParsers(subParsers)

    def extendBuildParser(self, buildParser: argparse.ArgumentParser) -> None:
        for plugin in self.plugins:
            plugin.extendBuildParser(buildParser)

    # -- build ----------------------------------------------------------------

    def extendBuild(self, args: argparse.Namespace) -> None:
        for plugin in self.plugins:
            plugin.extendBuild(args)

    def extendCompiler(self, compiler: Any) -> None:
        for plugin in self.plugins:
            plugin.extendCompiler(compiler)

    def extendTemplate(self) -> list[dict]:
        """The template result of every plug-in, in plug-in order."""
        return [plugin.extendTemplate() for plugin in self.plugins]

    def getCompileArgs(self) -> list[str]:
        args: list[str] = []
        for plugin in self.plugins:
            args.extend(plugin.getCompileArgs())
        return args

    def getLinkerArgs(self, exeName: str, libraryPath: str) -> list[dict]:
        """The linker-argument mapping of every plug-in, in plug-in order."""
        return [plugin.getLinkerArgs(exeName, libraryPath) for plugin in self.plugins]
