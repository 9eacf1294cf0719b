"""Times quarlopro's operations against what a user would pick instead.

Each row runs our operation and its peers on the same inputs in one process,
one after the other, and reports the median time per operation (timeit with
warm-up and repeats), the ratio to each peer and operations per second.
Targets are ratios measured in the same run. The table is printed and the
run is written as JSON to --out (default build/bench/latest.json, which git
ignores), so that running a benchmark never changes the tree. Recording a
run is a separate step: --record FILE copies a run's JSON into bench/results/
(latest.json and a time-stamped copy) and, with --readme, writes its table
into README.md between the bench markers.

    python bench/run.py [--quick] [--out FILE] [--free-threaded PYTHON]
                        [--generic-library DIR]       (make bench)
    python bench/run.py --record FILE [--readme README.md]   (make bench-record)
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import pathlib
import platform
import statistics
import sys
import subprocess
import timeit
from dataclasses import dataclass, field
from typing import Callable

import cryptography
import ecdsa as python_ecdsa
import joserfc
import jwt as pyjwt
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
from joserfc import jwt as joserfc_jwt
from joserfc.jwk import ECKey

from quarlopro import decodekey, jwt_es256

import threads as thread_bench

ROOT = pathlib.Path(__file__).resolve().parents[1]
RESULTS = ROOT / "bench" / "results"
DEFAULT_OUT = ROOT / "build" / "bench" / "latest.json"


@dataclass
class Row:
    name: str
    ours: Callable[[], object]
    peers: dict[str, Callable[[], object]] = field(default_factory=dict)
    # (peer name, largest allowed ratio ours/peer)
    target: tuple[str, float] | None = None
    number_hint: int | None = None


def time_per_op(fn: Callable[[], object], repeats: int, min_seconds: float, number: int | None = None) -> float:
    """Median seconds per call over `repeats` runs of a calibrated loop."""
    timer = timeit.Timer(fn)
    if number is None:
        number, _ = timer.autorange()  # also warms up
        number = max(1, int(number * min_seconds / 0.2))
    else:
        timer.timeit(1)
    runs = timer.repeat(repeat=repeats, number=number)
    return statistics.median(runs) / number


def cpu_model() -> str:
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def machine_line() -> str:
    return (
        f"Python {platform.python_version()} ({platform.python_implementation()}), {cpu_model()}, "
        f"{os.cpu_count()} cores; quarlopro {quarlopro_version()}, cryptography {cryptography.__version__}, "
        f"PyJWT {pyjwt.__version__}, joserfc {joserfc.__version__}, ecdsa {python_ecdsa.__version__}"
    )


def quarlopro_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("quarlopro")
    except PackageNotFoundError:
        return "dev"


class ExactPath:
    """Forces the exact (Python-int) path: an equal but distinct _INF fails
    the fast path's identity check without changing behaviour."""

    def __enter__(self):
        self.saved = jwt_es256._INF
        jwt_es256._INF = (None, None)

    def __exit__(self, *exc):
        jwt_es256._INF = self.saved


