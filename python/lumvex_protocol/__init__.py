"""fsspec over a lumvex in-memory filesystem.

Registered with fsspec under the protocol ``"lumvex"`` (an entry point of the
lumvex wheel), so that no import is needed::

    fs = lumvex.PyFs()
    lfs = fsspec.filesystem("lumvex", fs=fs)
    pandas.read_csv("lumvex://data/x.csv", storage_options={"fs": fs})

Without ``fs``, one default PyFs of the process serves (``default_fs()``).

Files open as standard binary file objects over a raw file
(``LumvexRawFile``, an ``io.RawIOBase``) with its own position that reads and
writes advance, buffered as ``open()`` buffers. Reading goes through
``PyFileHandle.readinto`` and prints nothing. Errors are the standard OSError
subclasses (FileNotFoundError, IsADirectoryError, NotADirectoryError,
FileExistsError, ...), chosen by the ``errno`` the filesystem's errors carry.

Modes: "rb" and "r+b" open a file that exists and never create one (a file
removed meanwhile stays removed); "wb" truncates; "ab" appends; "xb" creates
a file that must not exist. The "+" variants read too. What a writer writes
reaches the file as a whole when it is flushed or closed (one
``PyFileHandle.replace``): a write that the filesystem refuses (``max_bytes``)
or that fails leaves the file's previous content, and a file or directories
made by the refused open are removed again. ``truncate`` works. While a file
is open for writing no other handle can open it (the filesystem's file lock):
an open waits half a second for it, then fails with
``OSError(errno.EBUSY)``.

Paths are separated by "/" only: a backslash is refused with ValueError (the
filesystem would take it as a separator). "." and ".." are resolved in the
path's text before anything is looked up, so "/q/../r" is "/r".

``open_file(fs, path, mode)`` (also ``PyFs.open_file``) gives the same file
objects, in text modes too, as the built-in ``open`` would.
"""

from __future__ import annotations

import errno
import io
import operator
import posixpath
import stat
import threading
import time
from datetime import datetime, timezone
from typing import Any

from fsspec import AbstractFileSystem

import lumvex

__all__ = ["LumvexFileSystem", "LumvexRawFile", "default_fs", "open_file"]

_default: lumvex.PyFs | None = None
_default_lock = threading.Lock()


def default_fs() -> lumvex.PyFs:
    """The process's default PyFs, made on first use."""
    global _default
    with _default_lock:
        if _default is None:
            _default = lumvex.PyFs()
        return _default


def _os_error(error: Exception, path: str, other: str | None = None) -> OSError:
    """The OSError for a filesystem error: its kind is the ``errno`` the
    error carries (OSError picks the subclass from it)."""
    code = getattr(error, "errno", None) or errno.EIO
    text = getattr(error, "strerror", None) or str(error)
    if other is None:
        return OSError(code, text, path)
    return OSError(code, text, path, None, other)


def _errno(error: Exception) -> int | None:
    return getattr(error, "errno", None)


_FsError = (ValueError, OSError)

# How long an open or a whole-file read waits for a file that another holder
# has open (the protocol's own opens hold files only for a moment).
_BUSY_WAIT = 0.5


def _waiting(call: Any, *args: Any) -> Any:
    """call(*args), repeated while the file is busy, for up to _BUSY_WAIT
    seconds; then the busy error is raised."""
    deadline = None
    pause = 0.0002
    while True:
        try:
            return call(*args)
        except _FsError as error:
            if _errno(error) != errno.EBUSY:
                raise
            now = time.monotonic()
            if deadline is None:
                deadline = now + _BUSY_WAIT
            elif now >= deadline:
                raise
            time.sleep(pause)
            pause = min(pause * 2, 0.005)


