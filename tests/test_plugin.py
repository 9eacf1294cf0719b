"""The plug-in class of quarlopro.main: its shape, the argument hooks and the
build hooks (runtime key block, compression macro, template rendering)."""

import argparse
import ast
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import quarlopro.main as main
import quarlopro.protemplate as protemplate

METHODS = ["__init__", "extendSubParsers", "extendBuildParser", "extendBuild", "extendCompiler",
           "extendTemplate", "getCompileArgs", "getLinkerArgs"]


def python_env() -> dict:
    """The environment with PYTHONPATH made absolute, for child interpreters
    started in another directory."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    return env


def write_public_key(path: pathlib.Path, curve="SECP256R1"):
    """A new key of cryptography's `curve` class; returns its public numbers."""
    serialization = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    key = ec.generate_private_key(getattr(ec, curve)())
    path.write_bytes(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                   serialization.PublicFormat.SubjectPublicKeyInfo))
    return key.public_key().public_numbers()


class RecordingCompiler:
    def __init__(self):
        self.calls = []

    def define_macro(self, *args, **kwargs):
        self.calls.append((args, kwargs))


@pytest.fixture
def plugin():
    return main.Plugin("the manager")


def test_module_shape():
    assert main.logger.name == main.__file__
    assert [name for name in vars(main.Plugin) if not name.startswith("__") or name == "__init__"] == METHODS
    assert main.Plugin.__bases__ == (object,)
    assert main.Plugin.__module__ == "quarlopro.main"
    assert {k for k in vars(main.Plugin) if k not in METHODS} <= {"__module__", "__doc__", "__dict__", "__weakref__"}
    assert [k for k in vars(protemplate) if not k.startswith("__")] == ["proBootstrapPxdTemplate",
                                                                       "proBootstrapTemplate"]


def test_plugin_keeps_only_instance_attributes(plugin):
    assert vars(plugin) == {"pluginManager": "the manager"}
    plugin.extendBuild(argparse.Namespace(public=None))
    assert vars(plugin) == {"pluginManager": "the manager", "withRuntimeJwt": True,
                            "withStringCompression": True, "runtimeJwtPublic": None}
    assert not hasattr(main.Plugin, "runtimeJwtPublic")


def test_methods_bind_and_check_their_arguments(plugin):
    assert plugin.getLinkerArgs.__self__ is plugin
    with pytest.raises(TypeError):
        plugin.getCompileArgs(1)
    with pytest.raises(TypeError):
        main.Plugin()
    assert plugin.getLinkerArgs(exeName=None, libraryPath=None) == {}


def test_compile_and_linker_args_are_new_empty_objects(plugin):
    first, second = plugin.getCompileArgs(), plugin.getCompileArgs()
    assert first == second == [] and first is not second
    first.append("-O0")
    assert plugin.getCompileArgs() == []
    a, b = plugin.getLinkerArgs("prog", "/lib"), plugin.getLinkerArgs(1, object())
    assert a == b == {} and a is not b


def test_build_parser_option(plugin):
    parser = argparse.ArgumentParser()
    plugin.extendBuildParser(parser)
    assert parser.parse_args([]).public is None
    assert parser.parse_args(["--public", "k.pem"]).public == pathlib.Path("k.pem")
    assert "PEM public key for runtime JWT verification API (Pro)" in " ".join(parser.format_help().split())
    with pytest.raises(argparse.ArgumentError):
        plugin.extendBuildParser(parser)  # the host's own error for a clash