def build_rows() -> list[Row]:
    message = b"The quick brown fox jumps over the lazy dog" * 3
    claims = {"sub": "user-1234", "aud": "api", "iss": "https://issuer.example", "scope": "read write"}

    # One P-256 key for everybody.
    private_jwk, public_jwk = jwt_es256.generate_es256_keypair_jwk()
    d = jwt_es256.private_key_d_from_jwk(private_jwk)
    xy = jwt_es256.public_key_xy_from_jwk(public_jwk)
    crypto_private = ec.derive_private_key(d, ec.SECP256R1())
    crypto_public = crypto_private.public_key()
    ecdsa_private = python_ecdsa.SigningKey.from_secret_exponent(d, curve=python_ecdsa.NIST256p,
                                                                 hashfunc=__import__("hashlib").sha256)
    ecdsa_public = ecdsa_private.get_verifying_key()
    joserfc_key = ECKey.import_key(private_jwk)

    raw_signature = jwt_es256._sign_ecdsa_p256_sha256(message, d)
    r, s = int.from_bytes(raw_signature[:32], "big"), int.from_bytes(raw_signature[32:], "big")
    der_signature = encode_dss_signature(r, s)
    ecdsa_alg = ec.ECDSA(hashes.SHA256())

    token = jwt_es256.sign_es256_jwt(claims, d)
    # Tokens are interoperable, so each verifier gets the same token.
    assert pyjwt.decode(token, crypto_public, algorithms=["ES256"], audience="api")["sub"] == "user-1234"

    public_pem = decodekey.jwk_public_key_to_pem(public_jwk)
    private_pem = decodekey.jwk_private_key_to_pem(private_jwk)
    crypto_loaded_private = serialization.load_pem_private_key(private_pem.encode(), None)
    pkcs8 = (serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())

    def crypto_keygen_jwk() -> dict:
        key = ec.generate_private_key(ec.SECP256R1())
        numbers = key.private_numbers()
        b64 = jwt_es256._int_to_b64url_32
        public_numbers = numbers.public_numbers
        return {"kty": "EC", "crv": "P-256", "x": b64(public_numbers.x), "y": b64(public_numbers.y),
                "d": b64(numbers.private_value)}

    def ours_read_public_pem() -> dict:
        return decodekey.der_spki_ec_to_jwk(decodekey.pem_public_key_to_der(public_pem))

    g = (jwt_es256._P256_GX, jwt_es256._P256_GY)

    def exact(fn: Callable[[], object]) -> Callable[[], object]:
        def run() -> object:
            with ExactPath():
                return fn()
        return run

    return [
        Row("verify_es256_jwt", lambda: jwt_es256.verify_es256_jwt(token, xy, expected_aud="api"),
            {"PyJWT decode": lambda: pyjwt.decode(token, crypto_public, algorithms=["ES256"], audience="api"),
             "joserfc decode": lambda: joserfc_jwt.decode(token, joserfc_key)},
            target=("PyJWT decode", 0.8)),
        Row("sign_es256_jwt", lambda: jwt_es256.sign_es256_jwt(claims, d),
            {"PyJWT encode": lambda: pyjwt.encode(claims, crypto_private, algorithm="ES256"),
             "joserfc encode": lambda: joserfc_jwt.encode({"alg": "ES256"}, claims, joserfc_key)},
            target=("PyJWT encode", 0.6)),
        Row("_verify_ecdsa_p256_sha256", lambda: jwt_es256._verify_ecdsa_p256_sha256(message, raw_signature, xy),
            {"cryptography verify": lambda: crypto_public.verify(der_signature, message, ecdsa_alg),
             "python-ecdsa verify": lambda: ecdsa_public.verify(raw_signature, message)},
            target=("cryptography verify", 1.0)),
        Row("_sign_ecdsa_p256_sha256", lambda: jwt_es256._sign_ecdsa_p256_sha256(message, d),
            {"cryptography sign": lambda: crypto_private.sign(message, ecdsa_alg),
             "python-ecdsa sign": lambda: ecdsa_private.sign_deterministic(message)},
            target=("cryptography sign", 0.7)),
        Row("generate_es256_keypair_jwk", jwt_es256.generate_es256_keypair_jwk,
            {"cryptography keygen + JWK": crypto_keygen_jwk},
            # No slower than before signing moved into the engine (0.74 on
            # an Intel Sapphire Rapids machine of this kind).
            target=("cryptography keygen + JWK", 0.75)),
        Row("PEM public key -> JWK", ours_read_public_pem,
            {"cryptography load PEM public": lambda: serialization.load_pem_public_key(public_pem.encode())},
            target=("cryptography load PEM public", 1.0)),
        Row("pem_private_key_to_jwk", lambda: decodekey.pem_private_key_to_jwk(private_pem),
            {"cryptography load PEM private": lambda: serialization.load_pem_private_key(private_pem.encode(), None)}),
        # The peer's key is built from the JWK's numbers, as a user holding the
        # JWK would build it. A key loaded from PEM is shown too: recent
        # cryptography releases serialise those several times faster
        # (apparently from what they loaded), which is not the same work.
        Row("jwk_private_key_to_pem", lambda: decodekey.jwk_private_key_to_pem(private_jwk),
            {"cryptography serialize PKCS#8": lambda: crypto_private.private_bytes(*pkcs8),
             "cryptography serialize PKCS#8 (key loaded from PEM)":
                 lambda: crypto_loaded_private.private_bytes(*pkcs8)},
            target=("cryptography serialize PKCS#8", 1.0)),
        Row("_scalar_mult (random 256-bit k, base point)", lambda: jwt_es256._scalar_mult(d, g),
            {"exact path": exact(lambda: jwt_es256._scalar_mult(d, g))},
            target=("exact path", 1 / 200)),
        Row("_scalar_mult (random 256-bit k, other point)", lambda: jwt_es256._scalar_mult(d, xy),
            {"exact path": exact(lambda: jwt_es256._scalar_mult(d, xy))},
            target=("exact path", 1 / 200)),
        Row("_verify_ecdsa_p256_sha256 fast vs exact", lambda: jwt_es256._verify_ecdsa_p256_sha256(message, raw_signature, xy),
            {"exact path": exact(lambda: jwt_es256._verify_ecdsa_p256_sha256(message, raw_signature, xy))},
            target=("exact path", 1 / 200)),
        Row("_sign_ecdsa_p256_sha256 fast vs exact", lambda: jwt_es256._sign_ecdsa_p256_sha256(message, d),
            {"exact path": exact(lambda: jwt_es256._sign_ecdsa_p256_sha256(message, d))},
            target=("exact path", 1 / 200)),
    ]


