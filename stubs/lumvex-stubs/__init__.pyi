# Type information for the compiled module lumvex (a stub-only package that
# ships in the same wheel). The signatures are those the module accepts;
# where a published text signature says otherwise (PyFs.remove), these hold.
import io
import os
import re
import subprocess
from _typeshed import OpenBinaryMode, OpenTextMode
from collections.abc import Callable, Iterable, Mapping
from typing_extensions import Buffer
from types import TracebackType
from typing import (
    Any,
    BinaryIO,
    ClassVar,
    Final,
    Literal,
    NamedTuple,
    Self,
    SupportsIndex,
    TypedDict,
    final,
    overload,
    type_check_only,
)

__all__ = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyTerminalSession"]
__version__: Final[str]

class InternalError(BaseException):
    """A failed invariant inside lumvex; not caught by `except Exception`."""

@type_check_only
class CommandUsage(TypedDict):
    """One command's own figures (its control group's; zeros without one)."""

    memory_peak: int
    cpu_seconds: float
    oom_kills: int

@type_check_only
class CompletedRun(subprocess.CompletedProcess[bytes]):
    """What PyTerminalSession.run returns: at run time a
    subprocess.CompletedProcess itself, with these attributes set (run's
    TimeoutExpired and CalledProcessError carry them too)."""

    truncated: bool
    stdout_size: int
    stderr_size: int
    killed_by: Literal["timeout", "oom", "signal", "close"] | None
    usage: CommandUsage

@type_check_only
class ShellRun(subprocess.CompletedProcess[bytes]):
    """What Shell.run returns: at run time a subprocess.CompletedProcess
    itself, with these attributes set (its TimeoutExpired, killed_by
    "timeout", and CalledProcessError carry them too)."""

    truncated: bool
    stdout_size: int
    stderr_size: int
    killed_by: Literal["timeout"] | None

@type_check_only
class Expected(NamedTuple):
    """What StartedCommand.expect found: the output before the match, and
    the match."""

    before: bytes
    match: re.Match[bytes]

@type_check_only
class StartedCommand:
    """What PyTerminalSession.start returns, in the style of subprocess.Popen."""

    args: str
    pid: int
    returncode: int | None
    killed_by: Literal["oom", "signal", "close"] | None
    usage: CommandUsage | None
    stdin: io.FileIO
    stdout: io.FileIO
    # None with a pseudo-terminal (its output is all on stdout).
    stderr: io.FileIO | None
    def poll(self) -> int | None: ...
    def wait(self, timeout: float | None = None) -> int: ...
    def communicate(
        self, input: bytes | None = None, timeout: float | None = None
    ) -> tuple[bytes, bytes | None]: ...
    def send_signal(self, sig: int) -> None: ...
    def terminate(self) -> None: ...
    def kill(self) -> None: ...
    def expect(self, pattern: bytes | re.Pattern[bytes], timeout: float | None = None) -> Expected: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc_info: object) -> None: ...

@type_check_only
class ShellExited(ValueError):
    """Raised by Shell.run once the shell has ended."""

    returncode: int | None

@type_check_only
class Shell:
    """What PyTerminalSession.shell returns: a persistent bash."""

    @property
    def pid(self) -> int: ...
    def run(
        self,
        command: str,
        *,
        timeout: float | None = None,
        input: bytes | bytearray | memoryview | None = None,
        check: bool = False,
        max_output: int = 67108864,
    ) -> ShellRun: ...
    def start(self, command: str, *, pty: bool = False) -> StartedCommand: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc_info: object) -> None: ...

