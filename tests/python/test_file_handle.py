"""PyFileHandle and Whence: reading, writing, seeking, locking, lifetime, the
read notice on file descriptor 1, and the seek-origin enumeration."""

import gc
import inspect
import io
import operator
import subprocess
import sys
import textwrap
import threading
import warnings

import pytest

import lumvex

Whence = lumvex.Whence

HANDLE_DOC = (
    "\nA simple wrapper around the FileHandle struct.\n\nThis class is a simple wrapper "
    "around the FileHandle struct. It defines\nthe basis for a file handle that can be "
    "used in Python. The file handle\ncan be used to read and write data to a file.\n\n"
    "A file handle is always associated with a filesystem and an inode. The\nfile "
    "handle can be used to read and write data to the file.\n\n"
    "It is not a Python file object: write does not move the offset, read\n"
    "prints a line, and files never shrink. Give libraries such as tarfile,\n"
    "gzip, zipfile or io.TextIOWrapper a file from PyFs.open_file instead.\n"
)

METHOD_DOCS = {
    "id": ("($self)", "\nReturns a string representation of the file handle.\n"),
    "close": (
        "($self)",
        "\nClose the file handle.\n\nNotice that the pyobject still holds a reference to "
        "the file handle. However\nany subsequent read or write operation will fail.\n\n"
        "Small Note on garbage collection: The file handle will internally be closed\n"
        "HOWEVER it will still keep the file system and inode alive. Until the file\n"
        "handle is dropped.\n",
    ),
    "read": (
        "($self, buffer)",
        "\nRead data from the file handle.\n\nThis function reads data from the file "
        "handle. The function will return a\nbyte array with the data that was read from "
        "the file. The function will\nreturn an error if the read operation failed.\n",
    ),
    "write": (
        "($self, buffer)",
        "\nWrite data to the file handle.\n\nThis function writes data to the file "
        "handle. The function will return the\nnumber of bytes that were written to the "
        "file. The function will return an\nerror if the write operation failed.\n",
    ),
    "seek": (
        "($self, offset, whence)",
        "\nSeek a certain position in the file.\n\nThis function seeks a certain position "
        "in the file. The function will return\nthe new position in the file. The "
        "function will return an error if the seek\noperation failed.\n",
    ),
    "tell": (
        "($self)",
        "\nTell the current position in the file.\n\nThis function returns the current "
        "position in the file. The function will\nreturn an error if the tell operation "
        "failed.\n",
    ),
}

INVALID_FD = "Invalid file descriptor"
IN_USE = "Resource is currently in use"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture
def fs():
    return lumvex.PyFs()


def file_with(fs, data, path="/f"):
    writer = fs.open(path, "w")
    writer.write(data)
    writer.close()


def value_error(message, call, *args):
    with pytest.raises(ValueError) as info:
        call(*args)
    assert info.value.args == (message,)


# --- documentation and text --------------------------------------------------------


def test_class_doc_has_no_signature():
    assert lumvex.PyFileHandle.__doc__ == HANDLE_DOC
    assert lumvex.PyFileHandle.__text_signature__ is None


