"""The sessions' file methods (write_file, read_file, upload, download) with
their commands run by a local bash in a directory of its own: the trees that
go out and come back, the old content they replace, and the errors they
raise. (test_run.py runs them in a real session, walls and all.)"""

import errno
import os
import posixpath
import subprocess

import pytest

if not os.environ.get("LUMVEX_NO_SKIPS"):  # in CI a missing Hypothesis must fail
    pytest.importorskip("hypothesis")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _lumvex_session_files as files  # noqa: E402
import lumvex  # noqa: E402


HELPER = os.path.join(os.path.dirname(lumvex.__file__), "lumvex-session-helper")


class LocalSession:
    """What PyTerminalSession.run and _transfer give the methods: a local
    bash, and lumvex's helper program running its transfer as this process,
    both in the directory `home`."""

    def __init__(self, home):
        self.home = str(home)
        self.envs = []

    def run(self, command, *, timeout=None, input=None, env=None, max_output=None):
        self.envs.append(env)
        return subprocess.run(["bash", "-c", command], input=bytes(input or b""), cwd=self.home,
                              capture_output=True, timeout=timeout,
                              env={"PATH": os.environ["PATH"], **(env or {})})

    def _transfer(self, mode, path):
        out = subprocess.run([HELPER, "transfer", mode, path, str(1 << 30)], cwd=self.home,
                             capture_output=True, timeout=60)
        if out.returncode != 0:
            raise OSError(out.returncode, out.stderr.decode().strip(), path)
        return out.stdout


class CannedSession:
    """A session whose every transfer gives `stdout`."""

    def __init__(self, stdout):
        self.stdout = stdout

    def _transfer(self, mode, path):
        return self.stdout


@pytest.fixture
def session(tmp_path):
    return LocalSession(tmp_path)


def put(fs, path, data):
    if files._kind(fs, path) == "file":
        fs.remove(path, False)
    with fs.open(path, "w") as handle:
        handle.write(data)


def tree_of(fs, path):
    """Every entry below `path` of a PyFs, relative: None for a directory."""
    names, dirs = fs.listdir(path)
    out = {}
    for name in names:
        out[name] = files._read_fs_file(fs, posixpath.join(path, name))
    for name in dirs:
        out[name] = None
        out.update({posixpath.join(name, k): v
                    for k, v in tree_of(fs, posixpath.join(path, name)).items()})
    return out


def tree_on_disk(root):
    out = {}
    for here, dirs, names in os.walk(root):
        relative = os.path.relpath(here, root)
        for name in dirs:
            out[os.path.normpath(os.path.join(relative, name))] = None
        for name in names:
            at = os.path.join(here, name)
            if os.path.islink(at) or not os.path.isfile(at):
                out[os.path.normpath(os.path.join(relative, name))] = "other"
                continue
            with open(at, "rb") as f:
                out[os.path.normpath(os.path.join(relative, name))] = f.read()
    return out


# Names that quoting must get right, and bytes of every kind.
NAMES = st.sampled_from(["a", "b c", "-n", "it's", "é", "$HOME", "*", ".hidden"])
TREES = st.recursive(
    st.binary(max_size=300),
    lambda inner: st.dictionaries(NAMES, inner, max_size=4),
    max_leaves=10,
).filter(lambda t: isinstance(t, dict))


def build(fs, path, tree):
    fs.mkdir(path)
    for name, value in tree.items():
        at = posixpath.join(path, name)
        if isinstance(value, dict):
            build(fs, at, value)
        else:
            put(fs, at, value)


def flatten(tree, prefix=""):
    out = {}
    for name, value in tree.items():
        at = posixpath.join(prefix, name) if prefix else name
        if isinstance(value, dict):
            out[at] = None
            out.update(flatten(value, at))
        else:
            out[at] = value
    return out


@settings(max_examples=int(os.environ.get("LUMVEX_MODEL_EXAMPLES", 60)), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tree=TREES, old=TREES)
def test_trees_go_out_and_come_back_whole_over_older_ones(tmp_path_factory, tree, old):
    """upload gives the session exactly the tree; download brings exactly it
    back, merged over an older tree whose longer files lose their tails; each
    file reads back through read_file."""
    home = tmp_path_factory.mktemp("home")
    session = LocalSession(home)
    fs = lumvex.PyFs()
    build(fs, "/src", tree)
    files.upload(session, fs, "/src", "up")
    assert tree_on_disk(home / "up") == flatten(tree)
    for path, data in flatten(tree).items():
        if data is not None:
            assert files.read_file(session, "up/" + path) == data

    back = lumvex.PyFs()
    back.mkdir("/in")
    build(back, "/in/back", old)
    merged = flatten(old)
    conflict = any((merged.get(p, 0) is None) != (v is None) for p, v in flatten(tree).items()
                   if p in merged)
    before = tree_of(back, "/")
    try:
        files.download(session, "up", back, "/in/back")
    except (NotADirectoryError, IsADirectoryError):
        # A file of the old tree where the new one has a directory, or the
        # reverse: refused, and nothing of it stays.
        assert conflict
        assert tree_of(back, "/") == before
        return
    assert not conflict, before
    merged.update(flatten(tree))
    assert tree_of(back, "/in/back") == merged
    assert all(env == files.ENV for env in session.envs)


