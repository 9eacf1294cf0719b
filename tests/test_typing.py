"""The type stubs: every name of the eight modules has one, the declared
types are the functions' own (__annotations__), mypy's stubtest finds no
mismatch with the modules as imported, and `mypy --strict` accepts a program
that uses the API (tests/typing_example.py) while it refuses misuse.

The stubs checked are the ones beside the modules that the tests import:
the installed ones when the package is installed, else the source tree's."""

import ast
import importlib
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import _qrl_shared
import quarlopro

mypy = pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extra)")

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = pathlib.Path(__file__).resolve().parent / "typing_example.py"
SUBMODULES = ("main", "keygen", "sign", "license", "jwt_es256", "decodekey", "protemplate")
MODULES = ("_qrl_shared", *(f"quarlopro.{name}" for name in SUBMODULES))
PACKAGE_DIR = pathlib.Path(quarlopro.__file__).resolve().parent
# Installed unless the package is the source tree's own (a venv may live inside the tree).
INSTALLED = PACKAGE_DIR != ROOT / "quarlopro"


def stub_path(module_name: str) -> pathlib.Path:
    if module_name == "_qrl_shared":
        beside = pathlib.Path(_qrl_shared.__file__).resolve().parent / "_qrl_shared.pyi"
        return beside if beside.is_file() else ROOT / "_qrl_shared.pyi"
    return PACKAGE_DIR / (module_name.rpartition(".")[2] + ".pyi")


def stub_tree(module_name: str) -> ast.Module:
    return ast.parse(stub_path(module_name).read_text(encoding="utf-8"))


def stub_only(node: ast.stmt) -> bool:
    """Helpers that exist for the type checker alone: type aliases and
    classes marked @type_check_only."""
    if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias":
        return True
    return isinstance(node, ast.ClassDef) and any(ast.unparse(d) == "type_check_only" for d in node.decorator_list)


def stub_names(tree: ast.Module) -> dict[str, ast.stmt]:
    """The names that a stub gives its module, with the statement that binds
    each. A plain `import x` binds nothing for the module's users; `import x
    as x` re-exports it."""
    names: dict[str, ast.stmt] = {}
    for node in tree.body:
        if stub_only(node):
            continue
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Import):
            names.update((alias.asname, node) for alias in node.names if alias.asname == alias.name)
    return names


# What the import system sets on every module.
IMPORT_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__cached__",
                     "__builtins__", "__path__"}


def runtime_names(module) -> set[str]:
    return set(vars(module)) - IMPORT_ATTRIBUTES


def env_for_tools() -> dict[str, str]:
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    env.pop("MYPYPATH", None)
    return env


@pytest.fixture(scope="module")
def tool_dir(tmp_path_factory) -> pathlib.Path:
    """Where mypy and stubtest run. Installed: an empty directory, so they see
    exactly what a user's project sees. Source tree: the tree's root, where
    _qrl_shared.pyi lies beside the package."""
    return tmp_path_factory.mktemp("typing") if INSTALLED else ROOT


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory) -> pathlib.Path:
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(cwd: pathlib.Path, cache: pathlib.Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cache), "--no-error-summary",
                           "--hide-error-context", "--no-color-output", *args],
                          capture_output=True, text=True, cwd=cwd, env=env_for_tools(), timeout=600)


# ---------------------------------------------------------------------------
# The stubs against the modules, name by name


@pytest.mark.parametrize("module_name", MODULES)
def test_every_name_of_the_module_has_a_stub_and_no_other(module_name):
    module = importlib.import_module(module_name)
    names = stub_names(stub_tree(module_name))
    assert sorted(runtime_names(module) - names.keys()) == [], "names without a stub"
    assert sorted(names.keys() - runtime_names(module)) == [], "stubs of names the module does not have"


def functions_of(module):
    """(qualified name, function object) of every function and method."""
    for name, value in vars(module).items():
        if isinstance(value, _qrl_shared.function):
            yield name, value
        elif isinstance(value, type) and value.__module__ == module.__name__:
            for attr, member in vars(value).items():
                if isinstance(member, _qrl_shared.function):
                    yield f"{name}.{attr}", member


def stub_function(tree: ast.Module, qualname: str) -> ast.FunctionDef:
    scope = tree.body
    *outer, name = qualname.split(".")
    for part in outer:
        scope = next(n for n in scope if isinstance(n, ast.ClassDef) and n.name == part).body
    return next(n for n in scope if isinstance(n, ast.FunctionDef) and n.name == name)


