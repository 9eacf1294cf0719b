"""Throughput of the token and key operations in one thread and in two.

Run by bench/run.py in its own process for the interpreter it measures (the
default build, where native work releases the GIL, and a free-threaded
build, where nothing is serialised); needs only quarlopro, so it also runs
where the peers of bench/run.py have no wheel.

    python bench/threads.py [--seconds S] [--rounds R] [--json]
"""

from __future__ import annotations

import argparse
import hashlib
import hmac
import json
import statistics
import sys
import sysconfig
import threading
import time
from typing import Callable

from quarlopro import jwt_es256


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


def gil_split_reference(released_bytes: int) -> Callable[[], object]:
    """A standard-library-only operation: a GIL-held part (five HMACs) and
    hashing of `released_bytes`, which hashlib does without the GIL. It shows
    what the interpreter's hand-over of the GIL itself allows."""
    key, data = bytes(32), bytes(released_bytes)

    def operation() -> bytes:
        for _ in range(5):
            hmac.new(key, b"nonce", hashlib.sha256).digest()
        return hashlib.sha256(data).digest()
    return operation


def operations() -> dict[str, Callable[[], object]]:
    message = b"The quick brown fox jumps over the lazy dog" * 3
    claims = {"sub": "user-1234", "aud": "api", "iss": "https://issuer.example", "scope": "read write"}
    private_jwk, public_jwk = jwt_es256.generate_es256_keypair_jwk()
    d = jwt_es256.private_key_d_from_jwk(private_jwk)
    xy = jwt_es256.public_key_xy_from_jwk(public_jwk)
    signature = jwt_es256._sign_ecdsa_p256_sha256(message, d)
    token = jwt_es256.sign_es256_jwt(claims, d)
    return {
        "_sign_ecdsa_p256_sha256": lambda: jwt_es256._sign_ecdsa_p256_sha256(message, d),
        "_verify_ecdsa_p256_sha256": lambda: jwt_es256._verify_ecdsa_p256_sha256(message, signature, xy),
        "sign_es256_jwt": lambda: jwt_es256.sign_es256_jwt(claims, d),
        "verify_es256_jwt": lambda: jwt_es256.verify_es256_jwt(token, xy, expected_aud="api"),
        "generate_es256_keypair_jwk": jwt_es256.generate_es256_keypair_jwk,
        "reference: 5 HMAC + SHA-256 of 16 KiB": gil_split_reference(16 * 1024),
    }


def build_name() -> str:
    return "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"


def measure(seconds: float, rounds: int = 5) -> list[dict]:
    """One thread and two, alternately `rounds` times for `seconds` each.

    Each measurement averages thousands of operations, so what the GIL's
    hand-over costs varies little between rounds; what varies is the
    machine (a busy host, a vCPU descheduled), and that only ever slows a
    round down. The ratio is therefore that of the best round of each kind,
    as timeit takes the fastest run; the ratio of the medians and the range
    of each round's pair are kept beside it."""
    rows = []
    for name, fn in operations().items():
        fn()  # warm up
        ones, twos = [], []
        for _ in range(rounds):
            ones.append(throughput(fn, 1, seconds))
            twos.append(throughput(fn, 2, seconds))
        pairs = [b / a for a, b in zip(ones, twos)]
        rows.append({"operation": name, "build": build_name(), "one_thread_ops": max(ones),
                     "two_threads_ops": max(twos), "speedup": max(twos) / max(ones),
                     "speedup_median": statistics.median(twos) / statistics.median(ones),
                     "speedup_range": [min(pairs), max(pairs)]})
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=1.0, help="time per measurement (default 1)")
    parser.add_argument("--rounds", type=int, default=5, help="measurements of each kind (default 5)")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    args = parser.parse_args()
    rows = measure(args.seconds, args.rounds)
    if args.json:
        print(json.dumps(rows))
    else:
        for row in rows:
            print(f"{row['operation']:<42} {row['one_thread_ops']:8.0f}/s -> {row['two_threads_ops']:8.0f}/s "
                  f"{row['speedup']:.2f}x (medians {row['speedup_median']:.2f}x, rounds "
                  f"{row['speedup_range'][0]:.2f}-{row['speedup_range'][1]:.2f}x, {row['build']})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
