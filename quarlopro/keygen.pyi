# Type stubs of quarlopro.keygen: the keygen command.
import argparse
from typing import Protocol, type_check_only

@type_check_only
class _BytesFile(Protocol):
    # What createKeypair needs of a key file: pathlib.Path is one.
    def write_bytes(self, data: bytes, /) -> object: ...

def keygen(args: argparse.Namespace) -> None: ...
def createKeypair(privateKeyPath: _BytesFile, publicKeyPath: _BytesFile) -> None: ...
