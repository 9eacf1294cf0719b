"""Threads call jwt_es256 and decodekey while the main thread changes what
those calls read: the lists and dicts passed in, the modules' globals, and
the attributes of the library's functions. On a free-threaded interpreter
nothing serialises the two, so the library must read shared objects safely.

Each scenario runs in a subprocess of its own for QRL_THREAD_SECONDS
(default 2), so that a crash fails its test with the exit status and the
faulthandler's stacks instead of ending the run. The main thread alternates
quiet spells with spells in which it applies a cycle of changes, one step at
a time, that ends where it began. The subprocess checks that:
* every outcome (result or exception) is one that a single thread gets from
  one of the states that the cycle passes through (computed beforehand), or
  one the scenario lists for a call whose reads straddle a change; a
  SystemError or anything else is a failure;
* a call that ran wholly inside a quiet spell gives the single-thread result;
* each call ran both in quiet spells and during changes.
"""

import inspect
import itertools
import json
import os
import pathlib
import subprocess
import sys
import threading
import time
import types

import pytest

from quarlopro import decodekey as dk
from quarlopro import jwt_es256 as j

SECONDS = float(os.environ.get("QRL_THREAD_SECONDS", "2"))
CALLERS = 2
G = (j._P256_GX, j._P256_GY)
D = 0x3E1F0A5D7C9B2468ACE13579BDF02468ACE13579BDF02468ACE13579BDF0246


def fresh(value):
    """An equal object that nothing else holds, so that replacing it frees it."""
    if isinstance(value, int):
        return int.from_bytes(value.to_bytes(40, "big"), "big")
    return "".join(list(value))


def module_copy(module):
    copy = types.ModuleType(module.__name__)
    copy.__dict__.update(module.__dict__)
    return copy


class Scenario:
    def __init__(self, calls, steps, mixed=(), straddle=(), shared_errors=False):
        self.calls = calls        # name -> callable with no arguments
        self.steps = steps        # one change each; all of them in order restore the start
        self.mixed = mixed        # steps to states that a call reading piece by piece may see
        self.straddle = set(straddle)  # outcomes of reads that straddle a change
        self.shared_errors = shared_errors  # each call may raise what any of them raises


def point_list():
    q = j._scalar_mult(D, G)
    message = b"message"
    signature = j._sign_ecdsa_p256_sha256(message, D)
    token = j.sign_es256_jwt({"sub": "a"}, D)
    key = [fresh(q[0]), fresh(q[1])]
    calls = {"verify": lambda: j._verify_ecdsa_p256_sha256(message, signature, key),
             "on curve": lambda: j._is_on_curve(key),
             "point add": lambda: j._point_add(key, G),
             "verify token": lambda: j.verify_es256_jwt(token, key)}
    steps = [lambda: key.__setitem__(0, fresh(q[0])), lambda: key.__setitem__(1, "y"),
             lambda: key.__setitem__(1, fresh(q[1])), lambda: key.append(fresh(q[0])), lambda: key.pop(),
             key.clear, lambda: key.extend([fresh(q[0]), fresh(q[1])])]
    return Scenario(calls, steps)


def jwk_dict():
    q = j._scalar_mult(D, G)
    start = {"kty": "EC", "crv": "P-256", "x": j._int_to_b64url_32(q[0]), "y": j._int_to_b64url_32(q[1]),
             "d": j._int_to_b64url_32(D)}
    jwk = {name: fresh(value) for name, value in start.items()}
    calls = {"private d": lambda: j.private_key_d_from_jwk(jwk),
             "public xy": lambda: j.public_key_xy_from_jwk(jwk),
             "sign with jwk": lambda: j.sign_es256_jwt_with_jwk({"a": 1}, jwk),
             "to pem": lambda: dk.jwk_to_pem(jwk),
             "private to pem": lambda: dk.jwk_private_key_to_pem(jwk)}
    steps = [lambda: jwk.__setitem__("kty", fresh("RSA")), lambda: jwk.__setitem__("kty", fresh("EC")),
             lambda: jwk.__setitem__("crv", fresh("P-384")), lambda: jwk.__setitem__("crv", fresh("P-256")),
             lambda: jwk.__setitem__("d", fresh("AA")), lambda: jwk.__setitem__("d", fresh(start["d"])),
             jwk.clear, *(lambda name=name: jwk.__setitem__(name, fresh(start[name])) for name in start)]
    # The functions read the members one after another, as their Python
    # equivalents would, so one call may see each member at another moment:
    # any member absent or with any value it takes, or gone right after
    # a check found it (so jwk_to_pem, having seen d, may raise what
    # jwk_private_key_to_pem raises without it).
    values = {"kty": ["EC", "RSA"], "crv": ["P-256", "P-384"], "x": [start["x"]], "y": [start["y"]],
              "d": [start["d"], "AA"]}
    mixed = [lambda members=members: (jwk.clear(), jwk.update(members)) for members in
             ({k: v for k, v in zip(values, choice) if v is not None}
              for choice in itertools.product(*([None, *options] for options in values.values())))]
    mixed.append(lambda: (jwk.clear(), jwk.update({name: fresh(value) for name, value in start.items()})))
    return Scenario(calls, steps, mixed, straddle={("KeyError", repr(name)) for name in start}, shared_errors=True)


