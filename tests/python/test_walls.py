"""The walls around real sessions (root only): control groups and their caps,
the private store, /tmp, /dev/shm and /proc, the private network, set-uid
plants, the close of a session whose processes race or whose process has run
out of descriptors, os.fork(). Every wait has a deadline; caps are small."""

import errno
import os
import resource
import socket
import time
import uuid

import pytest

import lumvex
from test_sessions import bounded, needs_host, proc_texts, read_until

PY = "/usr/bin/python3"
MiB = 1 << 20

pytestmark = needs_host


def sh(session, command, timeout=20.0):
    """Runs `command` in the session's shell; gives (output, status). The
    marker is split in the typed line so that the echo never matches."""
    tag = uuid.uuid4().hex
    session.write(f"{command}\necho {tag[:8]}''{tag[8:]}:$?\n".encode())
    seen = read_until(session, f"{tag}:".encode(), timeout=timeout)
    if b"\n" not in seen.rpartition(f"{tag}:".encode())[2]:
        seen += read_until(session, b"\n", timeout=timeout)
    text = seen.decode(errors="replace").replace("\r\n", "\n")
    body, _, tail = text.rpartition(f"{tag}:")
    return body, int(tail.strip().split()[0])


def uid_processes(uid):
    """Live (not zombie) processes whose real or effective uid is `uid`."""
    found = []
    for pid, text in proc_texts("status"):
        fields = dict(line.split(":", 1) for line in text.splitlines() if ":" in line)
        if str(uid) in fields["Uid"].split()[:2] and not fields["State"].strip().startswith("Z"):
            found.append(pid)
    return found


