"""PyUserPool and PyTerminalSession: argument handling, host programs that
misbehave (stand-in scripts first on PATH), stand-in sessions with separate
output and error pipes, the interpreter lock during blocking calls, and a few
real sessions through su and bash (root only).

Every blocking call runs in a worker thread with a timeout. On a timeout the
test's own child processes are killed, which ends the pipes and unblocks the
call, and the test fails instead of hanging."""

import concurrent.futures
import gc
import os
import pathlib
import pwd
import re
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import warnings

import pytest

import lumvex

HOME_ROOT = "/tmp/tmp_user_home"
FIRST_NAME = "test_UKUKKUUK"
SECOND_NAME = "test_jii8OIPW"
FIRST_HOME = f"{HOME_ROOT}/{FIRST_NAME}"
TIMEOUT = 10.0

WRITE_FAILED = "Failed to write to terminal session"
READ_FAILED = "Failed to read from terminal session"

POOL_DOC = (
    "\nA class that represents a pool of UNIX users.\n\n"
    "This class represents a pool of UNIX users. The pool can be used to\n"
    "create and release user accounts. The pool is thread-safe and can be\n"
    "shared between multiple threads.\n"
)
SESSION_DOC = (
    "\nA class that represents a terminal session for a user.\n\n"
    "This class represents a unique terminal session for a user. The terminal\n"
    "session will automatically create a new user account when the session is\n"
    "created. The terminal session will also release the user account back to\n"
    "the pool when the session is dropped.\n"
)
METHODS = [
    ("write", "($self, data)", "\nWrite data to the terminal session.\n"),
    ("close", "($self)", "\nClose the terminal session.\n"),
    ("read", "($self, buffer)", "\nRead data from the terminal session.\n"),
    ("read_err", "($self, buffer)", "\nRead data from the stderr of the terminal session.\n"),
    (
        "fileno",
        "($self)",
        "\nReturn the file descriptor of the session's output stream, the one that\n"
        "read reads, so that select, selectors or asyncio can wait for output.\n",
    ),
    (
        "usage",
        "($self)",
        "\nReturn the session's figures as a dict: memory_peak (bytes),\n"
        "oom_kills (processes the kernel ended for the memory cap), cpu_seconds\n"
        "(float) and processes (live now). After close, the final figures.\n",
    ),
]
# Documented in the API reference (their docstrings are lumvex's own).
METHODS += [(name, None, None) for name in ("run", "send_signal", "expose", "write_file",
                                           "read_file", "upload", "download", "snapshot",
                                           "start", "shell")]
ATTRIBUTES = ["user", "uid", "home"]

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="sessions need root")
needs_host = pytest.mark.skipif(
    os.geteuid() != 0
    or not all(shutil.which(p) for p in ("id", "useradd", "su"))
    or not os.access("/bin/bash", os.X_OK),
    reason="real sessions need root, id, useradd, su and /bin/bash",
)


# --- helpers -----------------------------------------------------------------


def proc_texts(name):
    """(pid, text of /proc/<pid>/<name>) for every process still there."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/{name}") as file:
                    yield int(entry), file.read()
            except OSError:
                continue


def child_pids(parent):
    """Process ids whose parent is `parent`, with their state letters."""
    found = []
    for pid, text in proc_texts("stat"):
        fields = text.rsplit(")", 1)[1].split()
        if int(fields[1]) == parent:
            found.append((pid, fields[0]))
    return found


def kill_own_children():
    """SIGKILLs this process's children and everything below them."""
    pending = [os.getpid()]
    while pending:
        for pid, _ in child_pids(pending.pop()):
            pending.append(pid)
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def zombies():
    return [pid for pid, state in child_pids(os.getpid()) if state == "Z"]


_executor = concurrent.futures.ThreadPoolExecutor(max_workers=4)


def bounded(call, *args, timeout=TIMEOUT):
    """call(*args) in a worker thread; on a timeout the children are killed
    (so a blocked pipe call returns) and the test fails."""
    future = _executor.submit(call, *args)
    try:
        return future.result(timeout=timeout)
    except concurrent.futures.TimeoutError:
        kill_own_children()
        future.exception(timeout=TIMEOUT)
        pytest.fail(f"{getattr(call, '__name__', call)} did not return within {timeout} s")


