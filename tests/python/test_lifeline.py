"""What a session stands on (root only): it ends with its owner, whatever its
processes do; it outlives its shell; it shares no memory with the owner; and
what it does inside its walls never breaks the owner's calls. Every wait has
a deadline."""

import ctypes
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import lumvex
from test_walls import none_left, open_session, sh, uid_processes

from test_sessions import needs_host

pytestmark = needs_host

PR_GET_DUMPABLE = 3


def wait_for(predicate, seconds=5.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def write_fails(session):
    try:
        session.write(b"echo still there\n")
    except ValueError:
        return True
    return False


def session_helpers():
    """Live processes of the session helper program, by their executable."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.path.basename(os.readlink(f"/proc/{entry}/exe")) == "lumvex-session-helper":
                found.append(int(entry))
        except OSError:
            pass
    return found


OWNER = textwrap.dedent("""
    import sys, threading, time
    import lumvex
    ballast = bytearray(64 << 20)
    pool = lumvex.PyUserPool(memory=256 << 20, processes=64)
    s = lumvex.PyTerminalSession(pool)
    # A foreground job that ignores hang-ups and never reads its terminal, a
    # stopped job, a detached process and a command in flight.
    s.write(b"sleep 230 & kill -STOP $!; trap '' HUP; exec sleep 231\\n")
    s.run("setsid sleep 232 </dev/null >/dev/null 2>&1 &")
    threading.Thread(target=s.run, args=("sleep 233",), daemon=True).start()
    print(s.user, s.uid, flush=True)
    time.sleep(600)
""")


def test_sessions_end_with_a_killed_owner():
    owner = subprocess.Popen([sys.executable, "-c", OWNER], stdout=subprocess.PIPE, text=True)
    try:
        name, uid = owner.stdout.readline().split()
        uid = int(uid)
        # The shell's two sleeps, the detached one and the command in flight
        # (on a busy host the last may still be starting: it need not be).
        wait_for(lambda: len(uid_processes(uid)) >= 4, 20.0)
        assert len(uid_processes(uid)) >= 3, uid_processes(uid)
    finally:
        owner.kill()
        owner.wait(timeout=10)
    assert wait_for(lambda: not uid_processes(uid), 2.0), uid_processes(uid)
    assert none_left(uid)
    for hierarchy in os.listdir("/sys/fs/cgroup"):
        assert wait_for(lambda: not os.path.exists(f"/sys/fs/cgroup/{hierarchy}/lumvex/{name}"),
                        2.0)
    assert wait_for(lambda: not session_helpers(), 2.0)
    # The claim went with the owner: a new pool takes the account at once.
    with lumvex.PyTerminalSession(lumvex.PyUserPool()) as again:
        assert again.user == name


ENDINGS = {
    "exit typed into the shell": lambda s: s.write(b"exit\n"),
    "the shell killed": lambda s: s.run("pkill -KILL -x bash; true"),
    "kill -9 -1 from a command": lambda s: s.run("kill -9 -1"),
    # The shell itself holds more than the cap: the OOM killer picks it.
    "the shell chosen by the OOM killer": lambda s: s.write(
        b"x=$(head -c 400M /dev/zero | tr '\\0' x)\n"),
}


@pytest.mark.parametrize("ending", sorted(ENDINGS))
def test_a_session_outlives_its_shell(ending):
    pool = lumvex.PyUserPool(memory=256 << 20, processes=64)
    s = open_session(pool)
    uid = s.uid
    ENDINGS[ending](s)
    # The shell's stream ends; the session does not.
    assert wait_for(lambda: s.read(4096) == b"", 5.0)
    assert wait_for(lambda: write_fails(s), 5.0)
    assert s.run("echo alive").stdout == b"alive\n"
    s.write_file("note", b"kept")
    assert s.read_file("note") == b"kept"
    assert s.usage()["processes"] >= 0
    s.close()
    assert none_left(uid)
    with lumvex.PyTerminalSession(pool) as again:
        assert again.uid == uid


def test_a_full_process_cap_fails_the_command_not_the_session():
    pool = lumvex.PyUserPool(processes=16)
    s = open_session(pool)
    uid = s.uid
    s.run("for i in $(seq 40); do setsid sleep 60 </dev/null >/dev/null 2>&1 & done; true")
    try:
        result = s.run("echo hi")
    except OSError:
        pass  # as subprocess reports a command that cannot start
    else:
        assert result.returncode != 0 or result.stdout == b"hi\n"
    s.close()
    assert none_left(uid)


def test_the_owner_stays_dumpable():
    prctl = ctypes.CDLL(None, use_errno=True).prctl
    assert prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 1
    pool = lumvex.PyUserPool()
    for _ in range(5):
        with lumvex.PyTerminalSession(pool) as s:
            for _ in range(4):
                assert s.run("true").returncode == 0
            s.send_signal(signal.SIGINT)
    assert prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 1


def shmem_bytes():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("Shmem:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no Shmem in /proc/meminfo")


def test_no_session_holds_another_accounts_store():
    pool = lumvex.PyUserPool(disk=128 << 20)
    with lumvex.PyTerminalSession(pool) as keeper:
        start = shmem_bytes()
        for _ in range(3):
            with lumvex.PyTerminalSession(pool) as s:
                s.run("head -c 60M /dev/zero > ~/big")
                mine = s.user
                assert keeper.user not in s.run("cat /proc/self/mountinfo").stdout.decode()
            # The next session of the account replaces the store: the old one is
            # freed although `keeper` lived all along.
            with lumvex.PyTerminalSession(pool) as s:
                assert s.user == mine
        assert mine not in keeper.run("cat /proc/self/mountinfo").stdout.decode()
        assert wait_for(lambda: shmem_bytes() < start + (50 << 20), 5.0), (start, shmem_bytes())


MANY = textwrap.dedent("""
    import os, resource, lumvex
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))
    def descriptors():
        return len(os.listdir("/proc/self/fd"))
    pool = lumvex.PyUserPool()
    lumvex.PyTerminalSession(pool).close()  # the pool's own descriptors are made
    before = descriptors()
    sessions = [lumvex.PyTerminalSession(pool) for _ in range(200)]
    per_session = (descriptors() - before) / len(sessions)
    last = sessions[-1].run("echo last").stdout
    for s in sessions:
        s.close()
    print(per_session, last.decode().strip(), descriptors() - before)
