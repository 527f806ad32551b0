"""The sessions' networks (root only): a private network of its own with a
way out (pasta), ports exposed to the owner in every mode, and nothing left
on the host afterwards, by a closed session or a killed owner. "The outside"
is a listener on the host's own non-loopback address. Every wait has a
deadline."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
import uuid

import pytest

import lumvex
from test_lifeline import session_helpers, wait_for
from test_sessions import needs_host

pytestmark = needs_host

PY = "/usr/bin/python3"
PASTA = {"/usr/bin/passt", "/usr/bin/passt.avx2", "/usr/bin/pasta"}


def has_pasta():
    try:
        lumvex.PyUserPool(network="private")
        return True
    except ValueError:
        return False


needs_pasta = pytest.mark.skipif(not has_pasta() and not os.environ.get("LUMVEX_NO_SKIPS"),
                                 reason="no pasta (Debian package passt) on this host")


def outside_address():
    """The host's own address towards its default route (not loopback)."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.connect(("203.0.113.1", 9))
        address = probe.getsockname()[0]
    except OSError:
        pytest.skip("no route off this host")
    finally:
        probe.close()
    if address.startswith("127."):
        pytest.skip("no non-loopback address")
    return address


def host_rules():
    """The host's nftables rules and IP forwarding setting."""
    with open("/proc/sys/net/ipv4/ip_forward") as forward:
        setting = forward.read()
    listed = subprocess.run(["nft", "list", "ruleset"], capture_output=True, text=True, timeout=30)
    return setting, listed.stdout


def pasta_processes():
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.path.realpath(f"/proc/{entry}/exe") in PASTA:
                    found.append(int(entry))
            except OSError:
                pass
    return found


def serve(session, port, text):
    """A server on `port` of every address of the session that answers every
    connection with `text`, started in the background; waits until it listens."""
    script = (f"import socket\nl = socket.create_server(('', {port}), family=socket.AF_INET6,"
              f" dualstack_ipv6=True)\nopen('/tmp/up{port}', 'w').close()\n"
              f"while True:\n    c, _ = l.accept(); c.sendall(b'{text}'); c.close()\n")
    session.write_file(f"srv{port}.py", script.encode())
    session.run(f"setsid {PY} srv{port}.py </dev/null >/dev/null 2>&1 &", check=True)
    assert session.run(f"for i in $(seq 200); do test -e /tmp/up{port} && exit 0; sleep 0.05;"
                       " done; exit 1").returncode == 0


def reach(session, host, port, timeout=3):
    """What a TCP connection from the session to host:port reads, or None."""
    code = (f"import socket\ntry:\n    c = socket.create_connection(('{host}', {port}), "
            f"timeout={timeout})\n    print(c.recv(100).decode() or 'EMPTY')\nexcept OSError as e:"
            f"\n    print('FAILED', e)\n")
    out = session.run(f"{PY} -c \"{code}\"", timeout=timeout + 10).stdout.decode().strip()
    return None if out.startswith("FAILED") else out


@needs_pasta
def test_private_sessions_reach_the_outside_and_nothing_else():
    outside = outside_address()
    listener = socket.create_server((outside, 0))
    outside_port = listener.getsockname()[1]
    loopback = socket.create_server(("127.0.0.1", 0))
    loopback_port = loopback.getsockname()[1]
    abstract = socket.socket(socket.AF_UNIX)
    abstract_name = f"\0lumvex-test-{uuid.uuid4().hex[:8]}"
    abstract.bind(abstract_name)
    abstract.listen()
    run_socket = f"/run/lumvex-test-{uuid.uuid4().hex[:8]}.sock"
    filesystem = socket.socket(socket.AF_UNIX)
    filesystem.bind(run_socket)
    os.chmod(run_socket, 0o777)
    filesystem.listen()
    echo = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    echo.bind((outside, 0))
    echo.settimeout(10)
    pool = lumvex.PyUserPool(network="private")
    assert pool.network == "private" and pool.walls["network"]
    try:
        with lumvex.PyTerminalSession(pool) as a, lumvex.PyTerminalSession(pool) as b:
            # Both bind port 8000; each sees only its own.
            serve(a, 8000, "A")
            serve(b, 8000, "B")
            for session, own in ((a, "A"), (b, "B")):
                for host in ("127.0.0.1", "10.0.2.15", "::1"):
                    assert reach(session, host, 8000) == own
            # The outside answers, by TCP and by UDP.
            accepted = []
            code = f"import socket; socket.create_connection(('{outside}', {outside_port}), timeout=5).sendall(b'hi')"
            assert a.run(f"{PY} -c \"{code}\"", timeout=20).returncode == 0
            listener.settimeout(5)
            conn, _ = listener.accept()
            accepted.append(conn.recv(10))
            conn.close()
            assert accepted == [b"hi"]
            code = (f"import socket; u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
                    f"u.sendto(b'ping', ('{outside}', {echo.getsockname()[1]}))")
            assert b.run(f"{PY} -c \"{code}\"", timeout=20).returncode == 0
            assert echo.recvfrom(10)[0] == b"ping"
            # Nothing of the host's loopback, by its address or the gateway's.
            for host in ("127.0.0.1", "10.0.2.2"):
                assert reach(a, host, loopback_port, timeout=1) is None
            # Nor its abstract or /run unix sockets.
            for address in (abstract_name, run_socket):
                code = (f"import socket; socket.socket(socket.AF_UNIX).connect({address!r})")
                assert a.run(f"{PY} -c \"{code}\"", timeout=20).returncode != 0, address
    finally:
        for s in (listener, loopback, abstract, filesystem, echo):
            s.close()
        os.unlink(run_socket)


