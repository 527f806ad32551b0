"""The sessions' networks (root only): a private network of its own with a
way out (pasta), ports exposed to the owner in every mode, and nothing left
on the host afterwards, by a closed session or a killed owner. "The outside"
is a listener on the host's own non-loopback address. Every wait has a
deadline."""

import asyncio
import os
import random
import signal
import socket
import struct
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


# Inside: every connection names itself and how it goes; the server checks
# what comes up against its pattern, sends its own down and logs the end it saw.
MODEL_SERVER = textwrap.dedent("""
    import asyncio, random, socket, struct, sys

    def pattern(seed, n):
        return random.Random(seed).randbytes(n)

    async def handle(r, w):
        try:
            ident, seed, up, down, order = map(int, (await r.readuntil(b"\\n")).split())
        except (ConnectionError, asyncio.IncompleteReadError):
            w.close()
            return
        got = bytearray()

        async def receive():
            try:
                while chunk := await r.read(1 << 16):
                    got.extend(chunk)
                return "eof"
            except ConnectionError:
                return "reset"

        end = None
        try:
            if order == 1:
                end = await receive()
            w.write(pattern(2 * seed, down))
            await w.drain()
            if order == 2:
                w.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                      struct.pack("ii", 1, 0))
                w.transport.abort()
                end = "aborted"
            else:
                w.write_eof()
                if end is None:
                    end = await receive()
        except ConnectionError:
            end = "reset"
        ok = bytes(got) == pattern(2 * seed + 1, up)[:len(got)]
        log.write(f"{ident} {end} {len(got)} {ok}\\n")
        log.flush()
        w.close()

    async def main():
        server = await asyncio.start_server(handle, "127.0.0.1", int(sys.argv[1]), backlog=512)
        open("/tmp/model-up", "w").close()
        await server.serve_forever()

    log = open("/tmp/model.log", "a")
    asyncio.run(main())
""")


def pattern(seed, n):
    return random.Random(seed).randbytes(n)


