"""PyFs, PyFileHandle and PyTerm against a small pure-Python model.

Hypothesis drives one filesystem, the handles opened on it and two terminals
over it through random sequences of calls; after every call the result (or
the exact error text) must be what the model says, and the filesystem's debug
text must hold exactly the model's inodes.

LUMVEX_MODEL_EXAMPLES sets the number of sequences (default 100) and
LUMVEX_MODEL_STEPS their most steps (default 50).
"""

import contextlib
import copy
import os
import pickle
import stat
import time

import pytest

if not os.environ.get("LUMVEX_NO_SKIPS"):  # in CI a missing Hypothesis must fail
    pytest.importorskip("hypothesis")

from hypothesis import HealthCheck, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant,  # noqa: E402
                                 precondition, rule)

import lumvex  # noqa: E402

EXAMPLES = int(os.environ.get("LUMVEX_MODEL_EXAMPLES", "100"))
STEPS = int(os.environ.get("LUMVEX_MODEL_STEPS", "50"))
MAX_DEPTH = 64

NOT_FOUND = "Inode not found"
NOT_DIR = "The specified INode is not a directory"
NOT_FILE = "The specified INode is not a file"
TOO_DEEP = "Maximum filesystem depth exceeded"
EXISTS = "Resource already exists"
NOT_EMPTY = "Directory is not empty"
IN_USE = "Resource is currently in use"
BAD_MODE = "Unrecognized file mode"
BAD_FD = "Invalid file descriptor"
NOT_FORMATTED = "The command was not correctly formatted"
COMMANDS = ["cd", "ls", "pwd", "cat", "mkdir", "touch", "help", "rm", "echo"]
READ, WRITE = 1, 2
MODES = {"": 0, "r": READ, "w": WRITE, "rw": READ | WRITE, "wr": READ | WRITE}
TYPE_TEXT = ["FileHandleType(0x0)", "FileHandleType(READ)", "FileHandleType(WRITE)",
             "FileHandleType(READ | WRITE)"]
SIZE_MAX = 2**64 - 1


def unsupported(operation):
    return f"File does not support the specified operation: {operation}"