class LumvexRawFile(io.RawIOBase):
    """One open file of a PyFs as a raw binary stream with its own position.

    Opened for reading only, it reads straight from the file's handle. Opened
    for writing, it works on a copy of the content (empty for "w" and "x")
    that ``flush()`` and ``close()`` put in place in one step; a refusal
    leaves the file as it was and, if this open made the file (and the
    directories above it), removes them again."""

    def __init__(self, handle: lumvex.PyFileHandle, path: str, mode: str,
                 readable: bool, writable: bool, *, append: bool = False,
                 content: bytes | None = None, fs: lumvex.PyFs | None = None,
                 undo: list[str] | None = None) -> None:
        super().__init__()
        self._handle = handle
        self.name = path
        self.mode = mode
        self._readable = readable
        self._writable = writable
        self._append = append
        # A writer's content and position, and whether the content changed
        # since it was last put in place.
        self._buffer = bytearray(content or b"") if writable else None
        self._pos = 0
        # "w" and "x" start from nothing: a file that had content is
        # truncated when the file is first flushed or closed, written to or not.
        self._dirty = writable and content is None
        # What this open made (the file, then directories above it, deepest
        # first), removed again if nothing is ever put in place.
        self._fs = fs
        self._undo = undo or []

    def readable(self) -> bool:
        self._checkClosed()
        return self._readable

    def writable(self) -> bool:
        self._checkClosed()
        return self._writable

    def seekable(self) -> bool:
        self._checkClosed()
        return True

    def readinto(self, buffer: Any) -> int:
        self._checkClosed()
        if not self._readable:
            raise io.UnsupportedOperation("read")
        data = self._buffer
        if data is None:
            try:
                return self._handle.readinto(buffer)
            except _FsError as error:
                raise _os_error(error, self.name) from None
        with memoryview(buffer) as view, view.cast("B") as out:
            count = max(0, min(len(out), len(data) - self._pos))
            out[:count] = data[self._pos:self._pos + count]
        self._pos += count
        return count

    def write(self, data: Any) -> int:
        self._checkClosed()
        if not self._writable:
            raise io.UnsupportedOperation("write")
        buffer = self._buffer
        assert buffer is not None
        with memoryview(data) as view, view.cast("B") as chunk:
            count = len(chunk)
            if self._append:
                self._pos = len(buffer)
            elif self._pos > len(buffer):  # a gap reads as zeros
                buffer.extend(bytes(self._pos - len(buffer)))
            buffer[self._pos:self._pos + count] = chunk
        self._pos += count
        self._dirty = True
        return count

    def truncate(self, size: int | None = None) -> int:
        self._checkClosed()
        if not self._writable:
            raise io.UnsupportedOperation("truncate")
        buffer = self._buffer
        assert buffer is not None
        size = self._pos if size is None else operator.index(size)
        if size < 0:
            raise OSError(errno.EINVAL, "negative size", self.name)
        if size < len(buffer):
            del buffer[size:]
        else:
            buffer.extend(bytes(size - len(buffer)))
        self._dirty = True
        return size

    def tell(self) -> int:
        self._checkClosed()
        if self._buffer is not None:
            return self._pos
        return self._handle.tell()

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._checkClosed()
        offset = operator.index(offset)
        if self._buffer is not None:
            ends = {io.SEEK_SET: 0, io.SEEK_CUR: self._pos, io.SEEK_END: len(self._buffer)}
            if whence not in ends:
                raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
            target = ends[whence] + offset
            if target < 0:
                raise OSError(errno.EINVAL, "negative seek position", self.name)
            self._pos = target
            return target
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self._handle.tell() + offset
        elif whence == io.SEEK_END:
            self._handle.seek(0, lumvex.Whence.SEEK_END)
            target = self._handle.tell() + offset
        else:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if target < 0:
            raise OSError(errno.EINVAL, "negative seek position", self.name)
        # Positions past the end are clamped to the end: files have no holes.
        self._handle.seek(target, lumvex.Whence.SEEK_SET)
        return self._handle.tell()

    def flush(self) -> None:
        """Puts the written content in place, as a whole."""
        self._checkClosed()
        if self._dirty:
            assert self._buffer is not None
            try:
                self._handle.replace(bytes(self._buffer))
            except _FsError as error:
                raise _os_error(error, self.name) from None
            self._dirty = False
            self._undo = []

    def close(self) -> None:
        if self.closed:
            return
        done = False
        try:
            self.flush()
            done = True
        finally:
            self._dirty = False
            try:
                self._handle.close()
            except ValueError:
                pass  # closed already
            if not done:
                _undo(self._fs, self._undo)
            super().close()

    def __repr__(self) -> str:
        return f"<LumvexRawFile name={self.name!r} mode={self.mode!r}>"


def _undo(fs: lumvex.PyFs | None, made: list[str]) -> None:
    """Removes what a refused operation made (deepest first), as far as it is
    still there and empty."""
    if fs is None:
        return
    for path in made:
        try:
            fs.remove(path, False)
        except _FsError:
            pass


