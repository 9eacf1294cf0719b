# Type stubs of quarlopro.license: the show command.
import argparse
import base64 as base64
import json as json

def showJwt(args: argparse.Namespace) -> None: ...
