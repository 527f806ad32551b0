"""Why a command of PyTerminalSession.run ended and what it cost, and capped
output that keeps both ends, on real sessions (root only): OOM kills and
timeouts never taken for one another, each command's own figures, head and
tail of a large stream with its whole size."""

import subprocess
import threading
import time

import pytest

import lumvex
from test_sessions import bounded, needs_host
from test_walls import open_session

pytestmark = needs_host

MiB = 1 << 20
CAP = 96 * MiB
# Past the cap: the process itself (exec'd by bash: -9), or one of a
# pipeline's (the shell reports it: 137).
OOM = ["python3 -c 'b = bytearray(256 << 20)'", "head -c 256M /dev/zero | tail -n 1 >/dev/null"]


@pytest.fixture(scope="module")
def pool():
    return lumvex.PyUserPool(memory=CAP, network=False)


@pytest.fixture(scope="module")
def session(pool):
    s = open_session(pool)
    yield s
    s.close()


@pytest.fixture(scope="module")
def walled(pool):
    return pool.walls["memory"]


def check_usage(usage):
    assert set(usage) == {"memory_peak", "cpu_seconds", "oom_kills"}
    assert isinstance(usage["cpu_seconds"], float)
    assert isinstance(usage["memory_peak"], int) and isinstance(usage["oom_kills"], int)


@pytest.mark.parametrize("probe", range(20))
def test_memory_cap_reads_as_oom(session, walled, probe):
    if not walled:
        pytest.skip("no memory control group on this host")
    result = session.run(OOM[probe % 2], timeout=60)
    assert (result.returncode, result.killed_by) == ((-9, 137)[probe % 2], "oom")
    check_usage(result.usage)
    assert result.usage["oom_kills"] >= 1
    assert CAP // 2 < result.usage["memory_peak"] <= CAP


@pytest.mark.parametrize("probe", range(20))
def test_timeout_reads_as_timeout(session, walled, probe):
    # Half of them after a process of theirs was killed for memory (or while
    # the kernel is at it, on a busy host): still a timeout, with that kill
    # in the figures.
    before = OOM[1] + "; " if probe % 2 and walled else ""
    with pytest.raises(subprocess.TimeoutExpired) as info:
        session.run(before + "echo so far; sleep 30", timeout=0.5 + probe % 2 * 1.5)
    error = info.value
    assert error.killed_by == "timeout"
    assert error.stdout in ((b"", b"so far\n") if before else (b"so far\n",))
    assert (error.stdout_size, error.truncated) == (len(error.stdout), False)
    check_usage(error.usage)
    if not before or error.stdout:  # the step past the cap ended before the deadline
        assert error.usage["oom_kills"] == (1 if before else 0)


@pytest.mark.parametrize(
    "command, code, killed_by",
    [
        ("exit 0", 0, None),
        ("exit 137", 137, None),  # no OOM kill: the command's own status
        ("kill -TERM $$", -15, "signal"),
        ("kill -KILL $$", -9, "signal"),
    ],
)
def test_other_endings(session, command, code, killed_by):
    result = session.run(command, timeout=30)
    assert (result.returncode, result.killed_by, result.usage["oom_kills"]) == (code, killed_by, 0)


def test_each_command_has_its_own_figures(session, walled):
    if not walled:
        pytest.skip("no memory control group on this host")
    big = session.run("python3 -c 'b = bytearray(50 << 20); b[::4096] = b\"x\" * len(b[::4096])'",
                      timeout=60)
    assert big.returncode == 0 and big.killed_by is None
    assert big.usage["memory_peak"] >= 50 * MiB and big.usage["oom_kills"] == 0
    # SECONDS counts whole seconds: +3 keeps the loop busy for 2 to 3 s.
    busy = session.run("end=$((SECONDS + 3)); while ((SECONDS < end)); do :; done", timeout=30)
    assert 0.2 < busy.usage["cpu_seconds"] < 5
    small = session.run("true", timeout=30)
    assert small.usage["memory_peak"] < 50 * MiB and small.usage["cpu_seconds"] < 0.2
    with pytest.raises(subprocess.CalledProcessError) as info:
        session.run(OOM[0], timeout=60, check=True)
    assert (info.value.returncode, info.value.killed_by) == (-9, "oom")
    assert session.usage()["oom_kills"] >= 1  # the session's figures count its commands'


def seq_size(n):
    """Bytes of `seq 1 n`."""
    total, digits, low = n, 1, 1
    while low <= n:
        total += (min(n, low * 10 - 1) - low + 1) * digits
        digits, low = digits + 1, low * 10
    return total


@pytest.mark.parametrize("max_output", [65536, 4097])
def test_capped_output_keeps_head_and_tail(session, max_output):
    n = 25_000_000  # about 200 MiB
    result = session.run(f"seq 1 {n}; seq 1 1000 >&2", timeout=120, max_output=max_output)
    head, tail = max_output - max_output // 2, max_output // 2
    text = "".join(f"{i}\n" for i in range(1, 20000)).encode()
    end = "".join(f"{i}\n" for i in range(n - 20000, n + 1)).encode()
    assert result.stdout == text[:head] + end[-tail:]
    assert (result.stdout_size, result.truncated) == (seq_size(n), True)
    assert (result.stderr, result.stderr_size) == (text[: seq_size(1000)], seq_size(1000))


def test_close_during_a_run_reads_as_close(pool):
    s = open_session(pool)
    errors = []

    def long_run():
        try:
            s.run("sleep 30", timeout=60)
        except ValueError as e:
            errors.append(e)

    runner = threading.Thread(target=long_run)
    runner.start()
    time.sleep(0.3)
    bounded(s.close)
    runner.join(10)
    assert [(str(e), e.killed_by) for e in errors] == [
        ("Failed to run the command in the terminal session", "close")]
    check_usage(errors[0].usage)