@pytest.mark.parametrize("module_name", MODULES[1:])
def test_declared_types_are_the_stubs_types(module_name):
    """Where a function declares a type (its __annotations__), the stub says
    the same, word for word; the stub has exactly its parameters, in order,
    with the same defaults."""
    module = importlib.import_module(module_name)
    tree = stub_tree(module_name)
    checked = 0
    for qualname, function in functions_of(module):
        node = stub_function(tree, qualname)
        arguments = node.args
        assert not (arguments.posonlyargs or arguments.vararg or arguments.kwonlyargs or arguments.kwarg), qualname
        stub_annotations = {a.arg: ast.unparse(a.annotation) for a in arguments.args if a.annotation is not None}
        stub_annotations["return"] = ast.unparse(node.returns)
        for name, text in function.__annotations__.items():
            assert stub_annotations.get(name) == text, f"{qualname}: {name}"
            checked += 1
        signature = inspect.signature(function)
        assert [a.arg for a in arguments.args] == list(signature.parameters), qualname
        stub_defaults = [ast.literal_eval(d) for d in arguments.defaults]
        runtime_defaults = [p.default for p in signature.parameters.values() if p.default is not p.empty]
        assert stub_defaults == runtime_defaults, qualname
    assert checked or module_name.endswith(("keygen", "license", "main", "protemplate"))


# ---------------------------------------------------------------------------
# mypy


def test_stubtest_finds_no_mismatch(tool_dir, cache_dir):
    config = cache_dir / "stubtest.ini"  # only to keep mypy's cache out of the working directory
    config.write_text(f"[mypy]\ncache_dir = {cache_dir / 'stubtest'}\n")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "--mypy-config-file", str(config),
                           "quarlopro", "_qrl_shared"],
                          capture_output=True, text=True, cwd=tool_dir, env=env_for_tools(), timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_strict_accepts_the_example(tool_dir, cache_dir):
    example = EXAMPLE
    if INSTALLED:
        example = tool_dir / EXAMPLE.name
        shutil.copy(EXAMPLE, example)
    done = run_mypy(tool_dir, cache_dir, "--strict", str(example))
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_example_runs(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, cwd=tmp_path,
                          env=env_for_tools(), timeout=300)
    assert done.returncode == 0 and done.stdout.endswith("ok\n"), done.stdout + done.stderr


MISUSE = {
    "token as bytes": "jwt_es256.verify_es256_jwt(b'a.b.c', (1, 2))",
    "key as a list": "jwt_es256.verify_es256_jwt('a.b.c', [1, 2])",
    "header not a dict": "jwt_es256.sign_es256_jwt({}, 1, header=[('kid', 'k')])",
    "claims used as text": "text: str = jwt_es256.verify_es256_jwt('a.b.c', (1, 2))",
    "private key as text": "jwt_es256.sign_es256_jwt({}, '1')",
    "d is an int": "d: str = jwt_es256.private_key_d_from_jwk({})",
    "DER as text": "decodekey.der_spki_ec_to_jwk('MFkw')",
    "PEM as bytes": "decodekey.pem_private_key_to_jwk(b'-----BEGIN')",
    "unknown keyword": "decodekey.jwk_to_pem(key={})",
    "key block may be None": "size = len(main.Plugin(None).runtimeJwtPublic)",
    "key files need write_bytes": "keygen.createKeypair('private.pem', 'public.pem')",
    "templates are text": "data: bytes = protemplate.proBootstrapTemplate",
    "constants are ints": "name: str = jwt_es256._P256_N",
    "no such function": "jwt_es256.verify_token('a.b.c')",
}


def test_mypy_refuses_misuse(tool_dir, cache_dir, tmp_path):
    """Each line misuses the API in one way; mypy must report every one."""
    lines = ["from quarlopro import decodekey, jwt_es256, keygen, main, protemplate", ""]
    first = len(lines) + 1
    lines += MISUSE.values()
    program = (tool_dir if INSTALLED else tmp_path) / "misuse.py"
    program.write_text("\n".join(lines) + "\n")
    done = run_mypy(tool_dir, cache_dir, "--strict", str(program))
    reported = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    missed = [case for number, case in enumerate(MISUSE, first) if number not in reported]
    assert missed == [], done.stdout


def test_stubs_are_shipped_as_typed_package():
    assert (PACKAGE_DIR / "py.typed").is_file()
    if INSTALLED:
        site = pathlib.Path(_qrl_shared.__file__).resolve().parent
        assert (site / "_qrl_shared.pyi").read_text() == (site / "_qrl_shared-stubs" / "__init__.pyi").read_text()
