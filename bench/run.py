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

    python bench/run.py [--quick] [--out FILE]        (make bench)
    python bench/run.py --record FILE [--readme README.md]   (make bench-record)
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import hmac
import json
import os
import pathlib
import platform
import statistics
import sys
import threading
import time
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

import quarlopro
from quarlopro import decodekey, jwt_es256

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


def throughput(fn: Callable[[], object], threads: int, seconds: float) -> float:
    """Operations per second of `threads` threads calling fn for `seconds`."""
    counts = [0] * threads
    stop = threading.Event()
    start_line = threading.Barrier(threads + 1)

    def worker(slot: int) -> None:
        start_line.wait()
        done = 0
        while not stop.is_set():
            fn()
            done += 1
        counts[slot] = done

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    start_line.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - began)


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
            target=("PyJWT encode", 0.8)),
        Row("_verify_ecdsa_p256_sha256", lambda: jwt_es256._verify_ecdsa_p256_sha256(message, raw_signature, xy),
            {"cryptography verify": lambda: crypto_public.verify(der_signature, message, ecdsa_alg),
             "python-ecdsa verify": lambda: ecdsa_public.verify(raw_signature, message)},
            target=("cryptography verify", 1.0)),
        Row("_sign_ecdsa_p256_sha256", lambda: jwt_es256._sign_ecdsa_p256_sha256(message, d),
            {"cryptography sign": lambda: crypto_private.sign(message, ecdsa_alg),
             "python-ecdsa sign": lambda: ecdsa_private.sign_deterministic(message)},
            target=("cryptography sign", 1.2)),
        Row("generate_es256_keypair_jwk", jwt_es256.generate_es256_keypair_jwk,
            {"cryptography keygen + JWK": crypto_keygen_jwk},
            target=("cryptography keygen + JWK", 2.0)),
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
    ], {
        "sign": lambda: jwt_es256._sign_ecdsa_p256_sha256(message, d),
        "verify": lambda: jwt_es256._verify_ecdsa_p256_sha256(message, raw_signature, xy),
        # No code of ours: five HMAC-SHA256 with the GIL held (as the signing
        # nonce needs) and one SHA-256 that releases it. These show what the
        # interpreter's GIL hand-over itself allows for a given split.
        "reference: 5 HMAC + SHA-256 of 16 KiB": gil_split_reference(16 * 1024),
        "reference: 5 HMAC + SHA-256 of 64 KiB": gil_split_reference(64 * 1024),
    }


def gil_split_reference(released_bytes: int) -> Callable[[], object]:
    """A standard-library-only operation: a GIL-held part like the signer's,
    then hashing of `released_bytes`, which hashlib does without the GIL."""
    key, data = bytes(32), bytes(released_bytes)

    def operation() -> bytes:
        for _ in range(5):
            hmac.new(key, b"nonce", hashlib.sha256).digest()
        return hashlib.sha256(data).digest()
    return operation


def fmt_time(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} µs"


def run(quick: bool) -> dict:
    repeats, min_seconds, thread_seconds = (3, 0.05, 0.5) if quick else (7, 0.2, 2.0)
    rows, threaded = build_rows()
    results = []
    for row in rows:
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

    thread_rows = []
    for name, fn in threaded.items():
        one = throughput(fn, 1, thread_seconds)
        two = throughput(fn, 2, thread_seconds)
        entry = {"operation": f"{name}, 2 threads vs 1", "one_thread_ops": one, "two_threads_ops": two,
                 "speedup": two / one}
        verdict = ""
        if not name.startswith("reference"):
            entry["target"] = {"min_speedup": 1.7, "met": two / one >= 1.7}
            verdict = f" (target >= 1.7x: {'met' if two / one >= 1.7 else 'MISSED'})"
        thread_rows.append(entry)
        print(f"{entry['operation']:<42} {one:10.0f} ops/s -> {two:10.0f} ops/s  speedup {two / one:.2f}x"
              + verdict, flush=True)
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
            target = f"≥ 1.7 {'✓' if entry['target']['met'] else '✗'}"
        lines.append(f"| {entry['operation']} | {entry['two_threads_ops']:.0f}/s | | 1 thread | "
                     f"{entry['one_thread_ops']:.0f}/s | {entry['speedup']:.2f}× | {target} |")
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
    args = parser.parse_args()
    if args.record:
        return record(args.record, args.readme)
    if args.readme:
        parser.error("--readme goes with --record")
    print(machine_line(), flush=True)
    report = run(args.quick)
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
