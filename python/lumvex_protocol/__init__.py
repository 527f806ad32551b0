"""fsspec over a lumvex in-memory filesystem.

Registered with fsspec under the protocol ``"lumvex"`` (an entry point of the
lumvex wheel), so that no import is needed::

    fs = lumvex.PyFs()
    lfs = fsspec.filesystem("lumvex", fs=fs)
    pandas.read_csv("lumvex://data/x.csv", storage_options={"fs": fs})

Without ``fs``, one default PyFs of the process serves (``default_fs()``).

Files open as standard binary file objects: an ``io.RawIOBase`` over one
PyFileHandle (``LumvexRawFile``) with its own position that reads and writes
advance, buffered as ``open()`` buffers. Reading goes through
``PyFileHandle.readinto`` and prints nothing. Errors are the standard OSError
subclasses (FileNotFoundError, IsADirectoryError, NotADirectoryError,
FileExistsError, ...).

Modes: "rb" and "r+b" open an existing file; "wb" replaces the file (a new,
empty file takes the name: the filesystem never shortens a file); "ab"
appends; "xb" creates a file that must not exist. The "+" variants read too.
While a file is open for writing no other handle can open it (the filesystem's
file lock): such an open fails with ``OSError(errno.EBUSY)``.
"""

from __future__ import annotations

import errno
import io
import operator
import stat
import threading
from datetime import datetime, timezone
from typing import Any

from fsspec import AbstractFileSystem

import lumvex

__all__ = ["LumvexFileSystem", "LumvexRawFile", "default_fs"]

_default: lumvex.PyFs | None = None
_default_lock = threading.Lock()


def default_fs() -> lumvex.PyFs:
    """The process's default PyFs, made on first use."""
    global _default
    with _default_lock:
        if _default is None:
            _default = lumvex.PyFs()
        return _default


# The filesystem's error texts and the OSError each stands for.
_ERRORS = {
    "Inode not found": (FileNotFoundError, errno.ENOENT),
    "The specified INode is not a directory": (NotADirectoryError, errno.ENOTDIR),
    "The specified INode is not a file": (IsADirectoryError, errno.EISDIR),
    "Maximum filesystem depth exceeded": (OSError, errno.ENAMETOOLONG),
    "Resource already exists": (FileExistsError, errno.EEXIST),
    "Directory is not empty": (OSError, errno.ENOTEMPTY),
    "Resource is currently in use": (OSError, errno.EBUSY),
    "File does not support the specified operation: rename": (OSError, errno.EINVAL),
    "Invalid file descriptor": (OSError, errno.EBADF),
}


def _os_error(error: ValueError, path: str, other: str | None = None) -> OSError:
    text = str(error)
    kind, code = _ERRORS.get(text, (OSError, errno.EIO))
    if other is None:
        return kind(code, text, path)
    return kind(code, text, path, None, other)


