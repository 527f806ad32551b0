"""Commands in a session (root only): the median of session.run("true")
beside subprocess.run(["/bin/true"]) in the same process and beside
starting `su -s /bin/bash -c true` for the session's account; then 1,000
runs, after which this process's descriptors and the host's process count
must be as they were.

With --before DIR, where DIR holds an earlier build of lumvex (installed
there with `pip install --target DIR` from an earlier commit), the median of
session.run("true") of that build and of this one, timed in two worker
processes in alternating rounds within this one run, and their difference:
what this build adds to every command (its per-command control-group work,
such as reading the command's own figures).

    sudo python bench/bench_run.py [--repeat 200] [--before DIR [--rounds 40]]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import lumvex
from bench_common import median_ms

# A worker: one session; for each line n read, times n runs of "true" and
# prints their seconds on one line.
WORKER = """
import sys, time, lumvex
with lumvex.PyTerminalSession(lumvex.PyUserPool()) as session:
    for _ in range(20):
        session.run("true")
    print(lumvex.__file__, flush=True)
    for line in sys.stdin:
        samples = []
        for _ in range(int(line)):
            start = time.perf_counter()
            session.run("true")
            samples.append(time.perf_counter() - start)
        print(" ".join(map(repr, samples)), flush=True)
"""


def before_and_after(before_dir, rounds, per_round):
    """Medians (ms) of run("true") of the build in before_dir and of this
    one, timed in alternating rounds."""
    def start(path):
        env = dict(os.environ)
        if path:
            env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
        worker = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True, env=env)
        return worker, worker.stdout.readline().strip()

    workers = [start(os.path.abspath(before_dir)), start(None)]
    if workers[0][1] == workers[1][1]:
        sys.exit(f"--before {before_dir} holds no lumvex of its own")
    samples = [[], []]
    try:
        for _ in range(rounds):
            for (worker, _), kept in zip(workers, samples):
                worker.stdin.write(f"{per_round}\n")
                worker.stdin.flush()
                kept += map(float, worker.stdout.readline().split())
    finally:
        for worker, _ in workers:
            worker.stdin.close()
            worker.wait(30)
    return [statistics.median(kept) * 1000 for kept in samples]


def host_processes():
    return sum(1 for entry in os.listdir("/proc") if entry.isdigit())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=200)
    parser.add_argument("--before", metavar="DIR", help="an earlier build of lumvex, to compare")
    parser.add_argument("--rounds", type=int, default=40, help="alternating rounds of --repeat // 4")
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
    if args.before:
        before, after = before_and_after(args.before, args.rounds, max(args.repeat // 4, 10))
        print(f'session.run("true"), median of {args.rounds} alternating rounds each: '
              f"before {before:.3f} ms, this build {after:.3f} ms, "
              f"difference {after - before:+.3f} ms per command")


if __name__ == "__main__":
    main()
