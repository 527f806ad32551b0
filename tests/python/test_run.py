"""PyTerminalSession.run and the file methods, on real sessions (root only):
exit statuses, separate streams, timeouts that leave nothing behind, check,
input, env, cwd, large and capped output, concurrent runs, close during a
run, and files in and out of a PyFs, planted links not followed."""

import os
import signal
import subprocess
import threading
import time

import pytest

import lumvex
from test_sessions import bounded, needs_host
from test_walls import none_left, open_session, sh, uid_processes

pytestmark = needs_host


@pytest.fixture(scope="module")
def session():
    s = open_session(lumvex.PyUserPool(network=False))
    yield s
    s.close()


@pytest.mark.parametrize(
    "command, code, out, err",
    [
        ("true", 0, b"", b""),
        ("echo out; echo err >&2; exit 3", 3, b"out\n", b"err\n"),
        ("kill -TERM $$", -15, b"", b""),
        ("printf 'a\\nb'", 0, b"a\nb", b""),  # no terminal: no \r, no echo
    ],
)
def test_status_and_streams(session, command, code, out, err):
    result = session.run(command)
    assert isinstance(result, subprocess.CompletedProcess)
    assert (result.args, result.returncode, result.stdout, result.stderr) == (command, code, out, err)
    assert result.truncated is False


def test_timeout_ends_everything_the_command_started(session):
    start = time.monotonic()
    with pytest.raises(subprocess.TimeoutExpired) as info:
        session.run("echo so far; setsid sleep 30 & nohup sleep 30 >/dev/null 2>&1 & sleep 30", timeout=1)
    assert time.monotonic() - start < 1.6
    assert (info.value.stdout, info.value.output, info.value.stderr) == (b"so far\n",) * 2 + (b"",)
    assert info.value.timeout == 1
    assert session.run("pgrep -c sleep || true").stdout == b"0\n"
    assert session.run("echo shell still there").returncode == 0


def test_check_input_env_cwd(session):
    with pytest.raises(subprocess.CalledProcessError) as info:
        session.run("echo o; echo e >&2; exit 4", check=True)
    assert (info.value.returncode, info.value.output, info.value.stderr) == (4, b"o\n", b"e\n")
    assert session.run("cat", input=b"\x00\xffdata").stdout == b"\x00\xffdata"
    assert session.run("cat", input=bytearray(b"x") * 3_000_000).stdout == b"x" * 3_000_000
    assert session.run("echo $A-$HOME", env={"A": "1"}).stdout == f"1-{session.home}\n".encode()
    assert session.run("pwd").stdout == f"{session.home}\n".encode()
    session.run("mkdir -p sub")
    assert session.run("pwd", cwd="sub").stdout == f"{session.home}/sub\n".encode()
    assert session.run("pwd", cwd="/tmp").stdout == b"/tmp\n"
    assert session.run("cd /; export X=1").returncode == 0
    assert session.run("pwd; echo ${X-unset}").stdout == f"{session.home}\nunset\n".encode()
    with pytest.raises(FileNotFoundError):
        session.run("true", cwd="missing")
    with pytest.raises(PermissionError):
        session.run("true", cwd="/root")


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"timeout": -1}, ValueError),
        ({"timeout": "1"}, TypeError),
        ({"input": "text"}, TypeError),
        ({"env": {"A": 1}}, TypeError),
        ({"env": {"A=B": "1"}}, ValueError),
        ({"cwd": 3}, TypeError),
        ({"max_output": -1}, OverflowError),
    ],
)
def test_bad_arguments(session, kwargs, error):
    with pytest.raises(error):
        session.run("true", **kwargs)
    with pytest.raises(TypeError):
        session.run("true", 1)


def test_large_and_capped_output(session):
    big = session.run("head -c 5000000 /dev/urandom | tee ~/big | md5sum >&2; cat ~/big")
    assert len(big.stdout) == 5_000_000 and not big.truncated
    assert subprocess.run(["md5sum"], input=big.stdout, capture_output=True).stdout.split()[0] == \
        big.stderr.split()[0]
    capped = session.run("yes | head -c 1000000; echo done >&2", max_output=100)
    assert (len(capped.stdout), capped.stderr, capped.truncated) == (100, b"done\n", True)


def test_concurrent_runs_and_close_during_a_run():
    s = open_session(lumvex.PyUserPool())
    results = []
    threads = [threading.Thread(target=lambda i=i: results.append(s.run(f"sleep 0.3; echo {i}").stdout))
               for i in range(8)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert sorted(results) == sorted(f"{i}\n".encode() for i in range(8))
    assert time.monotonic() - start < 2.5  # they ran at once

    errors = []

    def long_run():
        try:
            s.run("sleep 30")
        except ValueError as e:
            errors.append(str(e))

    runner = threading.Thread(target=long_run)
    runner.start()
    time.sleep(0.3)
    bounded(s.close)
    runner.join(5)
    assert errors == ["Failed to run the command in the terminal session"]
    assert none_left(s.uid)
    with pytest.raises(ValueError):
        s.run("true")


def test_runs_leave_descriptors_and_processes_as_they_were(session):
    fds = len(os.listdir("/proc/self/fd"))
    for _ in range(200):
        session.run("true")
    assert len(os.listdir("/proc/self/fd")) == fds
    assert len(uid_processes(session.uid)) <= 2  # the shell (and its terminal's su is root's)


def test_files_in_and_out(session):
    fs = lumvex.PyFs()
    fs.mkdir("/tree")
    fs.mkdir("/tree/sub")
    content = {"/tree/bin": bytes(range(256)) * 4, "/tree/sub/t": b"text\n", "/tree/empty": b""}
    for path, data in content.items():
        with fs.open(path, "w") as handle:
            handle.write(data)
    session.upload(fs, "/tree", "up")
    assert session.read_file("up/bin") == content["/tree/bin"]
    assert session.run("cd up && find . | sort").stdout == b".\n./bin\n./empty\n./sub\n./sub/t\n"
    # What the session plants is taken for what it is, never followed.
    session.run("ln -s /etc/shadow up/link; ln -s /etc up/dir; mkfifo up/fifo")
    back = lumvex.PyFs()
    session.download("up", back, "/back")
    files, dirs = back.listdir("/back")
    assert (sorted(files), dirs) == (["bin", "empty"], ["sub"])
    with pytest.raises(PermissionError):
        session.read_file("/etc/shadow")
    with pytest.raises(OSError):
        session.read_file("up/fifo")
    with pytest.raises(PermissionError):
        session.write_file("/etc/lumvex-test", b"x")
    assert not os.path.exists("/etc/lumvex-test")
    session.write_file("up/sub/t", b"new")
    session.download("up/sub/t", back, "/back/sub/t")
    with back.open("/back/sub/t", "r") as handle:
        buffer = bytearray(10)
        assert buffer[: handle.readinto(buffer)] == b"new"
    with pytest.raises(FileNotFoundError):
        session.download("missing", back, "/m")
    with pytest.raises(FileNotFoundError):
        session.upload(fs, "/missing", "m")


def test_send_signal_reaches_the_foreground_job_only(session):
    session.write(b"sleep 30; echo after\n")
    time.sleep(0.3)
    assert session.send_signal(signal.SIGINT) is True
    assert sh(session, "echo alive") == ("\nalive\n", 0)  # the shell lives on; the list was broken off
    with pytest.raises(ValueError):
        session.send_signal(0)
    with pytest.raises(TypeError):
        session.send_signal("INT")
