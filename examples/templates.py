"""Prepare once, fork many (needs root): a small Python project is written
into a session from a PyFs, given a virtual environment with the project
installed in it, and snapshotted; then 8 sessions start from the snapshot,
each in milliseconds, and each runs a different one of the project's tests.
What a test leaves behind stays in its own session.

    sudo python examples/templates.py
"""

import concurrent.futures
import time

import lumvex

SOURCE = {
    "/project/calc/__init__.py": b"def add(a, b):\n    return a + b\n\n\ndef mul(a, b):\n"
                                 b"    return a * b\n",
    "/project/tests/__init__.py": b"",
    "/project/tests/test_calc.py": b"""import os
import unittest

from calc import add, mul


class Calc(unittest.TestCase):
    def check(self, n):
        # Each test leaves a file: only its own session sees it.
        open(os.path.expanduser(f"~/ran-{n}"), "w").close()
        self.assertEqual(len([f for f in os.listdir(os.path.expanduser("~"))
                              if f.startswith("ran-")]), 1)
        self.assertEqual(add(n, n), mul(n, 2))

""" + b"".join(f"    def test_{n}(self):\n        self.check({n})\n\n".encode() for n in range(8)),
}

# The environment is made once: a venv (without pip: this example needs no
# network) with the project installed through a .pth file.
PREPARE = """set -e
/usr/bin/python3 -m venv --without-pip ~/venv
echo ~/project > "$(~/venv/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/project.pth"
~/venv/bin/python -c 'import calc'
"""


def main():
    fs = lumvex.PyFs()
    for path, data in SOURCE.items():
        parts = path.split("/")[1:-1]
        for depth in range(1, len(parts) + 1):
            try:
                fs.mkdir("/" + "/".join(parts[:depth]))
            except ValueError:
                pass  # made already
        with fs.open(path, "w") as f:
            f.write(data)

    pool = lumvex.PyUserPool()
    with lumvex.PyTerminalSession(pool, template=lumvex.Template.from_fs(fs)) as session:
        started = time.perf_counter()
        session.run(PREPARE, check=True, timeout=120)
        print(f"prepared the venv in {time.perf_counter() - started:.2f} s")
        prepared = session.snapshot()
    print(f"snapshot: {prepared.layers} layers, {prepared.nbytes} bytes of files")

    started = time.perf_counter()
    forks = [lumvex.PyTerminalSession(pool, template=prepared) for _ in range(8)]
    print(f"started 8 sessions from the snapshot in {time.perf_counter() - started:.3f} s")

    def test(n):
        result = forks[n].run(f"cd ~/project && ~/venv/bin/python -m unittest -q "
                              f"tests.test_calc.Calc.test_{n}", timeout=120)
        return n, result.returncode

    try:
        with concurrent.futures.ThreadPoolExecutor(8) as workers:
            for n, status in workers.map(test, range(8)):
                print(f"test_{n}: {'passed' if status == 0 else 'FAILED'}")
                assert status == 0
    finally:
        for fork in forks:
            fork.close()


if __name__ == "__main__":
    main()
