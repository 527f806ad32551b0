"""PyFs methods: mkdir, touch, open, listdir, remove and tree, as seen from
Python (conversions, results, error texts), and their reference counting."""

import gc
import inspect
import os
import sys

import pytest

import lumvex

DOCS = {
    "mkdir": (
        "($self, path)",
        "\nCreate a new directory in the filesystem.\n\nThis function creates a new "
        "directory in the filesystem. The function will\nreturn an error if the "
        "directory could not be created.\n",
    ),
    "touch": (
        "($self, path)",
        "\nCreate a new file in the filesystem.\n\nThis function creates a new file in "
        "the filesystem. The function will return\nan error if the file could not be "
        "created.\n",
    ),
    "open": (
        "($self, path, mode)",
        "\nOpen a file in the filesystem.\n\nThis function opens a file in the "
        "filesystem. The function will return a file\nhandle that can be used to read "
        "and write data to the file. The function will\nreturn an error if the file "
        "could not be opened.\n",
    ),
    "listdir": (
        "($self, path)",
        "\nList the contents of a directory.\n\nThis function lists the contents of a "
        "directory. The function will return a\nlist of strings with the names of the "
        "files and directories in the directory.\nThe function will return an error "
        "if the directory could not be listed.\n",
    ),
    "remove": ("(recurse=False)", "\nRemove a file from the filesystem.\n"),
    "tree": (
        "($self, path, ident=None)",
        "\nDebug the file system\n\nThis function will return a debug representation "
        "of the filesystem as a string.\n",
    ),
}

SIGNATURES = {
    "mkdir": "(path)",
    "touch": "(path)",
    "open": "(path, mode)",
    "listdir": "(path)",
    "remove": "(recurse=False)",
    "tree": "(path, ident=None)",
}


@pytest.fixture
def fs():
    return lumvex.PyFs()


@pytest.fixture
def sample(fs):
    """/a, /a/b, /a/b/f and /g, made in that order."""
    fs.mkdir("/a")
    fs.mkdir("/a/b")
    fs.touch("/a/b/f")
    fs.touch("/g")
    return fs


def raises_value_error(message, call, *args):
    with pytest.raises(ValueError) as info:
        call(*args)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


# --- documentation ---------------------------------------------------------------


@pytest.mark.parametrize("name", list(DOCS))
def test_docs_and_signatures(fs, name):
    signature, text = DOCS[name]
    function = getattr(lumvex.PyFs, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == text
    assert str(inspect.signature(getattr(fs, name))) == SIGNATURES[name]


def test_method_order():
    names = [n for n in vars(lumvex.PyFs) if n in DOCS]
    assert names == list(DOCS)


# --- conversions -----------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, param",
    [
        ("touch", (None,), "path"),
        ("listdir", (1,), "path"),
        ("remove", (b"/a", True), "path"),
        ("remove", ("/a", 0), "recurse"),
        ("remove", ("/a", "yes"), "recurse"),
        ("tree", (["/"],), "path"),
        ("tree", ("/", b">"), "ident"),
        ("open", ("/f", None), "mode"),
    ],
)
def test_type_errors_name_the_argument(fs, name, args, param):
    with pytest.raises(TypeError, match=f"^argument '{param}': "):
        getattr(fs, name)(*args)
    assert fs.listdir("/") == ([], [])


@pytest.mark.parametrize("name", ["mkdir", "touch", "listdir", "tree"])
def test_lone_surrogate_is_an_encoding_error(fs, name):
    with pytest.raises(UnicodeEncodeError):
        getattr(fs, name)("/\udcff")


# --- mkdir, touch, remove ----------------------------------------------------------


@pytest.mark.parametrize(
    "setup, call, args, message",
    [
        ([], "mkdir", ("/a",), None),
        (["/a"], "mkdir", ("/a",), "Resource already exists"),
        (["/a"], "touch", ("/a",), "Resource already exists"),
        ([], "mkdir", ("/x/y",), "Inode not found"),
        ([], "touch", ("/x/y",), "Inode not found"),
        (["/a", "/a/b"], "remove", ("/a", False), "Directory is not empty"),
        (["/a", "/a/b"], "remove", ("/a", True), None),
        ([], "remove", ("/missing", True), "Inode not found"),
    ],
)
def test_create_and_remove(fs, setup, call, args, message):
    for path in setup:
        fs.mkdir(path)
    if message is None:
        assert getattr(fs, call)(*args) is None
    else:
        raises_value_error(message, getattr(fs, call), *args)


