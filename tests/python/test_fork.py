"""Forks and limits of PyFs: the edges that the model test does not reach."""

import errno
import os
import pickle

import pytest

if not os.environ.get("LUMVEX_NO_SKIPS"):  # in CI a missing Hypothesis must fail
    pytest.importorskip("hypothesis")

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import lumvex  # noqa: E402


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


def tree_of(fs, path="/"):
    """Every entry below `path` by path: its id, and its bytes for a file."""
    files, dirs = fs.listdir(path)
    base = path.rstrip("/")
    out = {}
    for name in files:
        out[f"{base}/{name}"] = (fs.stat(f"{base}/{name}").st_ino, read(fs, f"{base}/{name}"))
    for name in dirs:
        out[f"{base}/{name}"] = (fs.stat(f"{base}/{name}").st_ino, None)
        out.update(tree_of(fs, f"{base}/{name}"))
    return out


FORK_PATHS = st.sampled_from(["/a", "/b", "/a/x", "/a/d", "/a/d/f", "/b/x", "/b/y", "/c",
                              "/a/d/e"])
FORK_OPS = st.one_of(
    st.tuples(st.just("rename"), FORK_PATHS, FORK_PATHS),
    st.tuples(st.just("rename"), FORK_PATHS, FORK_PATHS),
    st.tuples(st.just("write"), FORK_PATHS, st.binary(max_size=6)),
    st.tuples(st.just("mkdir"), FORK_PATHS, st.none()),
    st.tuples(st.just("remove"), FORK_PATHS, st.booleans()),
)


def apply(fs, op):
    kind, path, arg = op
    try:
        if kind == "rename":
            fs.rename(path, arg)
        elif kind == "write":
            write(fs, path, arg, "rw")
        elif kind == "mkdir":
            fs.mkdir(path)
        else:
            fs.remove(path, arg)
    except ValueError as error:
        return str(error)
    return None


@settings(max_examples=int(os.environ.get("LUMVEX_MODEL_EXAMPLES", 300)), deadline=None)
@given(st.lists(FORK_OPS, max_size=8), st.lists(st.tuples(st.booleans(), FORK_OPS), max_size=12),
       st.booleans())
def test_both_sides_of_a_fork_behave_as_unshared_copies(before, after, twice):
    """A fork (or a fork of a fork) and the filesystem it came from each
    behave as an unshared copy (one loaded from a dump) would, whichever side
    changes first: a change on one side, renames above all, gives what it
    gives in that side's copy and leaves the other side as it was."""
    fs = lumvex.PyFs()
    for path in ("/a", "/a/d", "/b"):
        fs.mkdir(path)
    for path in ("/a/x", "/a/d/f", "/b/y"):
        write(fs, path, path.encode())
    for op in before:
        apply(fs, op)
    fork = fs.fork().fork() if twice else fs.fork()
    sides = [(fs, pickle.loads(pickle.dumps(fs))), (fork, pickle.loads(pickle.dumps(fs)))]
    for in_fork, op in after:
        (changed, copy), (other, _) = sides[::-1] if in_fork else sides
        kept = tree_of(other)
        assert apply(changed, op) == apply(copy, op), op
        assert tree_of(other) == kept, op
    for side, copy in sides:
        assert tree_of(side) == tree_of(copy)


@pytest.mark.parametrize("in_fork", [False, True])
def test_depths_below_a_moved_directory_stay_on_its_side(in_fork):
    """A directory moved up on one side takes the depths below it along
    there only: the other side's copy still lies at the depth limit."""
    fs = lumvex.PyFs()
    deep = "/c" * 62
    for level in range(1, 63):
        fs.mkdir("/c" * level)
    fs.mkdir(deep + "/t")
    fs.mkdir(deep + "/t/u")  # depth 64
    fork = fs.fork()
    moved, other = (fork, fs) if in_fork else (fs, fork)
    moved.rename(deep + "/t", "/t")
    moved.mkdir("/t/u/v")
    with pytest.raises(ValueError, match="Maximum filesystem depth exceeded"):
        other.mkdir(deep + "/t/u/v")


def test_an_image_with_an_id_twice_is_refused():
    """Two entries of one id would share one table slot: such an image (the
    second file's id patched to the first's) loads into nothing."""
    fs = lumvex.PyFs()
    fs.touch("/a")
    fs.touch("/b")
    make, args, state = fs.__reduce__()
    at = state.index(b"\x01\x00\x00\x00b") - 16  # the id of b's record: before time and name
    assert state[at:at + 8] == (2).to_bytes(8, "little")
    copy = make(*args)
    with pytest.raises(ValueError, match="entry id 1 appears twice"):
        copy.__setstate__(state[:at] + (1).to_bytes(8, "little") + state[at + 8:])
    assert copy.listdir("/") == ([], [])


RENAMES = [(src, dst) for src in ("/a", "/a/x", "/a/d", "/a/d/f", "/b/y")
           for dst in ("/a/new", "/b/new", "/b/y", "/new") if src != dst]


@pytest.mark.parametrize("in_fork", [False, True])
def test_every_rename_on_one_side_leaves_the_other(in_fork):
    """Each entry renamed within its directory, into another, over a file and
    to the top, on either side of a fresh fork: the other side keeps its
    tree, and the side that renamed has what an unshared copy has."""
    for src, dst in RENAMES:
        fs = lumvex.PyFs()
        for path in ("/a", "/a/d", "/b"):
            fs.mkdir(path)
        for path in ("/a/x", "/a/d/f", "/b/y"):
            write(fs, path, path.encode())
        copy = pickle.loads(pickle.dumps(fs))
        fork = fs.fork()
        changed, other = (fork, fs) if in_fork else (fs, fork)
        kept = tree_of(other)
        assert apply(changed, ("rename", src, dst)) == apply(copy, ("rename", src, dst))
        assert tree_of(other) == kept, (src, dst)
        assert tree_of(changed) == tree_of(copy), (src, dst)
