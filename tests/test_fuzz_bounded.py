"""The fuzz targets of fuzz/harnesses.py: every committed seed replayed in
this process, and each target fuzzed by atheris for a few seconds
(QRL_FUZZ_SECONDS, default 3) with a fresh corpus. `make fuzz` runs them
longer and keeps the corpus."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import harnesses

FUZZ = pathlib.Path(__file__).resolve().parents[1] / "fuzz"

SECONDS = int(os.environ.get("QRL_FUZZ_SECONDS", "3"))
TARGETS = sorted(harnesses.HARNESSES)


def seeds(name):
    return sorted((FUZZ / "seeds" / name).iterdir())


@pytest.mark.parametrize("name", TARGETS)
def test_seeds_pass_their_target(name, monkeypatch):
    harnesses.prepare(monkeypatch.setattr)
    files = seeds(name)
    assert len(files) >= 3
    for file in files:
        harnesses.HARNESSES[name](file.read_bytes())


def test_every_target_checks_a_function_of_the_package():
    from quarlopro import decodekey, jwt_es256

    modules = {"jwt_es256": jwt_es256, "decodekey": decodekey}
    assert sorted(harnesses.TARGETS) == TARGETS
    for qualified in harnesses.TARGETS.values():
        module, function = qualified.split(".")
        assert callable(getattr(modules[module], function))


def _atheris_missing():
    try:
        import atheris  # noqa: F401
    except ImportError as exc:
        return f"atheris is not installed for this interpreter ({exc}); the seeds above still ran"
    return None


@pytest.mark.skipif(_atheris_missing() is not None, reason=str(_atheris_missing()))
@pytest.mark.parametrize("name", TARGETS)
def test_fuzz_target_for_a_few_seconds(name, tmp_path):
    process = subprocess.run(
        [sys.executable, str(FUZZ / "run.py"), "--seconds", str(SECONDS), "--corpus", str(tmp_path), name],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        text=True, timeout=SECONDS + 300)
    assert process.returncode == 0, process.stdout[-6000:]
    line = next(line for line in process.stdout.splitlines() if line.startswith(name))
    runs = int(re.split(r"\s+", line)[2])
    # libFuzzer runs every seed before it mutates.
    assert runs >= len(seeds(name)) and "no finding" in line, line
    print(line)