class LumvexFileSystem(AbstractFileSystem):
    """fsspec filesystem over one lumvex.PyFs (``fs``; the process's default
    PyFs when left out)."""

    protocol = "lumvex"
    root_marker = "/"
    # Each instance serves the PyFs it was given; fsspec's instance cache
    # would key on the PyFs's whole contents.
    cachable = False

    def __init__(self, fs: lumvex.PyFs | None = None, **storage_options: Any) -> None:
        super().__init__(fs=fs, **storage_options)
        if fs is not None and not isinstance(fs, lumvex.PyFs):
            raise TypeError(f"fs must be a lumvex.PyFs, not {type(fs).__name__}")
        self.pyfs = fs if fs is not None else default_fs()

    # --- paths

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        path = str(path)
        if path.startswith("lumvex://"):
            path = path[len("lumvex://"):]
        elif path.startswith("lumvex:"):
            path = path[len("lumvex:"):]
        if "\\" in path:
            raise ValueError(f"a lumvex path has no backslash (its separator is '/'): {path!r}")
        path = posixpath.normpath("/" + path.lstrip("/"))
        return "/" + path.lstrip("/")

    # --- metadata

    def _stat(self, path: str) -> Any:
        try:
            return self.pyfs.stat(path)
        except _FsError as error:
            raise _os_error(error, path) from None

    @staticmethod
    def _entry(path: str, st: Any) -> dict[str, Any]:
        is_dir = stat.S_ISDIR(st.st_mode)
        return {"name": path, "size": 0 if is_dir else st.st_size,
                "type": "directory" if is_dir else "file", "mtime": st.st_mtime,
                "ino": st.st_ino}

    def info(self, path: str, **kwargs: Any) -> dict[str, Any]:
        path = self._strip_protocol(path)
        return self._entry(path, self._stat(path))

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> list[Any]:
        path = self._strip_protocol(path)
        try:
            files, dirs = self.pyfs.listdir(path)
        except _FsError as error:
            if _errno(error) != errno.ENOTDIR:
                raise _os_error(error, path) from None
            entry = self.info(path)  # a file lists as itself
            return [entry] if detail else [path]
        base = path.rstrip("/")
        if not detail:
            return sorted([f"{base}/{name}" for name in dirs + files])
        stat = self.pyfs.stat
        entries = []
        for names, kind in ((dirs, "directory"), (files, "file")):
            for name in names:
                full = f"{base}/{name}"
                try:
                    st = stat(full)
                except _FsError:
                    continue  # removed meanwhile
                entries.append({"name": full, "size": st.st_size, "type": kind,
                                "mtime": st.st_mtime, "ino": st.st_ino})
        entries.sort(key=_by_name)
        return entries

    def exists(self, path: str, **kwargs: Any) -> bool:
        try:
            self.pyfs.stat(self._strip_protocol(path))
            return True
        except _FsError:
            return False

    def modified(self, path: str) -> datetime:
        return datetime.fromtimestamp(self.info(path)["mtime"], tz=timezone.utc)

    created = modified

    # --- directories

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        made = self._make_parents(path) if create_parents else []
        try:
            self.pyfs.mkdir(path)
        except _FsError as error:
            _undo(self.pyfs, made)
            raise _os_error(error, path) from None

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        self._makedirs(self._strip_protocol(path), exist_ok)

    def _makedirs(self, path: str, exist_ok: bool) -> list[str]:
        """mkdir -p: the directories made, deepest first. If any step fails,
        those made before it are removed again and nothing has changed."""
        if path == "/":
            if exist_ok:
                return []
            raise FileExistsError(errno.EEXIST, "File exists", path)
        made: list[str] = []
        current = ""
        parts = [p for p in path.split("/") if p]
        try:
            for index, part in enumerate(parts):
                current += "/" + part
                try:
                    self.pyfs.mkdir(current)
                    made.insert(0, current)
                    continue
                except _FsError as error:
                    if _errno(error) != errno.EEXIST:
                        raise _os_error(error, current) from None
                if not self.isdir(current):
                    raise FileExistsError(errno.EEXIST, "File exists", current)
                if index == len(parts) - 1 and not exist_ok:
                    raise FileExistsError(errno.EEXIST, "File exists", current)
        except BaseException:
            _undo(self.pyfs, made)
            raise
        return made

    def _make_parents(self, path: str) -> list[str]:
        """The directories above `path` that are missing, made: those made,
        deepest first, for _undo."""
        parent = self._parent(path)
        if self.exists(parent):
            return []
        return self._makedirs(parent, True)

    def rmdir(self, path: str) -> None:
        path = self._strip_protocol(path)
        if self.info(path)["type"] != "directory":
            raise NotADirectoryError(errno.ENOTDIR, "Not a directory", path)
        self._remove(path, False)

    # --- removing

    def _remove(self, path: str, recursive: bool) -> None:
        try:
            _waiting(self.pyfs.remove, path, recursive)
        except _FsError as error:
            raise _os_error(error, path) from None

    def rm_file(self, path: str) -> None:
        path = self._strip_protocol(path)
        if self.info(path)["type"] == "directory":
            raise IsADirectoryError(errno.EISDIR, "Is a directory", path)
        self._remove(path, False)

    _rm = rm_file

    def rm(self, path: Any, recursive: bool = False, maxdepth: int | None = None) -> None:
        # A whole tree goes in one call where that is what is asked.
        if isinstance(path, str) and recursive and maxdepth is None and not _has_magic(path):
            stripped = self._strip_protocol(path)
            self._stat(stripped)
            self._remove(stripped, True)
            return
        for p in reversed(self.expand_path(path, recursive=recursive, maxdepth=maxdepth)):
            self._remove(p, False)

    # --- moving and copying

    def mv(self, path1: Any, path2: Any, recursive: bool = False,
           maxdepth: int | None = None, **kwargs: Any) -> None:
        """Moves in one atomic rename when both are single paths and the
        target is not an existing directory; otherwise copies and removes as
        fsspec does."""
        if isinstance(path1, str) and isinstance(path2, str) and not _has_magic(path1):
            src, dst = self._strip_protocol(path1), self._strip_protocol(path2)
            if src == dst:
                return
            if dst.startswith(src.rstrip("/") + "/"):
                raise OSError(errno.EINVAL, "Cannot move an entry into itself", src, None, dst)
            if not self.isdir(dst):
                if not path2.endswith("/"):
                    self._stat(src)
                    made = self._make_parents(dst)
                    try:
                        self.pyfs.rename(src, dst)
                    except _FsError as error:
                        _undo(self.pyfs, made)
                        raise _os_error(error, src, dst) from None
                    return
        super().mv(path1, path2, recursive=recursive, maxdepth=maxdepth, **kwargs)

    rename = mv  # type: ignore[assignment]

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        src, dst = self._strip_protocol(path1), self._strip_protocol(path2)
        if self.isdir(src):
            self.makedirs(dst, exist_ok=True)
            return
        self.pipe_file(dst, self.cat_file(src))

    # --- bytes

    def cat_file(self, path: str, start: int | None = None, end: int | None = None,
                 **kwargs: Any) -> bytes:
        path = self._strip_protocol(path)
        if start is None and end is None:
            # One step under the file's lock: no handle, so a writer never
            # finds the file busy because of a reader.
            try:
                return _waiting(self.pyfs.read_bytes, path)
            except _FsError as error:
                raise _os_error(error, path) from None
        with self._open(path, "rb", buffering=0) as f:
            size = self._stat(path).st_size
            begin = 0 if start is None else (max(size + start, 0) if start < 0 else start)
            stop = size if end is None else (max(size + end, 0) if end < 0 else min(end, size))
            if stop <= begin:
                return b""
            f.seek(begin)
            buffer = bytearray(stop - begin)
            view = memoryview(buffer)
            done = 0
            while done < len(buffer):
                count = f.readinto(view[done:])
                if not count:
                    break
                done += count
            return bytes(view[:done])

    def pipe_file(self, path: str, value: bytes, mode: str = "overwrite", **kwargs: Any) -> None:
        raw = self._open(path, "xb" if mode == "create" else "wb", buffering=0)
        raw._buffer[:] = value
        raw._dirty = True
        raw.close()

    def touch(self, path: str, truncate: bool = True, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        if truncate or not self.exists(path):
            self.pipe_file(path, b"")

    # --- opening

    def _open(self, path: str, mode: str = "rb", block_size: int | None = None,
              autocommit: bool = True, cache_options: Any = None,
              buffering: int = -1, **kwargs: Any) -> Any:
        path = self._strip_protocol(path)
        kind = mode.replace("b", "").replace("t", "")
        plus = "+" in kind
        kind = kind.replace("+", "")
        if kind not in ("r", "w", "a", "x") or len(kind) != 1:
            raise ValueError(f"invalid mode: {mode!r}")
        readable = kind == "r" or plus
        writable = kind != "r" or plus
        raw, size = self._open_raw(path, mode, kind, readable, writable)
        if buffering == 0:
            return raw
        # A reader's buffer holds the whole of a small file and 64 KiB of a
        # larger one: text layers read in 8 KiB steps, which should not each
        # cost a call into the filesystem, while larger reads (parsers ask for
        # 256 KiB and more) go straight from the file into the caller's
        # bytes, one copy. A writer's buffer gathers 64 KiB.
        if block_size:
            size = block_size
        elif readable:
            size = min(max(size, io.DEFAULT_BUFFER_SIZE), 1 << 16)
        else:
            size = 1 << 16
        if readable and writable:
            return io.BufferedRandom(raw, size)
        return io.BufferedReader(raw, size) if readable else io.BufferedWriter(raw, size)

    def _open_raw(self, path: str, mode: str, kind: str, readable: bool,
                  writable: bool) -> tuple[LumvexRawFile, int]:
        """The raw file and the size of the content it starts with."""
        fs = self.pyfs
        if not writable:
            # One step that never creates: a file removed meanwhile stays so.
            try:
                handle = _waiting(fs.open_existing, path, "r")
            except _FsError as error:
                raise _os_error(error, path) from None
            handle.seek(0, lumvex.Whence.SEEK_END)
            size = handle.tell()
            handle.seek(0, lumvex.Whence.SEEK_SET)
            return LumvexRawFile(handle, path, mode, True, False), size
        made: list[str] = []
        for _ in range(100):
            if kind != "x":
                try:
                    handle = _waiting(fs.open_existing, path, "rw")
                    break
                except _FsError as error:
                    if _errno(error) != errno.ENOENT or kind == "r":
                        _undo(fs, made)
                        raise _os_error(error, path) from None
            # Missing: this open makes it (and the directories above it),
            # held for writing from the start, so that no reader sees it
            # before its content is in place.
            if not made:
                made = self._make_parents(path)
            try:
                handle = fs.open_new(path, "rw")
                made.insert(0, path)
                break
            except _FsError as error:
                if _errno(error) != errno.EEXIST or kind == "x":
                    _undo(fs, made)
                    raise _os_error(error, path) from None
                # Made meanwhile by another: open that one.
        else:
            _undo(fs, made)
            raise OSError(errno.EAGAIN, "The file keeps changing", path)
        content = None
        if kind in ("r", "a"):
            try:
                handle.seek(0, lumvex.Whence.SEEK_END)
                size = handle.tell()
                handle.seek(0, lumvex.Whence.SEEK_SET)
                content = bytearray(size)
                handle.readinto(content)
            except BaseException:
                handle.close()
                raise
        raw = LumvexRawFile(handle, path, mode, readable, True, append=kind == "a",
                            content=content, fs=fs, undo=made)
        if kind == "a":
            raw.seek(0, io.SEEK_END)
        return raw, len(content or b"")


def open_file(fs: lumvex.PyFs, path: str, mode: str = "r", buffering: int = -1,
              encoding: str | None = None, errors: str | None = None,
              newline: str | None = None) -> Any:
    """A file of ``fs`` as the built-in ``open`` gives one: binary modes a
    buffered binary file (or with ``buffering=0`` the raw file), text modes an
    ``io.TextIOWrapper`` over it. See ``PyFs.open_file``."""
    if not isinstance(fs, lumvex.PyFs):
        raise TypeError(f"fs must be a lumvex.PyFs, not {type(fs).__name__}")
    if not isinstance(mode, str):
        raise TypeError(f"open_file() argument 'mode' must be str, not {type(mode).__name__}")
    if not isinstance(path, str):
        raise TypeError(f"open_file() argument 'path' must be str, not {type(path).__name__}")
    if len(set(mode)) != len(mode) or set(mode) - set("rwaxbt+") or \
            sum(c in "rwax" for c in mode) != 1 or ("b" in mode and "t" in mode):
        raise ValueError(f"invalid mode: {mode!r}")
    binary = "b" in mode
    if binary and (encoding is not None or errors is not None or newline is not None):
        raise ValueError("binary mode doesn't take an encoding, errors or newline argument")
    if buffering == 0 and not binary:
        raise ValueError("can't have unbuffered text I/O")
    lfs = LumvexFileSystem(fs)
    raw_mode = mode.replace("t", "") + ("" if binary else "b")
    buffered = lfs._open(path, raw_mode, buffering=0 if buffering == 0 else -1,
                         block_size=buffering if buffering > 1 else None)
    if binary:
        return buffered
    try:
        text = io.TextIOWrapper(buffered, encoding=encoding or "utf-8", errors=errors,
                                newline=newline, line_buffering=buffering == 1)
    except BaseException:
        buffered.close()
        raise
    text.mode = mode
    return text


_by_name = operator.itemgetter("name")


def _has_magic(path: str) -> bool:
    return any(c in path for c in "*?[")
