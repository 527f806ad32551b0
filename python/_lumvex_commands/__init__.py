"""Started commands and persistent shells of a lumvex session.

The Python half of ``PyTerminalSession.start`` and ``PyTerminalSession.shell``.
The extension starts a command inside the session's walls and hands over its
streams' descriptors and a descriptor that becomes readable once the command
has ended; everything else (waiting, reading, framing a shell's commands) is
done here with the standard library.
"""

from __future__ import annotations

import errno
import io
import os
import re
import secrets
import select
import signal
import subprocess
import threading
import time
from typing import Any, NamedTuple

__all__ = ["Expected", "Shell", "ShellExited", "StartedCommand"]

_CHUNK = 65536


class _TerminalReader(io.FileIO):
    """A pseudo-terminal's master end: once the command's side is closed the
    kernel reports EIO, which is the end of the stream here."""

    def readinto(self, buffer: Any) -> int | None:
        try:
            return super().readinto(buffer)
        except OSError as error:
            if error.errno == errno.EIO:
                return 0
            raise

    def read(self, size: int | None = -1) -> bytes:
        try:
            return super().read(size) or b""
        except OSError as error:
            if error.errno == errno.EIO:
                return b""
            raise

    def readall(self) -> bytes:
        chunks = []
        while chunk := self.read(_CHUNK):
            chunks.append(chunk)
        return b"".join(chunks)


class Expected(NamedTuple):
    """What ``StartedCommand.expect`` found: the output before the match, and
    the match itself (``match.group()`` is the matched bytes)."""

    before: bytes
    match: re.Match[bytes]