def fmt_time(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} µs"


# Two threads against one: the least speedup each build must reach.
THREAD_TARGETS = {
    "GIL": {"_sign_ecdsa_p256_sha256": 1.7, "sign_es256_jwt": 1.7, "_verify_ecdsa_p256_sha256": 1.7},
    "free-threaded": {name: 1.8 for name in ("_sign_ecdsa_p256_sha256", "_verify_ecdsa_p256_sha256", "sign_es256_jwt",
                                             "verify_es256_jwt", "generate_es256_keypair_jwk")},
}
# The generic arithmetic forced on a CPU that has the assembly's instructions
# (a library built with QRL_ENGINE_ADX=OFF) against the dispatched library.
GENERIC_LIMIT = 1.5
GENERIC_SCRIPT = """
import json, sys, timeit, statistics
from quarlopro import jwt_es256 as j
message = b"The quick brown fox jumps over the lazy dog" * 3
d = 0x3E1F0A5D7C9B2468ACE13579BDF02468ACE13579BDF02468ACE13579BDF0246
xy = j._scalar_mult(d, (j._P256_GX, j._P256_GY))
signature = j._sign_ecdsa_p256_sha256(message, d)
calls = {"_sign_ecdsa_p256_sha256": lambda: j._sign_ecdsa_p256_sha256(message, d),
         "_verify_ecdsa_p256_sha256": lambda: j._verify_ecdsa_p256_sha256(message, signature, xy)}
times = {name: statistics.median(timeit.repeat(fn, number=500, repeat=int(sys.argv[1]))) / 500
         for name, fn in calls.items()}
print(json.dumps({"engine": j.__engine__, "times": times}))
"""


def thread_entries(rows: list[dict]) -> list[dict]:
    entries = []
    for row in rows:
        entry = dict(row, operation=f"{row['operation']}, 2 threads vs 1 ({row['build']} build)")
        minimum = THREAD_TARGETS[row["build"]].get(row["operation"])
        if minimum is not None:
            entry["target"] = {"min_speedup": minimum, "met": row["speedup"] >= minimum}
        entries.append(entry)
        verdict = f" (target >= {minimum}x: {'met' if entry['target']['met'] else 'MISSED'})" if minimum else ""
        low, high = row["speedup_range"]
        print(f"{entry['operation']:<64} {row['one_thread_ops']:9.0f}/s -> {row['two_threads_ops']:9.0f}/s  "
              f"{row['speedup']:.2f}x (medians {row['speedup_median']:.2f}x, rounds {low:.2f}-{high:.2f}x)"
              + verdict, flush=True)
    return entries


