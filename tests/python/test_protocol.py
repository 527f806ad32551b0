"""The fsspec protocol "lumvex": fsspec's own conformance suite run against it,
the standard file objects, and pandas and pyarrow round trips through
lumvex:// URLs."""

import errno
import io
import os
import pickle

import pytest

if not os.environ.get("LUMVEX_NO_SKIPS"):
    pytest.importorskip("fsspec")

import fsspec  # noqa: E402
import fsspec.tests.abstract as abstract  # noqa: E402

import lumvex  # noqa: E402
from lumvex_protocol import LumvexFileSystem, default_fs  # noqa: E402


class LumvexFixtures(abstract.AbstractFixtures):
    @pytest.fixture(scope="class")
    @classmethod
    def fs(cls):
        return fsspec.filesystem("lumvex", fs=lumvex.PyFs())

    @pytest.fixture
    def fs_join(self):
        return lambda *args: "/".join(args)

    @pytest.fixture
    def fs_path(self):
        return ""


class TestLumvexCopy(abstract.AbstractCopyTests, LumvexFixtures):
    pass


class TestLumvexGet(abstract.AbstractGetTests, LumvexFixtures):
    pass


class TestLumvexPut(abstract.AbstractPutTests, LumvexFixtures):
    pass


class TestLumvexPipe(abstract.AbstractPipeTests, LumvexFixtures):
    pass


class TestLumvexOpen(abstract.AbstractOpenTests, LumvexFixtures):
    pass


@pytest.fixture
def pyfs():
    return lumvex.PyFs()


@pytest.fixture
def lfs(pyfs):
    return fsspec.filesystem("lumvex", fs=pyfs)


def test_protocol_serves_the_given_filesystem_or_the_default(pyfs, lfs):
    assert isinstance(lfs, LumvexFileSystem) and lfs.pyfs is pyfs
    lfs.pipe_file("lumvex://data/x.bin", b"abc")
    assert pyfs.listdir("/data") == (["x.bin"], [])
    assert fsspec.filesystem("lumvex").pyfs is default_fs() is fsspec.filesystem("lumvex").pyfs
    with fsspec.open("lumvex://data/x.bin", "rb", fs=pyfs) as f:
        assert f.read() == b"abc"


def test_file_objects_are_standard_and_keep_their_own_position(lfs, capfd):
    with lfs.open("/f", "wb") as f:
        assert isinstance(f, io.BufferedWriter) and f.writable() and not f.readable()
        f.write(b"hello ")
        f.write(b"world")
        assert f.tell() == 11
    with lfs.open("/f", "ab") as f:
        f.write(b"!")
    with lfs.open("/f", "r+b") as f:
        assert f.read(5) == b"hello"
        f.seek(-6, io.SEEK_END)
        f.write(b"WORLD")
        f.seek(0)
        assert f.read() == b"hello WORLD!"
    with lfs.open("/f", "wb") as f:  # replaces the contents
        f.write(b"new")
    with lfs.open("/f", "rb") as f:
        assert f.read() == b"new" and f.seekable()
        f.seek(1)
        assert f.read(10) == b"ew" and f.tell() == 3
    with lfs.open("/f", "rt") as f:
        assert f.read() == "new"
    assert capfd.readouterr().out == ""  # no read notice


@pytest.mark.parametrize("call, error, code", [
    (lambda fs: fs.open("/missing", "rb"), FileNotFoundError, errno.ENOENT),
    (lambda fs: fs.open("/d", "rb"), IsADirectoryError, errno.EISDIR),
    (lambda fs: fs.open("/d/f", "xb"), FileExistsError, errno.EEXIST),
    (lambda fs: fs.ls("/missing"), FileNotFoundError, errno.ENOENT),
    (lambda fs: fs.mkdir("/d", create_parents=False), FileExistsError, errno.EEXIST),
    (lambda fs: fs.rmdir("/d"), OSError, errno.ENOTEMPTY),
    (lambda fs: fs.rm_file("/d"), IsADirectoryError, errno.EISDIR),
    (lambda fs: fs.info("/d/f/x"), NotADirectoryError, errno.ENOTDIR),
    (lambda fs: fs.mv("/d", "/d/sub/d"), OSError, errno.EINVAL),
])
def test_errors_are_standard_oserrors(lfs, call, error, code):
    lfs.pipe_file("/d/f", b"x")
    with pytest.raises(error) as raised:
        call(lfs)
    assert raised.value.errno == code


def test_a_file_open_for_writing_is_busy(lfs):
    with lfs.open("/f", "wb"):
        with pytest.raises(OSError) as raised:
            lfs.open("/f", "rb")
        assert raised.value.errno == errno.EBUSY


def test_mv_renames_in_place_and_listing_and_info(pyfs, lfs):
    lfs.pipe_file("/a/b/c.txt", b"123")
    ino = lfs.info("/a/b/c.txt")["ino"]
    with pyfs.open("/a/b/c.txt", "r") as handle:
        lfs.mv("/a", "/z/renamed")
        assert handle.readinto(bytearray(3)) == 3  # the handle followed
    assert lfs.info("/z/renamed/b/c.txt")["ino"] == ino
    assert lfs.ls("/z/renamed", detail=False) == ["/z/renamed/b"]
    assert lfs.info("/z/renamed/b")["type"] == "directory"
    assert lfs.ls("/z/renamed/b/c.txt", detail=True)[0]["size"] == 3
    assert lfs.modified("/z/renamed/b/c.txt").timestamp() > 0
    assert not lfs.exists("/a")


def test_filesystem_pickles_with_its_tree(lfs):
    lfs.pipe_file("/p/q", b"data")
    copy = pickle.loads(pickle.dumps(lfs))
    assert copy.cat_file("/p/q") == b"data" and copy.pyfs is not lfs.pyfs


def test_pandas_and_pyarrow_round_trips(pyfs):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    frame = pd.DataFrame({"n": range(1000), "s": [f"row {i}" for i in range(1000)]})
    options = {"fs": pyfs}
    frame.to_csv("lumvex://data/x.csv", index=False, storage_options=options)
    pd.testing.assert_frame_equal(pd.read_csv("lumvex://data/x.csv", storage_options=options),
                                  frame)
    frame.to_parquet("lumvex://data/x.parquet", storage_options=options)
    pd.testing.assert_frame_equal(pd.read_parquet("lumvex://data/x.parquet",
                                                  storage_options=options), frame)
    assert sorted(pyfs.listdir("/data")[0]) == ["x.csv", "x.parquet"]