def read_until(session, marker, err=False, timeout=TIMEOUT):
    """Reads the output (or error) stream until `marker` appears."""
    deadline = time.monotonic() + timeout
    read = session.read_err if err else session.read
    seen = b""
    while marker not in seen:
        chunk = bounded(read, 4096, timeout=max(deadline - time.monotonic(), 0.01))
        if not chunk:
            pytest.fail(f"stream ended before {marker!r}; got {seen!r}")
        seen += chunk
    return seen


def shell_value(session, command):
    """The output of `command` run by a real (pseudo-terminal) shell. The
    marker is built so that the echoed input never matches it."""
    session.write(f'echo "V=$({command})=V"\n'.encode())
    seen = read_until(session, b"=V\r\n").decode(errors="replace")
    return re.search(r"V=([^$\r\n]*)=V", seen).group(1)


def ticks_while(call, *args):
    """Runs call(*args) in a worker thread and counts how often this thread
    wakes from a short sleep meanwhile: near zero if the call keeps the
    interpreter lock while it blocks."""
    future = _executor.submit(call, *args)
    ticks = 0
    deadline = time.monotonic() + TIMEOUT
    while not future.done():
        if time.monotonic() > deadline:
            kill_own_children()
            pytest.fail("blocking call did not return in time")
        time.sleep(0.02)
        ticks += 1
    return ticks, future.result()


class StandIns:
    """A directory that is the whole PATH, holding stand-in host programs.
    Scripts use shell built-ins and absolute paths only."""

    def __init__(self, directory):
        self.dir = directory

    def script(self, name, body):
        path = self.dir / name
        path.write_text(f"#!/bin/sh\nDIR='{self.dir}'\n{body}\n")
        path.chmod(0o755)

    def remove(self, name):
        (self.dir / name).unlink()

    def log(self):
        path = self.dir / "log"
        return path.read_text().splitlines() if path.exists() else []

    def fake_accounts(self):
        """`id` knowing the accounts in $DIR/accounts (uid 1000 + line) and a
        `useradd` that appends to them; both log their calls."""
        self.script(
            "id",
            'echo "id $*" >> "$DIR/log"\n'
            "n=1000\n"
            'if [ -f "$DIR/accounts" ]; then\n'
            "  while IFS= read -r line; do\n"
            "    n=$((n + 1))\n"
            '    if [ "$line" = "$2" ]; then echo $n; exit 0; fi\n'
            '  done < "$DIR/accounts"\n'
            "fi\n"
            "echo \"id: '$2': no such user\" >&2\n"
            "exit 1",
        )
        self.script("useradd", 'echo "useradd $*" >> "$DIR/log"\necho "$1" >> "$DIR/accounts"')

    def plain_su(self):
        """A `su` that records its arguments and runs /bin/sh on the session's
        pipes, so output and error stay apart."""
        self.script("su", "printf '%s\\n' \"$@\" > \"$DIR/su_args\"\ncd /\nexec /bin/sh")


# Stand-ins live outside /tmp: a session's `su` starts in the session's own
# view of the files, where /tmp, /var/tmp and /dev/shm are private.
STANDIN_ROOT = "/var/lib/lumvex-tests"


@pytest.fixture
def standins(monkeypatch):
    os.makedirs(STANDIN_ROOT, mode=0o755, exist_ok=True)
    directory = pathlib.Path(tempfile.mkdtemp(dir=STANDIN_ROOT)) / "bin"
    directory.mkdir()
    os.chmod(directory.parent, 0o755)
    monkeypatch.setenv("PATH", str(directory))
    yield StandIns(directory)
    shutil.rmtree(directory.parent, ignore_errors=True)


@pytest.fixture
def session(standins, host_lock):
    """A stand-in session: fake accounts, /bin/sh instead of su's bash."""
    if os.geteuid() != 0:
        pytest.skip("sessions need root (the home directory is given to the account)")
    standins.fake_accounts()
    standins.plain_su()
    s = bounded(lumvex.PyTerminalSession, lumvex.PyUserPool())
    yield s
    s.close()


# --- classes and arguments ---------------------------------------------------


