"""A fresh filesystem for every test, in constant time: a pytest fixture that
forks a prepared tree.

The tree is built once per session; each test gets `prepared.fork()`, which
shares everything with it until one side changes something, so handing out a
copy costs the same for ten files as for a million. What a test does to its
fork never reaches the prepared tree or another test's fork.

Run it after installing the module and pytest: python examples/fork_fixture.py
(it runs pytest on itself and exits with pytest's status).
"""

import errno
import sys

import pytest

import lumvex

LIMIT = 64 * 1024  # bytes of file contents each filesystem may hold


def read_file(fs, path):
    """The whole file (readinto prints no read notice, unlike read)."""
    data = bytearray(fs.stat(path).st_size)
    with fs.open(path, "r") as handle:
        handle.readinto(data)
    return bytes(data)


def write_file(fs, path, data):
    with fs.open(path, "w") as handle:
        handle.write(data)


@pytest.fixture(scope="session")
def prepared():
    """Built once: ten directories of ten small files, and a settings file."""
    fs = lumvex.PyFs(max_bytes=LIMIT)
    for d in range(10):
        fs.mkdir(f"/data{d}")
        for i in range(10):
            write_file(fs, f"/data{d}/part{i}.csv", f"id,value\n{i},{d * i}\n".encode())
    write_file(fs, "/settings.ini", b"mode=prepared\n")
    return fs


@pytest.fixture
def fs(prepared):
    """Each test's own copy of the prepared tree."""
    return prepared.fork()


def test_changes_stay_in_the_fork(fs, prepared):
    fs.remove("/data0", True)
    write_file(fs, "/settings.ini", b"mode=modified\n")  # as long as before: writes never shorten a file
    fs.touch("/output.txt")
    assert fs.listdir("/") == (["settings.ini", "output.txt"], [f"data{d}" for d in range(1, 10)])
    assert read_file(fs, "/settings.ini") == b"mode=modified\n"
    # The prepared tree, and so every later test, still has all of it.
    assert prepared.listdir("/") == (["settings.ini"], [f"data{d}" for d in range(10)])
    assert read_file(prepared, "/settings.ini") == b"mode=prepared\n"


def test_the_next_test_starts_afresh(fs):
    # The test above removed /data0 and rewrote the settings in its own fork.
    assert read_file(fs, "/data0/part3.csv") == b"id,value\n3,0\n"
    assert read_file(fs, "/settings.ini") == b"mode=prepared\n"
    assert "output.txt" not in fs.listdir("/")[0]


def test_a_fork_keeps_the_limits(fs, prepared):
    assert (fs.max_bytes, fs.max_entries) == (LIMIT, None)
    # A write that would pass the limit is refused and changes nothing.
    with pytest.raises(OSError) as refused:
        write_file(fs, "/settings.ini", b"x" * LIMIT)
    assert refused.value.errno == errno.ENOSPC
    assert read_file(fs, "/settings.ini") == b"mode=prepared\n"
    # The inodes, their numbers included, are those of the prepared tree.
    assert fs.stat("/data9/part9.csv").st_ino == prepared.stat("/data9/part9.csv").st_ino


if __name__ == "__main__":
    # -p no:cacheprovider: running the example leaves no .pytest_cache behind.
    sys.exit(pytest.main([__file__, "-q", "-p", "no:cacheprovider"]))