def claims_dict():
    """The claims dict and a list inside it changed while tokens are signed."""
    inner = [fresh("x")]
    claims = {"sub": fresh("a"), "list": inner}
    calls = {"sign token": lambda: j.sign_es256_jwt(claims, D)}
    steps = [lambda: claims.__setitem__("sub", fresh("b")), lambda: inner.append(fresh("y")),
             lambda: claims.__setitem__("n", 1.5), inner.clear, lambda: claims.pop("n"),
             lambda: inner.append(fresh("x")), lambda: claims.__setitem__("sub", fresh("a"))]
    # The dict and the list are read at different moments.
    mixed = [lambda sub=sub, more=more, items=items: (
                 claims.clear(), claims.update({"sub": fresh(sub), "list": inner, **more}),
                 inner.clear(), inner.extend(fresh(item) for item in items))
             for sub in "ab" for more in ({}, {"n": 1.5}) for items in (["x"], ["x", "y"], [])]
    mixed.append(lambda: (claims.clear(), claims.update(sub=fresh("a"), list=inner), inner.clear(),
                          inner.append(fresh("x"))))
    return Scenario(calls, steps, mixed)


def globals_replaced():
    q = j._scalar_mult(D, G)
    signature = j._sign_ecdsa_p256_sha256(b"message", D)
    token = j.sign_es256_jwt({"sub": "a"}, D)
    jwk = {"kty": "EC", "crv": "P-256", "x": j._int_to_b64url_32(q[0]), "y": j._int_to_b64url_32(q[1])}
    pem = dk.jwk_to_pem(jwk)
    calls = {"verify": lambda: j._verify_ecdsa_p256_sha256(b"message", signature, q),
             "point add": lambda: j._point_add(G, q),
             "sign token": lambda: j.sign_es256_jwt({"sub": "a"}, D),
             "verify token": lambda: j.verify_es256_jwt(token, q),
             "to pem": lambda: dk.jwk_to_pem(jwk),
             "from pem": lambda: dk.pem_public_key_to_der(pem)}
    original = {(module, name): getattr(module, name) for module, name in [
        (j, "_P256_N"), (j, "_point_add"), (j, "hashlib"), (j, "json"), (j, "base64"), (dk, "base64"), (dk, "re")]}
    point_add = j._point_add
    replacements = {"_P256_N": lambda: fresh(j._P256_N),
                    "_point_add": lambda: lambda p1, p2: point_add(p1, p2)}
    steps = []
    for (module, name), value in original.items():
        replace = replacements.get(name, lambda value=value: module_copy(value))
        steps += [lambda m=module, n=name, r=replace: setattr(m, n, r()),
                  lambda m=module, n=name, v=value: setattr(m, n, v)]
    # and one replacement that breaks signing and verifying
    steps += [lambda: setattr(j, "hashlib", types.ModuleType("hashlib")),
              lambda: setattr(j, "hashlib", original[j, "hashlib"])]
    return Scenario(calls, steps)


def function_names():
    """__name__ and __qualname__ replaced while argument errors quote them."""
    fn = j._mod_inv
    name = fn.__name__
    calls = {"call": lambda: fn(3, 7),
             "too many": lambda: fn(1, 2, 3),
             "missing": lambda: fn(),
             "unknown keyword": lambda: fn(1, 2, x=4),
             "wrong type": lambda: fn("1", 2),
             "__name__": lambda: fn.__name__,
             "__qualname__": lambda: fn.__qualname__,
             "repr": lambda: repr(fn)}
    # Long names of one length: copying one into a message takes a while, and
    # the block of a freed name is soon reused for the next one.
    first, second = "renamed_" * 100, "RENAMED_" * 100
    steps = [lambda: setattr(fn, "__qualname__", fresh(first)), lambda: setattr(fn, "__qualname__", fresh(second)),
             lambda: setattr(fn, "__qualname__", fresh(name)),
             lambda: setattr(fn, "__name__", fresh(first)), lambda: setattr(fn, "__name__", fresh(second)),
             lambda: setattr(fn, "__name__", fresh(name))]
    return Scenario(calls, steps)