def test_docs_and_signatures():
    assert lumvex.PyUserPool.__doc__ == POOL_DOC
    assert lumvex.PyUserPool.__text_signature__ == "()"
    assert lumvex.PyTerminalSession.__doc__ == SESSION_DOC
    assert lumvex.PyTerminalSession.__text_signature__ == "(pool)"
    public = [n for n in vars(lumvex.PyTerminalSession) if not n.startswith("_")]
    assert public == [name for name, _, _ in METHODS] + ATTRIBUTES
    for name, signature, doc in METHODS:
        if signature is None:
            continue
        method = getattr(lumvex.PyTerminalSession, name)
        assert (method.__text_signature__, method.__doc__) == (signature, doc)
    assert [n for n in vars(lumvex.PyUserPool) if not n.startswith("_")] == ["network", "walls"]


@pytest.mark.parametrize(
    "make, prefix",
    [
        (lambda: lumvex.PyUserPool(1), None),
        (lambda: lumvex.PyUserPool(x=1), None),
        (lambda: lumvex.PyTerminalSession(), None),
        (lambda: lumvex.PyTerminalSession(5), "argument 'pool': "),
        (lambda: lumvex.PyTerminalSession(lumvex.PyFs()), "argument 'pool': "),
        (lambda: lumvex.PyTerminalSession(lumvex.PyUserPool, 1), None),
    ],
)
def test_constructor_argument_errors(make, prefix):
    with pytest.raises(TypeError) as info:
        make()
    if prefix:
        assert str(info.value).startswith(prefix)


def test_pool_runs_no_host_command(standins):
    standins.fake_accounts()
    pool = lumvex.PyUserPool()
    del pool
    assert standins.log() == []


@needs_root
@pytest.mark.parametrize(
    "method, value, error",
    [
        ("write", "text", TypeError),
        ("write", bytearray(b"x"), TypeError),
        ("write", memoryview(b"x"), TypeError),
        ("read", -1, OverflowError),
        ("read", 4294967296, OverflowError),
        ("read_err", 2**64, OverflowError),
        ("read", 1.0, TypeError),
        ("read_err", "1", TypeError),
        ("read", 2147483648, lumvex.InternalError),
        ("read_err", 4294967295, lumvex.InternalError),
    ],
)
def test_method_argument_errors(session, method, value, error):
    with pytest.raises(error) as info:
        getattr(session, method)(value)
    if error is TypeError:
        assert str(info.value).startswith("argument '")
    if error is OverflowError:
        assert "buffer" not in str(info.value)
    # None of these reach the session: it is neither closed nor poisoned.
    session.write(b"echo still\n")
    assert read_until(session, b"still\n") == b"still\n"


# --- host programs that misbehave ----------------------------------------------

# `id` output that is not a plain uid: the name counts as having no account.
BAD_ID_OUTPUT = ["", "\n", " 1001", "1001 ", "4294967296", "-1", "1001x", "\n1001"]
GOOD_ID_OUTPUT = ["1001\n", "1001\r\n", "+1001", "1001"]


def id_printing(standins, output):
    standins.script("id", f'echo "id $*" >> "$DIR/log"\nprintf %s \'{output}\'')
    standins.script("useradd", 'echo "useradd $*" >> "$DIR/log"')


def then_pool_works(standins, pool):
    """A later request with cooperating stand-ins succeeds on the same pool."""
    if os.geteuid() != 0:
        return
    standins.fake_accounts()
    standins.plain_su()
    s = bounded(lumvex.PyTerminalSession, pool)
    s.write(b"echo ok\n")
    assert read_until(s, b"ok\n") == b"ok\n"
    s.close()


@pytest.mark.parametrize("output", BAD_ID_OUTPUT)
def test_id_output_not_a_uid(standins, host_lock, output):
    id_printing(standins, output)
    pool = lumvex.PyUserPool()
    with pytest.raises(lumvex.InternalError):
        bounded(lumvex.PyTerminalSession, pool)
    # Not an account: useradd runs, and id is asked again after it.
    assert standins.log() == [f"id -u {FIRST_NAME}", f"useradd {FIRST_NAME}", f"id -u {FIRST_NAME}"]
    then_pool_works(standins, pool)


@needs_root
@pytest.mark.parametrize("output", GOOD_ID_OUTPUT)
def test_id_output_adopted(standins, host_lock, output):
    id_printing(standins, output)
    standins.plain_su()
    s = bounded(lumvex.PyTerminalSession, lumvex.PyUserPool())
    try:
        assert standins.log() == [f"id -u {FIRST_NAME}"]  # adopted, no useradd
        s.write(b"echo up\n")  # su has run (and recorded its arguments)
        read_until(s, b"up\n")
        info = os.stat(FIRST_HOME)
        assert (info.st_uid, info.st_gid) == (1001, 1001)
        args = (standins.dir / "su_args").read_text().splitlines()
        command = f"export HOME='{FIRST_HOME}'; cd /; exec /bin/bash"
        assert args == ["-s", "/bin/bash", "-P", "-c", command, FIRST_NAME]
    finally:
        s.close()