@final
class PyFs:
    # Limits: total bytes of the reachable files, and entries besides the root.
    def __new__(cls, *, max_bytes: int | None = None, max_entries: int | None = None) -> Self: ...
    def mkdir(self, path: str) -> None: ...
    def touch(self, path: str) -> None: ...
    # Opens (and creates, if missing) the file; mode is "", "r", "w", "rw" or "wr".
    def open(self, path: str, mode: str) -> PyFileHandle: ...
    # Opens a file that exists; never creates one.
    def open_existing(self, path: str, mode: str) -> PyFileHandle: ...
    # Creates the file and opens it in one step; an existing path is an error.
    def open_new(self, path: str, mode: str) -> PyFileHandle: ...
    # The whole content of a file, in one step, without a handle.
    def read_bytes(self, path: str) -> bytes: ...
    # A standard file object, as the built-in open gives.
    @overload
    def open_file(
        self,
        path: str,
        mode: OpenTextMode = "r",
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> io.TextIOWrapper: ...
    @overload
    def open_file(
        self,
        path: str,
        mode: OpenBinaryMode,
        buffering: int = -1,
        encoding: None = None,
        errors: None = None,
        newline: None = None,
    ) -> BinaryIO: ...
    # (names of the entries that are not directories, names of the directories)
    def listdir(self, path: str) -> tuple[list[str], list[str]]: ...
    def remove(self, path: str, recurse: bool) -> None: ...
    def tree(self, path: str, ident: str | None = None) -> str: ...
    def stat(self, path: str) -> os.stat_result: ...
    # Moves a file or a whole tree in one step; open handles follow it.
    def rename(self, src: str, dst: str) -> None: ...
    # A copy-on-write copy: the same tree, ids and limits, independent from then on.
    def fork(self) -> PyFs: ...
    @property
    def max_bytes(self) -> int | None: ...
    @property
    def max_entries(self) -> int | None: ...
    # pickle support: (PyFs, (), state), or with limits
    # (copyreg.__newobj_ex__, (PyFs, (), limits), state); __setstate__ takes
    # only a new, empty PyFs.
    def __reduce__(self) -> tuple[Callable[..., PyFs], tuple[Any, ...], bytes]: ...
    def __setstate__(self, state: bytes) -> None: ...

@final
class PyFileHandle:
    # No constructor: handles come from PyFs.open.
    def id(self) -> int: ...
    def close(self) -> None: ...
    def read(self, buffer: SupportsIndex) -> bytes: ...
    def write(self, buffer: bytes) -> int: ...
    # Fills a writable buffer from the offset; returns the count, prints nothing.
    def readinto(self, buffer: Buffer) -> int: ...
    # Replaces the whole content in one step (a "w" handle); a refusal keeps the old.
    def replace(self, data: bytes) -> None: ...
    def seek(self, offset: SupportsIndex, whence: Whence) -> None: ...
    def tell(self) -> int: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

@final
class PyTerm:
    def __new__(cls, fs: PyFs) -> Self: ...
    def exec(self, command: str) -> str: ...

@final
class Whence:
    # No constructor: these three are the only instances.
    SEEK_SET: ClassVar[Whence]
    SEEK_CUR: ClassVar[Whence]
    SEEK_END: ClassVar[Whence]
    def __int__(self) -> int: ...
    # Equal to a Whence of the same value and to an integer of that value.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Template:
    @classmethod
    def from_directory(cls, path: str | os.PathLike[str]) -> Template: ...
    @classmethod
    def from_fs(cls, fs: PyFs, path: str = "/") -> Template: ...
    @property
    def layers(self) -> int: ...
    @property
    def nbytes(self) -> int: ...

@final
class PyUserPool:
    def __new__(
        cls,
        *,
        memory: int | None = None,
        processes: int = 512,
        cpu: float | None = None,
        disk: int | None = None,
        network: bool | Literal["private"] | None = None,
        template: Template | None = None,
        allow: Iterable[str] | None = None,
    ) -> Self: ...
    # Which walls hold for this pool's sessions: cgroup, memory, processes,
    # cpu, disk, network, tmp, proc, syscalls.
    @property
    def walls(self) -> Mapping[str, bool]: ...
    # The sessions' network: True (the host's), "private" or False (by
    # default "private" where the host can give it, else True).
    @property
    def network(self) -> bool | Literal["private"]: ...

@final
class PyTerminalSession:
    def __new__(cls, pool: PyUserPool, *, template: Template | None = None) -> Self: ...
    def write(self, data: bytes) -> None: ...
    def close(self) -> None: ...
    def read(self, buffer: SupportsIndex) -> bytes: ...
    def read_err(self, buffer: SupportsIndex) -> bytes: ...
    def fileno(self) -> int: ...
    # memory_peak, oom_kills, processes (int) and cpu_seconds (float).
    def usage(self) -> dict[str, int | float]: ...
    def run(
        self,
        command: str,
        *,
        timeout: float | None = None,
        input: bytes | bytearray | memoryview | None = None,
        env: Mapping[str, str] | None = None,
        cwd: str | os.PathLike[str] | None = None,
        check: bool = False,
        max_output: int = 67108864,
    ) -> CompletedRun: ...
    # Signals the foreground job of the shell's terminal; False when nothing received it.
    def send_signal(self, sig: int) -> bool: ...
    def start(
        self,
        command: str,
        *,
        env: Mapping[str, str] | None = None,
        cwd: str | os.PathLike[str] | None = None,
        pty: bool = False,
    ) -> StartedCommand: ...
    def shell(self) -> Shell: ...
    # (host, port) on this host's loopback, joined to `port` inside the session.
    def expose(self, port: SupportsIndex) -> tuple[str, int]: ...
    def write_file(self, path: str, data: bytes | bytearray | memoryview) -> None: ...
    def read_file(self, path: str) -> bytes: ...
    def upload(self, fs: PyFs, src: str, dst: str) -> None: ...
    def download(self, src: str, fs: PyFs, dst: str) -> None: ...
    def snapshot(self) -> Template: ...
    @property
    def user(self) -> str: ...
    @property
    def uid(self) -> int: ...
    @property
    def home(self) -> str: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