def free_threaded_rows(python: str, seconds: float, rounds: int) -> list[dict]:
    """The thread rows measured by a free-threaded interpreter with quarlopro installed."""
    done = subprocess.run([python, str(pathlib.Path(__file__).with_name("threads.py")), "--json",
                           "--seconds", str(seconds), "--rounds", str(rounds)],
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise SystemExit(f"bench: the free-threaded run failed:\n{done.stderr[-3000:]}")
    rows = json.loads(done.stdout)
    if any(row["build"] != "free-threaded" for row in rows):
        raise SystemExit(f"bench: {python} is not a free-threaded interpreter")
    return rows


def generic_rows(library: str, repeats: int) -> list[dict]:
    """Sign and verify with the dispatched library and with one forced to the
    generic arithmetic, each in a fresh process."""
    def times(pythonpath: str | None) -> dict:
        env = dict(os.environ)
        if pythonpath:
            env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(pythonpath).resolve()), str(ROOT)])
        done = subprocess.run([sys.executable, "-c", GENERIC_SCRIPT, str(repeats)], capture_output=True, text=True,
                              env=env, check=True, cwd=ROOT / "build")
        return json.loads(done.stdout)
    dispatched, generic = times(None), times(library)
    if not generic["engine"].startswith("generic"):
        raise SystemExit(f"bench: {library} runs {generic['engine']}, not the generic arithmetic")
    entries = []
    for name, ours in dispatched["times"].items():
        forced = generic["times"][name]
        ratio = forced / ours
        entries.append({"operation": f"{name}, generic arithmetic forced vs dispatched ({dispatched['engine']})",
                        "ours_s": forced, "ops_per_s": 1 / forced,
                        "peers": {"dispatched": {"time_s": ours, "ratio": ratio}},
                        "target": {"peer": "dispatched", "max_ratio": GENERIC_LIMIT, "ratio": ratio,
                                   "met": ratio <= GENERIC_LIMIT}})
        print(format_entry(entries[-1]), flush=True)
    return entries


def run(quick: bool, free_threaded: str | None, generic_library: str | None) -> dict:
    repeats, min_seconds, thread_seconds, thread_rounds = (3, 0.05, 0.3, 3) if quick else (7, 0.2, 1.0, 5)
    results = []
    for row in build_rows():
        ours = time_per_op(row.ours, repeats, min_seconds)
        peers = {}
        for peer, fn in row.peers.items():
            slow = peer == "exact path"
            peers[peer] = time_per_op(fn, 3 if slow else repeats, min_seconds, number=1 if slow else None)
        entry = {"operation": row.name, "ours_s": ours, "ops_per_s": 1 / ours,
                 "peers": {p: {"time_s": t, "ratio": ours / t} for p, t in peers.items()}}
        if row.target:
            peer, limit = row.target
            ratio = ours / peers[peer]
            entry["target"] = {"peer": peer, "max_ratio": limit, "ratio": ratio, "met": ratio <= limit}
        results.append(entry)
        print(format_entry(entry), flush=True)
    if generic_library:
        results += generic_rows(generic_library, repeats)
    thread_rows = thread_entries(thread_bench.measure(thread_seconds, thread_rounds))
    if free_threaded:
        thread_rows += thread_entries(free_threaded_rows(free_threaded, thread_seconds, thread_rounds))
    return {"machine": machine_line(), "date": datetime.datetime.now().isoformat(timespec="seconds"),
            "quick": quick, "rows": results, "threads": thread_rows}


def format_entry(entry: dict) -> str:
    parts = [f"{entry['operation']:<42} {fmt_time(entry['ours_s']):>10} ({entry['ops_per_s']:9.0f}/s)"]
    for peer, data in entry["peers"].items():
        parts.append(f"{peer}: {fmt_time(data['time_s'])} ratio {data['ratio']:.3f}")
    if "target" in entry:
        t = entry["target"]
        parts.append(f"target <= {t['max_ratio']:.3g}: {'met' if t['met'] else 'MISSED'}")
    return " | ".join(parts)


