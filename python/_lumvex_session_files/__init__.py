"""Files between a lumvex.PyFs and a live session: the methods write_file,
read_file, upload and download of lumvex.PyTerminalSession.

Everything on the session's side is done as the session's own account inside
its walls, so nothing the session planted (links, FIFOs, devices, races)
lets these methods read or write what the account itself may not, and what
they store counts against the session's disk wall. Files come out through
lumvex's helper program (PyTerminalSession._transfer), which opens each
file once without following links at any component, checks it on the open
descriptor, cannot be traced by the session, and brings back no more than
the session's store may hold (EFBIG past that). Paths on the session's side
are relative to its home unless absolute."""

import errno
import io
import posixpath
import shlex
import subprocess
import tarfile

import lumvex

# How long one transfer may take; a session that blocks one (a FIFO put in
# place of a file) makes it raise TimeoutError then.
TIMEOUT = 300.0
# Bytes a transfer may bring back: the output of a command is otherwise
# capped at 64 MiB, which a file may pass.
UNLIMITED = (1 << 63) - 1
# The commands' messages are read, so they come in one language.
ENV = {"LC_ALL": "C"}

_ERRORS = [
    ("No such file or directory", errno.ENOENT),
    ("Not a directory", errno.ENOTDIR),
    ("Is a directory", errno.EISDIR),
    ("Permission denied", errno.EACCES),
    ("No space left on device", errno.ENOSPC),
    ("Disk quota exceeded", errno.EDQUOT),
    ("File exists", errno.EEXIST),
    ("Not a regular file", errno.EINVAL),
]


def _run(session, script, path, **kwargs):
    try:
        result = session.run(script, timeout=TIMEOUT, env=ENV, max_output=UNLIMITED, **kwargs)
    except subprocess.TimeoutExpired:
        raise TimeoutError(errno.ETIMEDOUT, f"transfer did not finish in {TIMEOUT:g} s", path) from None
    if result.returncode != 0:
        message = result.stderr.decode(errors="replace").strip()
        code = next((code for text, code in _ERRORS if text in message), errno.EIO)
        raise OSError(code, message or f"exit status {result.returncode}", path)
    return result.stdout


def write_file(session, path, data):
    """Stores `data` (bytes-like) as the file `path` of the session: written
    to a new file beside it, then renamed over it, so a failure leaves what
    was there."""
    data = bytes(memoryview(data))
    script = (
        f"p={shlex.quote(path)}; d=$(dirname -- \"$p\") || exit 1\n"
        't=$(mktemp -p "$d" .lumvex-XXXXXXXX) || exit 1\n'
        'if cat > "$t" && { chmod --reference="$p" -- "$t" 2>/dev/null || chmod 644 -- "$t"; } &&'
        ' mv -f -T -- "$t" "$p"; then exit 0; fi\n'
        'rm -f -- "$t"; exit 1\n'
    )
    _run(session, script, path, input=data)


def _transfer(session, mode, path):
    try:
        return session._transfer(mode, path)
    except OSError as error:
        if error.errno == errno.ETIMEDOUT:
            raise TimeoutError(errno.ETIMEDOUT, f"transfer did not finish in {TIMEOUT:g} s",
                               path) from None
        raise


def read_file(session, path):
    """The bytes of the regular file `path` of the session."""
    return _transfer(session, "send", path)


def _kind(fs, path):
    """'file', 'dir' or None for `path` of the PyFs, without creating it."""
    parts = [p for p in path.replace("\\", "/").split("/") if p and p != "."]
    if not parts:
        return "dir"
    parent = "/" + "/".join(parts[:-1])
    try:
        files, dirs = fs.listdir(parent)
    except ValueError:
        return None
    if parts[-1] in dirs:
        return "dir"
    return "file" if parts[-1] in files else None


def _read_fs_file(fs, path):
    with fs.open(path, "r") as handle:
        handle.seek(0, lumvex.Whence.SEEK_END)
        size = handle.tell()
        handle.seek(0, lumvex.Whence.SEEK_SET)
        buffer = bytearray(size)
        if handle.readinto(buffer) != size:
            raise OSError(errno.EIO, "short read", path)
        return bytes(buffer)


def _write_fs_file(fs, path, data):
    if _kind(fs, path) == "file":
        fs.remove(path, False)  # a write would leave a longer old tail
    with fs.open(path, "w") as handle:
        handle.write(data)


def _makedirs(fs, path):
    at = ""
    for part in [p for p in path.split("/") if p]:
        at += "/" + part
        kind = _kind(fs, at)
        if kind is None:
            fs.mkdir(at)
        elif kind == "file":
            raise NotADirectoryError(errno.ENOTDIR, "Not a directory", at)


def upload(session, fs, src, dst):
    """Copies the file or directory tree `src` of the PyFs `fs` to `dst` in
    the session (a directory is merged into `dst`, made if missing)."""
    kind = _kind(fs, src)
    if kind is None:
        raise FileNotFoundError(errno.ENOENT, "No such file or directory", src)
    if kind == "file":
        write_file(session, dst, _read_fs_file(fs, src))
        return
    archive = io.BytesIO()
    with tarfile.open(fileobj=archive, mode="w", format=tarfile.PAX_FORMAT) as tar:
        pending = [("", src.rstrip("/") or "/")]
        while pending:
            relative, path = pending.pop()
            files, dirs = fs.listdir(path)
            for name in files:
                data = _read_fs_file(fs, posixpath.join(path, name))
                info = tarfile.TarInfo(posixpath.join(relative, name))
                info.size, info.mode = len(data), 0o644
                tar.addfile(info, io.BytesIO(data))
            for name in dirs:
                info = tarfile.TarInfo(posixpath.join(relative, name))
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                tar.addfile(info)
                pending.append((posixpath.join(relative, name), posixpath.join(path, name)))
    script = (
        f"d={shlex.quote(dst)}\n"
        'mkdir -p -- "$d" && exec tar -x --no-same-owner --no-same-permissions -C "$d" -f -\n'
    )
    _run(session, script, dst, input=archive.getvalue())