@pytest.mark.parametrize("name", list(METHOD_DOCS))
def test_method_docs(fs, name):
    signature, text = METHOD_DOCS[name]
    function = getattr(lumvex.PyFileHandle, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == text
    bound = getattr(fs.open("/f", "r"), name)
    expected = signature.replace("$self, ", "").replace("$self", "")
    assert str(inspect.signature(bound)) == expected


def test_str_shows_the_handle_and_its_filesystem(fs):
    for _ in range(4):
        fs.mkdir(f"/d{_}")
    handle = fs.open("/a", "r")
    text = str(handle)
    assert text.startswith(
        "FileHandle { id: Some(5), type: FileHandleType(READ), fs: FileSystem { inodes: {"
    )
    assert text.endswith("next_inode_id: 6 }, offset: 0 }")
    assert "__repr__" not in vars(lumvex.PyFileHandle)
    handle.close()
    assert str(handle).startswith("FileHandle { id: None, type: FileHandleType(READ), ")


@pytest.mark.parametrize(
    "mode, text",
    [
        ("", "FileHandleType(0x0)"),
        ("w", "FileHandleType(WRITE)"),
        ("wr", "FileHandleType(READ | WRITE)"),
    ],
)
def test_str_shows_the_mode(fs, mode, text):
    assert f"type: {text}, fs: " in str(fs.open("/f", mode))


# --- conversions -------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, args, error, param",
    [
        ("read", (-1,), OverflowError, None),
        ("read", (2**64,), OverflowError, None),
        ("read", (Index(-5),), OverflowError, None),
        ("read", (None,), TypeError, "buffer"),
        ("read", (1.5,), TypeError, "buffer"),
        ("read", (b"1",), TypeError, "buffer"),
        ("read", (Whence.SEEK_END,), TypeError, "buffer"),
        ("write", (bytearray(b"x"),), TypeError, "buffer"),
        ("write", ("x",), TypeError, "buffer"),
        ("write", (memoryview(b"x"),), TypeError, "buffer"),
        ("write", (None,), TypeError, "buffer"),
        ("seek", (-1, Whence.SEEK_SET), OverflowError, None),
        ("seek", (2**64, Whence.SEEK_SET), OverflowError, None),
        ("seek", ("0", Whence.SEEK_SET), TypeError, "offset"),
        ("seek", (Whence.SEEK_CUR, Whence.SEEK_SET), TypeError, "offset"),
        ("seek", (0, 0), TypeError, "whence"),
        ("seek", (0, True), TypeError, "whence"),
        ("seek", (0, "SEEK_SET"), TypeError, "whence"),
        ("seek", (0, None), TypeError, "whence"),
        ("seek", (-1, 0), OverflowError, None),  # parameters convert in order
    ],
)
def test_conversion_errors(fs, method, args, error, param):
    handle = fs.open("/f", "rw")
    handle.write(b"abc")
    with pytest.raises(error) as info:
        getattr(handle, method)(*args)
    assert type(info.value) is error
    if param is None:
        assert "argument" not in str(info.value)
        assert "buffer" not in str(info.value) and "offset" not in str(info.value)
    else:
        assert str(info.value).startswith(f"argument '{param}': ")
    assert handle.tell() == 0
    assert handle.read(10) == b"abc"


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("id", (1,), "takes no arguments"),
        ("read", (), "PyFileHandle.read() missing 1 required positional argument: 'buffer'"),
        ("seek", (0,), "PyFileHandle.seek() missing 1 required positional argument: 'whence'"),
        ("write", (b"", b""), "PyFileHandle.write() takes 1 positional argument but 2 were given"),
    ],
)
def test_binding_errors(fs, method, args, message):
    with pytest.raises(TypeError) as info:
        getattr(fs.open("/f", "rw"), method)(*args)
    assert message in str(info.value)


def test_keywords(fs):
    handle = fs.open("/f", "rw")
    assert handle.write(buffer=b"hello") == 5
    assert handle.seek(whence=Whence.SEEK_END, offset=1) is None
    assert handle.read(buffer=Index(9)) == b"o"


def test_foreign_receiver_is_refused():
    with pytest.raises(TypeError):
        lumvex.PyFileHandle.read(lumvex.PyFs(), 1)
    with pytest.raises(TypeError):
        lumvex.PyFileHandle.tell(lumvex.PyFs())


# --- reading and writing -----------------------------------------------------------


def test_write_does_not_move_the_offset(fs):
    handle = fs.open("/f", "rw")
    assert handle.write(b"hello") == 5
    assert handle.tell() == 0
    assert handle.read(3) == b"hel"
    assert handle.tell() == 3
    assert handle.write(b"") == 0
    assert handle.write(b"LO!") == 3
    handle.seek(0, Whence.SEEK_SET)
    assert handle.read(100) == b"helLO!"


def test_second_write_overwrites(fs):
    handle = fs.open("/f", "w")
    handle.write(b"abc")
    handle.write(b"de")
    handle.close()
    assert fs.open("/f", "r").read(10) == b"dec"


def test_binary_data_round_trips(fs):
    data = bytes(range(256)) * 3
    file_with(fs, data)
    handle = fs.open("/f", "r")
    assert handle.read(len(data)) == data


@pytest.mark.parametrize("size", [2**62, sys.maxsize, sys.maxsize * 2 + 1, Index(2**63)])
def test_huge_read_size_returns_what_the_file_holds(fs, size, capfd):
    file_with(fs, b"small")
    handle = fs.open("/f", "r")
    assert handle.read(size) == b"small"
    assert handle.read(size) == b""
    assert capfd.readouterr().out == "Read 5 bytes from file\nRead 0 bytes from file\n"


