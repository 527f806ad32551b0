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

import lumvex  # noqa: E402


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