def test_useradd_failure_reported_and_pool_survives(standins, host_lock, capfd):
    standins.script("id", "exit 1")
    standins.script("useradd", "echo 'useradd: cannot lock /etc/passwd' >&2\nexit 1")
    pool = lumvex.PyUserPool()
    capfd.readouterr()
    with pytest.raises(lumvex.InternalError):
        bounded(lumvex.PyTerminalSession, pool)
    err = capfd.readouterr().err
    assert err == "Failed to create the user account: useradd: cannot lock /etc/passwd\n\n"
    then_pool_works(standins, pool)


@pytest.mark.parametrize("missing", ["id", "useradd", "su"])
def test_missing_host_program(standins, host_lock, missing):
    if missing == "su" and os.geteuid() != 0:
        pytest.skip("su is started only after the home directory is given away")
    standins.fake_accounts()
    standins.plain_su()
    if missing == "useradd":
        standins.script("id", "exit 1")
    standins.remove(missing)
    pool = lumvex.PyUserPool()
    with pytest.raises(lumvex.InternalError) as info:
        bounded(lumvex.PyTerminalSession, pool)
    assert str(info.value).startswith(f"Failed to execute the command `{missing}`: ")
    assert not isinstance(info.value, Exception)
    # The failure did not poison the pool.
    if missing == "su":
        standins.plain_su()
    else:
        standins.fake_accounts()
    then_pool_works(standins, pool)


# --- stand-in sessions ---------------------------------------------------------


@needs_root
def test_output_and_error_streams(session):
    assert bounded(session.write, b"") is None
    assert bounded(session.write, b"echo out; echo err >&2\n") is None
    assert read_until(session, b"out\n") == b"out\n"
    assert read_until(session, b"err\n", err=True) == b"err\n"
    # An empty buffer returns at once, even though nothing is pending.
    assert bounded(session.read, 0, timeout=2) == b""
    assert bounded(session.read_err, 0, timeout=2) == b""
    # One read gives at most `buffer` bytes; the rest stays in the pipe.
    session.write(b"echo abcdef\n")
    assert bounded(session.read, 3) == b"abc"
    assert read_until(session, b"\n") == b"def\n"
    # A large request is fine and gives what the pipe holds.
    session.write(b"echo big\n")
    assert read_until(session, b"big\n") == b"big\n"
    session.write(b"echo x\n")
    assert bounded(session.read, 2147483647) == b"x\n"


@needs_root
def test_shell_exit_gives_end_of_stream(session):
    session.write(b"echo bye; exit\n")
    assert read_until(session, b"bye\n") == b"bye\n"
    assert bounded(session.read, 100) == b""
    assert bounded(session.read_err, 100) == b""
    with pytest.raises(ValueError) as info:
        for _ in range(100):  # the pipe refuses once the shell is reaped
            session.write(b"echo\n")
            time.sleep(0.01)
    assert info.value.args == (WRITE_FAILED,)


@needs_root
def test_closed_session(session):
    assert session.close() is None
    assert session.close() is None
    with pytest.raises(ValueError) as info:
        session.write(b"echo\n")
    assert info.value.args == (WRITE_FAILED,)
    for read in (session.read, session.read_err):
        for size in (0, 10):
            with pytest.raises(ValueError) as info:
                read(size)
            assert info.value.args == (READ_FAILED,)
    assert zombies() == []


@needs_root
@pytest.mark.parametrize("drop", ["close", "del"])
def test_closed_or_dropped_session_returns_its_account(standins, host_lock, drop):
    standins.fake_accounts()
    standins.plain_su()
    pool = lumvex.PyUserPool()
    first = bounded(lumvex.PyTerminalSession, pool)
    if drop == "close":
        first.close()
    else:
        del first
        gc.collect()
    assert zombies() == []
    second = bounded(lumvex.PyTerminalSession, pool)
    # The account came back: no id or useradd for the second session.
    assert standins.log() == [f"id -u {FIRST_NAME}", f"useradd {FIRST_NAME}", f"id -u {FIRST_NAME}"]
    assert os.stat(FIRST_HOME).st_uid == 1001
    # Both in use: the next session gets a new account.
    third = bounded(lumvex.PyTerminalSession, pool)
    assert standins.log()[-1] == f"id -u {SECOND_NAME}"
    second.close()
    third.close()