def test_read_notice_goes_to_descriptor_one(fs, capfd, monkeypatch):
    python_stdout = io.StringIO()
    monkeypatch.setattr(sys, "stdout", python_stdout)
    file_with(fs, b"0123456789")
    handle = fs.open("/f", "r")
    assert handle.read(4) == b"0123"
    assert handle.read(0) == b""
    assert handle.read(100) == b"456789"
    assert handle.read(100) == b""
    assert handle.tell() == 10
    assert capfd.readouterr().out == (
        "Read 4 bytes from file\nRead 0 bytes from file\n"
        "Read 6 bytes from file\nRead 0 bytes from file\n"
    )
    assert python_stdout.getvalue() == ""


def test_failed_read_prints_nothing(fs, capfd):
    handle = fs.open("/f", "w")
    value_error("File does not support the specified operation: read", handle.read, 1)
    handle.close()
    value_error(INVALID_FD, handle.read, 1)
    assert capfd.readouterr().out == ""


def test_missing_file_opened_for_reading_is_empty(fs, capfd):
    handle = fs.open("/a.txt", "r")
    assert handle.read(10) == b""
    assert capfd.readouterr().out == "Read 0 bytes from file\n"


@pytest.mark.parametrize(
    "mode, method, args, message",
    [
        ("w", "read", (1,), "File does not support the specified operation: read"),
        ("r", "write", (b"x",), "File does not support the specified operation: write"),
        ("", "read", (1,), "File does not support the specified operation: read"),
        ("", "write", (b"x",), "File does not support the specified operation: write"),
    ],
)
def test_mode_restricts_operations(fs, mode, method, args, message):
    file_with(fs, b"abc")
    handle = fs.open("/f", mode)
    value_error(message, getattr(handle, method), *args)
    handle.seek(2, Whence.SEEK_SET)  # the handle stays usable
    assert handle.tell() == 2


# --- seeking ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content, start, offset, whence, expected",
    [
        (b"", 0, 5, Whence.SEEK_SET, 0),
        (b"x", 0, 3, Whence.SEEK_SET, 1),
        (b"0123456789", 9, 4, Whence.SEEK_SET, 4),
        (b"0123456789", 0, 3, Whence.SEEK_END, 7),
        (b"0123456789", 0, 20, Whence.SEEK_END, 0),
        (b"0123456789", 4, 0, Whence.SEEK_END, 10),
        (b"0123456789", 0, 100, Whence.SEEK_CUR, 10),
        (b"0123456789", 3, 4, Whence.SEEK_CUR, 7),
        (b"0123456789", 3, 0, Whence.SEEK_CUR, 3),
        (b"0123456789", 3, 2**64 - 1, Whence.SEEK_CUR, 10),
        (b"0123456789", 3, 2**64 - 1, Whence.SEEK_END, 0),
    ],
)
def test_seek_clamps_to_the_length(fs, content, start, offset, whence, expected):
    file_with(fs, content)
    handle = fs.open("/f", "r")
    handle.seek(start, Whence.SEEK_SET)
    assert handle.seek(offset, whence) is None
    assert handle.tell() == expected


def test_write_after_clamped_seek_appends(fs):
    file_with(fs, b"a")
    handle = fs.open("/f", "rw")
    handle.seek(3, Whence.SEEK_SET)
    handle.write(b"x")
    handle.seek(0, Whence.SEEK_SET)
    assert handle.read(5) == b"ax"


# --- locking -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "first, second, allowed",
    [
        ("r", "r", True),
        ("r", "", True),
        ("", "r", True),
        ("r", "w", False),
        ("r", "rw", False),
        ("", "w", False),
        ("w", "r", False),
        ("w", "", False),
        ("rw", "wr", False),
        ("wr", "w", False),
    ],
)
def test_shared_and_exclusive_opens(fs, first, second, allowed):
    held = fs.open("/f", first)
    if allowed:
        fs.open("/f", second).close()
    else:
        value_error(IN_USE, fs.open, "/f", second)
    held.close()
    fs.open("/f", second).close()
    fs.remove("/f", False)


def test_many_readers_then_a_writer(fs):
    readers = [fs.open("/f", "r") for _ in range(3)]
    for reader in readers:
        value_error(IN_USE, fs.open, "/f", "w")
        reader.close()
    fs.open("/f", "w").close()