class StartedCommand:
    """A command started in a session, in the style of subprocess.Popen."""

    def __init__(
        self,
        session: Any,
        command: str,
        *,
        env: Any = None,
        cwd: Any = None,
        pty: bool = False,
    ) -> None:
        if not isinstance(command, str):
            raise TypeError("command must be a str")
        if not isinstance(pty, bool):
            raise TypeError("pty must be a bool")
        ident, stdin, stdout, stderr, ended, pid = session._start(command, env, cwd, pty)
        self._session = session
        self._id = ident
        self._ended = ended
        self._buffer = b""  # read by expect() and not yet handed out
        self.args = command
        self.pid: int = pid
        self.returncode: int | None = None
        self.killed_by: str | None = None
        self.usage: dict[str, Any] | None = None
        self.stdin: io.FileIO = open(stdin, "wb", buffering=0)  # noqa: SIM115
        self.stdout: io.FileIO = _TerminalReader(stdout, "rb") if pty else open(stdout, "rb", buffering=0)  # noqa: SIM115
        self.stderr: io.FileIO | None = None if stderr < 0 else open(stderr, "rb", buffering=0)  # noqa: SIM115

    def __repr__(self) -> str:
        return f"<StartedCommand: returncode: {self.returncode} args: {self.args!r}>"

    def poll(self) -> int | None:
        """Return the exit status once the command has ended, else None."""
        if self.returncode is None:
            ended = self._session._started_poll(self._id)
            if ended is not None:
                self.returncode, self.killed_by, self.usage, _ = ended
        return self.returncode

    def wait(self, timeout: float | None = None) -> int:
        """Wait for the command to end and return its exit status; raise
        subprocess.TimeoutExpired after timeout seconds."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.poll() is None:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise subprocess.TimeoutExpired(self.args, timeout or 0)
            select.select([self._ended], [], [], left)
        assert self.returncode is not None
        return self.returncode

    def send_signal(self, sig: int) -> None:
        """Send sig to the command's process group (nothing once it ended)."""
        if self.poll() is None:
            self._session._started_signal(self._id, int(sig), -1.0)

    def terminate(self) -> None:
        """Send SIGTERM to the command's process group."""
        self.send_signal(signal.SIGTERM)

    def kill(self) -> None:
        """End every process the command started, detached ones included."""
        if self.poll() is not None and self.killed_by == "close":
            return
        try:
            self._session._started_kill(self._id)
        except ValueError:
            if self.poll() is None:
                raise

    def _fill(self, deadline: float | None) -> bool:
        """Read what the output has into the expect buffer; False at its end
        or when the deadline passed first."""
        left = None if deadline is None else max(0.0, deadline - time.monotonic())
        ready, _, _ = select.select([self.stdout], [], [], left)
        if not ready:
            return False
        data = self.stdout.read(_CHUNK)
        if not data:
            return False
        self._buffer += data
        return True

    def expect(self, pattern: bytes | re.Pattern[bytes], timeout: float | None = None) -> Expected:
        """Read the output until pattern (bytes, or a compiled bytes regex)
        appears and return what came before it and the match; both are
        consumed. Raise subprocess.TimeoutExpired (its output is what was
        read) after timeout seconds, EOFError when the output ends first."""
        if isinstance(pattern, (bytes, bytearray)):
            regex = re.compile(re.escape(bytes(pattern)))
        elif isinstance(pattern, re.Pattern) and isinstance(pattern.pattern, bytes):
            regex = pattern
        else:
            raise TypeError("pattern must be bytes or a compiled bytes regular expression")
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            found = regex.search(self._buffer)
            if found is not None:
                consumed, self._buffer = self._buffer[: found.end()], self._buffer[found.end() :]
                match = regex.match(consumed, found.start())
                assert match is not None
                return Expected(consumed[: found.start()], match)
            if not self._fill(deadline):
                if deadline is not None and time.monotonic() >= deadline:
                    raise subprocess.TimeoutExpired(self.args, timeout or 0, output=self._buffer)
                raise EOFError(f"the output ended before {regex.pattern!r} appeared")

    def communicate(self, input: bytes | None = None, timeout: float | None = None) -> tuple[bytes, bytes | None]:
        """Send input, close stdin, read both streams to their end and wait,
        as subprocess.Popen.communicate does."""
        if input:
            self.stdin.write(input)
        self.stdin.close()
        deadline = None if timeout is None else time.monotonic() + timeout
        chunks: dict[Any, list[bytes]] = {self.stdout: [self._buffer]}
        self._buffer = b""
        if self.stderr is not None:
            chunks[self.stderr] = []
        open_streams = [stream for stream in chunks if not stream.closed]
        while open_streams:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise subprocess.TimeoutExpired(self.args, timeout or 0, output=b"".join(chunks[self.stdout]))
            ready, _, _ = select.select(open_streams, [], [], left)
            for stream in ready:
                data = stream.read(_CHUNK)
                if data:
                    chunks[stream].append(data)
                else:
                    open_streams.remove(stream)
        self.wait(None if deadline is None else max(0.0, deadline - time.monotonic()))
        out = b"".join(chunks[self.stdout])
        err = b"".join(chunks[self.stderr]) if self.stderr is not None else None
        return out, err

    def close(self) -> None:
        """Close the streams; an ended command is forgotten by the session
        (one still running runs on until killed or the session closes)."""
        for stream in (self.stdin, self.stdout, self.stderr):
            if stream is not None:
                stream.close()
        if self._ended >= 0:
            try:
                self._session._started_release(self._id)
            finally:
                os.close(self._ended)
                self._ended = -1

    def __enter__(self) -> StartedCommand:
        return self

    def __exit__(self, *exc_info: object) -> None:
        try:
            self.stdin.close()
            self.wait()
        finally:
            self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_ended", -1) >= 0:
                self.close()
        except Exception:  # the session may be gone with the interpreter
            pass


class ShellExited(ValueError):
    """The shell has ended (``exit``, or it could not be interrupted)."""

    def __init__(self, message: str, returncode: int | None = None) -> None:
        super().__init__(message)
        self.returncode = returncode


# Run after every command (and after an interrupt): the status, then a marker
# on each stream, which tells where the command's output ends. The prompts
# stay empty (an activated venv sets PS1). The marker on stderr ends with a
# dot, which a trace of these commands (set -x) does not show after it.
_PROMPT_COMMAND = (
    "__lumvex_status=$?; PS1= PS2= PS0=; "
    'builtin printf "%s %d\\n" "$__lumvex_marker" "$__lumvex_status"; '
    'builtin printf "%s." "$__lumvex_marker" >&2'
)
# How long an interrupted command is given to end before what is left of it
# is killed, and then how long the shell is given to come back.
_GRACE = 1.0
_SETTLE = 2.0


