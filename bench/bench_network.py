"""Session networks (root only), in one run: session start per network mode
(the host's, loopback only, private through pasta), TCP throughput from a
private session to "the outside" (a listener on this host's own non-loopback
address) and from the owner through `expose`, and connection setup through
`expose` (connect and a one-byte answer). For comparison, the same with both
ends on the host (no session), and the outbound transfer from a namespace
given its way out by pasta alone, without lumvex (the mechanism's ceiling;
with pasta's throughput per second of its own CPU time).

    sudo python bench/bench_network.py [--repeat 30] [--megabytes 1024]
"""

import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time

import lumvex

PY = "/usr/bin/python3"

# A sink that reads everything sent to it and answers with the count, and a
# one-byte echo; both in the session, on its loopback.
SINK = """
import socket, sys
l = socket.create_server(("127.0.0.1", int(sys.argv[1])))
open("/tmp/up", "w").close()
while True:
    c, _ = l.accept()
    buf = bytearray(1 << 20); n = 0
    while (k := c.recv_into(buf)):
        n += k
    c.sendall(str(n).encode()); c.close()
"""
ECHO = """
import socket, sys
l = socket.create_server(("127.0.0.1", int(sys.argv[1])))
open("/tmp/echo", "w").close()
while True:
    c, _ = l.accept(); c.sendall(c.recv(1)); c.close()
"""
# Sends MB megabytes to HOST:PORT from the session.
SENDER = """
import socket, sys
c = socket.create_connection((sys.argv[1], int(sys.argv[2])))
block = memoryview(bytes(1 << 20))
for _ in range(int(sys.argv[3])):
    c.sendall(block)
c.close()
"""


def median_ms(samples):
    return round(statistics.median(samples) * 1000, 3)


def outside_address():
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.connect(("203.0.113.1", 9))
    address = probe.getsockname()[0]
    probe.close()
    return address


