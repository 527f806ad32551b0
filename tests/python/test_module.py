"""The module frame: import, __all__, class shape, PyFs construction, and the
argument binding, conversion and error mapping every method goes through."""

import importlib
import importlib.metadata
import os
import sys
import weakref

import pytest

import lumvex

ALL_CLASSES = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyTerminalSession"]

NEW_FS_TEXT = (
    'FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: "", '
    "data: RwLock { data: Directory { children: [] }, poisoned: false, .. } }}, "
    "next_inode_id: 1 }"
)

FS_DOC = (
    "\nA highly simplified binding for a simple filesystem.\n"
    "\nThis class is a simple wrapper around the FileSystem struct. It defines\n"
    "the basis for a small filesystem that can be used in Python. The filesystem\n"
    "can handle files, nested directories and symlinks.\n"
    "\nThe filesystem is thread-safe and can be shared between multiple threads.\n"
)


def method(name):
    """The bound PyFs method `name` of a new filesystem."""
    return getattr(lumvex.PyFs(), name)


# --- module ----------------------------------------------------------------


def test_import_is_cached():
    again = importlib.import_module("lumvex")
    assert again is lumvex
    # A fresh import after dropping it from sys.modules initialises the
    # module again and still yields the very same object.
    saved = sys.modules.pop("lumvex")
    try:
        assert importlib.import_module("lumvex") is saved
    finally:
        sys.modules["lumvex"] = saved


def test_all_lists_classes_in_order():
    names = lumvex.__all__
    assert isinstance(names, list)
    assert names == ALL_CLASSES
    for name in names:
        assert isinstance(getattr(lumvex, name), type)
    assert lumvex.__doc__ == ""
    assert "InternalError" not in names


def test_version_is_the_package_version():
    # One version, from pyproject.toml: the installed package's metadata, the
    # module attribute and rm's version text all show it.
    version = importlib.metadata.version("lumvex")
    assert lumvex.__version__ == version
    with pytest.raises(ValueError) as info:
        lumvex.PyTerm(lumvex.PyFs()).exec("rm --version")
    assert str(info.value) == f"rm: lumvex {version}\n"


def test_internal_error_is_not_an_exception():
    error = lumvex.InternalError
    assert error.__bases__ == (BaseException,)
    assert not issubclass(error, Exception)
    assert error.__module__ == "lumvex"
    caught_as_exception = False
    with pytest.raises(error) as info:
        try:
            raise error("broken")
        except Exception:  # must not catch it
            caught_as_exception = True
    assert not caught_as_exception
    assert str(info.value) == "broken"


def run_in_legacy_subinterpreter(script):
    """Runs `script` in a second interpreter that shares the main one's
    settings (as every sub-interpreter did before 3.12), so that the module's
    own check meets the import; raises AssertionError if the script fails."""
    try:
        import _interpreters  # 3.13 and later
    except ImportError:
        import _xxsubinterpreters

        legacy = {"isolated": False} if sys.version_info >= (3, 12) else {}
        interp = _xxsubinterpreters.create(**legacy)
        try:
            _xxsubinterpreters.run_string(interp, script)
        except _xxsubinterpreters.RunFailedError as error:
            raise AssertionError(str(error)) from None
        finally:
            _xxsubinterpreters.destroy(interp)
        return
    interp = _interpreters.create("legacy")
    try:
        failure = _interpreters.run_string(interp, script)
    finally:
        _interpreters.destroy(interp)
    if failure is not None:
        raise AssertionError(failure.formatted)


def test_second_interpreter_cannot_import():
    script = (
        "import sys\n"
        f"sys.path.insert(0, {os.path.dirname(lumvex.__file__)!r})\n"
        "try:\n"
        "    import lumvex\n"
        "except ImportError as error:\n"
        "    assert 'only one interpreter' in str(error), error\n"
        "else:\n"
        "    raise AssertionError('imported in a second interpreter')\n"
    )
    run_in_legacy_subinterpreter(script)


# --- class shape -------------------------------------------------------------


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_classes_cannot_be_subclassed(name):
    cls = getattr(lumvex, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", ["PyFileHandle", "Whence"])
def test_classes_without_constructor(name):
    for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError, match="^No constructor defined$"):
            getattr(lumvex, name)(*args, **kwargs)


def test_instances_have_no_dict_or_weakref():
    fs = lumvex.PyFs()
    assert not hasattr(fs, "__dict__")
    with pytest.raises(AttributeError):
        fs.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(fs)


# --- PyFs construction and text -----------------------------------------------


def test_fs_signature_and_doc():
    assert lumvex.PyFs.__text_signature__ == "()"
    assert lumvex.PyFs.__doc__ == FS_DOC


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "PyFs.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "PyFs.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "PyFs.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_fs_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        lumvex.PyFs(*args, **kwargs)
    assert str(info.value) == message