def test_removed_entries_leave_the_listing(sample):
    sample.remove("/g", False)
    sample.remove(path="/a", recurse=True)
    assert sample.listdir("/") == ([], [])
    assert sample.tree("/") == ""


def test_open_file_cannot_be_removed(fs):
    handle = fs.open("/f", "r")
    raises_value_error("Resource is currently in use", fs.remove, "/f", False)
    handle.close()
    fs.remove("/f", False)
    assert fs.listdir("/") == ([], [])


# --- open --------------------------------------------------------------------------


@pytest.mark.parametrize("mode", ["", "r", "w", "rw", "wr"])
def test_open_creates_a_missing_file_whatever_the_mode(fs, mode):
    handle = fs.open("/a.txt", mode)
    assert type(handle) is lumvex.PyFileHandle
    assert fs.listdir("/") == (["a.txt"], [])
    handle.close()


@pytest.mark.parametrize("mode", ["x", "R", "rr", "ww", "rwr", "a", "r+", "rb", " r"])
def test_invalid_mode_creates_nothing(fs, mode):
    raises_value_error("Unrecognized file mode", fs.open, "/a.txt", mode)
    assert fs.listdir("/") == ([], [])


def test_mode_is_parsed_after_both_arguments(fs):
    # A bad path type is reported even when the mode is invalid too.
    with pytest.raises(TypeError, match="^argument 'path': "):
        fs.open(1, "x")


@pytest.mark.parametrize(
    "path, message",
    [
        ("/d", "The specified INode is not a file"),
        ("/", "The specified INode is not a file"),
        ("/d/..", "The specified INode is not a file"),
        ("/missing/x", "Inode not found"),
        ("/f/x", "The specified INode is not a directory"),
    ],
)
def test_open_errors(fs, path, message):
    fs.mkdir("/d")
    fs.touch("/f")
    raises_value_error(message, fs.open, path, "r")


def test_open_does_not_truncate(fs):
    writer = fs.open("/f", "w")
    writer.write(b"kept")
    writer.close()
    fs.open("/f", "w").close()
    assert fs.open("/f", "r").read(10) == b"kept"


# --- listdir -----------------------------------------------------------------------


def test_listing_order(fs):
    fs.mkdir("/d")
    fs.touch("/f")
    fs.touch("/g")
    fs.mkdir("/c")
    listing = fs.listdir("/")
    assert listing == (["f", "g"], ["d", "c"])
    assert type(listing) is tuple
    assert all(type(part) is list for part in listing)
    assert all(type(name) is str for part in listing for name in part)
    assert fs.listdir("/d") == ([], [])
    assert fs.listdir("") == fs.listdir("\\") == fs.listdir("d/..") == listing


def test_listing_gives_fresh_lists(fs):
    fs.touch("/f")
    first = fs.listdir("/")
    first[0].append("x")
    assert fs.listdir("/") == (["f"], [])


@pytest.mark.parametrize(
    "path, message",
    [("/f", "The specified INode is not a directory"), ("/nothing", "Inode not found")],
)
def test_listing_errors(fs, path, message):
    fs.touch("/f")
    raises_value_error(message, fs.listdir, path)


# --- tree --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        (("/",), "a/\n  b/\n    f\ng\n"),
        (("/", None), "a/\n  b/\n    f\ng\n"),
        (("",), "a/\n  b/\n    f\ng\n"),
        (("/", "> "), "> a/\n>   b/\n>     f\n> g\n"),
        (("/a",), "b/\n  f\n"),
        (("a",), "b/\n  f\n"),
        (("/a", "\t"), "\tb/\n\t  f\n"),
        (("/a/b",), "f\n"),
        (("/a/b", ""), "f\n"),
    ],
)
def test_tree_layout(sample, args, expected):
    assert sample.tree(*args) == expected


def test_tree_of_new_filesystem_is_empty(fs):
    assert fs.tree("/") == ""
    assert fs.tree("/", "> ") == ""


