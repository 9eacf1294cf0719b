"""Plain-Python reference models of the package's algorithms, for
differential tests and fuzzing: jwt_model (the token core) and key_model
(the key encoding). `outcome` makes a call comparable."""


def outcome(fn, *args, **kwargs):
    """("ok", result) or ("raise", exception type, message): comparable."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        return ("raise", type(exc), str(exc))
