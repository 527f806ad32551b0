"""Files out of a session that the session controls (root only): sizes it
inflates, files it swaps for links while they are read, a transfer it tries
to trace, names a PyFs cannot hold, downloads that fail part way. Every wait
has a deadline; the disk wall is small."""

import errno
import subprocess
import sys
import textwrap
import threading

import pytest

import lumvex
from test_sessions import needs_host

pytestmark = needs_host

MiB = 1 << 20
PY = "/usr/bin/python3"


def tree(fs, path="/"):
    """Everything below `path` of `fs`: {path: bytes or None for a directory}."""
    found = {}
    files, dirs = fs.listdir(path)
    for name in files:
        with fs.open(f"{path.rstrip('/')}/{name}", "r") as handle:
            buffer = bytearray(1 << 16)
            found[f"{path.rstrip('/')}/{name}"] = bytes(buffer[: handle.readinto(buffer)])
    for name in dirs:
        found[f"{path.rstrip('/')}/{name}"] = None
        found.update(tree(fs, f"{path.rstrip('/')}/{name}"))
    return found


SPARSE = textwrap.dedent("""
    import errno, sys, lumvex
    fs = lumvex.PyFs()
    with lumvex.PyTerminalSession(lumvex.PyUserPool(disk=64 << 20)) as s:
        s.run("truncate -s 2G big && mkdir d && truncate -s 2G d/big", check=True)
        for call in (lambda: s.read_file("big"), lambda: s.download("d", fs, "/d")):
            try:
                call()
            except OSError as error:
                assert error.errno == errno.EFBIG, error
            else:
                sys.exit("a 2 GiB sparse file came back")
    assert fs.listdir("/") == ([], [])
    # The peak of this process's own memory (ru_maxrss would count the
    # parent's too, across exec).
    print(next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM")))
""")


def test_a_sparse_file_past_the_disk_wall_is_refused_without_reading_it():
    out = subprocess.run([sys.executable, "-c", SPARSE], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 200 * 1024  # KiB: nothing like 2 GiB was held


def test_a_file_swapped_for_a_link_is_never_followed():
    with lumvex.PyTerminalSession(lumvex.PyUserPool(disk=64 << 20)) as s:
        s.run("printf real > a && ln -s /dev/zero z", check=True)
        s.run("(while :; do ln -sfn z f.new && mv -fT f.new f; cp a f.new && mv -fT f.new f;"
              " done) </dev/null >/dev/null 2>&1 &")
        seen = set()
        for _ in range(1000):
            try:
                seen.add(s.read_file("f"))
            except OSError as error:
                assert error.errno in (errno.ELOOP, errno.ENOENT), error
        assert seen <= {b"real"}


TRACER = textwrap.dedent("""
    import ctypes, os, time
    libc = ctypes.CDLL(None, use_errno=True)
    PTRACE_ATTACH, PTRACE_DETACH = 16, 17
    tried = won = 0
    end = time.monotonic() + 3
    while time.monotonic() < end:
        for pid in os.listdir("/proc"):
            try:
                with open(f"/proc/{pid}/status") as status:
                    fields = dict(line.split(":", 1) for line in status)
            except (OSError, ValueError):
                continue
            if (fields["Name"].strip().startswith("lumvex-session")
                    and fields["Uid"].split()[0] == str(os.getuid())):
                tried += 1
                if libc.ptrace(PTRACE_ATTACH, int(pid), 0, 0) == 0:
                    won += 1
                    libc.ptrace(PTRACE_DETACH, int(pid), 0, 0)
    print(tried, won)
""")


def test_the_transfer_cannot_be_traced_by_the_account():
    # A process of the account, on the host where nothing hides the
    # transfer, tries to trace it while it runs.
    with lumvex.PyTerminalSession(lumvex.PyUserPool(disk=256 << 20)) as s:
        s.run("head -c 100M /dev/zero > data", check=True)
        done = threading.Event()

        def read_until_done():
            while not done.is_set():
                assert len(s.read_file("data")) == 100 * MiB

        reader = threading.Thread(target=read_until_done)
        reader.start()
        try:
            out = subprocess.run([PY, "-c", TRACER], user=s.uid, group=s.uid, cwd="/",
                                 capture_output=True, text=True, timeout=30)
        finally:
            done.set()
            reader.join(timeout=60)
        tried, won = map(int, out.stdout.split())
        assert tried > 0 and won == 0, (tried, won, out.stderr)


def test_names_a_pyfs_cannot_hold_and_failed_downloads_change_nothing():
    fs = lumvex.PyFs(max_bytes=1 << 16)
    fs.mkdir("/precious")
    with fs.open("/precious/config", "w") as handle:
        handle.write(b"keep")
    before = tree(fs)
    with lumvex.PyTerminalSession(lumvex.PyUserPool(disk=64 << 20)) as s:
        s.run("mkdir -p out && printf x > 'out/..\\\\..\\\\precious\\\\config'", check=True)
        with pytest.raises(OSError) as info:
            s.download("out", fs, "/inbox")
        assert info.value.errno == errno.EINVAL
        assert tree(fs) == before
        # Past the PyFs's own limit part way: what was made is undone.
        s.run("rm -r out && mkdir -p big/a && printf small > big/a/1 && head -c 200K /dev/zero"
              " > big/a/2 && printf over > big/precious", check=True)
        with pytest.raises(OSError):
            s.download("big", fs, "/")
        assert tree(fs) == before