@needs_root
@pytest.mark.parametrize("error", [None, KeyError("raised in the block")])
def test_with_block_closes_and_reraises(session, error):
    raised = None
    try:
        with session as s:
            assert s is session
            s.write(b"echo inside\n")
            assert read_until(s, b"inside\n") == b"inside\n"
            if error is not None:
                raise error
    except KeyError as caught:
        raised = caught
    assert raised is error
    with pytest.raises(ValueError) as info:
        session.write(b"echo\n")
    assert info.value.args == (WRITE_FAILED,)
    assert session.__exit__(None, None, None) is None  # closing again is fine
    assert zombies() == []


@needs_root
@pytest.mark.parametrize("how", ["close", "with", "drop"])
def test_warning_only_for_unclosed_sessions(standins, host_lock, how):
    standins.fake_accounts()
    standins.plain_su()
    pool = lumvex.PyUserPool()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = bounded(lumvex.PyTerminalSession, pool)
        if how == "close":
            s.close()
        elif how == "with":
            with s:
                pass
        del s
        gc.collect()
    assert [str(w.message).split(" at ")[0] for w in caught] == (
        ["unclosed <lumvex.PyTerminalSession object"] if how == "drop" else []
    )
    # Closed either way: the account came back and serves the next session.
    bounded(lumvex.PyTerminalSession, pool).close()
    assert standins.log().count(f"useradd {FIRST_NAME}") == 1
    assert f"id -u {SECOND_NAME}" not in standins.log()


@needs_root
def test_fileno_waits_with_selectors(session):
    selector = selectors.DefaultSelector()
    fd = session.fileno()
    assert isinstance(fd, int) and fd > 2 and session.fileno() == fd
    selector.register(session, selectors.EVENT_READ)  # through fileno()
    try:
        # Nothing written yet: the wait times out instead of blocking.
        assert selector.select(timeout=0.05) == []
        session.write(b"echo ready; echo other >&2\n")
        seen = b""
        deadline = time.monotonic() + TIMEOUT
        while b"ready\n" not in seen:
            events = selector.select(timeout=max(deadline - time.monotonic(), 0))
            assert events, f"no output in time; got {seen!r}"
            seen += session.read(4096)  # readable: returns without waiting
        assert seen == b"ready\n"
    finally:
        selector.close()
    session.close()
    with pytest.raises(ValueError) as info:
        session.fileno()
    assert info.value.args == (READ_FAILED,)


@needs_root
def test_session_outlives_its_pool_object(standins, host_lock):
    standins.fake_accounts()
    standins.plain_su()
    pool = lumvex.PyUserPool()
    s = bounded(lumvex.PyTerminalSession, pool)
    del pool
    gc.collect()
    s.write(b"echo alive\n")
    assert read_until(s, b"alive\n") == b"alive\n"
    assert s.close() is None


# --- the interpreter lock ------------------------------------------------------


@needs_root
@pytest.mark.parametrize("stream", ["read", "read_err"])
def test_read_lets_other_threads_run(session, stream):
    target = ">&2" if stream == "read_err" else ""
    session.write(f"/bin/sleep 0.5; echo late {target}\n".encode())
    ticks, data = ticks_while(getattr(session, stream), 100)
    assert data == b"late\n"
    assert ticks >= 5


@needs_root
def test_write_lets_other_threads_run(session):
    # The shell sleeps before reading on; the write fills the pipe and waits.
    session.write(b"/bin/sleep 0.5\n")
    ticks, result = ticks_while(session.write, (b"#" * 1023 + b"\n") * 512 + b"echo done\n")
    assert result is None
    assert ticks >= 5
    assert read_until(session, b"done\n") == b"done\n"


@needs_root
def test_creation_lets_other_threads_run(standins, host_lock):
    standins.fake_accounts()
    standins.plain_su()
    standins.script("useradd", '/bin/sleep 0.5\necho "$1" >> "$DIR/accounts"')
    ticks, s = ticks_while(lumvex.PyTerminalSession, lumvex.PyUserPool())
    assert ticks >= 5
    s.close()


