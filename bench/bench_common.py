"""Pieces the benchmarks share."""

import os
import sys
from contextlib import contextmanager


@contextmanager
def quiet_stdout():
    """Sends file descriptor 1 to /dev/null (PyFileHandle.read prints a line
    there on every call)."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
