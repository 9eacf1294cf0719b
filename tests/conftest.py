"""Shared test fixtures."""

import json
import pathlib

import pytest

VECTORS = pathlib.Path(__file__).resolve().parent / "vectors"


def load_wycheproof(name: str) -> dict:
    """A Wycheproof test vector file from tests/vectors/wycheproof."""
    return json.loads((VECTORS / "wycheproof" / name).read_text())


@pytest.fixture(scope="session")
def wycheproof():
    return load_wycheproof
