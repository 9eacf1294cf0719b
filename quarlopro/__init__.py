"""quarlopro: ES256 token tooling, key conversion and runtime token
verification for programs built with quarlo.

The package's modules live in one native library, ``_qrl_shared``; this
loader answers imports of ``quarlopro.<name>`` from that library.
"""

import importlib.machinery
import importlib.util
import sys

import _qrl_shared

_MODULES = frozenset({"main", "keygen", "sign", "license", "jwt_es256", "decodekey", "protemplate"})


class _LibraryFinder:
    """Finds the package's modules in the shared library, and nothing else."""

    @staticmethod
    def find_spec(fullname, path=None, target=None):
        package, _, name = fullname.rpartition(".")
        if package != __name__ or name not in _MODULES:
            return None
        loader = importlib.machinery.ExtensionFileLoader(fullname, _qrl_shared.__file__)
        return importlib.util.spec_from_file_location(fullname, _qrl_shared.__file__, loader=loader)


# A re-import of the package replaces the finder instead of adding another.
sys.meta_path[:] = [f for f in sys.meta_path if getattr(f, "__qualname__", None) != "_LibraryFinder"
                    or getattr(f, "__module__", None) != __name__]
sys.meta_path.insert(0, _LibraryFinder)
