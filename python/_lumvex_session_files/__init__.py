"""Files between a lumvex.PyFs and a live session: the methods write_file,
read_file, upload and download of lumvex.PyTerminalSession.

Everything on the session's side is done by commands that the session runs
as its own account inside its walls (PyTerminalSession.run), so nothing the
session planted (links, FIFOs, devices, races) lets these methods read or
write what the account itself may not, and what they store counts against
the session's disk wall. Paths on the session's side are relative to its
home unless absolute."""

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


def read_file(session, path):
    """The bytes of the regular file `path` of the session."""
    script = (
        f"f={shlex.quote(path)}\n"
        'if [ -d "$f" ]; then echo "$f: Is a directory" >&2; exit 1; fi\n'
        'if [ -e "$f" ] && [ ! -f "$f" ]; then echo "$f: Not a regular file" >&2; exit 1; fi\n'
        'exec cat -- "$f"\n'
    )
    return _run(session, script, path)


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


def download(session, src, fs, dst):
    """Copies the file or directory tree `src` of the session to `dst` in the
    PyFs `fs`. Regular files and directories come over; links, FIFOs and
    devices are left out. Everything is read before `fs` is changed."""
    script = (
        f"s={shlex.quote(src)}\n"
        'if [ -d "$s" ]; then exec tar -c -C "$s" -f - .; fi\n'
        'if [ -e "$s" ] && [ ! -f "$s" ]; then echo "$s: Not a regular file" >&2; exit 1; fi\n'
        '[ -e "$s" ] || { echo "$s: No such file or directory" >&2; exit 1; }\n'
        'echo F; exec cat -- "$s"\n'
    )
    out = _run(session, script, src)
    if out.startswith(b"F\n"):
        parent = posixpath.dirname(dst.rstrip("/"))
        if parent:
            _makedirs(fs, parent)
        _write_fs_file(fs, dst, out[2:])
        return
    entries = []
    with tarfile.open(fileobj=io.BytesIO(out), mode="r:") as tar:
        for member in tar:
            parts = [p for p in member.name.split("/") if p not in ("", ".")]
            if not parts or ".." in parts:
                continue
            if member.isdir():
                entries.append(("/".join(parts), None))
            elif member.isfile():
                entries.append(("/".join(parts), tar.extractfile(member).read()))
    root = dst.rstrip("/") or "/"
    _makedirs(fs, root)
    for relative, data in entries:
        path = posixpath.join(root, relative)
        if data is None:
            _makedirs(fs, path)
        else:
            _makedirs(fs, posixpath.dirname(path))
            _write_fs_file(fs, path, data)