@pytest.mark.parametrize("network", [False, "private", True])
def test_expose_reaches_a_server_inside_until_close(network):
    if network == "private" and not has_pasta():
        pytest.skip("no pasta on this host")
    port = 20000 + uuid.uuid4().int % 20000
    with lumvex.PyTerminalSession(lumvex.PyUserPool(network=network)) as s:
        serve(s, port, "inside")
        host, exposed = s.expose(port)
        assert host == "127.0.0.1"
        for _ in range(3):
            with socket.create_connection((host, exposed), timeout=5) as c:
                c.settimeout(5)
                assert c.recv(100) == b"inside"
        # A port nothing listens on inside: the connection ends at once.
        with socket.create_connection(s.expose(port + 1), timeout=5) as c:
            c.settimeout(5)
            assert c.recv(100) == b""
        with pytest.raises(TypeError):
            s.expose("80")
        for bad in (0, 65536, -1, 2**70):
            with pytest.raises(ValueError):
                s.expose(bad)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection((host, exposed), timeout=5)
    with pytest.raises(ValueError, match="Failed to expose the port of the terminal session"):
        s.expose(port)


@needs_pasta
def test_an_allow_list_lets_one_port_through_and_refuses_the_rest_at_once():
    outside = outside_address()
    allowed, other = (socket.create_server((outside, 0)) for _ in range(2))
    pool = lumvex.PyUserPool(network="private",
                             allow=[f"{outside}:{allowed.getsockname()[1]}", "localhost"])
    code = textwrap.dedent(f"""
        import socket, time
        for port in ({allowed.getsockname()[1]}, {other.getsockname()[1]}):
            start = time.monotonic()
            try:
                socket.create_connection(('{outside}', port), timeout=5).close()
                print('ok')
            except ConnectionRefusedError:
                print('refused', time.monotonic() - start)
    """)
    try:
        with lumvex.PyTerminalSession(pool) as s:
            s.write_file("probe.py", code.encode())
            first, second = s.run(f"{PY} probe.py", timeout=30).stdout.decode().splitlines()
            assert first == "ok"
            assert second.startswith("refused") and float(second.split()[1]) < 0.1
            # Allowed names answer from the session's hosts file; the name
            # servers are not on the list, so other names do not resolve.
            assert s.run("getent hosts localhost").returncode == 0
            assert s.run("getent hosts example.com").returncode != 0
            # The account cannot read or change the rules, nor the hosts file.
            assert s.run("nft flush ruleset").returncode != 0
            assert s.run("echo 1.2.3.4 x >> /etc/hosts").returncode != 0
            first, _ = s.run(f"{PY} probe.py", timeout=30).stdout.decode().splitlines()
            assert first == "ok"
    finally:
        allowed.close()
        other.close()
    with pytest.raises(ValueError, match="cannot resolve"):
        lumvex.PyTerminalSession(lumvex.PyUserPool(network="private",
                                                   allow=["lumvex-test.invalid"]))


@pytest.mark.parametrize("kwargs, error", [
    ({"allow": ["1.2.3.4"]}, ValueError),  # not a private network
    ({"network": "private", "allow": ["1.2.3.4:0"]}, ValueError),
    ({"network": "private", "allow": ["10.0.0.0/40"]}, ValueError),
    ({"network": "private", "allow": "1.2.3.4"}, TypeError),
    ({"network": "private", "allow": [1234]}, TypeError),
    ({"network": "public"}, ValueError),
    ({"network": 1}, TypeError),
])
def test_bad_network_options(kwargs, error):
    if kwargs.get("network") == "private" and not has_pasta():
        pytest.skip("no pasta on this host")
    with pytest.raises(error):
        lumvex.PyUserPool(**kwargs)