def test_fs_str_of_new_filesystem():
    first, second = lumvex.PyFs(), lumvex.PyFs()
    assert first is not second
    assert str(first) == str(second) == NEW_FS_TEXT
    assert "__repr__" not in vars(lumvex.PyFs)
    assert repr(first).startswith("<lumvex.PyFs object at ")


def test_new_filesystems_are_independent():
    first, second = lumvex.PyFs(), lumvex.PyFs()
    method("mkdir")
    first.mkdir("/a")
    assert str(second) == NEW_FS_TEXT
    assert str(first) != NEW_FS_TEXT


# --- argument binding ----------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("mkdir", (), {}, "PyFs.mkdir() missing 1 required positional argument: 'path'"),
        ("mkdir", ("/a", "/b"), {}, "PyFs.mkdir() takes 1 positional argument but 2 were given"),
        ("mkdir", (), {"path": "/a", "x": 1}, "PyFs.mkdir() got an unexpected keyword argument 'x'"),
        ("mkdir", ("/a",), {"path": "/a"}, "PyFs.mkdir() got multiple values for argument 'path'"),
        ("open", (), {}, "PyFs.open() missing 2 required positional arguments: 'path' and 'mode'"),
        ("remove", ("/a",), {}, "PyFs.remove() missing 1 required positional argument: 'recurse'"),
        (
            "tree",
            ("/", None, 1),
            {},
            "PyFs.tree() takes from 1 to 2 positional arguments but 3 were given",
        ),
        ("tree", (), {"ident": None}, "PyFs.tree() missing 1 required positional argument: 'path'"),
    ],
)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        method(name)(*args, **kwargs)
    assert str(info.value) == message


def test_keywords_bind_by_name():
    fs = lumvex.PyFs()
    method("remove")
    fs.mkdir(path="/a")
    fs.remove(recurse=False, path="/a")
    if hasattr(fs, "tree"):
        assert fs.tree("/") == fs.tree(path="/", ident=None) == fs.tree("/", None) == ""


@pytest.mark.parametrize(
    "name, args, param",
    [
        ("mkdir", (5,), "path"),
        ("mkdir", (b"/a",), "path"),
        ("open", (5, 5), "path"),  # the first parameter that fails ends the call
        ("open", ("/f", b"r"), "mode"),
        ("remove", ("/a", 1), "recurse"),
        ("remove", ("/a", None), "recurse"),
        ("tree", ("/", 3), "ident"),
    ],
)
def test_conversion_type_errors_name_the_argument(name, args, param):
    with pytest.raises(TypeError) as info:
        method(name)(*args)
    assert str(info.value).startswith(f"argument '{param}': ")
    assert type(info.value.__cause__) is TypeError
    assert str(info.value) == f"argument '{param}': {info.value.__cause__}"


def test_text_conversion():
    class Text(str):
        pass

    fs = lumvex.PyFs()
    method("mkdir")
    mkdir = fs.mkdir
    mkdir(Text("/sub"))
    mkdir("/ünï")
    with pytest.raises(UnicodeEncodeError):
        mkdir("/\udc80")
    if hasattr(fs, "listdir"):
        assert fs.listdir("/") == ([], ["sub", "ünï"])


def test_truth_values():
    fs = lumvex.PyFs()
    method("remove")
    fs.mkdir("/a")
    fs.remove("/a", False)
    np = pytest.importorskip("numpy")
    fs.mkdir("/b")
    fs.remove("/b", np.bool_(True))
    with pytest.raises(TypeError, match="^argument 'recurse': "):
        fs.remove("/b", np.int64(1))


def test_io_error_becomes_value_error():
    fs = lumvex.PyFs()
    method("mkdir")
    fs.mkdir("/a")
    with pytest.raises(ValueError) as info:
        fs.mkdir("/a")
    assert info.value.args == ("Resource already exists",)
    assert type(info.value) is ValueError


def test_foreign_receiver_is_refused():
    mkdir = method("mkdir")
    with pytest.raises(TypeError):
        type(mkdir.__self__).mkdir(object(), "/a")


@pytest.fixture
def handle():
    method("open")
    return lumvex.PyFs().open("/f", "rw")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "value, error",
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        ("1", TypeError),
        (1.0, TypeError),
        (Index(-1), OverflowError),
    ],
)
def test_size_conversion_errors(handle, value, error):
    with pytest.raises(error) as info:
        handle.read(value)
    if error is OverflowError:
        assert "buffer" not in str(info.value)
    else:
        assert str(info.value).startswith("argument 'buffer': ")


def test_size_accepts_index(handle):
    assert handle.read(Index(4)) == b""
    assert handle.read(True) == b""


@pytest.mark.parametrize("value", [bytearray(b"x"), memoryview(b"x"), "x", 1])
def test_bytes_only(handle, value):
    with pytest.raises(TypeError, match="^argument 'buffer': "):
        handle.write(value)
