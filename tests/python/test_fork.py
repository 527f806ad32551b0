"""Forks and limits of PyFs: the edges that the model test does not reach."""

import errno
import pickle

import pytest

import lumvex


def write(fs, path, data, mode="w"):
    handle = fs.open(path, mode)
    try:
        return handle.write(data)
    finally:
        handle.close()


def read(fs, path):
    handle = fs.open(path, "r")
    try:
        return bytes(handle.read(1 << 20))
    finally:
        handle.close()


def refused(call, limit):
    with pytest.raises(OSError) as caught:
        call()
    assert caught.value.errno == errno.ENOSPC and limit in str(caught.value)


@pytest.mark.parametrize("forked", [False, True])
def test_max_bytes_at_its_edge(forked, capfd):
    fs = lumvex.PyFs(max_bytes=8)
    write(fs, "/a", b"12345")
    if forked:
        fs = fs.fork()  # the fork inherits the limit and the 5 bytes counted
    refused(lambda: write(fs, "/b", b"1234"), "max_bytes")
    assert fs.stat("/b").st_size == 0  # created, but nothing written
    write(fs, "/b", b"123")  # exactly at the limit
    refused(lambda: write(fs, "/b", b"1234"), "max_bytes")  # one byte of growth too many
    write(fs, "/b", b"abc")  # overwriting adds nothing
    fs.remove("/a", False)
    write(fs, "/c", b"12345")
    fs.rename("/c", "/b")  # the replaced file's bytes are given back
    write(fs, "/d", b"123")
    assert (read(fs, "/b"), read(fs, "/d")) == (b"12345", b"123")
    capfd.readouterr()


def test_max_entries_at_its_edge():
    fs = lumvex.PyFs(max_entries=2)
    fs.mkdir("/d")
    fs.touch("/d/f")
    for call in (lambda: fs.mkdir("/e"), lambda: fs.touch("/d/g"), lambda: fs.open("/h", "w")):
        refused(call, "max_entries")
    assert fs.listdir("/") == ([], ["d"]) and fs.listdir("/d") == (["f"], [])
    term = lumvex.PyTerm(fs)
    with pytest.raises(ValueError, match="max_entries"):
        term.exec("mkdir /x")
    fs.remove("/d", True)  # both entries are given back
    fs.mkdir("/x")
    fs.mkdir("/y")
    fork = fs.fork()
    refused(lambda: fork.mkdir("/z"), "max_entries")
    fork.remove("/x", False)
    fork.mkdir("/z")
    assert fs.listdir("/") == ([], ["x", "y"])


@pytest.mark.parametrize("kwargs, error", [
    ({"max_bytes": -1}, ValueError), ({"max_entries": 2**64}, ValueError),
    ({"max_bytes": 1.5}, TypeError), ({"max_entries": True}, TypeError),
    ({"max_bytes": "1"}, TypeError), ({"other": 1}, TypeError),
])
def test_bad_limits(kwargs, error):
    with pytest.raises(error):
        lumvex.PyFs(**kwargs)


def test_limits_are_read_only_and_survive_pickling():
    fs = lumvex.PyFs(max_bytes=10, max_entries=0)
    with pytest.raises(TypeError):
        lumvex.PyFs(10)
    with pytest.raises(AttributeError):
        fs.max_bytes = 11
    copied = pickle.loads(pickle.dumps(fs))
    assert (copied.max_bytes, copied.max_entries) == (10, 0)
    assert (lumvex.PyFs().max_bytes, lumvex.PyFs().max_entries) == (None, None)


def test_handles_stay_with_their_filesystem(capfd):
    fs = lumvex.PyFs()
    write(fs, "/f", b"old")
    writer = fs.open("/f", "w")
    fork = fs.fork()
    write(fork, "/f", b"FORK")  # free in the fork, though open in fs
    writer.write(b"new")
    fs.rename("/f", "/g")  # moves the open file: the handle follows
    writer.write(b"NEW")
    writer.close()
    assert (read(fs, "/g"), read(fork, "/f")) == (b"NEW", b"FORK")
    grandchild = fork.fork()
    del fork
    assert read(grandchild, "/f") == b"FORK"
    capfd.readouterr()
