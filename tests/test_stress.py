"""Eight threads sign, verify, generate keys and convert keys at the same time
for a few seconds (QRL_STRESS_SECONDS, default 4). Every deterministic
result must equal the one computed on a single thread beforehand; generated
keys are checked for consistency (the public point is d·G by another route:
a signature made with d verifies with it, and both keys survive PEM)."""

import os
import sys
import threading
import time

import pytest

from quarlopro import decodekey as dk
from quarlopro import jwt_es256 as j
from reference import outcome

SECONDS = float(os.environ.get("QRL_STRESS_SECONDS", "4"))
THREADS = 8
G = (j._P256_GX, j._P256_GY)
KEYS = [1, 2, 3, j._P256_N - 1, 0x3E1F0A5D7C9B2468ACE13579BDF02468ACE13579BDF02468ACE13579BDF0246,
        *(int.from_bytes(bytes([i + 1]) * 32, "big") % j._P256_N for i in range(5))]


def deterministic_tasks():
    """(name, function, args) of operations whose result is fixed."""
    tasks = []
    for index, d in enumerate(KEYS):
        q = j._scalar_mult(d, G)
        message = b"message %d" % index
        signature = j._sign_ecdsa_p256_sha256(message, d)
        private = {"kty": "EC", "crv": "P-256", "x": j._int_to_b64url_32(q[0]), "y": j._int_to_b64url_32(q[1]),
                   "d": j._int_to_b64url_32(d)}
        public = {k: v for k, v in private.items() if k != "d"}
        token = j.sign_es256_jwt({"sub": index, "exp": 4_000_000_000}, d, {"kid": str(index)})
        tasks += [
            ("scalar mult base", j._scalar_mult, (d, G)),
            ("scalar mult point", j._scalar_mult, (d + 7, q)),
            ("scalar mult exact", j._scalar_mult, (index + 2, [G[0], G[1]])),
            ("sign", j._sign_ecdsa_p256_sha256, (message, d)),
            ("verify", j._verify_ecdsa_p256_sha256, (message, signature, q)),
            ("verify wrong", j._verify_ecdsa_p256_sha256, (message + b"!", signature, q)),
            ("sign token", j.sign_es256_jwt, ({"sub": index, "n": [index] * 3}, d)),
            ("verify token", j.verify_es256_jwt, (token, q)),
            ("token with jwk", j.sign_es256_jwt_with_jwk, ({"i": index}, private)),
            ("private to pem", dk.jwk_to_pem, (private,)),
            ("public to pem", dk.jwk_to_pem, (public,)),
            ("read private pem", dk.pem_private_key_to_jwk, (dk.jwk_to_pem(private), "k")),
            ("read public pem", lambda pem: dk.der_spki_ec_to_jwk(dk.pem_public_key_to_der(pem)),
             (dk.jwk_to_pem(public),)),
            ("bad token", j.verify_es256_jwt, (token[:-2] + "AA" if token[-2:] != "AA" else token[:-2] + "BB", q)),
            ("bad der", dk.der_spki_ec_to_jwk, (dk.pem_public_key_to_der(dk.jwk_to_pem(public))[:-1],)),
        ]
    for crv, size in (("P-384", 48), ("P-521", 66)):
        jwk = {"kty": "EC", "crv": crv, "d": j._b64url_encode(bytes(range(1, size + 1))),
               "x": j._b64url_encode(bytes(size)), "y": j._b64url_encode(b"\x01" * size)}
        tasks += [("pem " + crv, lambda k: dk.pem_private_key_to_jwk(dk.jwk_to_pem(k)), (jwk,))]
    return tasks


def check_generated_pair():
    """A fresh key pair, checked for consistency; returns a problem or None."""
    private, public = j.generate_es256_keypair_jwk("t")
    d, q = j.private_key_d_from_jwk(private), j.public_key_xy_from_jwk(public)
    if not j._is_on_curve(q) or not 1 <= d < j._P256_N:
        return "generated key out of range"
    message = d.to_bytes(32, "big")
    if not j._verify_ecdsa_p256_sha256(message, j._sign_ecdsa_p256_sha256(message, d), q):
        return "signature by a generated key does not verify"
    if dk.pem_private_key_to_jwk(dk.jwk_to_pem(private), "t") != {k: private[k] for k in ("kty", "crv", "d", "x", "y",
                                                                                          "kid")}:
        return "generated private key does not survive PEM"
    d2, q2 = j.generate_es256_keypair()
    if j._scalar_mult(d2, G) != q2:
        return "generate_es256_keypair point is not d*G"
    return None


def test_eight_threads_give_the_single_thread_results():
    tasks = deterministic_tasks()
    expected = [outcome(fn, *args) for _, fn, args in tasks]
    assert any(result[0] == "raise" for result in expected)  # error paths run too
    problems, rounds = [], [0] * THREADS
    barrier = threading.Barrier(THREADS)
    deadline = time.monotonic() + SECONDS

    def work(worker):
        barrier.wait()
        step = 0
        while time.monotonic() < deadline or rounds[worker] == 0:
            # Each thread walks the tasks from its own offset, so that
            # different operations overlap.
            for k in range(len(tasks)):
                index = (k + worker * 7) % len(tasks)
                name, fn, args = tasks[index]
                got = outcome(fn, *args)
                if got != expected[index]:
                    problems.append((worker, name, got, expected[index]))
                step += 1
                if step % 25 == 0:
                    problem = check_generated_pair()
                    if problem:
                        problems.append((worker, problem))
            rounds[worker] += 1

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # let threads interleave often where a lock is held
    try:
        threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=SECONDS + 120)
        assert not any(thread.is_alive() for thread in threads), "a worker did not finish"
    finally:
        sys.setswitchinterval(switch)
    assert problems == []
    assert all(count >= 1 for count in rounds), rounds
    print(f"{THREADS} threads, {sum(rounds)} rounds of {len(tasks)} operations")