def _tree_entries(stream, path):
    """(relative name, bytes or None for a directory) of a tree stream."""
    view = memoryview(stream)
    entries = []
    at = 1
    while True:
        kind = bytes(view[at:at + 1])
        at += 1
        if kind == b"E":
            return entries
        if kind not in (b"D", b"F") or at + 4 > len(view):
            raise OSError(errno.EIO, "malformed transfer", path)
        length = int.from_bytes(view[at:at + 4], "little")
        if at + 4 + length > len(view):
            raise OSError(errno.EIO, "malformed transfer", path)
        name = bytes(view[at + 4:at + 4 + length]).decode("utf-8", "surrogateescape")
        at += 4 + length
        parts = name.split("/")
        # A name that a PyFs cannot hold as it is (a backslash is a separator
        # there, "." and ".." move) is refused before anything changes.
        if any(part in ("", ".", "..") or "\\" in part for part in parts):
            raise OSError(errno.EINVAL, f"a name the filesystem cannot hold: {name!r}", path)
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            raise OSError(errno.EINVAL, f"a name that is not UTF-8: {name!r}", path) from None
        if kind == b"D":
            entries.append((name, None))
            continue
        size = int.from_bytes(view[at:at + 8], "little")
        at += 8
        if at + size > len(view):
            raise OSError(errno.EIO, "malformed transfer", path)
        entries.append((name, bytes(view[at:at + size])))
        at += size


def _apply(fs, changes):
    """Makes each (path, bytes or None for a directory) in `fs`, in order;
    if one fails, undoes those made before it and raises."""
    undo = []
    try:
        for path, data in changes:
            kind = _kind(fs, path)
            if data is None:
                if kind == "file":
                    raise NotADirectoryError(errno.ENOTDIR, "Not a directory", path)
                if kind is None:
                    fs.mkdir(path)
                    undo.append((path, "dir", None))
                continue
            if kind == "dir":
                raise IsADirectoryError(errno.EISDIR, "Is a directory", path)
            old = _read_fs_file(fs, path) if kind == "file" else None
            undo.append((path, "file", old))
            _write_fs_file(fs, path, data)
    except BaseException:
        for path, what, old in reversed(undo):
            try:
                if what == "dir":
                    fs.remove(path, False)
                elif old is None:
                    if _kind(fs, path) == "file":
                        fs.remove(path, False)
                else:
                    _write_fs_file(fs, path, old)
            except (OSError, ValueError):
                pass
        raise


def _parents(path):
    """The directories above `path` of a PyFs, outermost first."""
    parts = [p for p in path.split("/") if p]
    return ["/" + "/".join(parts[:i]) for i in range(1, len(parts))]


def download(session, src, fs, dst):
    """Copies the file or directory tree `src` of the session to `dst` in the
    PyFs `fs`. Regular files and directories come over; links, FIFOs and
    devices are left out. Everything is read and checked before `fs`
    changes, and a change of `fs` that fails is undone."""
    out = _transfer(session, "tree", src)
    root = "/" + "/".join(p for p in dst.split("/") if p)
    if out[:1] == b"F":
        changes = [(p, None) for p in _parents(root)] + [(root, out[1:])]
    else:
        entries = _tree_entries(out, src)
        changes = [(p, None) for p in _parents(root) + ([root] if root != "/" else [])]
        changes += [(posixpath.join(root, name), data) for name, data in entries]
    _apply(fs, changes)


def template_from_fs(cls, fs, path="/"):
    """lumvex.Template.from_fs: the files and directories below `path` of
    the PyFs `fs`, staged in a private directory of this process's own that
    goes again once the template holds its copy."""
    import os
    import shutil
    import tempfile

    if not isinstance(fs, lumvex.PyFs):
        raise TypeError("fs must be a lumvex.PyFs")
    if not isinstance(path, str):
        raise TypeError("path must be a str")
    kind = _kind(fs, path)
    if kind is None:
        raise FileNotFoundError(errno.ENOENT, "No such file or directory", path)
    if kind != "dir":
        raise NotADirectoryError(errno.ENOTDIR, "Not a directory", path)
    staging = tempfile.mkdtemp(prefix="lumvex-template-")
    try:
        pending = [(staging, path.rstrip("/") or "/")]
        while pending:
            host, inner = pending.pop()
            files, dirs = fs.listdir(inner)
            for name in files:
                data = _read_fs_file(fs, posixpath.join(inner, name))
                fd = os.open(os.path.join(host, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
                with os.fdopen(fd, "wb") as out:
                    out.write(data)
                os.chmod(os.path.join(host, name), 0o644)
            for name in dirs:
                os.mkdir(os.path.join(host, name))
                os.chmod(os.path.join(host, name), 0o755)
                pending.append((os.path.join(host, name), posixpath.join(inner, name)))
        return cls.from_directory(staging)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