def markdown(report: dict) -> str:
    lines = [f"Measured by `make bench` on {report['date']}: {report['machine']}.", "",
             "| operation | ours | ops/s | peer | peer time | ratio | target |",
             "|---|---|---|---|---|---|---|"]
    for entry in report["rows"]:
        first = True
        for peer, data in entry["peers"].items():
            target = ""
            if "target" in entry and entry["target"]["peer"] == peer:
                t = entry["target"]
                target = f"≤ {t['max_ratio']:.3g} {'✓' if t['met'] else '✗'}"
            head = (f"| {entry['operation']} | {fmt_time(entry['ours_s'])} | {entry['ops_per_s']:.0f} "
                    if first else "| | | ")
            lines.append(f"{head}| {peer} | {fmt_time(data['time_s'])} | {data['ratio']:.3f} | {target} |")
            first = False
    for entry in report["threads"]:
        target = ""
        if "target" in entry:
            target = f"≥ {entry['target']['min_speedup']:.3g} {'✓' if entry['target']['met'] else '✗'}"
        lines.append(f"| {entry['operation']} | {entry['two_threads_ops']:.0f}/s | | 1 thread | "
                     f"{entry['one_thread_ops']:.0f}/s | {entry['speedup']:.2f}× (medians "
                     f"{entry['speedup_median']:.2f}×) | {target} |")
    return "\n".join(lines) + "\n"


def write_readme(readme: pathlib.Path, table: str) -> None:
    start, end = "<!-- bench:start -->", "<!-- bench:end -->"
    text = readme.read_text()
    if start not in text or end not in text:
        raise SystemExit(f"{readme} has no {start} ... {end} section")
    head, rest = text.split(start, 1)
    _, tail = rest.split(end, 1)
    readme.write_text(f"{head}{start}\n{table}{end}{tail}")


def record(source: pathlib.Path, readme: pathlib.Path | None) -> int:
    """Keeps the run in `source` under bench/results/ and, with `readme`, its table there."""
    try:
        payload = source.read_text()
        report = json.loads(payload)
    except (OSError, ValueError) as exc:
        raise SystemExit(f"bench: cannot record {source}: {exc} (run `make bench` first)") from None
    if report.get("quick"):
        raise SystemExit(f"bench: {source} is a --quick run, not one for the record")
    RESULTS.mkdir(exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    (RESULTS / "latest.json").write_text(payload)
    (RESULTS / f"{stamp}.json").write_text(payload)
    if readme:
        write_readme(readme, markdown(report))
    print(f"bench: recorded {source} as bench/results/{stamp}.json" + (f" and in {readme}" if readme else ""))
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repeats (a smoke run, not for the record)")
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT,
                        help=f"where the run's JSON goes (default {DEFAULT_OUT.relative_to(ROOT)})")
    parser.add_argument("--record", type=pathlib.Path, metavar="FILE",
                        help="keep the run in FILE under bench/results/ instead of running")
    parser.add_argument("--readme", type=pathlib.Path, help="with --record: write the table into this README")
    parser.add_argument("--free-threaded", metavar="PYTHON",
                        help="also measure two threads against one on this free-threaded interpreter")
    parser.add_argument("--generic-library", metavar="DIR",
                        help="a library built with QRL_ENGINE_ADX=OFF, to compare with the dispatched one")
    args = parser.parse_args()
    if args.record:
        return record(args.record, args.readme)
    if args.readme:
        parser.error("--readme goes with --record")
    print(machine_line(), flush=True)
    report = run(args.quick, args.free_threaded, args.generic_library)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(report, indent=2))
    table = markdown(report)
    print()
    print(table)
    print(f"\n(the run is in {args.out}; `make bench-record` keeps it in bench/results/ and README.md)")
    missed = [e["operation"] for e in report["rows"] + report["threads"] if "target" in e and not e["target"]["met"]]
    if missed:
        print("Targets missed: " + ", ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
