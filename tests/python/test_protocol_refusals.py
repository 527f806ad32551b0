"""Nothing is lost through lumvex://: reads never bring a removed file back,
writes are all or nothing, refused operations change nothing, and errors are
told apart by their errno, not their text."""

import errno
import os
import threading
import time

import pytest

if not os.environ.get("LUMVEX_NO_SKIPS"):
    pytest.importorskip("fsspec")

import fsspec  # noqa: E402
from fsspec.implementations.memory import MemoryFileSystem  # noqa: E402
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import lumvex  # noqa: E402


def snapshot(pyfs, path="/"):
    """Every entry below `path`: directories as None, files as their bytes."""
    files, dirs = pyfs.listdir(path)
    base = path.rstrip("/")
    out = {f"{base}/{name}": pyfs.read_bytes(f"{base}/{name}") for name in files}
    for name in dirs:
        out[f"{base}/{name}"] = None
        out.update(snapshot(pyfs, f"{base}/{name}"))
    return out


def test_readers_never_bring_back_a_file_that_another_thread_removes():
    pyfs = lumvex.PyFs()
    lfs = fsspec.filesystem("lumvex", fs=pyfs)
    payload = b"payload"
    stop = threading.Event()
    faults = {"resurrected": 0, "empty": 0, "busy": 0, "reads": 0}

    def read(open_file):
        while not stop.is_set():
            try:
                data = lfs.cat_file("/f") if open_file is None else open_file()
            except FileNotFoundError:
                continue
            except OSError as error:
                faults["busy"] += error.errno == errno.EBUSY
                continue
            faults["reads"] += 1
            faults["empty"] += data != payload

    def write_and_remove():
        while not stop.is_set():
            try:
                lfs.pipe_file("/f", payload)
                lfs.rm_file("/f")
            except OSError as error:
                faults["busy"] += error.errno == errno.EBUSY
                continue
            faults["resurrected"] += lfs.exists("/f")

    def open_and_read():
        with lfs.open("/f", "rb") as f:
            return f.read()

    threads = [threading.Thread(target=write_and_remove),
               threading.Thread(target=read, args=(None,)),
               threading.Thread(target=read, args=(None,)),
               threading.Thread(target=read, args=(open_and_read,))]
    for thread in threads:
        thread.start()
    time.sleep(2)
    stop.set()
    for thread in threads:
        thread.join()
    assert faults["resurrected"] == faults["empty"] == faults["busy"] == 0, faults
    assert faults["reads"] > 0
    assert snapshot(pyfs) in ({}, {"/f": payload})


def to_csv(lfs, path, data):
    pd = pytest.importorskip("pandas")
    pd.DataFrame({"x": [data.decode()]}).to_csv(f"lumvex://{path}", index=False,
                                                storage_options={"fs": lfs.pyfs})


def open_text(lfs, path, data):
    with lfs.open(path, "w") as f:
        f.write(data.decode())


def open_binary(lfs, path, data):
    with lfs.open(path, "wb") as f:
        f.write(data)


def open_file(lfs, path, data):
    with lfs.pyfs.open_file(path, "ab") as f:
        f.write(data)


WRITES = [lambda lfs, path, data: lfs.pipe_file(path, data), open_binary, open_text, open_file]
OVERWRITE = ({"max_bytes": 64}, "/d/old.txt")  # an overwrite past the byte limit
NEW_FILES = [({"max_bytes": 64}, "/new/sub/f.txt"),  # a new file and its directories
             ({"max_entries": 3}, "/new/sub/f.txt")]  # the directories fit, the file not


# pandas makes the directories itself, before it opens the file: only the
# overwrite is one operation there.
@pytest.mark.parametrize("write, limits, path", [
    *((write, *case) for write in WRITES for case in [OVERWRITE, *NEW_FILES]),
    (to_csv, *OVERWRITE),
])
def test_a_refused_write_changes_nothing(write, limits, path):
    pyfs = lumvex.PyFs(**limits)
    lfs = fsspec.filesystem("lumvex", fs=pyfs)
    lfs.pipe_file("/d/old.txt", b"old content")
    before = snapshot(pyfs)
    with pytest.raises(OSError) as raised:
        write(lfs, path, b"x" * 100)
    assert raised.value.errno == errno.ENOSPC
    assert snapshot(pyfs) == before


@pytest.mark.parametrize("call, code", [
    (lambda fs: fs.open_existing("/missing", "r"), errno.ENOENT),
    (lambda fs: fs.read_bytes("/d"), errno.EISDIR),
    (lambda fs: fs.listdir("/d/f"), errno.ENOTDIR),
    (lambda fs: fs.mkdir("/d"), errno.EEXIST),
    (lambda fs: fs.remove("/d", False), errno.ENOTEMPTY),
    (lambda fs: fs.open("/d/f", "q"), errno.EINVAL),
    (lambda fs: fs.rename("/d", "/d/e"), errno.EINVAL),
    (lambda fs: fs.open("/d/f", "r").write(b"x"), errno.EBADF),
])
def test_filesystem_errors_carry_their_kind(call, code):
    pyfs = lumvex.PyFs()
    pyfs.mkdir("/d")
    pyfs.touch("/d/f")
    with pytest.raises(ValueError) as raised:
        call(pyfs)
    assert raised.value.errno == code and type(raised.value) is ValueError


