"""Runs the fuzz targets of harnesses.py under atheris (libFuzzer), each in a
process of its own, and prints how many inputs each ran.

    python fuzz/run.py [--seconds N | --runs N] [--corpus DIR] [TARGET ...]
    python fuzz/run.py --reproduce TARGET FILE...   (replays inputs, no atheris)

The corpus of each target grows in DIR/<target> (default fuzz/corpus, which
git ignores); the committed seeds in fuzz/seeds/<target> are read as well.
An input that fails a target is saved as DIR/_crashes/<target>-crash-<hash>
and the run exits with status 1. The package must be importable (installed,
or PYTHONPATH=build/<dir>:.), and the reference models with it
(PYTHONPATH=tests, as `make fuzz` sets it).
"""

import argparse
import os
import pathlib
import re
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
SEEDS = HERE / "seeds"
DICTIONARY = HERE / "tokens.dict"
DONE = re.compile(r"Done (\d+) runs in (\d+) second")


def child(name: str, libfuzzer_args: list) -> None:
    """The fuzzing process of one target (never returns)."""
    import atheris

    # The test libraries the models import are not worth instrumenting.
    import hypothesis  # noqa: F401
    import pytest  # noqa: F401

    with atheris.instrument_imports(include=["harnesses", "reference", "json", "base64"]):
        import harnesses
    harnesses.prepare()
    atheris.Setup([sys.argv[0], *libfuzzer_args], harnesses.HARNESSES[name])
    atheris.Fuzz()


def run_target(name: str, args) -> tuple:
    corpus = pathlib.Path(args.corpus) / name
    crashes = pathlib.Path(args.corpus) / "_crashes"
    corpus.mkdir(parents=True, exist_ok=True)
    crashes.mkdir(parents=True, exist_ok=True)
    limit = [f"-runs={args.runs}"] if args.runs else [f"-max_total_time={args.seconds}"]
    libfuzzer_args = [
        str(corpus), str(SEEDS / name), *limit, f"-dict={DICTIONARY}", "-max_len=8192", "-timeout=30",
        "-rss_limit_mb=4096", f"-artifact_prefix={crashes}/{name}-", "-print_final_stats=1",
    ]
    started = time.monotonic()
    process = subprocess.run([sys.executable, __file__, "--child", name, "--", *libfuzzer_args],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    elapsed = time.monotonic() - started
    done = DONE.findall(process.stdout)
    runs = int(done[-1][0]) if done else None
    return process.returncode, runs, elapsed, process.stdout


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("targets", nargs="*", metavar="TARGET")
    parser.add_argument("--seconds", type=int, default=int(os.environ.get("FUZZ_SECONDS", "60")),
                        help="time per target (default: $FUZZ_SECONDS or 60)")
    parser.add_argument("--runs", type=int, default=0, help="a number of inputs per target instead of a time")
    parser.add_argument("--corpus", default=str(HERE / "corpus"), help="where the corpus grows (default fuzz/corpus)")
    parser.add_argument("--reproduce", action="store_true", help="replay the FILE inputs of one target in-process")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    options = parser.parse_args()

    if options.child:
        child(options.child, options.targets)  # the libFuzzer arguments, after "--"
    import harnesses

    if options.reproduce:
        harnesses.prepare()
        name, files = options.targets[0], options.targets[1:]
        for file in files:
            print(file, harnesses.outcome(harnesses.HARNESSES[name], pathlib.Path(file).read_bytes()))
        return 0

    names = options.targets or list(harnesses.HARNESSES)
    unknown = [name for name in names if name not in harnesses.HARNESSES]
    if unknown:
        parser.error(f"unknown targets: {', '.join(unknown)} (known: {', '.join(harnesses.HARNESSES)})")
    failed = []
    print(f"{'target':24} {'function':42} {'runs':>10} {'time':>7}  result", flush=True)
    for name in names:
        status, runs, elapsed, output = run_target(name, options)
        ok = status == 0 and runs is not None
        print(f"{name:24} {harnesses.TARGETS[name]:42} {runs if runs is not None else '-':>10} {elapsed:6.1f}s  "
              f"{'no finding' if ok else f'FAILED (exit status {status})'}", flush=True)
        if not ok:
            failed.append(name)
            print(output[-6000:], file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