class Refused(Exception):
    """A failure the model predicts, with its error text."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text


class Node:
    def __init__(self, parent, depth, name, is_dir):
        self.parent, self.depth, self.name, self.is_dir = parent, depth, name, is_dir
        self.children = []  # creation order
        self.data = bytearray()
        self.flag = 0  # open handles: n shared, -1 one exclusive


def split_last(path):
    sep = max(path.rfind("/"), path.rfind("\\"))
    return ("", path) if sep < 0 else (path[:sep], path[sep + 1:])


class FsModel:
    def __init__(self):
        self.nodes = {0: Node(0, 0, "", True)}
        self.next_id = 1

    def node(self, ident):
        if ident not in self.nodes:
            raise Refused(NOT_FOUND)
        return self.nodes[ident]

    def find(self, directory, name):
        node = self.node(directory)
        if name in ("", "."):
            return directory
        if name == "..":
            return node.parent
        if not node.is_dir:
            raise Refused(NOT_DIR)
        for child in node.children:
            if self.nodes[child].name == name:
                return child
        raise Refused(NOT_FOUND)

    def resolve(self, path):
        current = 0
        for part in path.replace("\\", "/").split("/"):
            if part in ("", "."):
                continue
            current = self.nodes[current].parent if part == ".." else self.find(current, part)
        return current

    def create(self, parent, name, is_dir):
        if name in ("", ".", "..") or "/" in name or "\\" in name:
            raise Refused(EXISTS)
        ident = self.next_id
        self.next_id += 1
        directory = self.node(parent)
        taken = directory.is_dir and any(self.nodes[c].name == name for c in directory.children)
        if directory.depth + 1 > MAX_DEPTH:
            raise Refused(EXISTS if taken else TOO_DEEP)
        if not directory.is_dir:
            raise Refused(NOT_DIR)
        if taken:
            raise Refused(EXISTS)
        directory.children.append(ident)
        self.nodes[ident] = Node(parent, directory.depth + 1, name, is_dir)
        return ident

    def create_at(self, path, is_dir):
        parent_path, name = split_last(path)
        self.create(self.resolve(parent_path), name, is_dir)

    def remove(self, ident, recursive):
        node = self.node(ident)
        if node.is_dir and recursive:
            for child in list(node.children):
                self.remove(child, True)
        elif node.is_dir and node.children:
            raise Refused(NOT_EMPTY)
        if ident == 0:
            return  # removing the root empties it
        if not node.is_dir and node.flag != 0:
            raise Refused(IN_USE)
        self.nodes[node.parent].children.remove(ident)
        del self.nodes[ident]

    def height(self, ident):
        node = self.nodes[ident]
        return 1 + max(map(self.height, node.children)) if node.children else 0

    def rename(self, src, dst):
        src = src.rstrip("/\\")
        if not src:
            raise Refused(IN_USE)  # the root
        parent_path, name = split_last(src)
        source_dir = self.resolve(parent_path)
        if name in (".", ".."):
            raise Refused(IN_USE if self.resolve(src) == 0 else unsupported("rename"))
        ident = self.find(source_dir, name)
        moving = self.nodes[ident]
        dst = dst.rstrip("/\\")
        if not dst:
            raise Refused(IN_USE if moving.is_dir else NOT_FILE)
        parent_path, new_name = split_last(dst)
        target_dir = self.resolve(parent_path)
        if not self.nodes[target_dir].is_dir:
            raise Refused(NOT_DIR)
        if new_name in (".", ".."):
            raise Refused(EXISTS)
        if moving.is_dir:
            up = target_dir
            while True:
                if up == ident:
                    raise Refused(unsupported("rename"))
                if up == 0:
                    break
                up = self.nodes[up].parent
        depth = self.nodes[target_dir].depth + 1
        if depth > MAX_DEPTH or (depth > moving.depth and depth + self.height(ident) > MAX_DEPTH):
            raise Refused(TOO_DEEP)
        siblings = self.nodes[target_dir].children
        existing = next((c for c in siblings if self.nodes[c].name == new_name), None)
        if existing == ident:
            return
        if existing is not None:
            other = self.nodes[existing]
            if moving.is_dir != other.is_dir:
                raise Refused(NOT_DIR if moving.is_dir else NOT_FILE)
            if other.children:
                raise Refused(NOT_EMPTY)
            if other.flag != 0:
                raise Refused(IN_USE)
            siblings.remove(existing)
            del self.nodes[existing]
        self.nodes[source_dir].children.remove(ident)
        siblings.append(ident)
        moving.name, moving.parent = new_name, target_dir
        pending = [(ident, depth)]
        while pending:
            current, level = pending.pop()
            self.nodes[current].depth = level
            pending += [(c, level + 1) for c in self.nodes[current].children]

    def stat(self, path):
        ident = self.resolve(path)
        node = self.nodes[ident]
        return (stat.S_IFDIR | 0o755 if node.is_dir else stat.S_IFREG | 0o644, ident,
                0 if node.is_dir else len(node.data), 2 if node.is_dir else 1)

    def take_share(self, ident, mode):
        node = self.node(ident)
        if node.is_dir:
            raise Refused(NOT_FILE)
        if mode & WRITE:
            if node.flag != 0:
                raise Refused(IN_USE)
            node.flag = -1
        else:
            if node.flag < 0:
                raise Refused(IN_USE)
            node.flag += 1
        return ident

    def open(self, path, mode_text):
        if mode_text not in MODES:
            raise Refused(BAD_MODE)
        parent_path, name = split_last(path)
        parent = self.resolve(parent_path)
        try:
            ident = self.find(parent, name)
        except Refused as refused:
            if refused.text != NOT_FOUND:
                raise
            ident = self.create(parent, name, False)
        return self.take_share(ident, MODES[mode_text])

    def give_back(self, handle):
        node = self.nodes[handle.ident]
        node.flag = 0 if handle.mode & WRITE else node.flag - 1

    def listing(self, ident):
        node = self.node(ident)
        if not node.is_dir:
            raise Refused(NOT_DIR)
        kids = [self.nodes[c] for c in node.children]
        return [k.name for k in kids if not k.is_dir], [k.name for k in kids if k.is_dir]

    def path_of(self, ident):
        names = []
        while ident != 0:
            node = self.node(ident)
            names.append(node.name)
            ident = node.parent
        return "/" + "/".join(reversed(names))

    def debug_entry(self, ident, closed=False):
        n = self.nodes[ident]
        if n.is_dir:
            kind = f"Directory {{ children: [{', '.join(map(str, n.children))}] }}"
        else:
            data = ", ".join(map(str, n.data))
            kind = (f"File {{ data: FileData {{ data: [{data}] }}, "
                    f"lock: FileLock {{ flag: {0 if closed else n.flag} }} }}")
        return (f'{ident}: INode {{ id: {ident}, parent: {n.parent}, depth: {n.depth}, '
                f'name: "{n.name}", data: RwLock {{ data: {kind}, poisoned: false, .. }} }}')


class HandleModel:
    def __init__(self, ident, mode):
        self.ident, self.mode, self.offset, self.open = ident, mode, 0, True


def parse_rm(words):
    """(recursive, target) for words rm accepts; None for a parse error or a
    request for help or the version."""
    recursive, target, options_ended = False, None, False
    for word in words:
        if options_ended or len(word) < 2 or word[0] != "-":
            if target is not None:
                return None
            target = word
        elif word == "--":
            options_ended = True
        elif word in ("-r", "--recursive") or (word[1] != "-" and set(word[1:]) == {"r"}):
            recursive = True
        else:
            return None
    return None if target is None else (recursive, target)


class TermModel:
    """The terminal's commands over an FsModel, with a current directory."""

    def __init__(self, fs):
        self.fs, self.cwd = fs, 0

    def target(self, path):
        start, name = (0, path[1:]) if path.startswith("/") else (self.cwd, path)
        try:
            return self.fs.find(start, name)
        except Refused as refused:
            raise Refused(f"{name}: {refused.text}") from None

    def run(self, words):
        if not words:
            return ""
        name, args = words[0], words[1:]
        if name not in COMMANDS:
            raise Refused(f"{name}: command not found")
        return getattr(self, "cmd_" + name)(args)

    def cmd_cd(self, args):
        if not args:
            raise Refused("cd: missing argument")
        path = args[0]
        try:
            ident = self.target(path)
        except Refused as refused:
            raise Refused(f"cd: cannot access '{path}': {refused.text}") from None
        if ident not in self.fs.nodes:
            raise Refused(f"cd: cannot access '{path}': {NOT_FOUND}")
        if not self.fs.nodes[ident].is_dir:
            raise Refused(f"cd: {path}: Not a directory")
        self.cwd = ident
        return ""

    def cmd_ls(self, args):
        ident = self.target(args[0]) if args else self.cwd
        if ident not in self.fs.nodes:
            raise Refused(f"ls: cannot access '{ident}': {NOT_FOUND}")
        if not self.fs.nodes[ident].is_dir:
            raise Refused(f"ls: {ident}: Not a directory")
        files, dirs = self.fs.listing(ident)
        return "".join(f + "\n" for f in files) + "".join(d + "/\n" for d in dirs)

    def cmd_pwd(self, args):
        if self.cwd not in self.fs.nodes:
            raise Refused(f"pwd: cannot access '{self.cwd}': {NOT_FOUND}")
        return self.fs.path_of(self.cwd)

    def cmd_cat(self, args):
        if not args:
            raise Refused("cat: missing argument")
        path = args[0]
        ident = self.target(path)
        node = self.fs.nodes.get(ident)
        if node is None:
            raise Refused(f"cat: cannot access '{path}': {NOT_FOUND}")
        if node.is_dir:
            raise Refused(f"cat: {path}: Is a directory")
        if node.flag < 0:
            raise Refused(f"cat: cannot access '{path}': {IN_USE}")
        return node.data.decode("utf-8", "replace")

    def create(self, args, command, what, is_dir):
        if not args:
            raise Refused(f"{command}: missing argument")
        word = args[0]
        sep = max(word.rfind("/"), word.rfind("\\"))
        name = word[sep + 1:]
        if sep < 0:
            parent = self.cwd
        elif sep == 0:
            # The only separator is the first character: "/" means the root,
            # a backslash the current directory.
            parent = 0 if word[0] == "/" else self.cwd
        else:
            parent = self.target(word[:sep])
        if parent not in self.fs.nodes:
            raise Refused(f"{command}: cannot access '{parent}': {NOT_FOUND}")
        if not self.fs.nodes[parent].is_dir:
            raise Refused(f"{command}: {parent}: Not a directory")
        try:
            self.fs.create(parent, name, is_dir)
        except Refused as refused:
            raise Refused(f"{command}: cannot create {what} '{word}': {refused.text}") from None
        return ""

    def cmd_mkdir(self, args):
        return self.create(args, "mkdir", "directory", True)

    def cmd_touch(self, args):
        return self.create(args, "touch", "file", False)

    def cmd_rm(self, args):
        if not args:
            raise Refused("rm: missing argument")
        parsed = parse_rm(args)
        if parsed is None:
            raise Refused(None)  # the parser's own text, after "rm: "
        recursive, target = parsed
        ident = self.target(target)
        try:
            self.fs.remove(ident, recursive)
        except Refused as refused:
            raise Refused(f"rm: cannot remove '{target}': {refused.text}") from None
        return ""

    def cmd_echo(self, args):
        return " ".join(args)

    def cmd_help(self, args):
        return None  # the nine names, one per line, in the table's order