def test_network_option():
    assert lumvex.PyUserPool().network is True
    assert lumvex.PyUserPool(network=False).network is False


@needs_pasta
def test_many_sessions_leave_nothing_on_the_host():
    count = int(os.environ.get("LUMVEX_NETWORK_SESSIONS", "50"))
    interfaces = sorted(os.listdir("/sys/class/net"))
    rules = host_rules()
    helpers, pastas = set(session_helpers()), set(pasta_processes())
    pool = lumvex.PyUserPool(network="private", allow=["localhost:80"])
    for _ in range(count):
        with lumvex.PyTerminalSession(pool) as s:
            s.expose(80)
    assert wait_for(lambda: set(pasta_processes()) <= pastas)
    assert wait_for(lambda: set(session_helpers()) <= helpers)
    assert sorted(os.listdir("/sys/class/net")) == interfaces
    assert host_rules() == rules


def refused(address):
    try:
        socket.create_connection(address, timeout=5).close()
        return False
    except ConnectionRefusedError:
        return True


OWNER = textwrap.dedent("""
    import time, lumvex
    s = lumvex.PyTerminalSession(lumvex.PyUserPool(network="private"))
    print(s.expose(80)[1], flush=True)
    time.sleep(600)
""")


@needs_pasta
def test_a_killed_owner_leaves_no_pasta_and_no_relay():
    before, helpers = set(pasta_processes()), set(session_helpers())
    owner = subprocess.Popen([sys.executable, "-c", OWNER], stdout=subprocess.PIPE, text=True)
    try:
        port = int(owner.stdout.readline())
        assert set(pasta_processes()) - before
        owner.send_signal(signal.SIGKILL)
        owner.wait(timeout=10)
        assert wait_for(lambda: not set(pasta_processes()) - before, seconds=10)
        assert wait_for(lambda: refused(("127.0.0.1", port)), seconds=10)
        # The session's helper finishes its cleanup (its control groups)
        # before the account's next session may make them again.
        assert wait_for(lambda: set(session_helpers()) <= helpers, seconds=10)
    finally:
        owner.kill()
        owner.wait(timeout=10)


# An owner whose resolver file names a name server on the host's loopback
# (as a local cache's or a container runtime's does), in a mount namespace
# of its own: a plain file bound over the host's, or (with "link") a link
# into /run, where such files usually live, in a copy of /etc. A name server
# of its own answers every A query with 192.0.2.77 at 127.0.0.53.
LOOPBACK_RESOLVER = r"""
set -e
dir=$(mktemp -d)
if [ "$1" = link ]; then
  cp -a /etc "$dir/etc"
  mkdir -p /run/lumvex-test-resolve
  printf 'nameserver 127.0.0.53\noptions timeout:2\n' > /run/lumvex-test-resolve/stub.conf
  ln -sf /run/lumvex-test-resolve/stub.conf "$dir/etc/resolv.conf"
  mount --bind "$dir/etc" /etc
else
  printf 'nameserver 127.0.0.53\noptions timeout:2\n' > "$dir/resolv.conf"
  mount --bind "$dir/resolv.conf" /etc/resolv.conf
fi
shift
exec "$@"
"""

RESOLVING_OWNER = r"""
import socket, struct, threading, lumvex
server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
server.bind(("127.0.0.53", 53))
def answer():
    while True:
        query, peer = server.recvfrom(512)
        end = query.index(b"\0", 12) + 5
        reply = query[:2] + b"\x81\x80" + query[4:6] + b"\0\x01\0\0\0\0" + query[12:end]
        reply += b"\xc0\x0c\0\x01\0\x01\0\0\0\x3c\0\x04" + socket.inet_aton("192.0.2.77")
        server.sendto(reply, peer)
threading.Thread(target=answer, daemon=True).start()
with lumvex.PyTerminalSession(lumvex.PyUserPool(network="private")) as s:
    out = s.run("getent ahostsv4 lumvex-name.test | head -1; cat /etc/resolv.conf", timeout=20)
    print(out.stdout.decode())
"""


@needs_pasta
@pytest.mark.parametrize("kind", ["file", "link"])
def test_a_name_server_on_the_hosts_loopback_answers_private_sessions(kind):
    out = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", LOOPBACK_RESOLVER, "sh",
         kind, sys.executable, "-c", RESOLVING_OWNER],
        capture_output=True, text=True, timeout=90)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("192.0.2.77"), out.stdout
    assert "nameserver 10.0.2.3\noptions timeout:2" in out.stdout
