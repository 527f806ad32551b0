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
    assert raised.value.errno == error and raised.value.strerror
    assert raised.value.filename in ("missing", "dir", "fifo", "missing/f", "file/f", "file",
                                     "file/x", "/old/f", "/old/f/g", "/missing")
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


@pytest.mark.parametrize("name", ["../out", "a/../../x", "/abs", "a//b", "./in", "a\\b", ".."])
def test_a_name_that_leaves_its_target_is_refused_before_anything_changes(name):
    encoded = name.encode()
    stream = (b"T" + b"F" + (2).to_bytes(4, "little") + b"ok" + (2).to_bytes(8, "little") + b"hi"
              + b"F" + len(encoded).to_bytes(4, "little") + encoded + (2).to_bytes(8, "little")
              + b"hi" + b"E")
    fs = lumvex.PyFs()
    with pytest.raises(OSError) as raised:
        files.download(CannedSession(stream), "t", fs, "/target")
    assert raised.value.errno == errno.EINVAL
    assert tree_of(fs, "/") == {}


def test_a_transfer_that_blocks_times_out(session, monkeypatch):
    def blocked(command, *, timeout=None, **kwargs):
        return subprocess.run(["sleep", "30"], timeout=timeout)

    monkeypatch.setattr(session, "run", blocked)
    monkeypatch.setattr(files, "TIMEOUT", 0.5)
    with pytest.raises(TimeoutError) as raised:
        files.write_file(session, "f", b"x")
    assert raised.value.errno == errno.ETIMEDOUT and raised.value.filename == "f"