SAFE = set("abcdefghijklmnopqrstuvwxyz0123456789._-/é")


def quote(word):
    if word and set(word) <= SAFE:
        return word
    return "'" + word.replace("'", "'\\''") + "'"


NAMES = ["a", "b", "é", "d e", "x'y"]
components = st.sampled_from(NAMES + ["", ".", ".."])
separators = st.sampled_from(["/", "\\", "//", "/./"])
loose_paths = st.builds(
    lambda lead, parts: lead + "".join(p + s for p, s in parts)[:-1] if parts else lead,
    st.sampled_from(["", "/", "\\"]),
    st.lists(st.tuples(components, separators), max_size=3))
TERM_WORDS = ["", ".", "..", "/", "/..", "a/b", "a\\b", "\\a", "/a/b", "a/", "-r", "--recursive",
              "--", "-x", "--help", "-V"]
mode_texts = st.sampled_from(list(MODES) * 3 + ["x", "rr", "R", "r+", "rwr"])
sizes = st.integers(0, 24) | st.sampled_from([2**40, SIZE_MAX])
WHENCES = [lumvex.Whence.SEEK_SET, lumvex.Whence.SEEK_CUR, lumvex.Whence.SEEK_END]


def outcome(call):
    """('ok', value) or ('error', text) of a call into the module or the model."""
    try:
        return "ok", call()
    except Refused as refused:
        return "error", refused.text
    except ValueError as error:
        assert len(error.args) == 1
        return "error", error.args[0]


class SurfaceMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.fs = lumvex.PyFs()
        self.model = FsModel()
        self.handles = []  # (PyFileHandle, HandleModel)
        self.terms = [(lumvex.PyTerm(self.fs), TermModel(self.model)) for _ in range(2)]
        self.chained = False  # one deep chain per run is enough
        self.forks = []  # (PyFs, FsModel): forks of the filesystem and of each other

    # Paths and words that mostly name what exists, so that calls meet each
    # other's entries, handles and current directories.

    def paths(self, files_only=False):
        nodes = self.model.nodes
        known = sorted(self.model.path_of(i) for i in nodes if not (files_only and nodes[i].is_dir))
        if not known:
            return loose_paths
        respelled = st.builds(lambda p, sep, rel: (p[1:] if rel else p).replace("/", sep),
                              st.sampled_from(known), separators, st.booleans())
        return st.one_of(respelled, st.builds(lambda p, c: p + "/" + c, respelled, components),
                         loose_paths)

    def words(self, term):
        fs = self.model
        here = fs.nodes.get(term.cwd)
        near = [fs.nodes[c].name for c in here.children] if here else []
        dirs = [fs.nodes[c].name for c in here.children if fs.nodes[c].is_dir] if here else []
        top = ["/" + fs.nodes[c].name for c in fs.nodes[0].children]
        options = [st.sampled_from(TERM_WORDS), st.sampled_from(NAMES)]
        if near or top:
            options += [st.sampled_from(near + top)] * 2
        if dirs:
            options.append(st.builds(lambda d, sep, c: d + sep + c, st.sampled_from(dirs),
                                     st.sampled_from(["/", "\\"]), components))
        return st.one_of(options)

    def arguments(self, command, term):
        """Mostly what the command takes; sometimes anything."""
        word = self.words(term)
        anything = st.lists(word, max_size=3)
        if command == "cd":
            fs = self.model
            here = fs.nodes.get(term.cwd)
            dirs = [fs.nodes[c].name for c in here.children if fs.nodes[c].is_dir] if here else []
            typical = st.sampled_from(dirs + ["..", "/"] + ["/" + fs.nodes[c].name
                                                           for c in fs.nodes[0].children])
            typical = typical.map(lambda w: [w])
        elif command == "rm":
            flag = st.sampled_from([[], [], ["-r"], ["--recursive"]])
            typical = st.builds(lambda a, w, b: a + [w] + b, flag, word, flag)
        else:
            typical = st.lists(word, min_size=1, max_size=1)
        return st.one_of(typical, typical, anything)

    def agree(self, actual, predicted):
        got, want = outcome(actual), outcome(predicted)
        assert got == want
        return got

    # --- PyFs

    @rule(data=st.data(), is_dir=st.booleans())
    def create(self, data, is_dir):
        path = data.draw(self.paths())
        call = self.fs.mkdir if is_dir else self.fs.touch
        self.agree(lambda: call(path), lambda: self.model.create_at(path, is_dir))

    @precondition(lambda self: not self.chained)
    @rule(depth=st.integers(MAX_DEPTH - 2, MAX_DEPTH + 1))
    def create_chain(self, depth):
        self.chained = True
        for level in range(1, depth + 1):
            path = "/deep" * level
            self.agree(lambda: self.fs.mkdir(path), lambda: self.model.create_at(path, True))

    @rule(data=st.data(), recurse=st.booleans())
    def remove(self, data, recurse):
        path = data.draw(self.paths())
        self.agree(lambda: self.fs.remove(path, recurse),
                   lambda: self.model.remove(self.model.resolve(path), recurse))

    @rule(data=st.data())
    def rename(self, data):
        src = data.draw(self.paths())
        dst = data.draw(st.one_of(self.paths(), st.builds(
            lambda p, n: p + "/" + n, self.paths(), st.sampled_from(NAMES)),
            st.just(split_last(src)[0])))  # onto its own directory
        self.agree(lambda: self.fs.rename(src, dst), lambda: self.model.rename(src, dst))

    @rule(data=st.data())
    def stat(self, data):
        path = data.draw(self.paths())
        before = time.time_ns()

        def actual():
            result = self.fs.stat(path)
            # Times are taken from a clock that ticks coarsely: allow a tick.
            assert 0 < result.st_mtime_ns <= before + 50_000_000
            assert result.st_mtime == result.st_mtime_ns / 1e9 == result.st_atime
            return result.st_mode, result.st_ino, result.st_size, result.st_nlink

        self.agree(actual, lambda: self.model.stat(path))

    @rule()
    def pickle_round_trip(self):
        copy = pickle.loads(pickle.dumps(self.fs))
        text = str(copy)
        assert text.endswith(f"}}, next_inode_id: {self.model.next_id} }}")
        assert text.count("INode { id: ") == len(self.model.nodes)
        for ident in self.model.nodes:
            assert self.model.debug_entry(ident, closed=True) in text
        copy.mkdir("/only-in-the-copy")
        assert "only-in-the-copy" not in str(self.fs)

    @rule(data=st.data())
    def listdir(self, data):
        path = data.draw(self.paths())
        self.agree(lambda: self.fs.listdir(path),
                   lambda: tuple(self.model.listing(self.model.resolve(path))))

    @rule(data=st.data(), mode=mode_texts, existing=st.booleans(), times=st.integers(1, 2))
    def open(self, mode, data=None, existing=True, times=1, path=None):
        if path is None:
            path = data.draw(self.paths(files_only=existing))
        for _ in range(times):
            kind, handle = outcome(lambda: self.fs.open(path, mode))
            want_kind, want = outcome(lambda: self.model.open(path, mode))
            assert kind == want_kind
            if kind == "error":
                assert handle == want
                return
            assert handle.id() == want and handle.tell() == 0
            self.handles.append((handle, HandleModel(want, MODES[mode])))

    @initialize(content=st.binary(max_size=40), mode=st.sampled_from(list(MODES)))
    def start_with_an_open_file(self, content, mode):
        self.agree(lambda: self.fs.mkdir("b"), lambda: self.model.create_at("b", True))
        self.store(content, path="a")
        self.open(mode, path="a", times=2)  # a shared mode opens it twice

    @rule(data=st.data(), content=st.binary(max_size=40))
    def store(self, content, data=None, path=None):
        """Open for writing, write and close: a file with contents and no
        handle, ready for the terminal's cat."""
        if path is None:
            path = data.draw(self.paths(files_only=data.draw(st.booleans())))
        kind, handle = outcome(lambda: self.fs.open(path, "w"))
        want_kind, want = outcome(lambda: self.model.open(path, "w"))
        assert (kind, kind == "ok" or handle) == (want_kind, want_kind == "ok" or want)
        if kind == "ok":
            h = HandleModel(want, WRITE)
            self.write(handle, h, content)
            self.close(handle, h)

    # --- PyFileHandle

    def pick(self, index):
        return self.handles[index % len(self.handles)]

    def check_open(self, h):
        if not h.open:
            raise Refused(BAD_FD)

    @precondition(lambda self: self.handles)
    @rule(data=st.data(), count=st.integers(1, 5))
    def use_handles(self, data, count):
        """A few calls on the open handles: read, write, seek, tell, id, str
        and close."""
        for _ in range(count):
            self.use_handle(data, *self.pick(data.draw(st.integers(0, 9))))

    @precondition(lambda self: self.handles)
    @rule(data=st.data(), count=st.integers(1, 5))
    def use_newest_handle(self, data, count):
        for _ in range(count):
            self.use_handle(data, *self.handles[-1])

    def use_handle(self, data, handle, h):
        call = data.draw(st.sampled_from(["read", "write", "seek"] * 2 +
                                         ["readinto", "examine", "close"]))
        if call == "read":
            self.read(handle, h, data.draw(sizes))
        elif call == "readinto":
            self.readinto(handle, h, data.draw(st.integers(0, 24)))
        elif call == "write":
            self.write(handle, h, data.draw(st.binary(max_size=40)))
        elif call == "seek":
            self.seek(handle, h, data.draw(sizes), data.draw(st.sampled_from(WHENCES)))
        elif call == "examine":
            self.examine(handle, h)
        else:
            self.close(handle, h)

    def predicted_read(self, h, size):
        """What a read of `size` bytes gives by the model, and the offset it moves."""
        self.check_open(h)
        if not h.mode & READ:
            raise Refused(unsupported("read"))
        data = bytes(self.model.nodes[h.ident].data[h.offset:h.offset + size])
        h.offset += len(data)
        return data

    @staticmethod
    @contextlib.contextmanager
    def notices():
        """Captures what is written to file descriptor 1 meanwhile; yields a
        list that holds it afterwards."""
        out, into = os.pipe()
        saved = os.dup(1)
        os.dup2(into, 1)
        captured = []
        try:
            yield captured
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(into)
            os.set_blocking(out, False)
            try:
                captured.append(os.read(out, 4096))
            except BlockingIOError:
                captured.append(b"")
            os.close(out)

    def read(self, handle, h, size):
        # Each successful read writes a notice to file descriptor 1.
        with self.notices() as notice:
            kind, value = self.agree(lambda: handle.read(size), lambda: self.predicted_read(h, size))
        assert notice == [f"Read {len(value)} bytes from file\n".encode() if kind == "ok" else b""]

    def readinto(self, handle, h, size):
        """readinto: what read returns, placed at the buffer's start, and no
        notice."""
        buffer = bytearray(b"\xee" * size)

        def predicted():
            data = self.predicted_read(h, size)
            return len(data), data + b"\xee" * (size - len(data))

        with self.notices() as notice:
            self.agree(lambda: (handle.readinto(buffer), bytes(buffer)), predicted)
        assert notice == [b""]

    def write(self, handle, h, data):
        def predicted():
            self.check_open(h)
            if not h.mode & WRITE:
                raise Refused(unsupported("write"))
            self.model.nodes[h.ident].data[h.offset:h.offset + len(data)] = data
            return len(data)

        self.agree(lambda: handle.write(data), predicted)

    def seek(self, handle, h, offset, whence):
        def predicted():
            self.check_open(h)
            length = len(self.model.nodes[h.ident].data)
            start, current, end = offset, min(h.offset + offset, SIZE_MAX), max(length - offset, 0)
            h.offset = min([start, current, end][int(whence)], length)

        self.agree(lambda: handle.seek(offset, whence), predicted)
        self.agree(handle.tell, lambda: self.check_open(h) or h.offset)

    def examine(self, handle, h):
        self.agree(handle.tell, lambda: self.check_open(h) or h.offset)
        self.agree(handle.id, lambda: self.check_open(h) or h.ident)
        text = str(handle)
        shown = f"Some({h.ident})" if h.open else "None"
        assert text.startswith(f"FileHandle {{ id: {shown}, type: {TYPE_TEXT[h.mode]}, fs: "
                               "FileSystem { inodes: {")
        assert text.endswith(f", next_inode_id: {self.model.next_id} }}, offset: {h.offset} }}")

    def close(self, handle, h):
        def predicted():
            self.check_open(h)
            self.model.give_back(h)
            h.open = False

        self.agree(handle.close, predicted)

    @precondition(lambda self: self.handles)
    @rule(index=st.integers(0, 9))
    def drop(self, index):
        handle, h = self.handles.pop(index % len(self.handles))
        if h.open:
            self.model.give_back(h)
        del handle  # the last reference: an open handle closes itself

    # --- PyTerm

    @rule(data=st.data(), which=st.integers(0, 1), lines=st.integers(1, 4))
    def exec(self, data, which, lines):
        term, model = self.terms[which]
        for _ in range(lines):
            command = data.draw(st.sampled_from(COMMANDS * 2 + ["nosuch", "LS", ""]))
            words = [command] + data.draw(self.arguments(command, model))
            line = " ".join(map(quote, words))
            if data.draw(st.booleans()):
                line += " # " + line
            kind, value = outcome(lambda: term.exec(line))
            want_kind, want = outcome(lambda: model.run(words))
            assert kind == want_kind
            if command == "help":
                assert sorted(value.splitlines(keepends=True)) == sorted(c + "\n" for c in COMMANDS)
            elif want is None:
                assert value.startswith("rm: ")
            else:
                assert value == want

    @rule(which=st.integers(0, 1),
          line=st.sampled_from(["", "   ", "# only a comment", "echo 'abc", 'echo "abc', "echo a\\",
                                "echo a\\ b 'c  d'\"e\"", "pwd extra words"]))
    def exec_line(self, which, line):
        term, model = self.terms[which]
        words = {"echo a\\ b 'c  d'\"e\"": ["echo", "a b", "c  de"],
                 "pwd extra words": ["pwd", "extra", "words"]}.get(line, [])
        want = ("error", NOT_FORMATTED) if line.count("'") % 2 or line.count('"') % 2 or \
            line.endswith("\\") else outcome(lambda: model.run(words))
        assert outcome(lambda: term.exec(line)) == want

    # --- forks: each is checked against a model of its own after every step

    @precondition(lambda self: len(self.forks) < 3)
    @rule(source=st.integers(0, 3))
    def fork(self, source):
        """A fork of the filesystem or of one of its forks: the same tree and
        ids, with every file closed."""
        fs, model = ([(self.fs, self.model)] + self.forks)[source % (len(self.forks) + 1)]
        copied = copy.deepcopy(model)
        for node in copied.nodes.values():
            node.flag = 0
        self.forks.append((fs.fork(), copied))

    @precondition(lambda self: self.forks)
    @rule(data=st.data(), which=st.integers(0, 9),
          change=st.sampled_from(["create", "remove", "rename", "store"]))
    def change_a_fork(self, data, which, change):
        """The filesystem rules, run on a fork and its model."""
        saved = self.fs, self.model
        self.fs, self.model = self.forks[which % len(self.forks)]
        try:
            if change == "create":
                self.create(data, data.draw(st.booleans()))
            elif change == "remove":
                self.remove(data, data.draw(st.booleans()))
            elif change == "rename":
                self.rename(data)
            else:
                self.store(data.draw(st.binary(max_size=40)), data=data)
        finally:
            self.fs, self.model = saved

    @precondition(lambda self: self.forks)
    @rule(data=st.data(), which=st.integers(0, 9), in_fork=st.booleans())
    def rename_beside_a_fork(self, data, which, in_fork):
        """An entry that exists, renamed in a fork or in the filesystem the
        fork shares it with: into a sibling name, or into another directory."""
        fs, model = self.forks[which % len(self.forks)] if in_fork else (self.fs, self.model)
        known = sorted(model.path_of(i) for i in model.nodes if i != 0)
        if not known:
            return
        src = data.draw(st.sampled_from(known))
        dirs = sorted(model.path_of(i) for i in model.nodes if model.nodes[i].is_dir)
        dst = data.draw(st.builds(lambda d, n: d.rstrip("/") + "/" + n,
                                  st.sampled_from([split_last(src)[0] or "/"] + dirs),
                                  st.sampled_from(NAMES)))
        self.agree(lambda: fs.rename(src, dst), lambda: model.rename(src, dst))

    @precondition(lambda self: self.forks)
    @rule(which=st.integers(0, 9))
    def drop_a_fork(self, which):
        self.forks.pop(which % len(self.forks))

    # --- the store as a whole

    @staticmethod
    def check_text(fs, model, closed=False):
        text = str(fs)
        assert text.startswith("FileSystem { inodes: {")
        assert text.endswith(f"}}, next_inode_id: {model.next_id} }}")
        assert text.count("INode { id: ") == len(model.nodes)
        for ident in model.nodes:
            assert model.debug_entry(ident, closed) in text

    @invariant()
    def debug_text_holds_the_model(self):
        self.check_text(self.fs, self.model)
        for fs, model in self.forks:
            self.check_text(fs, model, closed=True)


SurfaceMachine.TestCase.settings = settings(
    max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
test_surface_matches_model = SurfaceMachine.TestCase