def function_annotations():
    """__annotations__ replaced and changed in place while __signature__ reads it."""
    fn = j._mod_inv
    annotations = dict(fn.__annotations__)
    other = {key: fresh("float") for key in annotations}
    calls = {"call": lambda: fn(3, 7),
             "signature": lambda: str(inspect.signature(fn)),
             "__signature__": lambda: str(fn.__signature__),
             "__annotations__": lambda: sorted(fn.__annotations__.items())}
    steps = [lambda: setattr(fn, "__annotations__", {k: fresh(v) for k, v in other.items()}),
             lambda: fn.__annotations__.__setitem__("value", fresh("str")),
             lambda: setattr(fn, "__annotations__", {k: fresh(v) for k, v in annotations.items()})]
    return Scenario(calls, steps)


SCENARIOS = {"point list": point_list, "jwk dict": jwk_dict, "claims": claims_dict,
             "module globals": globals_replaced, "function names": function_names,
             "function annotations": function_annotations}
# (scenario, call): the calls that read a list or a dict run one per row,
# so that a fast call is not drowned by a slow one; the others run together.
ROWS = [(scenario, call) for scenario in ("point list", "jwk dict") for call in SCENARIOS[scenario]().calls]
ROWS += [(scenario, "") for scenario in ("claims", "module globals", "function names", "function annotations")]


def outcome(call):
    try:
        return ["ok", repr(call())]
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        return [type(error).__name__, str(error)]


def run(scenario: Scenario, seconds: float, only: str = "") -> dict:
    """Runs the scenario (or only its call `only`) in this process; returns
    what went wrong and how often each call ran."""
    expected = {name: outcome(call) for name, call in scenario.calls.items()}
    allowed = {name: {tuple(result)} | scenario.straddle for name, result in expected.items()}
    for step in [*scenario.steps, *scenario.mixed]:
        step()
        for name, call in scenario.calls.items():
            allowed[name].add(tuple(outcome(call)))
    assert {name: outcome(call) for name, call in scenario.calls.items()} == expected, "the steps do not restore"
    if scenario.shared_errors:
        errors = {result for outcomes in allowed.values() for result in outcomes if result[0] != "ok"}
        allowed = {name: outcomes | errors for name, outcomes in allowed.items()}
    calls = {only: scenario.calls[only]} if only else scenario.calls

    phase = [0]  # even: quiet; odd: the main thread is changing things
    stop = threading.Event()
    problems, counts = [], {name: [0, 0] for name in calls}  # [quiet, changing]

    def caller():
        while not stop.is_set():
            for name, call in calls.items():
                before = phase[0]
                got = outcome(call)
                quiet = before == phase[0] and before % 2 == 0
                counts[name][0 if quiet else 1] += 1
                if tuple(got) not in allowed[name] or (quiet and got != expected[name]):
                    problems.append([name, "quiet" if quiet else "changing", got])

    threads = [threading.Thread(target=caller) for _ in range(CALLERS)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(0.02)
        phase[0] += 1
        spell = time.monotonic() + 0.08
        while time.monotonic() < spell:
            for step in scenario.steps:
                step()
        phase[0] += 1
    stop.set()
    for thread in threads:
        thread.join()
    failing = {name for name, _, _ in problems}
    return {"problems": problems[:10], "problem_count": len(problems), "counts": counts,
            "allowed": {name: sorted(allowed[name]) for name in failing}}


def failure_text(stderr):
    """The first ThreadSanitizer report whole, since its top frames say where;
    without one, the end of stderr (the faulthandler's stacks)."""
    start = stderr.find("WARNING: ThreadSanitizer")
    return stderr[start:start + 12000] if start >= 0 else stderr[-6000:]


@pytest.mark.parametrize("name, call", ROWS, ids=[f"{name}-{call}" if call else name for name, call in ROWS])
def test_calls_while_other_threads_change_their_inputs(name, call):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    done = subprocess.run([sys.executable, "-X", "faulthandler", str(pathlib.Path(__file__).resolve()), name, call,
                           str(SECONDS)], capture_output=True, text=True, env=env, timeout=SECONDS * 20 + 120)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout[-2000:]}{failure_text(done.stderr)}"
    report = json.loads(done.stdout.splitlines()[-1])
    problems = [f"{row} ({phase}): {got[0]}: {got[1][:150]}" for row, phase, got in report["problems"]]
    allowed = [f"{row}: {outcome[0]}: {outcome[1][:100]}" for row, outcomes in report["allowed"].items()
               for outcome in outcomes]
    assert report["problem_count"] == 0, "\n".join([f"{report['problem_count']} unexpected outcomes, e.g.",
                                                    *problems, "allowed:", *allowed])
    never = {row: count for row, count in report["counts"].items() if 0 in count}
    assert never == {}, f"calls that never ran in a quiet spell or during changes: {never}"


if __name__ == "__main__":
    sys.setswitchinterval(1e-5)  # on a build with a GIL, hand it over often
    name, call, seconds = sys.argv[1:]
    print(json.dumps(run(SCENARIOS[name](), float(seconds), call)))