def none_left(uid, seconds=0.5):
    """No process of `uid` appears for `seconds`."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if found := uid_processes(uid):
            for pid in found:
                try:
                    with open(f"/proc/{pid}/status") as status:
                        print(pid, status.read()[:300])
                except OSError:
                    pass
            return False
        time.sleep(0.02)
    return True


def open_session(pool):
    """A session whose shell echoes nothing and prompts with nothing."""
    s = bounded(lumvex.PyTerminalSession, pool)
    s.write(b"stty -echo; PS1=; PS2=; bind 'set enable-bracketed-paste off' 2>/dev/null;"
            b" echo READY''X\n")
    read_until(s, b"READYX\r\n")
    return s


def test_walls_of_a_default_pool():
    walls = lumvex.PyUserPool().walls
    assert set(walls) == {"cgroup", "memory", "processes", "cpu", "disk", "network", "tmp", "proc",
                          "syscalls"}
    assert all(isinstance(v, bool) for v in walls.values())
    # No CPU cap unless asked for; this host gives the rest, a private network
    # included (pasta and a tun device).
    assert (walls["cpu"], walls["network"]) == (False, True)
    assert walls["cgroup"] and walls["memory"] and walls["tmp"] and walls["proc"] and walls["disk"]
    with pytest.raises(TypeError):
        walls["cpu"] = True
    assert lumvex.PyUserPool(cpu=0.5, network=False).walls["cpu"] is True


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"memory": -1}, ValueError),
        ({"memory": 0}, ValueError),
        ({"memory": True}, TypeError),
        ({"memory": 1.5}, TypeError),
        ({"disk": 0}, ValueError),
        ({"processes": 0}, ValueError),
        ({"processes": "9"}, TypeError),
        ({"cpu": 0}, ValueError),
        ({"cpu": float("nan")}, ValueError),
        ({"cpu": "1"}, TypeError),
        ({"network": 0}, TypeError),
        ({"swap": 1}, TypeError),
    ],
)
def test_bad_options(kwargs, error):
    with pytest.raises(error):
        lumvex.PyUserPool(**kwargs)


def test_memory_cap_ends_only_the_allocating_process():
    pool = lumvex.PyUserPool(memory=64 * MiB)
    with open_session(pool) as s:
        # tail keeps a line-less input whole: 128 MiB of it passes the cap.
        _, status = sh(s, "head -c 128M /dev/zero | tail -n 1 >/dev/null")
        assert status != 0
        assert s.usage()["oom_kills"] >= 1
        assert sh(s, "echo alive") == ("alive\n", 0)
        assert 0 < s.usage()["memory_peak"] <= 64 * MiB


def test_disk_cap_is_shared_by_home_tmp_and_shm():
    pool = lumvex.PyUserPool(disk=8 * MiB)
    with open_session(pool) as s:
        assert sh(s, "head -c 5M /dev/zero > ~/a")[1] == 0
        out, status = sh(s, "head -c 5M /dev/zero > /tmp/b")
        assert status != 0 and "No space left" in out
        assert sh(s, "head -c 5M /dev/zero > /dev/shm/c")[1] != 0
        assert os.path.getsize(os.path.join(s.home, "a")) == 5 * MiB


def test_process_cap():
    pool = lumvex.PyUserPool(processes=16)
    with open_session(pool) as s:
        script = (
            "import os, time\n"
            "n = 0\n"
            "for _ in range(40):\n"
            "    try:\n"
            "        if os.fork() == 0:\n"
            "            time.sleep(20); os._exit(0)\n"
            "        n += 1\n"
            "    except OSError:\n"
            "        pass\n"
            'print("started", n)\n'
        )
        out, _ = sh(s, f"printf '%s' '{script}' > ~/f.py; {PY} ~/f.py")
        started = int(out.split("started")[1].split()[0])
        assert 0 < started < 16
        assert s.usage()["processes"] <= 16
    assert none_left(s.uid)


def test_private_network():
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    try:
        with open_session(lumvex.PyUserPool(network=False)) as s:
            out, _ = sh(s, "cat /proc/net/dev | tail -n +3 | cut -d: -f1")
            assert out.split() == ["lo"]
            assert sh(s, f"timeout 5 bash -c 'echo > /dev/tcp/127.0.0.1/{port}'")[1] != 0
            # The session's own loopback works.
            out, status = sh(s, f"{PY} -c 'import socket; s = socket.create_server((\"127.0.0.1\", 0)); "
                             "c = socket.create_connection(s.getsockname()); print(\"ok\")'")
            assert (out, status) == ("ok\n", 0)
        with open_session(lumvex.PyUserPool(network=True)) as s:
            assert sh(s, f"timeout 5 bash -c 'echo > /dev/tcp/127.0.0.1/{port}'")[1] == 0
    finally:
        listener.close()


def test_private_tmp_shm_and_proc():
    marker = f"/tmp/host-{uuid.uuid4().hex}"
    open(marker, "w").close()
    pool = lumvex.PyUserPool()
    try:
        with open_session(pool) as s:
            assert sh(s, "ls -A /tmp /var/tmp /dev/shm")[0].split() == [
                "/dev/shm:", "/tmp:", "tmp_user_home", "/var/tmp:"]
            assert sh(s, "ls /tmp/tmp_user_home")[1] != 0  # no listing of the homes
            assert sh(s, f"cd /tmp/tmp_user_home/{s.user} && pwd")[0].strip() == s.home
            assert sh(s, "touch /tmp/left /dev/shm/left ~/kept; echo $HOME")[0].strip() == s.home
            owners, _ = sh(s, "stat -c %u /proc/[0-9]* 2>/dev/null")
            assert set(owners.split()) == {str(s.uid)}
            assert sh(s, f"test -e /proc/{os.getpid()}")[1] != 0
            uid = s.uid
        assert not os.path.exists("/tmp/left")
        with open_session(pool) as s:
            assert s.uid == uid
            assert sh(s, "ls -A /tmp/left /dev/shm/left ~ 2>&1; true")[0].count("No such file") == 2
            assert "kept" not in sh(s, "ls -A ~")[0]
    finally:
        os.unlink(marker)


def test_setuid_plants_lend_nothing():
    pool = lumvex.PyUserPool()
    places = ["/tmp", "/var/tmp", "/run/lock", "/dev/shm", "~"]
    with open_session(pool) as a, open_session(pool) as b:
        plant = "; ".join(f"cp /bin/bash {p}/x && chmod 4755 {p}/x" for p in places)
        assert sh(a, plant)[1] == 0
        out, _ = sh(a, "grep NoNewPrivs /proc/self/status; "
                    "awk '$5 ~ \"^/(tmp|var/tmp|run/lock|dev/shm)$\" {print $5, $6}' /proc/self/mountinfo")
        assert "NoNewPrivs:\t1" in out
        assert all("nosuid" in line for line in out.splitlines()[1:]) and len(out.splitlines()) >= 5
        # Another account sees none of them.
        out, _ = sh(b, f"ls {' '.join(p.replace('~', a.home) + '/x' for p in places)} 2>&1")
        assert out.count("No such file") + out.count("Permission denied") == len(places)
        assert os.statvfs(a.home).f_flag & os.ST_NOSUID


def test_close_ends_a_racing_fork_chain_and_detached_processes():
    pool = lumvex.PyUserPool()
    chain = (
        "import os, time\n"
        "end = time.time() + 20\n"
        "n = 0\n"
        "while time.time() < end and n < 50000:\n"
        "    if os.fork():\n"
        "        os._exit(0)\n"
        "    n += 1\n"
    )
    for _ in range(3):
        s = open_session(pool)
        sh(s, f"printf '%s' '{chain}' > ~/chain.py; setsid {PY} ~/chain.py </dev/null >/dev/null 2>&1 &"
              " nohup sleep 60 >/dev/null 2>&1 & disown")
        time.sleep(0.2)
        bounded(s.close)
        assert none_left(s.uid)


def test_close_with_descriptors_exhausted():
    pool = lumvex.PyUserPool()
    s = open_session(pool)
    sh(s, "setsid sleep 60 </dev/null >/dev/null 2>&1 &")
    uid = s.uid
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    held = []
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
    try:
        try:
            while True:
                held.append(os.open("/dev/null", os.O_RDONLY))
        except OSError as e:
            assert e.errno == errno.EMFILE
        try:
            s.close()
            closed = True
        except lumvex.InternalError:
            closed = False
    finally:
        for fd in held:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    if closed:
        assert none_left(uid)
    # A failed close is not the account's end: the pool takes it up again.
    with open_session(pool) as again:
        assert again.uid == uid
        assert sh(again, "echo ok") == ("ok\n", 0)
    assert none_left(uid)


def test_fork_child_neither_closes_nor_holds_the_parents_session():
    pool = lumvex.PyUserPool()
    s = open_session(pool)
    pid = os.fork()
    if pid == 0:
        s.close()
        del s
        os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
    assert sh(s, "echo still") == ("still\n", 0)
    read, write = os.pipe()
    ready_read, ready_write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(ready_write, b"r")  # the fork handlers have run
        os.read(read, 1)  # lives on until told
        os._exit(0)
    try:
        assert os.read(ready_read, 1) == b"r"
        uid = s.uid
        s.close()
        with open_session(pool) as again:
            assert again.uid == uid
    finally:
        os.write(write, b"x")
        os.waitpid(pid, 0)
        for fd in (read, write, ready_read, ready_write):
            os.close(fd)


def test_usage_and_environment():
    with open_session(lumvex.PyUserPool()) as s:
        env, _ = sh(s, "env | cut -d= -f1 | sort | tr '\\n' ' '; echo; echo $OLDPWD")
        names, oldpwd = env.splitlines()
        assert oldpwd == "/"
        assert set(names.split()) <= {"HOME", "LANG", "LOGNAME", "MAIL", "OLDPWD", "PATH", "PWD",
                                      "SHELL", "SHLVL", "TERM", "USER", "_", "LC_ALL", "LC_CTYPE"}
        sh(s, "sleep 1 & true")
        usage = s.usage()
        assert usage["processes"] >= 2 and usage["memory_peak"] > 0
        assert isinstance(usage["cpu_seconds"], float)
    final = s.usage()
    assert final["processes"] == 0 and final["memory_peak"] == usage["memory_peak"] or final["memory_peak"] >= usage["memory_peak"]


KEYS = """
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
ADD_KEY, KEYCTL, KEYCTL_SEARCH, USER_KEYRING = 248, 250, 10, -4
if sys.argv[1] == "plant":
    assert libc.syscall(ADD_KEY, b"user", b"lumvex-planted", b"x", 1, USER_KEYRING) > 0