def truncate_to_minus_one(lfs):
    with lfs.open("/d/f", "r+b") as f:
        f.truncate(-1)


@pytest.mark.parametrize("call", [
    truncate_to_minus_one,
    lambda lfs: lfs.rmdir("/d/f"),                 # a file
    lambda lfs: lfs.mv("/d", "/d/b/c"),            # a directory into itself
    lambda lfs: lfs.mv("/missing", "/n/m"),        # a missing source
    lambda lfs: lfs.rm("/d"),                      # a full directory, not recursive
    lambda lfs: lfs.rm(["/d"]),
    lambda lfs: lfs.rm("/d", maxdepth=1),
    lambda lfs: lfs.rmdir("/d"),
    lambda lfs: lfs.rm_file("/d"),
    lambda lfs: lfs.rm("/missing", recursive=True),
    lambda lfs: lfs.makedirs("/d/f/x"),            # a file on the way
    lambda lfs: lfs.makedirs("/n/m/o"),            # the third is past max_entries
    lambda lfs: lfs.mkdir("/n/m/o/p"),
    lambda lfs: lfs.pipe_file("/n/m/f", b""),
    lambda lfs: lfs.open("/n/m/o", "wb"),
    lambda lfs: lfs.pipe_file("/q/..\\r", b""),    # a backslash
    lambda lfs: lfs.open("/n/../d/f", "xb"),       # ".." resolved: it exists
    lambda lfs: lfs.open("/n/m", "r+b"),
])
def test_a_refused_operation_changes_nothing(call):
    pyfs = lumvex.PyFs(max_entries=4)
    lfs = fsspec.filesystem("lumvex", fs=pyfs)
    lfs.pipe_file("/d/f", b"kept")
    before = snapshot(pyfs)
    with pytest.raises((OSError, ValueError)) as raised:
        call(lfs)
    assert snapshot(pyfs) == before
    error = raised.value
    if isinstance(error, OSError):  # it says what failed, why, and on which path
        assert error.errno and error.strerror and error.filename


NAMES = st.sampled_from(["/a", "/b", "/a/x", "/a/y", "/b/x", "/a/x/z", "/q/../a/y"])
OPS = st.one_of(
    st.tuples(st.just("pipe"), NAMES, st.binary(max_size=24)),
    st.tuples(st.just("append"), NAMES, st.binary(max_size=24)),
    st.tuples(st.just("truncate"), NAMES, st.integers(0, 30)),
    st.tuples(st.just("rm"), NAMES),
    st.tuples(st.just("mv"), NAMES, NAMES),
    st.tuples(st.just("makedirs"), NAMES),
)


def apply(fs, op):
    kind, path, *rest = op
    if kind == "pipe":
        fs.pipe_file(path, rest[0])
    elif kind == "append":
        with fs.open(path, "ab") as f:
            f.write(rest[0])
    elif kind == "truncate":
        with fs.open(path, "r+b") as f:
            f.truncate(min(rest[0], f.seek(0, 2)))  # memory's files never grow by it
    elif kind == "rm":
        fs.rm_file(path)
    elif kind == "mv":
        fs.mv(path, rest[0])
    else:
        fs.makedirs(path, exist_ok=True)


def files_of(fs):
    return {path: fs.cat_file(path) for path in fs.find("/")}


@settings(max_examples=int(os.environ.get("LUMVEX_MODEL_EXAMPLES", 300)), deadline=None)
@given(st.lists(OPS, max_size=12), st.integers(8, 80))
def test_the_protocol_against_memory_with_refusals(ops, max_bytes):
    """Every operation lumvex carries out gives the files that fsspec's memory
    filesystem gives; every one it refuses (a byte limit, a file where a
    directory is needed, ...) leaves everything as it was."""
    pyfs = lumvex.PyFs(max_bytes=max_bytes)
    lfs = fsspec.filesystem("lumvex", fs=pyfs)
    memory = MemoryFileSystem()
    memory.store, memory.pseudo_dirs = {}, [""]
    for op in ops:
        op = tuple(os.path.normpath(x) if isinstance(x, str) else x for x in op)
        if op[0] == "mv" and not lfs.isfile(op[1]):
            continue  # the memory filesystem moves files only
        if op[0] == "mv" and lfs.isdir(op[2]) != memory.isdir(op[2]):
            continue  # it forgets a directory with its last file; a move into one differs
        before = snapshot(pyfs)
        try:
            apply(lfs, op)
        except (OSError, ValueError):
            assert snapshot(pyfs) == before, op
            continue
        apply(memory, op)
        assert files_of(lfs) == {"/" + p.lstrip("/"): v for p, v in files_of(memory).items()}, op