def _quoted(text: bytes) -> bytes:
    return b"'" + text.replace(b"'", b"'\\''") + b"'"


def _printf_escaped(data: bytes) -> bytes:
    """data as a single-quoted argument of printf %b: every byte kept."""
    out = bytearray()
    for byte in data:
        if 0x20 <= byte < 0x7F and byte not in (0x5C, 0x27):
            out.append(byte)
        else:
            out += b"\\0%03o" % byte
    return b"'" + bytes(out) + b"'"


class Shell:
    """A persistent bash of a session: run() keeps the shell's state."""

    def __init__(self, session: Any) -> None:
        marker = "LUMVEX_" + secrets.token_hex(16)
        env = {"PS1": "", "PS2": "", "PROMPT_COMMAND": _PROMPT_COMMAND, "__lumvex_marker": marker}
        self._process = StartedCommand(
            session, "exec /bin/bash --noprofile --norc --noediting -i", env=env
        )
        self._fds = (self._process.stdout.fileno(), self._process.stderr.fileno())  # type: ignore[union-attr]
        self._exited: int | None = None
        self._lock = threading.Lock()  # one command at a time
        self._unfinished: str | None = None  # the marker of a call broken off here
        self._pending = [b"", b""]  # read past the last command's markers
        # Its first prompt ends what it says on starting (no job control
        # without a terminal); the first line makes its settings its own.
        try:
            self._exchange(marker, None, None, None)
            ready = self._next_marker()
            self._send(
                b"__lumvex_marker=" + ready.encode() + b"; "
                b"builtin export -n PS1 PS2 PROMPT_COMMAND __lumvex_marker; "
                b"builtin unset HISTFILE; builtin set +o history; "
                # Takes the next marker and gives back the last status ($?).
                b"__lumvex_call() { __lumvex_marker=$1; return $__lumvex_status; }; "
                b"builtin readonly PROMPT_COMMAND; builtin readonly -f __lumvex_call\n"
            )
            self._exchange(ready, None, None, 10.0)
        except BaseException:
            self.close()
            raise

    @property
    def pid(self) -> int:
        """The shell's process id, as this process sees it."""
        return self._process.pid

    def _next_marker(self) -> str:
        return "LUMVEX_" + secrets.token_hex(16)

    def _send(self, line: bytes) -> None:
        try:
            self._process.stdin.write(line)
        except BrokenPipeError:
            pass  # it has ended: its streams end and _exchange says so

    def _exchange(
        self,
        marker: str,
        command: bytes | None,
        input: bytes | None,
        timeout: float | None,
        max_output: int = 64 << 20,
    ) -> tuple[int, _Capture, _Capture, bool]:
        """Run command (None: nothing to send) and read both streams up to
        marker: (status, stdout, stderr, timed_out)."""
        if command is not None:
            redirect = b"< <(builtin printf %b " + _printf_escaped(input) + b")" if input else b"</dev/null"
            self._send(
                b"__lumvex_call " + marker.encode() + b"; builtin eval -- " + _quoted(command) + b" " + redirect + b"\n"
            )
        token = marker.encode()
        streams = (
            _Capture(self._pending[0], re.compile(re.escape(token) + rb" (-?\d+)\n"), max_output),
            _Capture(self._pending[1], re.compile(re.escape(token + b".")), max_output),
        )
        self._pending = [b"", b""]
        deadline = None if timeout is None else time.monotonic() + timeout
        # What started since (to the clock's tick, as /proc gives it) is
        # this command's.
        began = time.clock_gettime(time.CLOCK_BOOTTIME) - 0.02
        timed_out = False
        stage = 0  # 1: interrupted, 2: what was left killed
        while True:
            if all(stream.found is not None for stream in streams):
                self._pending = [stream.after for stream in streams]
                status = streams[0].found
                assert status is not None
                return int(status.group(1)), streams[0], streams[1], timed_out
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                timed_out = True
                if stage == 0:
                    # As Ctrl-C would: the shell's process group (jobs in
                    # the background ignore it). Then what is left of the
                    # command goes, but not the shell or its older jobs.
                    self._process.send_signal(signal.SIGINT)
                    deadline, stage = time.monotonic() + _GRACE, 1
                elif stage == 1:
                    self._process._session._started_signal(self._process._id, signal.SIGKILL, began)
                    deadline, stage = time.monotonic() + _SETTLE, 2
                else:
                    # Not even the shell came back: it goes.
                    self._end(None)
                    expired = subprocess.TimeoutExpired("", timeout or 0)
                    expired.captured = streams  # type: ignore[attr-defined]
                    raise expired
                continue
            ready, _, _ = select.select([*self._fds, self._process._ended], [], [], left)
            if self._process._ended in ready or any(
                fd in ready and not self._read(fd, streams[index]) for index, fd in enumerate(self._fds)
            ):
                # The shell has ended (exit): what it wrote last is this
                # command's, and its status the shell's.
                settle = time.monotonic() + 0.5
                while self._drain(streams) and time.monotonic() < settle:
                    pass
                self._end(self._process.wait(5))
                assert self._exited is not None
                return self._exited, streams[0], streams[1], False

    def _read(self, fd: int, stream: _Capture) -> bool:
        chunk = os.read(fd, _CHUNK)
        stream.add(chunk)
        return bool(chunk)

    def _drain(self, streams: tuple[_Capture, _Capture]) -> bool:
        """Read what the streams still hold (a moment's wait); False once
        nothing more came."""
        ready, _, _ = select.select(self._fds, [], [], 0.05)
        return any([self._read(fd, streams[index]) for index, fd in enumerate(self._fds) if fd in ready])

    def _end(self, status: int | None) -> None:
        if self._exited is None:
            self._exited = status if status is not None else -signal.SIGKILL
        if self._process.poll() is None:
            self._process.kill()
            self._process.wait(5)

    def run(
        self,
        command: str,
        *,
        timeout: float | None = None,
        input: bytes | None = None,
        check: bool = False,
        max_output: int = 64 << 20,
    ) -> subprocess.CompletedProcess[bytes]:
        """Run command in the shell and return a subprocess.CompletedProcess
        with its exit status and output, as PyTerminalSession.run does; the
        shell keeps what the command changed. timeout interrupts the command
        as Ctrl-C would (SIGINT to the shell's process group, then SIGKILL to
        what is left of the command) and raises subprocess.TimeoutExpired;
        the shell and its state stay. Each stream keeps at most max_output
        bytes, its first and last halves. A command that ends the shell
        (exit) ends it; every later call raises ShellExited."""
        if not isinstance(command, str):
            raise TypeError("command must be a str")
        if "\0" in command:
            raise ValueError("command must not contain NUL")
        if input is not None:
            input = bytes(memoryview(input))
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must not be negative")
        if isinstance(max_output, bool) or not isinstance(max_output, int) or max_output < 0:
            raise TypeError("max_output must be a non-negative int")
        with self._lock:
            if self._exited is not None:
                raise ShellExited(f"the shell has ended (exit status {self._exited})", self._exited)
            if self._unfinished is not None:
                # A call broken off here (KeyboardInterrupt) left its command
                # running: it is interrupted now and its output dropped.
                unfinished, self._unfinished = self._unfinished, None
                try:
                    self._exchange(unfinished, None, None, 0.0)
                except subprocess.TimeoutExpired:
                    raise ShellExited("the shell has ended (it could not be interrupted)", self._exited) from None
            marker = self._next_marker()
            try:
                status, out, err, timed_out = self._exchange(marker, command.encode(), input, timeout, max_output)
            except subprocess.TimeoutExpired as broken:
                out, err = broken.captured  # type: ignore[attr-defined]
                timed_out = True
            except ShellExited:
                raise
            except BaseException:
                self._unfinished = marker
                raise
        if timed_out:
            expired = subprocess.TimeoutExpired(command, timeout or 0)
            _set_streams(expired, out, err, max_output)
            expired.killed_by = "timeout"  # type: ignore[attr-defined]
            raise expired
        result = subprocess.CompletedProcess(command, status, b"", b"")
        _set_streams(result, out, err, max_output)
        result.killed_by = None  # type: ignore[attr-defined]
        if check and status != 0:
            error = subprocess.CalledProcessError(status, command, output=result.stdout, stderr=result.stderr)
            for name in ("truncated", "stdout_size", "stderr_size", "killed_by"):
                setattr(error, name, getattr(result, name))
            raise error
        return result

    def start(self, command: str, *, pty: bool = False) -> StartedCommand:
        """Start command as PyTerminalSession.start does, in the shell's
        working directory with its exported variables (an activated venv
        included); functions, aliases and options stay the shell's."""
        state = self.run("builtin pwd; /usr/bin/env -0", check=True)
        directory, _, exported = state.stdout.partition(b"\n")
        env = dict(
            entry.decode(errors="surrogateescape").partition("=")[::2]
            for entry in exported.split(b"\0")
            if b"=" in entry
        )
        return StartedCommand(
            self._process._session, command, env=env, cwd=directory.decode(errors="surrogateescape"), pty=pty
        )

    def close(self) -> None:
        """End the shell and everything it started."""
        if self._exited is None:
            self._exited = -signal.SIGKILL
        try:
            if self._process.poll() is None:
                self._process.kill()
                self._process.wait(5)
        finally:
            self._process.close()

    def __enter__(self) -> Shell:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if hasattr(self, "_process"):
                self.close()
        except Exception:  # the session may be gone with the interpreter
            pass