def start_costs(repeat, pause=0.1):
    """Session start and close per mode: back to back, and each `pause`
    seconds after the step before (time for the pool to make the next
    private network ahead, which takes CPU time of its own); and a pool's
    first session, whose network is made on demand."""
    result = {}
    for name, network in (("host", True), ("loopback only", False), ("private", "private")):
        try:
            pool = lumvex.PyUserPool(network=network)
        except ValueError as e:
            result[name] = str(e)
            continue
        lumvex.PyTerminalSession(pool).close()
        figures = {}
        for label, wait in (("back to back", 0), (f"{pause} s apart", pause)):
            starts, closes = [], []
            for _ in range(repeat):
                time.sleep(wait)
                t = time.perf_counter()
                s = lumvex.PyTerminalSession(pool)
                starts.append(time.perf_counter() - t)
                time.sleep(wait)
                t = time.perf_counter()
                s.close()
                closes.append(time.perf_counter() - t)
            figures[f"start, {label}"] = median_ms(starts)
            figures[f"close, {label}"] = median_ms(closes)
        if network == "private":
            firsts = []
            for _ in range(max(3, repeat // 3)):
                fresh = lumvex.PyUserPool(network=network)
                t = time.perf_counter()
                s = lumvex.PyTerminalSession(fresh)
                firsts.append(time.perf_counter() - t)
                s.close()
                time.sleep(wait)
            figures["start, a pool's first session"] = median_ms(firsts)
        result[name] = figures
    return result


def wait_file(session, path):
    session.run(f"for i in $(seq 400); do test -e {path} && exit 0; sleep 0.02; done; exit 1",
                check=True)


def setup_times(address, count):
    """Connect, one byte there and back, close: `count` times."""
    setup = []
    for _ in range(count):
        t = time.perf_counter()
        with socket.create_connection(address) as c:
            c.sendall(b"x")
            c.recv(1)
        setup.append(time.perf_counter() - t)
    return setup


def expose_figures(session, megabytes, repeat):
    session.write_file("sink.py", SINK.encode())
    session.write_file("echo.py", ECHO.encode())
    session.run(f"setsid {PY} sink.py 9000 </dev/null >/dev/null 2>&1 &", check=True)
    session.run(f"setsid {PY} echo.py 9001 </dev/null >/dev/null 2>&1 &", check=True)
    wait_file(session, "/tmp/up")
    wait_file(session, "/tmp/echo")
    sink = session.expose(9000)
    echo = session.expose(9001)
    setup = setup_times(echo, repeat * 10)
    block = memoryview(bytes(1 << 20))
    with socket.create_connection(sink) as c:
        t = time.perf_counter()
        for _ in range(megabytes):
            c.sendall(block)
        c.shutdown(socket.SHUT_WR)
        count = int(c.recv(64))
        seconds = time.perf_counter() - t
    assert count == megabytes << 20
    return {"expose connection setup ms": median_ms(setup),
            "expose throughput MB/s": round(count / seconds / 1e6)}


PASTA = {"/usr/bin/passt", "/usr/bin/passt.avx2", "/usr/bin/pasta"}


def pasta_processes():
    found = set()
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.path.realpath(f"/proc/{entry}/exe") in PASTA:
                found.add(int(entry))
        except OSError:
            pass
    return found


def session_pasta(session):
    """The pasta of `session`'s network: its parent (the keeper that holds
    the network) is in the session's network namespace."""
    own = session.run("readlink /proc/self/ns/net", check=True).stdout.decode().strip()
    for pid in pasta_processes():
        try:
            with open(f"/proc/{pid}/status") as status:
                parent = next(line.split()[1] for line in status if line.startswith("PPid:"))
            if os.readlink(f"/proc/{parent}/ns/net") == own:
                return pid
        except OSError:
            pass
    raise LookupError("no pasta in the session's network namespace")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def receive_from_outside(send, pasta, name):
    """Runs send(host, port) against a listener on this host's own
    non-loopback address; the throughput, and what pasta moved per second
    of its own CPU time (its ceiling when it never waits)."""
    listener = socket.create_server((outside_address(), 0))
    host, port = listener.getsockname()
    got = {}

    def receive():
        c, _ = listener.accept()
        buf = bytearray(1 << 20)
        n = 0
        t = time.perf_counter()
        while (k := c.recv_into(buf)):
            n += k
        got["seconds"] = time.perf_counter() - t
        got["bytes"] = n

    reader = threading.Thread(target=receive)
    reader.start()
    cpu = cpu_seconds(pasta)
    send(host, port)
    reader.join(600)
    cpu = cpu_seconds(pasta) - cpu
    listener.close()
    return {f"{name} MB/s": round(got["bytes"] / got["seconds"] / 1e6),
            f"{name}: pasta MB per CPU second": round(got["bytes"] / max(cpu, 0.01) / 1e6)}


def outbound_figure(session, megabytes, pasta):
    def send(host, port):
        session.write_file("send.py", SENDER.encode())
        sent = session.run(f"{PY} send.py {host} {port} {megabytes}", timeout=600)
        if sent.returncode != 0:
            raise RuntimeError(sent.stderr.decode(errors="replace"))

    return receive_from_outside(send, pasta, "outbound throughput")


def pasta_ceiling(megabytes):
    """The same transfer from a network namespace of its own, given its way
    out by pasta with the options a session's has, without lumvex."""
    name = f"lumvex-bench-{os.getpid()}"
    pid_file = f"/run/{name}.pid"
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        subprocess.run(["pasta", "--quiet", "--runas", "0", "--tcp-ports", "none",
                        "--udp-ports", "none", "--tcp-ns", "none", "--udp-ns", "none",
                        "--no-map-gw", "--config-net", "--address", "10.0.2.15", "--netmask",
                        "24", "--gateway", "10.0.2.2", "--netns", f"/run/netns/{name}",
                        "--pid", pid_file], check=True, stderr=subprocess.DEVNULL)
        with open(pid_file) as f:
            pasta = int(f.read())
        try:
            def send(host, port):
                with tempfile.NamedTemporaryFile("w", suffix=".py") as script:
                    script.write(SENDER)
                    script.flush()
                    subprocess.run(["ip", "netns", "exec", name, PY, script.name, host,
                                    str(port), str(megabytes)], check=True, timeout=600)

            return receive_from_outside(send, pasta, "pasta alone")
        finally:
            os.kill(pasta, signal.SIGTERM)
            os.unlink(pid_file)
    finally:
        subprocess.run(["ip", "netns", "delete", name], check=True)


# The one-byte echo on this host's loopback, for the setup's floor.
HOST_ECHO = """
import socket
l = socket.create_server(("127.0.0.1", 0))
print(l.getsockname()[1], flush=True)
while True:
    c, _ = l.accept(); c.sendall(c.recv(1)); c.close()
"""


def direct_setup(repeat):
    """The same connection setup with both ends on this host, no relay."""
    echo = subprocess.Popen([PY, "-c", HOST_ECHO], stdout=subprocess.PIPE, text=True)
    try:
        address = ("127.0.0.1", int(echo.stdout.readline()))
        return {"direct connection setup ms (no session)":
                median_ms(setup_times(address, repeat * 10))}
    finally:
        echo.kill()
        echo.wait()


def direct_ceiling(megabytes):
    """The same transfer between two Python ends on the host's loopback."""
    listener = socket.create_server(("127.0.0.1", 0))
    got = {}

    def receive():
        c, _ = listener.accept()
        buf = bytearray(1 << 20)
        n = 0
        while (k := c.recv_into(buf)):
            n += k
        got["bytes"] = n

    reader = threading.Thread(target=receive)
    reader.start()
    block = memoryview(bytes(1 << 20))
    t = time.perf_counter()
    with socket.create_connection(listener.getsockname()) as c:
        for _ in range(megabytes):
            c.sendall(block)
    reader.join()
    seconds = time.perf_counter() - t
    listener.close()
    return {"direct loopback MB/s (no session)": round(got["bytes"] / seconds / 1e6)}


def failure_told(figure, *args):
    """The figures, or how the transfer failed (pasta resets a connection
    now and then under load), so that the others are still given."""
    try:
        return figure(*args)
    except (RuntimeError, subprocess.CalledProcessError) as e:
        return {f"{figure.__name__} failed": str(e).strip().splitlines()[-1]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=30)
    parser.add_argument("--megabytes", type=int, default=1024)
    args = parser.parse_args()
    result = {"session start ms": start_costs(args.repeat)}
    result.update(direct_ceiling(args.megabytes))
    result.update(direct_setup(args.repeat))
    for network in (False, "private"):
        try:
            pool = lumvex.PyUserPool(network=network)
        except ValueError:
            continue
        with lumvex.PyTerminalSession(pool) as session:
            figures = expose_figures(session, args.megabytes, args.repeat)
            if network == "private":
                pasta = session_pasta(session)
                figures.update(failure_told(outbound_figure, session, args.megabytes, pasta))
        result[f"network={network!r}"] = figures
        if network == "private" and shutil.which("ip"):
            result["without lumvex"] = failure_told(pasta_ceiling, args.megabytes)
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
