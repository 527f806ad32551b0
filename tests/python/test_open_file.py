"""PyFs.open_file: standard file objects with Python's semantics, that the
standard library's archive modules read and write as they would a host file."""

import gzip
import io
import os
import tarfile
import zipfile

import pytest

if not os.environ.get("LUMVEX_NO_SKIPS"):
    pytest.importorskip("fsspec")

import fsspec  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import lumvex  # noqa: E402
import lumvex_protocol  # noqa: E402


def test_modes_positions_and_truncate_as_python_files(tmp_path, capfd):
    fs = lumvex.PyFs()
    # Every step is done on a host file too; the two must agree.
    host = str(tmp_path / "f")
    for opener, path in ((open, host), (fs.open_file, "/f")):
        with opener(path, "wb") as f:
            assert isinstance(f, io.BufferedWriter)
            assert f.write(b"hello world") == 11 and f.tell() == 11
        with opener(path, "ab") as f:
            f.seek(0)
            f.write(b"!")  # appends whatever the position
        with opener(path, "r+b") as f:
            buffer = bytearray(5)
            assert f.readinto(buffer) == 5 and buffer == b"hello" and f.tell() == 5
            f.seek(-2, io.SEEK_END)
            f.write(b"D?")
            f.truncate(8)
            assert f.tell() == 12
        with opener(path, "w+b") as f:  # truncates
            assert f.read() == b""
        with opener(path, "w", encoding="utf-8") as f:
            f.write("é\nline\n")
        with opener(path, encoding="utf-8") as f:
            assert isinstance(f, io.TextIOWrapper) and f.readlines() == ["é\n", "line\n"]
    assert fs.read_bytes("/f") == open(host, "rb").read()
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("call, error", [
    (lambda fs: fs.open_file("/missing"), FileNotFoundError),
    (lambda fs: fs.open_file("/d", "rb"), IsADirectoryError),
    (lambda fs: fs.open_file("/d/f", "x"), FileExistsError),
    (lambda fs: fs.open_file("/d/f", "rw"), ValueError),
    (lambda fs: fs.open_file("/d/f", "rb", encoding="utf-8"), ValueError),
    (lambda fs: fs.open_file("/d/f", "r", buffering=0), ValueError),
])
def test_bad_opens_raise_what_open_raises(call, error):
    fs = lumvex.PyFs()
    fs.mkdir("/d")
    fs.touch("/d/f")
    with pytest.raises(error):
        call(fs)
    assert fs.listdir("/") == ([], ["d"]) and fs.listdir("/d") == (["f"], [])


def write_tar(f):
    with tarfile.open(fileobj=f, mode="w") as archive:
        info = tarfile.TarInfo("member")
        info.size = 3000
        archive.addfile(info, io.BytesIO(b"abc" * 1000))


def read_tar(f):
    with tarfile.open(fileobj=f) as archive:
        return archive.extractfile("member").read()


def write_gzip(f):
    with gzip.GzipFile(fileobj=f, mode="wb") as g:
        g.write(b"abc" * 1000)


def read_gzip(f):
    with gzip.GzipFile(fileobj=f) as g:
        return g.read()


def write_zip(f, mode="w"):
    with zipfile.ZipFile(f, mode) as archive:
        archive.writestr(f"member-{mode}", b"abc" * 1000)


def read_zip(f):
    with zipfile.ZipFile(f) as archive:
        return b"".join(archive.read(name) for name in archive.namelist())


@pytest.mark.parametrize("write, read", [(write_tar, read_tar), (write_gzip, read_gzip),
                                         (write_zip, read_zip)])
@pytest.mark.parametrize("through", ["open_file", "protocol"])
def test_archives_round_trip(write, read, through):
    fs = lumvex.PyFs()
    opener = fs.open_file if through == "open_file" else fsspec.filesystem("lumvex", fs=fs).open
    with opener("/archive", "wb") as f:
        write(f)
    with opener("/archive", "rb") as f:
        assert read(f) == b"abc" * 1000
    if write is write_zip:  # append mode needs truncate
        with opener("/archive", "r+b") as f:
            write(f, "a")
        with opener("/archive", "rb") as f:
            assert read(f) == b"abc" * 2000