@pytest.mark.parametrize("mode", [0o600, 0o755])
def test_write_file_replaces_whole_and_keeps_the_mode(session, tmp_path, mode):
    target = tmp_path / "f"
    target.write_bytes(b"a much longer old content")
    target.chmod(mode)
    files.write_file(session, "f", memoryview(b"new"))
    assert target.read_bytes() == b"new" and target.stat().st_mode & 0o777 == mode
    files.write_file(session, str(tmp_path / "g"), bytearray(b"made"))
    assert (tmp_path / "g").stat().st_mode & 0o777 == 0o644
    assert sorted(os.listdir(tmp_path)) == ["f", "g"]  # no temporary file left


@pytest.mark.parametrize("call, error", [
    (lambda s, fs: files.read_file(s, "missing"), errno.ENOENT),
    (lambda s, fs: files.read_file(s, "dir"), errno.EISDIR),
    (lambda s, fs: files.read_file(s, "fifo"), errno.EINVAL),
    (lambda s, fs: files.write_file(s, "missing/f", b"x"), errno.ENOENT),
    (lambda s, fs: files.write_file(s, "file/f", b"x"), errno.ENOTDIR),
    (lambda s, fs: files.write_file(s, "dir", b"x"), errno.EIO),  # its temporary file goes
    (lambda s, fs: files.download(s, "missing", fs, "/new"), errno.ENOENT),
    (lambda s, fs: files.download(s, "fifo", fs, "/new"), errno.EINVAL),
    (lambda s, fs: files.download(s, "file", fs, "/old/f/g"), errno.ENOTDIR),
    (lambda s, fs: files.download(s, "dir", fs, "/old/f"), errno.ENOTDIR),
    (lambda s, fs: files.download(s, "file", fs, "/old"), errno.EISDIR),
    (lambda s, fs: files.upload(s, fs, "/missing", "up"), errno.ENOENT),
    (lambda s, fs: files.upload(s, fs, "/old/f", "file/x"), errno.ENOTDIR),
    (lambda s, fs: files.upload(s, fs, "/old", "file"), errno.EEXIST),
])
def test_failures_raise_their_errno_and_change_nothing(session, tmp_path, call, error):
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "in").write_bytes(b"in")
    (tmp_path / "file").write_bytes(b"kept")
    os.mkfifo(tmp_path / "fifo")
    fs = lumvex.PyFs()
    fs.mkdir("/old")
    put(fs, "/old/f", b"kept")
    disk, kept = tree_on_disk(tmp_path), tree_of(fs, "/")
    with pytest.raises(OSError) as raised:
        call(session, fs)
    # The text is the system's own for the errno, or a command's message.
    text = raised.value.strerror
    assert raised.value.errno == error and (text == os.strerror(error) or ": " in text), text
    assert raised.value.filename in ("missing", "dir", "fifo", "missing/f", "file/f", "file",
                                     "file/x", "/old", "/old/f", "/old/f/g", "/missing")
    assert tree_on_disk(tmp_path) == disk and tree_of(fs, "/") == kept


def test_single_files_and_what_is_left_out(session, tmp_path):
    fs = lumvex.PyFs()
    put(fs, "/one", b"one")
    files.upload(session, fs, "/one", "copied")
    assert (tmp_path / "copied").read_bytes() == b"one"
    files.download(session, "copied", fs, "/a/b/c")  # its directories made
    assert tree_of(fs, "/a") == {"b": None, "b/c": b"one"}
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "real").write_bytes(b"r")
    os.symlink("/etc", tmp_path / "t" / "link")
    os.symlink("real", tmp_path / "t" / "alias")
    os.mkfifo(tmp_path / "t" / "fifo")
    files.download(session, "t", fs, "/")  # into the root
    assert tree_of(fs, "/") == {"one": b"one", "a": None, "a/b": None, "a/b/c": b"one",
                                "real": b"r"}


def stream_of(entries):
    """The helper's tree stream of (name bytes, bytes or None for a directory)."""
    out = b"T"
    for name, data in entries:
        out += (b"D" if data is None else b"F") + len(name).to_bytes(4, "little") + name
        if data is not None:
            out += len(data).to_bytes(8, "little") + data
    return out + b"E"