UNCLOSED = r"^unclosed <lumvex\.PyFileHandle object at 0x[0-9a-f]+>$"


def test_dropped_handle_releases_its_lock(fs):
    handle = fs.open("/f", "rw")
    with pytest.warns(ResourceWarning, match=UNCLOSED):
        del handle
    fs.open("/f", "w").close()
    fs.remove("/f", False)


def test_handle_in_a_cycle_is_released_by_the_collector(fs):
    holder = [fs.open("/f", "w")]
    holder.append(holder)
    del holder
    with pytest.warns(ResourceWarning, match=UNCLOSED):
        gc.collect()
    fs.open("/f", "w").close()


# --- context manager and the warning for unclosed handles ------------------------------


@pytest.mark.parametrize("close_inside", [False, True])
@pytest.mark.parametrize("error", [None, KeyError("raised in the block")])
def test_with_block_closes_and_reraises(fs, close_inside, error):
    raised = None
    try:
        with fs.open("/f", "rw") as handle:
            assert type(handle) is lumvex.PyFileHandle
            handle.write(b"data")
            if close_inside:
                handle.close()
            if error is not None:
                raise error
    except KeyError as caught:
        raised = caught
    assert raised is error
    value_error(INVALID_FD, handle.id)
    fs.open("/f", "w").close()  # the write lock is gone
    assert handle.__exit__(None, None, None) is None  # a closed handle is fine


def test_enter_returns_the_handle_itself(fs):
    handle = fs.open("/f", "r")
    assert handle.__enter__() is handle
    assert handle.__exit__(exc_type=None, exc_value=None, traceback=None) is None
    with pytest.raises(TypeError, match=r"^PyFileHandle\.__exit__\(\) missing 1 required"):
        handle.__exit__(None, None)


@pytest.mark.parametrize("how", ["close", "with", "drop"])
def test_warning_only_for_unclosed_handles(fs, how):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        handle = fs.open("/f", "w")
        if how == "close":
            handle.close()
        elif how == "with":
            with handle:
                pass
        del handle
        gc.collect()
    assert [str(w.message).split(" at ")[0] for w in caught] == (
        ["unclosed <lumvex.PyFileHandle object"] if how == "drop" else []
    )