class LumvexRawFile(io.RawIOBase):
    """One open file of a PyFs as a raw binary stream with its own position."""

    def __init__(self, handle: lumvex.PyFileHandle, path: str, mode: str,
                 readable: bool, writable: bool) -> None:
        super().__init__()
        self._handle = handle
        self.name = path
        self.mode = mode
        self._readable = readable
        self._writable = writable

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
        return self._handle.readinto(buffer)

    def write(self, data: Any) -> int:
        self._checkClosed()
        if not self._writable:
            raise io.UnsupportedOperation("write")
        chunk = bytes(data)
        count = self._handle.write(chunk)
        # The handle's offset stays where the write began: move past it.
        self._handle.seek(count, lumvex.Whence.SEEK_CUR)
        return count

    def tell(self) -> int:
        self._checkClosed()
        return self._handle.tell()

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._checkClosed()
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

    def close(self) -> None:
        if not self.closed:
            try:
                self._handle.close()
            except ValueError:
                pass  # closed already
        super().close()

    def __repr__(self) -> str:
        return f"<LumvexRawFile name={self.name!r} mode={self.mode!r}>"


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
        path = path.rstrip("/")
        return "/" + path.lstrip("/") if path else "/"

    # --- metadata

    def _stat(self, path: str) -> Any:
        try:
            return self.pyfs.stat(path)
        except ValueError as error:
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
        except ValueError as error:
            if str(error) != "The specified INode is not a directory":
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
                except ValueError:
                    continue  # removed meanwhile
                entries.append({"name": full, "size": st.st_size, "type": kind,
                                "mtime": st.st_mtime, "ino": st.st_ino})
        entries.sort(key=_by_name)
        return entries

    def exists(self, path: str, **kwargs: Any) -> bool:
        try:
            self.pyfs.stat(self._strip_protocol(path))
            return True
        except ValueError:
            return False

    def modified(self, path: str) -> datetime:
        return datetime.fromtimestamp(self.info(path)["mtime"], tz=timezone.utc)

    created = modified

    # --- directories

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        if create_parents and not self.exists(self._parent(path)):
            self.makedirs(self._parent(path), exist_ok=True)
        try:
            self.pyfs.mkdir(path)
        except ValueError as error:
            raise _os_error(error, path) from None

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        path = self._strip_protocol(path)
        if path == "/":
            if exist_ok:
                return
            raise FileExistsError(errno.EEXIST, "Resource already exists", path)
        current = ""
        parts = [p for p in path.split("/") if p]
        for index, part in enumerate(parts):
            current += "/" + part
            try:
                self.pyfs.mkdir(current)
            except ValueError as error:
                if str(error) != "Resource already exists":
                    raise _os_error(error, current) from None
                if not self.isdir(current):
                    raise FileExistsError(errno.EEXIST, "Resource already exists", current)
                if index == len(parts) - 1 and not exist_ok:
                    raise FileExistsError(errno.EEXIST, "Resource already exists", current)

    def rmdir(self, path: str) -> None:
        path = self._strip_protocol(path)
        if self.info(path)["type"] != "directory":
            raise NotADirectoryError(errno.ENOTDIR, "Not a directory", path)
        self._remove(path, False)

    # --- removing

    def _remove(self, path: str, recursive: bool) -> None:
        try:
            self.pyfs.remove(path, recursive)
        except ValueError as error:
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
            if not self.isdir(dst):
                if not path2.endswith("/"):
                    self.makedirs(self._parent(dst), exist_ok=True)
                    try:
                        self.pyfs.rename(src, dst)
                    except ValueError as error:
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
        with self._open(path, "xb" if mode == "create" else "wb", buffering=0) as f:
            f.write(value)

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
        try:
            st = self.pyfs.stat(path)
        except ValueError as error:
            if str(error) != "Inode not found":
                raise _os_error(error, path) from None
            st = None
        if st is None:
            if kind == "r":
                raise FileNotFoundError(errno.ENOENT, "No such file or directory", path)
            parent = self._parent(path)
            if not self.exists(parent):
                self.makedirs(parent, exist_ok=True)
        elif stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, "Is a directory", path)
        elif kind == "x":
            raise FileExistsError(errno.EEXIST, "File exists", path)
        elif kind == "w":
            # A new, empty file takes the name: files never shrink.
            self._remove(path, False)
        handle_mode = ("r" if readable else "") + ("w" if writable else "")
        try:
            handle = self.pyfs.open(path, handle_mode)
        except ValueError as error:
            raise _os_error(error, path) from None
        raw = LumvexRawFile(handle, path, mode, readable, writable)
        if kind == "a":
            raw.seek(0, io.SEEK_END)
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
            known = st.st_size if st is not None and kind != "w" else 0
            size = min(max(known, io.DEFAULT_BUFFER_SIZE), 1 << 16)
        else:
            size = 1 << 16
        if readable and writable:
            return io.BufferedRandom(raw, size)
        return io.BufferedReader(raw, size) if readable else io.BufferedWriter(raw, size)


_by_name = operator.itemgetter("name")


def _has_magic(path: str) -> bool:
    return any(c in path for c in "*?[")
