"""Packaging: one version, shown by `quarlo --version`; the runtime
dependencies are exactly what the package imports; the tests and the
benchmarks import only what their extras (and the runtime dependencies)
bring. The distributions themselves are checked by tools/check_dist.sh,
which builds and installs them (too slow for the test suite)."""

import ast
import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import tomllib

import pytest

import quarlo

ROOT = pathlib.Path(__file__).resolve().parent.parent
PYPROJECT = ROOT / "pyproject.toml"
QUARLO_DIR = pathlib.Path(quarlo.__file__).resolve().parent
# The modules of the package and its host, and the test suite's own helpers.
OWN = {"quarlo", "quarlopro", "_qrl_shared", "quarlo_pro", "conftest", "reference", "typing_example"}
# distutils is the standard library's up to Python 3.11, setuptools' after.
PROVIDED_BY = {"distutils": "setuptools"}


def project() -> dict:
    if not PYPROJECT.is_file():
        pytest.skip("pyproject.toml is not here")
    return tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))["project"]


def requirement_name(requirement: str) -> str:
    return re.sub(r"[-_.]+", "-", re.match(r"[A-Za-z0-9._-]+", requirement).group(0)).lower()


def declared(extra: str | None = None) -> set[str]:
    meta = project()
    requirements = meta["dependencies"] if extra is None else meta["optional-dependencies"][extra]
    return {requirement_name(r) for r in requirements}


def distributions(module_names: set[str]) -> dict[str, set[str]]:
    """Third-party distribution -> the top-level modules imported from it.
    Standard modules, the project's own and modules that are not installed
    (imports guarded for other Python versions) are left out."""
    installed = importlib.metadata.packages_distributions()
    found: dict[str, set[str]] = {}
    for name in module_names:
        if name in OWN:
            continue
        if name in PROVIDED_BY:
            dists = [PROVIDED_BY[name]]
        elif name in sys.stdlib_module_names:
            continue
        else:
            dists = installed.get(name, [])
        for dist in dists:
            found.setdefault(requirement_name(dist), set()).add(name)
    return found


GUARDS = {"ImportError", "ModuleNotFoundError", "Exception", "BaseException"}


def guarded(node: ast.Try) -> bool:
    """A try statement whose imports are optional: it catches a failed import."""
    return any(handler.type is None or any(name in GUARDS for name in ast.unparse(handler.type).replace(
        "(", " ").replace(")", " ").replace(",", " ").split()) for handler in node.handlers)


def imported_modules(paths) -> set[str]:
    """Top-level names of every module that the files need: imported at any
    depth of the code (inside functions too) or by pytest.importorskip.
    Relative imports and optional ones (in a try statement that catches the
    failed import) are left out."""
    names = set()

    def visit(node: ast.AST) -> None:
        if isinstance(node, ast.Import):
            names.update(alias.name.partition(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names.add(node.module.partition(".")[0])
        elif (isinstance(node, ast.Call) and ast.unparse(node.func) == "pytest.importorskip" and node.args
              and isinstance(node.args[0], ast.Constant)):
            names.add(node.args[0].value.partition(".")[0])
        children = ast.iter_child_nodes(node)
        if isinstance(node, ast.Try) and guarded(node):
            children = [*node.handlers, *node.orelse, *node.finalbody]
        for child in children:
            visit(child)

    for path in paths:
        visit(ast.parse(path.read_text(encoding="utf-8")))
    return names


# ---------------------------------------------------------------------------
# Version


def test_one_version_shown_by_quarlo_version(tmp_path):
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    done = subprocess.run([sys.executable, "-m", "quarlo", "--version"], capture_output=True, text=True,
                          cwd=tmp_path, env=env, timeout=60)
    assert (done.returncode, done.stdout) == (0, f"quarlo {quarlo.__version__}\n")
    assert re.fullmatch(r"\d+\.\d+\.\d+", quarlo.__version__)
    if PYPROJECT.is_file():
        meta = project()
        assert "version" not in meta and "version" in meta["dynamic"]  # written once, in quarlo/__init__.py
    if QUARLO_DIR != ROOT / "quarlo":  # installed: the metadata says the same
        assert importlib.metadata.version("quarlopro") == quarlo.__version__


# ---------------------------------------------------------------------------
# Dependencies

NATIVE_WORKOUT = textwrap.dedent("""
    import argparse, pathlib, sys, tempfile
    before = set(sys.modules)
    from quarlopro import decodekey, jwt_es256, keygen, license, main, protemplate, sign
    directory = pathlib.Path(tempfile.mkdtemp())
    private, public, token = directory / "k.pem", directory / "p.pem", directory / "t.jwt"
    keygen.keygen(argparse.Namespace(private=private, public=public))
    sign.signJwt(argparse.Namespace(payload='{"a": 1}', expires=60, private=private, jwt=token))
    license.showJwt(argparse.Namespace(jwt=token, public=public))
    plugin = main.Plugin(None)
    parser = argparse.ArgumentParser()
    plugin.extendSubParsers(parser.add_subparsers())
    plugin.extendBuildParser(parser)
    plugin.extendBuild(argparse.Namespace(public=public))
    class Compiler:
        def define_macro(self, name, value): pass
    plugin.extendCompiler(Compiler())
    plugin.extendTemplate()
    print(" ".join(sorted({name.partition(".")[0] for name in set(sys.modules) - before})))
""")


def test_runtime_dependencies_are_what_the_package_imports(tmp_path):
    """quarlo's sources, read statically, and the native modules, run
    through every command and hook, import exactly the declared runtime
    dependencies besides the standard library."""
    host = distributions(imported_modules(QUARLO_DIR.glob("*.py")))
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    done = subprocess.run([sys.executable, "-c", NATIVE_WORKOUT], capture_output=True, text=True, cwd=tmp_path,
                          env=env, timeout=120, check=True)
    plugin = distributions(set(done.stdout.split()))
    assert "cython" in plugin  # the template engine
    assert set(host) | set(plugin) == declared()


@pytest.mark.parametrize("directory, extra", [("tests", "test"), ("bench", "bench")])
def test_extras_bring_what_their_code_imports(directory, extra):
    files = sorted((ROOT / directory).glob("*.py"))
    if not files:
        pytest.skip(f"{directory}/ is not here")
    found = distributions(imported_modules(files))
    undeclared = {dist: names for dist, names in found.items() if dist not in declared(extra) | declared()}
    assert undeclared == {}
