"""Pieces the benchmarks share."""

import os
import statistics
import sys
import time
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


def median_ms(call, repeat):
    """Median wall time of call() in milliseconds, over `repeat` calls."""
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1000