class _Capture:
    """One stream of a shell command, read up to its end marker (`ending`):
    at most the first half of max_output and a tail, with the count of what
    was dropped between them."""

    def __init__(self, pending: bytes, ending: re.Pattern[bytes], max_output: int) -> None:
        self._ending = ending
        self._max = max_output
        self._head_size = max_output - max_output // 2
        self._limit = 2 * max_output + 2 * _CHUNK
        self.head: bytes | None = None  # set once the stream outgrew the limit
        self.dropped = 0
        self.body = b""
        self._searched = 0
        self.found: re.Match[bytes] | None = None
        self.after = b""  # what came after the marker: the next command's
        self.add(pending)

    def add(self, chunk: bytes) -> None:
        if self.found is not None:
            self.after += chunk
            return
        self.body += chunk
        found = self._ending.search(self.body, max(0, self._searched - 80))
        if found is not None:
            self.found = found
            self.after = self.body[found.end() :]
            self.body = self.body[: found.start()]
        else:
            self._searched = len(self.body)
        if len(self.body) > self._limit:
            if self.head is None:
                self.head, self.body = self.body[: self._head_size], self.body[self._head_size :]
            keep = self._max // 2 + _CHUNK
            self.dropped += len(self.body) - keep
            self.body = self.body[-keep:]
            self._searched = len(self.body)

    def result(self) -> tuple[bytes, int]:
        """The kept bytes (at most max_output: head and tail) and the size."""
        data = (self.head or b"") + self.body
        size = len(data) + self.dropped
        if len(data) > self._max:
            data = data[: self._head_size] + data[len(data) - (self._max - self._head_size) :]
        return data, size


def _set_streams(target: Any, out: _Capture, err: _Capture, max_output: int) -> None:
    """The result's streams within max_output, with truncated, stdout_size
    and stderr_size as PyTerminalSession.run gives them."""
    (kept_out, out_size), (kept_err, err_size) = out.result(), err.result()
    if isinstance(target, subprocess.TimeoutExpired):
        target.output, target.stderr = kept_out, kept_err
    else:
        target.stdout, target.stderr = kept_out, kept_err
    target.truncated = out_size > max_output or err_size > max_output
    target.stdout_size = out_size
    target.stderr_size = err_size


def start(session: Any, command: str, *, env: Any = None, cwd: Any = None, pty: bool = False) -> StartedCommand:
    return StartedCommand(session, command, env=env, cwd=cwd, pty=pty)


def shell(session: Any) -> Shell:
    return Shell(session)