def test_importing_main_loads_no_sibling_and_works_without_them(tmp_path):
    script = textwrap.dedent("""
        import argparse, sys
        import quarlopro  # its finder goes first in sys.meta_path; the blocker goes before it
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name in ("quarlopro.jwt_es256", "quarlopro.decodekey", "quarlopro.protemplate"):
                    raise ImportError("blocked " + name)
        sys.meta_path.insert(0, Block())
        import quarlopro.main as main
        print(sorted(m for m in sys.modules if m.startswith(("quarlopro.", "Cython"))))
        p = main.Plugin(None)
        p.extendBuild(argparse.Namespace(public=None))
        try:
            p.extendBuild(argparse.Namespace(public=__import__("pathlib").Path(sys.argv[1])))
        except ImportError as error:
            print("ImportError", error, p.runtimeJwtPublic)
    """)
    key = tmp_path / "k.pem"
    write_public_key(key)
    out = subprocess.run([sys.executable, "-c", script, str(key)], capture_output=True, text=True,
                         env=python_env(), cwd=tmp_path, check=True).stdout.splitlines()
    assert out == ["['quarlopro.main']", "ImportError blocked quarlopro.decodekey None"]


def test_extend_build_makes_the_key_block_and_resets_it(plugin, tmp_path):
    numbers = write_public_key(tmp_path / "k.pem")
    plugin.extendBuild(argparse.Namespace(public=tmp_path / "k.pem"))
    assert plugin.runtimeJwtPublic == numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")
    plugin.extendBuild(argparse.Namespace(public=None))
    assert plugin.runtimeJwtPublic is None


@pytest.mark.parametrize("case, error, message", [
    ("missing", FileNotFoundError, "No such file"),
    ("p384", ValueError, "Unsupported JWK key type or curve"),
    ("not_pem", ValueError, "PUBLIC KEY"),
])
def test_extend_build_errors_propagate_without_a_key(plugin, tmp_path, case, error, message):
    good = tmp_path / "good.pem"
    write_public_key(good)
    plugin.extendBuild(argparse.Namespace(public=good))
    path = tmp_path / "key.pem"
    if case == "p384":
        write_public_key(path, "SECP384R1")
    elif case == "not_pem":
        path.write_text("hello\n")
    with pytest.raises(error, match=message):
        plugin.extendBuild(argparse.Namespace(public=path))
    assert plugin.runtimeJwtPublic is None


def test_extend_compiler_defines_the_integer_macro(plugin):
    compiler = RecordingCompiler()
    with pytest.raises(AttributeError, match="withStringCompression"):
        plugin.extendCompiler(compiler)
    plugin.extendBuild(argparse.Namespace(public=None))
    plugin.extendCompiler(compiler)
    assert compiler.calls == [(("CYTHON_COMPRESS_STRINGS", 90), {})]
    assert type(compiler.calls[0][0][1]) is int
    plugin.withStringCompression = False
    plugin.extendCompiler(compiler)
    assert len(compiler.calls) == 1


def test_extend_template_before_build_raises(plugin):
    with pytest.raises(AttributeError, match="runtimeJwtPublic"):
        plugin.extendTemplate()


def test_extend_template_result(plugin, tmp_path):
    numbers = write_public_key(tmp_path / "k.pem")
    plugin.extendBuild(argparse.Namespace(public=tmp_path / "k.pem"))
    first, second = plugin.extendTemplate(), plugin.extendTemplate()
    assert list(first) == ["pxd", "code", "exports", "features"]
    assert first == second and first is not second and first["code"] is not second["code"]
    first["code"]["pro"] = "changed"
    assert second["code"]["pro"] != "changed"
    assert second["pxd"] == {"pro": protemplate.proBootstrapPxdTemplate}
    assert second["exports"] == {} and second["features"] == {"jwt_verify": True}

    code = second["code"]["pro"]
    assert "{{" not in code
    literal = next(line for line in code.splitlines() if line.strip().startswith("blockXy = "))
    block = ast.literal_eval(literal.split("=", 1)[1].strip())
    assert block == numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big") == plugin.runtimeJwtPublic


def test_extend_template_without_key_renders_the_refusing_branch(plugin):
    plugin.extendBuild(argparse.Namespace(public=None))
    code = plugin.extendTemplate()["code"]["pro"]
    body = code.split("cdef _rt_verify_ecdsa_p256_sha256(message, signature):")[1].split("\ncdef ")[0]
    assert "blockXy" not in body and "{{" not in body
    # The range test on r and s is followed directly by the refusal.
    assert "        return False\n    return False\n" in body
