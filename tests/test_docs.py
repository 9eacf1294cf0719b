"""The reference in docs/ against the package: its examples run and give
what they show, it names every module attribute, every option of the
command line and every error message of the modules."""

import doctest
import pathlib
import re

import pytest

import _qrl_shared
from quarlo import cli
from quarlo.plugins import PluginManager
from quarlopro import decodekey, jwt_es256, keygen, license, main, protemplate, sign

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.glob("*.md"))

if not PAGES:
    pytest.skip("the docs/ directory is not here", allow_module_level=True)

FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def examples(page: pathlib.Path) -> list[tuple[int, str]]:
    """(line number, text) of each ```pycon block of a page."""
    text = page.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(2)) for m in FENCE.finditer(text) if m.group(1) == "pycon"]


@pytest.mark.parametrize("page", [p for p in PAGES if examples(p)], ids=lambda p: p.name)
def test_examples_give_what_they_show(page, tmp_path, monkeypatch):
    """The interactive examples of a page run in order, in one namespace and
    an empty working directory, and print exactly what the page shows
    (`...` stands for any text)."""
    monkeypatch.chdir(tmp_path)
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    namespace: dict = {}
    report = []
    for line, text in examples(page):
        test = parser.get_doctest(text, namespace, f"{page.name}:{line}", str(page), line - 1)
        runner.run(test, out=report.append, clear_globs=False)
        namespace = test.globs  # the next block goes on from here (DocTest copies what it is given)
    assert runner.failures == 0, "".join(report)


def mentioned(page: str) -> set[str]:
    """Every word written as code on a page: `name`, `module.name`, `name(…)`."""
    text = (DOCS / page).read_text(encoding="utf-8")
    words = set()
    for code in re.findall(r"`([^`\n]+)`", text):
        words.update(re.findall(r"[A-Za-z_][A-Za-z0-9_]*", code))
    return words


MODULE_PAGES = {
    jwt_es256: "jwt_es256.md",
    decodekey: "decodekey.md",
    main: "plugin.md",
    keygen: "plugin.md",
    sign: "plugin.md",
    license: "plugin.md",
    protemplate: "plugin.md",
    _qrl_shared: "README.md",
}


@pytest.mark.parametrize("module", MODULE_PAGES, ids=lambda m: m.__name__)
def test_every_module_attribute_is_documented(module):
    names = {name for name in vars(module) if not (name.startswith("__") and name.endswith("__"))}
    if module is main:
        names |= {name for name in vars(main.Plugin) if not name.startswith("__")} | {
            "pluginManager", "withRuntimeJwt", "withStringCompression", "runtimeJwtPublic"}
    assert sorted(names - mentioned(MODULE_PAGES[module])) == []


def test_every_command_and_option_is_documented():
    text = (DOCS / "cli.md").read_text(encoding="utf-8")
    parser = cli.make_parser(PluginManager().load())
    [subcommands] = [a for a in parser._actions if a.choices and isinstance(a.choices, dict)]
    missing = []
    for action in parser._actions:
        missing += [option for option in action.option_strings if f"`{option}" not in text]
    for name, subparser in subcommands.choices.items():
        if f"\n## quarlo {name}\n" not in text:
            missing.append(f"section quarlo {name}")
        for action in subparser._actions:
            missing += [f"{name} {option}" for option in action.option_strings if f"`{option}" not in text]
            if not action.option_strings and action.dest.upper() not in text:
                missing.append(f"{name} {action.dest.upper()}")
        if subcommands.choices[name].description and name != "build":
            # a plug-in command's help text is its description
            assert subcommands.choices[name].description in text
    assert missing == []


def source_messages() -> set[str]:
    """The fixed ValueError messages raised by the modules' sources."""
    messages = set()
    for source in (ROOT / "quarlopro").glob("**/*.cpp"):
        text = source.read_text(encoding="utf-8")
        messages.update(re.findall(r'value_error\("([^"]+)"\)', text))
        messages.update(re.findall(r'reject\([^,()]+(?:\([^()]*\))?, "([^"]+)"\)', text))
    der = ROOT / "der" / "der.cpp"  # the messages of the DER signature reader
    if der.exists():
        messages.update(re.findall(r'return "([^"]+)";', der.read_text(encoding="utf-8")))
    for template in (ROOT / "quarlopro" / "templates").glob("*.pyx"):
        messages.update(re.findall(r'raise ValueError\("([^"]+)"\)', template.read_text(encoding="utf-8")))
    return messages


def test_every_error_message_is_documented():
    messages = source_messages()
    if not messages:
        pytest.skip("the sources of the modules are not here")
    assert len(messages) > 40  # the scan still finds them
    text = " ".join(page.read_text(encoding="utf-8") for page in PAGES)
    assert sorted(m for m in messages if m not in text) == []