class Interrupted(Exception):
    pass


@needs_root
def test_signal_during_read_raises_the_handlers_exception(session):
    # The read runs in the main thread, where signal handlers run; a watchdog
    # ends the shell if the read is not broken off.
    def handler(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, handler)
    main = threading.main_thread().ident
    alarm = threading.Timer(0.2, signal.pthread_kill, (main, signal.SIGALRM))
    watchdog = threading.Timer(TIMEOUT, kill_own_children)
    alarm.start()
    watchdog.start()
    try:
        with pytest.raises(Interrupted):
            session.read(100)
    finally:
        watchdog.cancel()
        alarm.cancel()
        signal.signal(signal.SIGALRM, previous)
    session.write(b"echo after\n")
    assert read_until(session, b"after\n") == b"after\n"


@needs_root
@pytest.mark.parametrize("waiting", ["read", "read_err", "write"])
def test_close_ends_a_call_waiting_in_another_thread(session, waiting):
    # The shell reads nothing and writes nothing: each call below waits for
    # ever, until the close from this thread ends it as on a closed session.
    session.write(b"exec /bin/sleep 600\n")
    if waiting == "write":
        call = _executor.submit(session.write, b"x" * (1 << 22))
    else:
        call = _executor.submit(getattr(session, waiting), 100)
    time.sleep(0.1)
    started = time.monotonic()
    assert bounded(session.close) is None
    with pytest.raises(ValueError) as info:
        call.result(timeout=TIMEOUT)
    assert info.value.args == ((WRITE_FAILED,) if waiting == "write" else (READ_FAILED,))
    assert time.monotonic() - started < 1.0


@needs_root
def test_write_goes_on_while_a_read_waits(session):
    pending = _executor.submit(session.read, 100)
    time.sleep(0.1)
    bounded(session.write, b"echo answer\n")
    assert pending.result(timeout=TIMEOUT) == b"answer\n"


@needs_root
@pytest.mark.parametrize("call", ["read", "write"])
def test_signal_whose_handler_returns_does_not_break_a_call(session, call):
    # The call runs in the main thread, where the signal arrives part way.
    previous = signal.signal(signal.SIGUSR1, lambda signum, frame: None)
    main = threading.main_thread().ident
    poke = threading.Timer(0.2, signal.pthread_kill, (main, signal.SIGUSR1))
    watchdog = threading.Timer(TIMEOUT, kill_own_children)
    try:
        poke.start()
        watchdog.start()
        if call == "read":
            threading.Timer(0.4, session.write, (b"echo later\n",)).start()
            assert session.read(100) == b"later\n"
        else:
            session.write(b"/bin/sleep 0.5\n")  # the pipe fills while it sleeps
            assert session.write((b"#" * 1023 + b"\n") * 512 + b"echo done\n") is None
            assert read_until(session, b"done\n") == b"done\n"
    finally:
        watchdog.cancel()
        poke.cancel()
        signal.signal(signal.SIGUSR1, previous)


@needs_root
@pytest.mark.parametrize("reaper", ["sigchld-ignored", "waitpid"])
def test_close_after_su_was_reaped_elsewhere(standins, host_lock, reaper):
    standins.fake_accounts()
    standins.plain_su()
    pool = lumvex.PyUserPool()
    s = bounded(lumvex.PyTerminalSession, pool)
    previous = signal.getsignal(signal.SIGCHLD)
    try:
        if reaper == "sigchld-ignored":
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # the kernel reaps
        s.write(b"exit\n")
        assert bounded(s.read, 100) == b""
        if reaper == "waitpid":
            # A wait for any child made elsewhere cannot take the session's.
            with pytest.raises(ChildProcessError):
                os.waitpid(-1, os.WNOHANG)
        assert bounded(s.close) is None
    finally:
        signal.signal(signal.SIGCHLD, previous)
    # The account went back to the pool: no host command for the next one.
    log = standins.log()
    bounded(lumvex.PyTerminalSession, pool).close()
    assert standins.log() == log


CLAIMER = """
import lumvex, sys
s = lumvex.PyTerminalSession(lumvex.PyUserPool())
s.write(b"echo $HOME\\n")
print(s.read(100).decode().strip(), flush=True)
sys.stdin.read()
"""