def outcome(call):
    """What `call` gives, or the type (and errno) of what it raises."""
    try:
        return "ok", call()
    except (OSError, ValueError, TypeError) as error:
        return type(error).__name__, getattr(error, "errno", None)


@settings(max_examples=int(os.environ.get("LUMVEX_MODEL_EXAMPLES", 300)), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(mode=st.text(alphabet="rwaxbt+", max_size=4), buffering=st.sampled_from([-1, 0, 16]),
       encoding=st.sampled_from([None, "utf-8", "latin-1"]), exists=st.booleans(),
       data=st.binary(max_size=20),
       steps=st.lists(st.tuples(st.sampled_from(["read", "write", "seek", "truncate", "tell",
                                                 "readline", "flush"]),
                                st.integers(0, 24)), max_size=6))
def test_open_file_does_what_open_does(tmp_path, mode, buffering, encoding, exists, data, steps):
    """Any mode, buffering and encoding, then a few calls on the file: the
    same result, or the same error, as the built-in open on a host file, and
    the same bytes stored at the end."""
    fs = lumvex.PyFs()
    host = str(tmp_path / "f")
    if os.path.exists(host):
        os.remove(host)
    if exists:
        with open(host, "wb") as f:
            f.write(data)
        with fs.open_file("/f", "wb") as f:
            f.write(data)
    files = []
    for opener, path in ((open, host), (fs.open_file, "/f")):
        got = outcome(lambda: opener(path, mode, buffering=buffering, encoding=encoding))
        files.append(got[1] if got[0] == "ok" else None)
        if got[0] != "ok":
            files[-1] = got
    host_file, lumvex_file = files
    if isinstance(host_file, tuple) or isinstance(lumvex_file, tuple):
        # Both refuse (open looks at the file before it finds that a text
        # file cannot be unbuffered; open_file at its arguments first).
        assert isinstance(host_file, tuple) and isinstance(lumvex_file, tuple)
        unbuffered_text = buffering == 0 and "b" not in mode
        assert host_file == lumvex_file or (unbuffered_text and "ValueError" in (
            host_file[0], lumvex_file[0]))
        return
    with host_file, lumvex_file:
        assert type(host_file) is type(lumvex_file) or (  # unbuffered: a raw file of its own
            isinstance(host_file, io.RawIOBase) and isinstance(lumvex_file, io.RawIOBase))
        text = isinstance(host_file, io.TextIOBase)
        for name, number in steps:
            def step(f):
                if name == "write":
                    return f.write(data.decode("latin-1")[:number] if text else data[:number])
                if name == "seek":
                    return f.seek(number if not text else 0)
                if name == "truncate":
                    return f.truncate(number)
                if name in ("read", "readline"):
                    return getattr(f, name)(number)
                return getattr(f, name)()
            assert outcome(lambda: step(host_file)) == outcome(lambda: step(lumvex_file)), name
    with open(host, "rb") as f:
        assert fs.read_bytes("/f") == f.read()


@pytest.mark.parametrize("call, message", [
    (lambda fs: lumvex_protocol.open_file(object(), "/f"), "fs must be a lumvex.PyFs, not object"),
    (lambda fs: fs.open_file("/f", 3), "open_file() argument 'mode' must be str, not int"),
    (lambda fs: fs.open_file(b"/f"), "open_file() argument 'path' must be str, not bytes"),
])
def test_argument_types_are_named(call, message):
    fs = lumvex.PyFs()
    with pytest.raises(TypeError) as raised:
        call(fs)
    assert str(raised.value) == message and fs.listdir("/") == ([], [])


def test_the_default_filesystem_is_one_and_the_same():
    fs = lumvex_protocol.default_fs()
    assert isinstance(fs, lumvex.PyFs) and lumvex_protocol.default_fs() is fs