""")


def test_200_live_sessions_under_a_soft_limit_of_1024():
    # A fresh process: its own few descriptors and the sessions' only.
    out = subprocess.run([sys.executable, "-c", MANY], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    per_session, last, left = out.stdout.split()
    assert float(per_session) <= 5
    assert last == "last"
    assert left == "0"


def test_a_killed_owners_account_is_not_handed_out_while_its_session_ends():
    # Its helper still ends the session (processes, control groups by name)
    # after the owner is gone; a new session started meanwhile must not be
    # the one that loses its groups.
    for _ in range(20):
        owner = subprocess.Popen([sys.executable, "-c", OWNER], stdout=subprocess.PIPE, text=True)
        try:
            name, _ = owner.stdout.readline().split()
        finally:
            owner.kill()
            owner.wait(timeout=10)
        with lumvex.PyTerminalSession(lumvex.PyUserPool(memory=256 << 20, processes=64)) as s:
            assert s.run("echo ok", timeout=30).stdout == b"ok\n"
        del s  # and its pool, with the network it made ahead for its next session
        assert wait_for(lambda: not session_helpers(), 5.0)


# Mounts of the owner's mount table, made in a namespace of the owner's own
# before its pool's first session: one where an account may go, and one
# below a directory that only root may search (as a container runtime's
# storage is). Prints the session's mount table.
OUT_OF_REACH = r"""
set -e
mkdir -p /mnt/lumvex-reach/open /mnt/lumvex-reach/closed/inner
chmod 0755 /mnt/lumvex-reach /mnt/lumvex-reach/open
chmod 0700 /mnt/lumvex-reach/closed
mount -t tmpfs -o size=4k lumvex-open /mnt/lumvex-reach/open
mount -t tmpfs -o size=4k lumvex-closed /mnt/lumvex-reach/closed/inner
exec "$@"
"""

SESSION_MOUNTS = """
import lumvex
with lumvex.PyTerminalSession(lumvex.PyUserPool()) as s:
    print(s.run("cat /proc/self/mountinfo; ls /mnt/lumvex-reach/open").stdout.decode())
"""


def test_mounts_out_of_the_accounts_reach_are_not_copied_into_sessions():
    out = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", OUT_OF_REACH, "sh",
         sys.executable, "-c", SESSION_MOUNTS],
        capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "/mnt/lumvex-reach/open " in out.stdout
    assert "lumvex-closed" not in out.stdout