@needs_root
def test_one_live_session_per_account_across_pools_and_processes(standins, host_lock):
    standins.fake_accounts()
    standins.plain_su()
    first = bounded(lumvex.PyTerminalSession, lumvex.PyUserPool())
    # Another pool of this process passes over the claimed account...
    second = bounded(lumvex.PyTerminalSession, lumvex.PyUserPool())
    assert os.listdir(HOME_ROOT).count(SECOND_NAME) == 1
    second.close()
    # ...and so does one of another process, while this one holds it.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    other = subprocess.Popen(
        [sys.executable, "-c", CLAIMER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env
    )
    try:
        home = bounded(other.stdout.readline).decode().strip()
        assert home == f"{HOME_ROOT}/{SECOND_NAME}"
        first.close()
        # A holder killed outright leaves no claim behind.
        other.kill()
        other.wait(timeout=TIMEOUT)
        again = bounded(lumvex.PyTerminalSession, lumvex.PyUserPool())
        again.write(b"echo $HOME\n")
        assert read_until(again, b"\n") == f"{FIRST_HOME}\n".encode()
        third = bounded(lumvex.PyTerminalSession, lumvex.PyUserPool())
        third.write(b"echo $HOME\n")
        assert read_until(third, b"\n") == f"{HOME_ROOT}/{SECOND_NAME}\n".encode()
        again.close()
        third.close()
    finally:
        other.kill()
        other.wait(timeout=TIMEOUT)


@needs_root
def test_concurrent_creation_on_one_pool(standins, host_lock):
    standins.fake_accounts()
    standins.plain_su()
    standins.script("useradd", '/bin/sleep 0.2\necho "$1" >> "$DIR/accounts"')
    pool = lumvex.PyUserPool()
    futures = [_executor.submit(lumvex.PyTerminalSession, pool) for _ in range(3)]
    sessions = [f.result(timeout=TIMEOUT) for f in futures]
    # Accounts were handed out in generator order, one request at a time.
    assert sorted(os.stat(f"{HOME_ROOT}/{n}").st_uid for n in (FIRST_NAME, SECOND_NAME)) == [
        1001,
        1002,
    ]
    for s in sessions:
        s.close()


# --- real sessions ---------------------------------------------------------------


@needs_host
def test_real_session(host_lock):
    # A left-over directory at the home path is replaced by an empty one.
    os.makedirs(f"{FIRST_HOME}/stale/deeper", exist_ok=True)
    with open(f"{FIRST_HOME}/stale/file", "w") as f:
        f.write("old")
    pool = lumvex.PyUserPool()
    s = bounded(lumvex.PyTerminalSession, pool, timeout=60)
    try:
        uid = pwd.getpwnam(FIRST_NAME).pw_uid
        info = os.stat(FIRST_HOME)
        assert (info.st_uid, info.st_gid) == (uid, uid)
        assert os.listdir(FIRST_HOME) == []
        assert shell_value(s, "id -un") == FIRST_NAME
        assert shell_value(s, "pwd") == "/"
    finally:
        s.close()
    assert zombies() == []
    with pytest.raises(ValueError):
        s.write(b"echo\n")

    # Closed and dropped sessions give the account back: the same account
    # serves the next sessions, and the generator is not asked again.
    s = bounded(lumvex.PyTerminalSession, pool)
    assert shell_value(s, "id -u") == str(uid)
    del s
    gc.collect()
    assert zombies() == []
    s = bounded(lumvex.PyTerminalSession, pool)
    del pool
    gc.collect()
    assert shell_value(s, "id -un") == FIRST_NAME
    s.close()
    assert zombies() == []


def test_blocked_daemon_thread_at_interpreter_exit(standins, host_lock):
    """A daemon thread still waiting in a session read when the interpreter
    shuts down is ended quietly; the process exits normally."""
    if os.geteuid() != 0:
        pytest.skip("sessions need root (the home directory is given to the account)")
    standins.fake_accounts()
    standins.plain_su()
    code = textwrap.dedent(
        """
        import threading, time, lumvex
        session = lumvex.PyTerminalSession(lumvex.PyUserPool())
        session.write(b"(sleep 1; echo late) &\\n")
        threading.Thread(target=session.read, args=(100,), daemon=True).start()

        class SlowToGo:
            # Gives up the interpreter lock during shutdown, while the read
            # above finishes and tries to take it back.
            def __del__(self, sleep=time.sleep):
                sleep(2)

        slow = SlowToGo()
        print("done")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"