else:
    print(libc.syscall(KEYCTL, KEYCTL_SEARCH, USER_KEYRING, b"user", b"lumvex-planted", 0),
          ctypes.get_errno())
"""


def test_nothing_of_the_account_stays_in_the_kernels_keyrings():
    pool = lumvex.PyUserPool()
    with lumvex.PyTerminalSession(pool) as s:
        s.write_file("keys.py", KEYS.encode())
        s.run(f"{PY} keys.py plant", check=True)
        assert s.run(f"{PY} keys.py find").stdout.split()[0] != b"-1"
    with lumvex.PyTerminalSession(pool) as again:
        assert again.uid == s.uid
        again.write_file("keys.py", KEYS.encode())
        assert again.run(f"{PY} keys.py find").stdout.split() == [b"-1", str(errno.ENOKEY).encode()]


@pytest.mark.parametrize("command", [
    "unshare -U true", "unshare -Ur true", "unshare -m true",
    f"{PY} -c 'import os; os.unshare(os.CLONE_NEWUSER)'",
    "mount -t tmpfs none /tmp",
    f"{PY} -c 'import ctypes; assert ctypes.CDLL(None).syscall(321, 0, 0, 0) == 0'",  # bpf
])
def test_the_filter_refuses_what_sandboxes_refuse(command):
    pool = lumvex.PyUserPool()
    assert pool.walls["syscalls"]
    with lumvex.PyTerminalSession(pool) as s:
        assert s.run(command).returncode != 0


def test_ordinary_work_runs_under_the_filter():
    with lumvex.PyTerminalSession(lumvex.PyUserPool()) as s:
        s.write_file("a.c", b"int main(void) { return 42; }\n")
        assert s.run("cc -o a a.c && ./a").returncode == 42
        script = ("git init -q r && cd r && git -c user.name=a -c user.email=a@b commit -q"
                  " --allow-empty -m m && git log --oneline | wc -l")
        assert s.run(script).stdout.strip() == b"1"
        assert s.run(f"{PY} -m venv --without-pip v && v/bin/python -c 'print(7)'").stdout == b"7\n"


def test_a_private_network_reaches_no_host_socket_or_device(tmp_path):
    path = f"/run/lumvex-test-{uuid.uuid4().hex[:8]}.sock"
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    os.chmod(path, 0o777)
    listener.listen()
    try:
        with lumvex.PyTerminalSession(lumvex.PyUserPool(network=False)) as s:
            probe = f"{PY} -c 'import socket; socket.socket(socket.AF_UNIX).connect(\"{path}\")'"
            assert s.run(probe).returncode != 0
            devices = set(s.run("ls /dev").stdout.decode().split())
            assert devices <= {"null", "zero", "full", "random", "urandom", "tty", "pts", "shm",
                               "ptmx", "fd", "stdin", "stdout", "stderr"}, devices
            assert s.run("ls -A /sys/fs/cgroup").stdout == b""
            assert s.run("echo ok > /dev/null && head -c 4 /dev/urandom | wc -c").stdout == b"4\n"
    finally:
        listener.close()
        os.unlink(path)


def tiny_wheel():
    """A wheel of a one-module package, made here: a local index of one."""
    import io
    import zipfile

    files = {
        "tiny/__init__.py": "ANSWER = 42\n",
        "tiny-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: tiny\nVersion: 1.0\n",
        "tiny-1.0.dist-info/WHEEL": "Wheel-Version: 1.0\nGenerator: lumvex-tests\n"
                                    "Root-Is-Purelib: true\nTag: py3-none-any\n",
    }
    files["tiny-1.0.dist-info/RECORD"] = "".join(f"{name},,\n" for name in files) + \
        "tiny-1.0.dist-info/RECORD,,\n"
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as wheel:
        for name, text in files.items():
            wheel.writestr(name, text)
    return archive.getvalue()


def test_pip_installs_from_a_local_index_under_the_filter():
    with lumvex.PyTerminalSession(lumvex.PyUserPool()) as s:
        s.run("mkdir -p index", check=True)
        s.write_file("index/tiny-1.0-py3-none-any.whl", tiny_wheel())
        out = s.run(f"{PY} -m venv v && v/bin/pip install -q --no-index --find-links index tiny"
                    " && v/bin/python -c 'import tiny; print(tiny.ANSWER)'", timeout=120)
        assert out.stdout.strip().endswith(b"42"), out