def test_tree_puts_directories_first(fs):
    fs.touch("/z")
    fs.mkdir("/y")
    fs.mkdir("/y/x")
    fs.touch("/y/w")
    fs.mkdir("/v")
    assert fs.tree("/") == "y/\n  x/\n  w\nv/\nz\n"


def test_tree_accepts_str_subclass_ident(sample):
    class Text(str):
        pass

    assert sample.tree(path="/a", ident=Text("#")) == "#b/\n#  f\n"


@pytest.mark.parametrize(
    "path, message",
    [("/g", "The specified INode is not a directory"), ("/nothing", "Inode not found")],
)
def test_tree_errors(sample, path, message):
    raises_value_error(message, sample.tree, path)


def test_tree_at_the_depth_limit(fs):
    path = ""
    for _ in range(64):
        path += "/d"
        fs.mkdir(path)
    text = fs.tree("/")
    lines = text.splitlines()
    assert len(lines) == 64
    assert lines[-1] == "  " * 63 + "d/"


@pytest.fixture
def kinds(fs):
    """/d holding /d/in, the file /f, and /e holding /e/sub holding /e/sub/g."""
    for path in ("/d", "/d/in", "/e", "/e/sub"):
        fs.mkdir(path)
    fs.touch("/f")
    fs.touch("/e/sub/g")
    return fs


@pytest.mark.parametrize("src, dst, message", [
    ("/d", "/f", "The specified INode is not a directory"),   # a directory onto a file
    ("/f", "/e", "The specified INode is not a file"),        # a file onto a directory
    ("/d", "/e", "Directory is not empty"),
    ("/e/sub", "/e", "Directory is not empty"),                # onto its own directory
    ("/d", "/d/in/x", "File does not support the specified operation: rename"),
    ("/d", "/d", None),                                        # onto itself: nothing to do
    ("/missing", "/x", "Inode not found"),
])
def test_refused_renames_change_nothing(kinds, src, dst, message):
    before = str(kinds)
    if message is None:
        kinds.rename(src, dst)
    else:
        raises_value_error(message, kinds.rename, src, dst)
    assert str(kinds) == before


def test_renames_at_the_depth_limit(fs):
    """An entry may be moved to depth 64 but no deeper, and a directory only
    as deep as its deepest entry allows."""
    too_deep = "Maximum filesystem depth exceeded"
    chain = ""
    for _ in range(64):
        chain += "/c"
        fs.mkdir(chain)  # the last at depth 64
    at_63 = "/c" * 63
    fs.touch("/f")
    fs.rename("/f", at_63 + "/f")  # depth 64
    before = str(fs)
    raises_value_error(too_deep, fs.rename, at_63 + "/f", chain + "/f")
    assert str(fs) == before
    fs.mkdir("/t")
    fs.mkdir("/t/u")
    fs.rename("/t", "/c" * 62 + "/t")  # its deepest entry at depth 64
    before = str(fs)
    raises_value_error(too_deep, fs.rename, "/c" * 62 + "/t", at_63 + "/t")
    assert str(fs) == before
    fs.rename("/c" * 62 + "/t", "/t")  # back up: the depths below follow
    fs.mkdir("/t/u/v")
    assert fs.listdir("/t/u") == ([], ["v"])


# --- lifetime and reference counts ---------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def churn(fs, path, data, count):
    for _ in range(count):
        handle = fs.open(path, "rw")
        handle.write(data)
        handle.read(len(data))
        handle.seek(0, lumvex.Whence.SEEK_SET)
        handle.close()
        fs.mkdir("/dir")
        fs.listdir("/")
        fs.tree("/", "-")
        fs.remove("/dir", True)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_repeated_calls_do_not_leak(capfd):
    fs = lumvex.PyFs()
    path, data = "/leak", b"x" * 100
    watched = [fs, path, data, lumvex.Whence.SEEK_SET, lumvex.PyFileHandle]
    churn(fs, path, data, 2000)  # warm-up
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    total = getattr(sys, "gettotalrefcount", lambda: 0)()
    before = resident_bytes()
    churn(fs, path, data, 10000)
    gc.collect()
    after = resident_bytes()
    capfd.readouterr()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    if hasattr(sys, "gettotalrefcount"):
        assert sys.gettotalrefcount() - total < 100
    assert after - before < 512 * 1024
    assert fs.listdir("/") == (["leak"], [])