@pytest.mark.parametrize("name", ["../out", "a/../../x", "/abs", "a//b", "./in", "a\\b", "..",
                                  b"bad\xff"])
def test_a_name_that_leaves_its_target_is_refused_before_anything_changes(name):
    encoded = name if isinstance(name, bytes) else name.encode()
    fs = lumvex.PyFs()
    with pytest.raises(OSError) as raised:
        files.download(CannedSession(stream_of([(b"ok", b"hi"), (encoded, b"hi")])), "t", fs,
                       "/target")
    shown = encoded.decode("utf-8", "surrogateescape")
    assert raised.value.strerror == (f"a name that is not UTF-8: {shown!r}"
                                     if isinstance(name, bytes)
                                     else f"a name the filesystem cannot hold: {shown!r}")
    assert (raised.value.errno, raised.value.filename) == (errno.EINVAL, "t")
    assert tree_of(fs, "/") == {}


NAME_PARTS = st.text(st.characters(blacklist_characters="/\\\x00", blacklist_categories=["Cs"]),
                     min_size=1, max_size=6).filter(lambda p: p not in (".", ".."))
ENTRIES = st.lists(st.tuples(st.lists(NAME_PARTS, min_size=1, max_size=3).map("/".join),
                             st.none() | st.binary(max_size=20)), max_size=5)


@settings(max_examples=200, deadline=None)
@given(entries=ENTRIES)
def test_tree_streams_read_whole_and_every_cut_or_unknown_one_is_refused(entries):
    stream = stream_of([(name.encode(), data) for name, data in entries])
    assert files._tree_entries(stream, "t") == entries
    # Cut anywhere, or an entry of a kind that does not exist.
    wrong = [stream[:cut] for cut in range(len(stream))]
    wrong += [stream[:1] + b"X" + stream[2:]] if entries else []
    for bad in wrong:
        with pytest.raises(OSError) as raised:
            files._tree_entries(bad, "t")
        assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (
            errno.EIO, "malformed transfer", "t")


def test_a_failed_download_puts_back_what_it_overwrote():
    fs = lumvex.PyFs()
    fs.mkdir("/t")
    put(fs, "/t/a", b"old content")
    # "a" is written over, "n" made, then "b" fails: a file where a directory must be.
    put(fs, "/t/b", b"b")
    stream = stream_of([(b"a", b"new"), (b"n", None), (b"b", None)])
    with pytest.raises(NotADirectoryError):
        files.download(CannedSession(stream), "t", fs, "/t")
    assert tree_of(fs, "/") == {"t": None, "t/a": b"old content", "t/b": b"b"}


@pytest.mark.parametrize("top, src", [("d", "/"), ("d", "/d/"), ("d", "\\d"), ("d", "d"),
                                      ("dX", "/dX"), ("d ", "/d ")])
def test_upload_takes_its_source_however_spelt(session, tmp_path, top, src):
    fs = lumvex.PyFs()
    fs.mkdir("/" + top)
    put(fs, f"/{top}/f", b"f")
    files.upload(session, fs, src, "up")
    umask = os.umask(0o22)
    os.umask(umask)
    expected = {top: None, f"{top}/f": b"f"} if src == "/" else {"f": b"f"}
    assert tree_on_disk(tmp_path / "up") == expected
    for path, data in expected.items():
        mode = (tmp_path / "up" / path).stat().st_mode & 0o777
        assert mode == (0o755 if data is None else 0o644) & ~umask


@pytest.mark.parametrize("stderr, code, text", [
    (b"", errno.EIO, "exit status 3"),
    (b"cat: \xff: Permission denied\n", errno.EACCES, "cat: \ufffd: Permission denied"),
])
def test_a_failed_command_gives_its_message_or_status(session, monkeypatch, stderr, code, text):
    monkeypatch.setattr(session, "run", lambda *args, **kwargs: subprocess.CompletedProcess(
        args, 3, b"", stderr))
    with pytest.raises(OSError) as raised:
        files.write_file(session, "f", b"x")
    assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (code, text, "f")


def test_a_transfer_that_blocks_times_out(session, monkeypatch):
    def blocked(command, *, timeout=None, **kwargs):
        return subprocess.run(["sleep", "30"], timeout=timeout)

    def stalled(mode, path):
        raise OSError(errno.ETIMEDOUT, os.strerror(errno.ETIMEDOUT))

    monkeypatch.setattr(session, "run", blocked)
    monkeypatch.setattr(session, "_transfer", stalled)
    monkeypatch.setattr(files, "TIMEOUT", 0.5)
    for call in (lambda: files.write_file(session, "f", b"x"),
                 lambda: files.read_file(session, "f")):
        with pytest.raises(TimeoutError) as raised:
            call()
        assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (
            errno.ETIMEDOUT, "transfer did not finish in 0.5 s", "f")
