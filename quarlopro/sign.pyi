# Type stubs of quarlopro.sign: the sign command.
import argparse
import json as json
import logging as logging
import pathlib as pathlib
import time as time
from typing import Any, Protocol, type_check_only

@type_check_only
class _TextFile(Protocol):
    # What sign needs of the private key file: pathlib.Path is one.
    def read_text(self) -> str: ...

logger: logging.Logger

def signJwt(args: argparse.Namespace) -> str: ...
def sign(payload: dict[str, Any], privateKeyPath: _TextFile) -> str: ...