def test_warning_made_an_error_still_closes(fs, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        handle = fs.open("/f", "w")
        del handle
    assert [type(r.exc_value) for r in reports] == [ResourceWarning]
    fs.open("/f", "w").close()


# --- closing and lifetime -------------------------------------------------------------


def test_closed_handle(fs):
    handle = fs.open("/f", "rw")
    assert handle.id() == 1
    assert handle.close() is None
    for method, args in [
        ("close", ()),
        ("id", ()),
        ("tell", ()),
        ("read", (1,)),
        ("write", (b"x",)),
        ("seek", (0, Whence.SEEK_SET)),
    ]:
        value_error(INVALID_FD, getattr(handle, method), *args)
    assert "id: None" in str(handle)
    fs.open("/f", "w").close()


def test_id_is_the_inode_id(fs):
    fs.mkdir("/d")
    fs.touch("/d/x")
    assert fs.open("/d/x", "r").id() == 2
    assert fs.open("/d/y", "r").id() == 3
    assert type(fs.open("/d/y", "r").id()) is int


def test_handle_outlives_its_filesystem_object(capfd):
    fs = lumvex.PyFs()
    handle = fs.open("/f", "rw")
    handle.write(b"still here")
    del fs
    gc.collect()
    assert handle.read(100) == b"still here"
    assert "FileSystem { inodes: {" in str(handle)
    handle.close()
    assert "FileSystem { inodes: {" in str(handle)


def test_concurrent_use_of_one_handle(fs):
    handle = fs.open("/f", "rw")
    handle.write(b"0123456789")
    errors = []

    def work():
        try:
            for _ in range(200):
                handle.seek(0, Whence.SEEK_SET)
                assert len(handle.read(3)) <= 3
                assert handle.write(b"0123") == 4
                assert 0 <= handle.tell() <= 10
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


# --- Whence ------------------------------------------------------------------------


def test_whence_doc():
    text = "\nA small enumeration to determine the whence\nwhen seeking in a file.\n"
    assert Whence.__doc__ == text
    assert Whence.__text_signature__ is None


@pytest.mark.parametrize("name, value", [("SEEK_SET", 0), ("SEEK_CUR", 1), ("SEEK_END", 2)])
def test_whence_values(name, value):
    w = getattr(Whence, name)
    assert w is getattr(Whence, name)
    assert type(w) is Whence
    assert int(w) == value and type(int(w)) is int
    assert repr(w) == str(w) == f"Whence.{name}"
    assert w == value and value == w and not (w != value)
    assert w == Index(value) and w != Index(value + 1)
    assert w == w and not (w != w)
    assert w != value + 1 and w != value - 1


@pytest.mark.parametrize("other", ["1", 1.0, None, b"\x01", [1], 2**64, -(2**70), Index(2**80)])
def test_whence_equality_with_other_objects_is_false(other):
    assert not Whence.SEEK_CUR == other
    assert Whence.SEEK_CUR != other
    assert other != Whence.SEEK_CUR


def test_whence_equality_between_members():
    assert Whence.SEEK_SET != Whence.SEEK_CUR
    assert not Whence.SEEK_END == Whence.SEEK_CUR
    assert Whence.SEEK_CUR == True  # noqa: E712 - bool is an integer
    assert Whence.SEEK_SET == False  # noqa: E712


def test_whence_index_error_propagates():
    class Broken:
        def __index__(self):
            raise RuntimeError("broken index")

    with pytest.raises(RuntimeError, match="broken index"):
        Whence.SEEK_SET == Broken()  # noqa: B015


@pytest.mark.parametrize("compare", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [Whence.SEEK_END, 1])
def test_whence_has_no_order(compare, other):
    with pytest.raises(TypeError):
        compare(Whence.SEEK_CUR, other)
    with pytest.raises(TypeError):
        compare(other, Whence.SEEK_CUR)


def test_whence_is_not_hashable_or_an_index():
    assert Whence.__hash__ is None
    with pytest.raises(TypeError):
        hash(Whence.SEEK_SET)
    with pytest.raises(TypeError):
        {Whence.SEEK_SET}
    with pytest.raises(TypeError):
        operator.index(Whence.SEEK_END)
    with pytest.raises(TypeError):
        [0, 1, 2][Whence.SEEK_END]


@pytest.mark.parametrize("name", ["SEEK_SET", "SEEK_NEW"])
def test_whence_attributes_cannot_be_rebound(name):
    with pytest.raises(TypeError):
        setattr(Whence, name, 5)
    with pytest.raises((TypeError, AttributeError)):
        delattr(Whence, name)
    assert int(Whence.SEEK_SET) == 0


def test_memory_error_leaves_the_file_and_handle_usable():
    # Run in a child process: it lowers its own address-space limit so that
    # growing the file cannot allocate.
    code = textwrap.dedent(
        """
        import resource, lumvex
        fs = lumvex.PyFs()
        fs.mkdir("/d")
        handle = fs.open("/d/f", "rw")
        handle.write(b"a" * (64 << 20))
        chunk = bytes(256 << 20)
        with open("/proc/self/status") as status:
            vm = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (32 << 20), hard))
        handle.seek(0, lumvex.Whence.SEEK_END)
        try:
            handle.write(chunk)
        except MemoryError:
            print("memory error")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        del chunk
        print(handle.tell(), handle.write(b"b"))
        handle.close()
        again = fs.open("/d/f", "r")
        again.seek(1, lumvex.Whence.SEEK_END)
        print(again.read(1))
        again.close()
        fs.remove("/d", True)
        print(fs.listdir("/"))
        """
    )
    result = subprocess.run(
        [sys.executable, "-u", "-c", code], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "memory error",
        "67108864 1",
        "Read 1 bytes from file",
        "b'b'",
        "([], [])",
    ]


@pytest.mark.parametrize("make, error", [
    (lambda: b"xx", BufferError),
    (lambda: memoryview(b"ab"), BufferError),
    (lambda: 5, TypeError),
    (lambda: "text", TypeError),
])
def test_readinto_needs_a_writable_buffer(make, error):
    fs = lumvex.PyFs()
    with fs.open("/f", "w") as handle:
        handle.write(b"abc")
    with fs.open("/f", "r") as handle:
        with pytest.raises(error):
            handle.readinto(make())
        assert handle.tell() == 0  # nothing was read
        np = pytest.importorskip("numpy")
        words = np.zeros(2, dtype=np.uint16)
        assert handle.readinto(words) == 3 and words.tobytes() == b"abc\0"