async def model_client(address, ident, seed, up, down, order, limit):
    """One connection: 0 both ways at once, each side ending its own way;
    1 the client ends first, then the server answers; 2 the server resets
    after its answer; 3 the client resets part way through its upload.
    Gives what came down and how it ended."""
    async with limit:
        r, w = await asyncio.open_connection(*address)
        w.write(f"{ident} {seed} {up} {down} {order}\n".encode())
        payload = pattern(2 * seed + 1, up)
        got = bytearray()

        async def receive():
            try:
                while chunk := await r.read(1 << 16):
                    got.extend(chunk)
                return "eof"
            except ConnectionError:
                return "reset"

        async def send(data):
            try:
                w.write(data)
                await w.drain()
                if order != 3:
                    w.write_eof()
            except OSError:  # reset, or gone already
                pass

        if order == 3:
            await send(payload[:up // 2])
            w.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                  struct.pack("ii", 1, 0))
            w.transport.abort()
            return ident, bytes(got), "aborted"
        if order == 1:
            await send(payload)
            end = await receive()
        else:
            end, _ = await asyncio.gather(receive(), send(payload))
        w.close()
        return ident, bytes(got), end


def test_expose_carries_many_concurrent_connections_byte_for_byte():
    """Hundreds of connections at once through one relay, random sizes and
    random orders of ending: every byte arrives in order both ways, an end of
    stream is passed on as one, and a reset of either side as a reset."""
    seed = int(os.environ.get("LUMVEX_MODEL_SEED", random.randrange(1 << 30)))
    rng = random.Random(seed)
    sizes = (0, 1, 100, 5000, 70000, 300000, 1 << 20)
    cases = []
    for ident in range(300):
        up, down = (rng.choice(sizes) + rng.randrange(50) for _ in range(2))
        order = rng.choices((0, 1, 2, 3), weights=(4, 4, 1, 1))[0]
        cases.append((ident, rng.randrange(1 << 30), up, down, order))
    with lumvex.PyTerminalSession(lumvex.PyUserPool(network=False)) as s:
        s.write_file("model.py", MODEL_SERVER.encode())
        s.run(f"setsid {PY} model.py 9100 </dev/null >/dev/null 2>&1 &", check=True)
        assert s.run("for i in $(seq 200); do test -e /tmp/model-up && exit 0; sleep 0.05;"
                     " done; exit 1").returncode == 0
        address = s.expose(9100)

        async def drive():
            limit = asyncio.Semaphore(64)
            runs = [model_client(address, *case, limit) for case in cases]
            return await asyncio.wait_for(asyncio.gather(*runs), timeout=120)

        results = asyncio.run(drive())
        for (ident, case_seed, up, down, order), (_, got, end) in zip(cases, results):
            where = f"seed {seed}, connection {ident}, order {order}"
            if order in (0, 1):
                assert (end, got) == ("eof", pattern(2 * case_seed, down)), where
            elif order == 2:
                # What came before the reset came in order; then the reset.
                assert end == "reset" and got == pattern(2 * case_seed, down)[:len(got)], where
        # The server's own view, once it has logged every connection that
        # must reach it.
        expected = {ident for ident, *_, order in cases if order != 3}
        deadline = time.monotonic() + 30
        while True:
            lines = s.run("cat /tmp/model.log").stdout.decode().splitlines()
            logged = {int(i): rest for i, *rest in (line.split() for line in lines)}
            if expected <= logged.keys() or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        assert expected <= logged.keys(), f"seed {seed}"
    for ident, case_seed, up, down, order in cases:
        if ident not in logged:
            continue
        end, count, ok = logged[ident]
        where = f"seed {seed}, connection {ident}, order {order}"
        assert ok == "True", where
        if order in (0, 1):
            assert (end, int(count)) == ("eof", up), where
        elif order == 3:
            assert end == "reset", where  # never an end of stream


def relay_of(port):
    """The process holding the listener on the owner's loopback at `port`."""
    with open("/proc/net/tcp") as table:
        inodes = {f"socket:[{fields[9]}]" for fields in (line.split() for line in table)
                  if fields[1] == f"0100007F:{port:04X}" and fields[3] == "0A"}
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink(f"/proc/{entry}/fd/0") in inodes:
                return int(entry)
        except OSError:
            pass
    raise LookupError(port)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_expose_with_a_full_descriptor_table_keeps_clients_waiting_without_spinning():
    with lumvex.PyTerminalSession(lumvex.PyUserPool(network=False)) as s:
        s.write_file("model.py", MODEL_SERVER.encode())
        s.run(f"setsid {PY} model.py 9100 </dev/null >/dev/null 2>&1 &", check=True)
        assert s.run("for i in $(seq 200); do test -e /tmp/model-up && exit 0; sleep 0.05;"
                     " done; exit 1").returncode == 0
        address = s.expose(9100)
        relay = relay_of(address[1])
        # Room for three connections and a half (six descriptors each, and
        # four), set by the account (the owner's root may lack CAP_SYS_RESOURCE).
        with open(f"/proc/{relay}/status") as status:
            inside = [line.split()[-1] for line in status if line.startswith("NSpid:")][0]
        code = f"import resource; resource.prlimit({inside}, resource.RLIMIT_NOFILE, (24, 24))"
        s.run(f"{PY} -c '{code}'", check=True)
        clients = []
        for ident in range(8):
            c = socket.create_connection(address, timeout=10)
            c.sendall(f"{ident} {ident} 10 1000 1\n".encode() + pattern(2 * ident + 1, 10))
            clients.append(c)
        start = cpu_seconds(relay)
        time.sleep(1)
        assert cpu_seconds(relay) - start < 0.2  # waits, does not spin
        # Each ended connection makes room for a waiting one; none is turned away.
        for ident, c in enumerate(clients):
            c.shutdown(socket.SHUT_WR)
            got = b""
            while chunk := c.recv(1 << 16):
                got += chunk
            c.close()
            assert got == pattern(2 * ident, 1000), ident


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
    ({"network": True, "allow": ["1.2.3.4"]}, ValueError),  # not a private network
    ({"network": False, "allow": ["1.2.3.4"]}, ValueError),
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
    # By default a private network where the host can give one.
    default = "private" if has_pasta() and os.path.exists("/dev/net/tun") else True
    assert lumvex.PyUserPool().network == default
    assert lumvex.PyUserPool(network=None).network == default
    assert lumvex.PyUserPool(network=True).network is True
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
    # The pool holds the next session's network, made ahead, until it goes
    # (and a session, closed or not, holds its pool).
    assert wait_for(lambda: len(set(pasta_processes()) - pastas) == 1)
    del s, pool
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


@needs_pasta
def test_a_network_that_cannot_be_made_ahead_is_made_by_the_sessions_own_helper(tmp_path, monkeypatch):
    # A pasta that fails its first start only: the pool's first network
    # (made on demand, as the pool had none ready) fails, and the session's
    # helper starts one of its own instead; the next session gets the one
    # the pool made ahead meanwhile.
    count = tmp_path / "count"
    stand_in = tmp_path / "pasta"
    stand_in.write_text(f"#!/bin/sh\nif [ ! -e {count} ]; then : > {count}; exit 1; fi\n"
                        f"exec /usr/bin/pasta \"$@\"\n")
    stand_in.chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    pool = lumvex.PyUserPool(network="private")
    monkeypatch.undo()
    outside = socket.create_server((outside_address(), 0))
    probe = f"import socket; socket.create_connection({outside.getsockname()!r}, timeout=5)"
    try:
        for _ in range(2):
            with lumvex.PyTerminalSession(pool) as s:
                assert s.run(f"{PY} -c \"{probe}\"", timeout=20).returncode == 0
                outside.accept()[0].close()
    finally:
        outside.close()
    assert count.exists()
