"""Session networks (root only), in one run: session start per network mode
(the host's, loopback only, private through pasta), TCP throughput from a
private session to "the outside" (a listener on this host's own non-loopback
address) and from the owner through `expose`, and connection setup through
`expose` (connect and a one-byte answer).

    sudo python bench/bench_network.py [--repeat 30] [--megabytes 1024]
"""

import argparse
import json
import socket
import statistics
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


def start_costs(repeat):
    result = {}
    for name, network in (("host", True), ("loopback only", False), ("private", "private")):
        try:
            pool = lumvex.PyUserPool(network=network)
        except ValueError as e:
            result[name] = str(e)
            continue
        lumvex.PyTerminalSession(pool).close()
        samples = []
        for _ in range(repeat):
            t = time.perf_counter()
            s = lumvex.PyTerminalSession(pool)
            samples.append(time.perf_counter() - t)
            s.close()
        result[name] = median_ms(samples)
    return result


def wait_file(session, path):
    session.run(f"for i in $(seq 400); do test -e {path} && exit 0; sleep 0.02; done; exit 1",
                check=True)


def expose_figures(session, megabytes, repeat):
    session.write_file("sink.py", SINK.encode())
    session.write_file("echo.py", ECHO.encode())
    session.run(f"setsid {PY} sink.py 9000 </dev/null >/dev/null 2>&1 &", check=True)
    session.run(f"setsid {PY} echo.py 9001 </dev/null >/dev/null 2>&1 &", check=True)
    wait_file(session, "/tmp/up")
    wait_file(session, "/tmp/echo")
    sink = session.expose(9000)
    echo = session.expose(9001)
    setup = []
    for _ in range(repeat * 10):
        t = time.perf_counter()
        with socket.create_connection(echo) as c:
            c.sendall(b"x")
            c.recv(1)
        setup.append(time.perf_counter() - t)
    block = memoryview(bytes(1 << 20))
    with socket.create_connection(sink) as c:
        t = time.perf_counter()
        for _ in range(megabytes):
            c.sendall(block)
        c.shutdown(socket.SHUT_WR)
        count = int(c.recv(64))
        seconds = time.perf_counter() - t
    assert count == megabytes << 20
    # The same sink reached directly on this host, for the ceiling of the
    # two Python ends alone.
    return {"expose connection setup ms": median_ms(setup),
            "expose throughput MB/s": round(count / seconds / 1e6)}


def outbound_figure(session, megabytes):
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
    session.write_file("send.py", SENDER.encode())
    sent = session.run(f"{PY} send.py {host} {port} {megabytes}", timeout=600)
    if sent.returncode != 0:
        raise RuntimeError(sent.stderr.decode(errors="replace"))
    reader.join(600)
    listener.close()
    return {"outbound throughput MB/s": round(got["bytes"] / got["seconds"] / 1e6)}


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=30)
    parser.add_argument("--megabytes", type=int, default=1024)
    args = parser.parse_args()
    result = {"session start ms": start_costs(args.repeat)}
    result.update(direct_ceiling(args.megabytes))
    for network in (False, "private"):
        try:
            pool = lumvex.PyUserPool(network=network)
        except ValueError:
            continue
        with lumvex.PyTerminalSession(pool) as session:
            figures = expose_figures(session, args.megabytes, args.repeat)
            if network == "private":
                figures.update(outbound_figure(session, args.megabytes))
        result[f"network={network!r}"] = figures
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
