"""Commands in a session (root only): the median of session.run("true")
beside subprocess.run(["/bin/true"]) in the same process and beside
starting `su -s /bin/bash -c true` for the session's account; then 1,000
runs, after which this process's descriptors and the host's process count
must be as they were.

    sudo python bench/bench_run.py [--repeat 200]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import lumvex


def median_ms(call, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1000


def host_processes():
    return sum(1 for entry in os.listdir("/proc") if entry.isdigit())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=200)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("sessions need root")
    pool = lumvex.PyUserPool()
    with lumvex.PyTerminalSession(pool) as session:
        session.run("true")
        rows = [
            ('session.run("true")', median_ms(lambda: session.run("true"), args.repeat)),
            ('subprocess.run(["/bin/true"])',
             median_ms(lambda: subprocess.run(["/bin/true"]), args.repeat)),
            ("su -s /bin/bash -c true ACCOUNT",
             median_ms(lambda: subprocess.run(["su", "-s", "/bin/bash", "-c", "true", session.user]),
                       max(args.repeat // 4, 10))),
        ]
        fds, processes = len(os.listdir("/proc/self/fd")), host_processes()
        for _ in range(1000):
            session.run("true")
        fds_after, processes_after = len(os.listdir("/proc/self/fd")), host_processes()
    width = max(len(name) for name, _ in rows)
    print(f"{'median, ms':>{width + 10}}")
    for name, ms in rows:
        print(f"{name:<{width}}  {ms:8.3f}")
    print(f"run / subprocess.run: {rows[0][1] / rows[1][1]:.2f}x")
    print(f"after 1,000 runs: descriptors {fds} -> {fds_after}, host processes {processes} -> {processes_after}")


if __name__ == "__main__":
    main()
