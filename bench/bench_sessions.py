"""Session costs on a busy host (root only): creating a session on a reused
account, closing it, and a whole start + first echo round trip + close with
every wall on, each with 0, 1,000 and 4,000 extra idle host processes;
and, beside the last, the same round trip through the host's su started
with Popen, with no walls; and what 200 live sessions add to the owner's
resident memory, per session.

Each build named with --build NAME=DIR (a directory holding lumvex's module,
for example an older checkout's build) is measured in its own process, side
by side in one run on the same idle processes; without --build, the
installed module is measured.

    sudo python bench/bench_sessions.py --build before=../old/build --build after=build/dev
"""

import argparse
import json
import os
import select
import statistics
import subprocess
import sys
import time

# Builds without the store mount homes as plain directories and cannot
# remove a home that is a mount point: each build starts from no mounts.
def unmount_homes():
    with open("/proc/self/mounts") as mounts:
        points = [line.split()[1] for line in mounts if " /tmp/tmp_user_home/" in line]
    for point in sorted(points, reverse=True):
        subprocess.run(["umount", "-l", point], check=False)


MEASURE = r"""
import json, os, select, statistics, sys, time
import lumvex
repeat = int(sys.argv[1])

def median_ms(samples):
    return round(statistics.median(samples) * 1000, 2)

pool = lumvex.PyUserPool()
lumvex.PyTerminalSession(pool).close()  # the account exists and is free
create, close = [], []
for _ in range(repeat):
    t = time.perf_counter()
    s = lumvex.PyTerminalSession(pool)
    create.append(time.perf_counter() - t)
    t = time.perf_counter()
    s.close()
    close.append(time.perf_counter() - t)
result = {"create": median_ms(create), "close": median_ms(close)}

try:
    walled = lumvex.PyUserPool(network=False, memory=256 << 20, processes=64, disk=64 << 20)
except TypeError:
    walled = None  # a build without walls
if walled is not None:
    lumvex.PyTerminalSession(walled).close()
    whole = []
    for _ in range(repeat):
        t = time.perf_counter()
        s = lumvex.PyTerminalSession(walled)
        s.write(b"echo $((6*7))z\n")
        seen = b""
        while b"42z" not in seen:
            select.select([s.fileno()], [], [], 5)
            seen += s.read(4096)
        s.close()
        whole.append(time.perf_counter() - t)
    result["walled start+echo+close"] = median_ms(whole)

    # The same round trip with no walls and no lumvex: the host's su started
    # with Popen as the design starts it, for the same account.
    import subprocess
    with lumvex.PyTerminalSession(walled) as s:
        account = s.user
    raw = []
    for _ in range(repeat):
        t = time.perf_counter()
        su = subprocess.Popen(["su", "-s", "/bin/bash", "-P", "-c", "cd /; exec /bin/bash", account],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        su.stdin.write(b"echo $((6*7))z\n")
        su.stdin.flush()
        seen = b""
        while b"42z" not in seen:
            select.select([su.stdout], [], [], 5)
            seen += os.read(su.stdout.fileno(), 4096)
        su.kill()
        su.wait()
        for stream in (su.stdin, su.stdout, su.stderr):
            stream.close()
        raw.append(time.perf_counter() - t)
    result["raw su+Popen"] = median_ms(raw)

# What a live session costs the owner's memory: 200 of them at once.
def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
import resource
resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
before = rss_kib()
live = [lumvex.PyTerminalSession(pool) for _ in range(200)]
result["owner KiB per live session"] = round((rss_kib() - before) / len(live), 1)
for s in live:
    s.close()
print(json.dumps(result))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", action="append", default=[], metavar="NAME=DIR")
    parser.add_argument("--extra", default="0,1000,4000", help="extra idle processes, comma-separated")
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("sessions need root")
    builds = [b.split("=", 1) for b in args.build] or [("installed", "")]

    rows = []
    idle = []
    try:
        for extra in (int(n) for n in args.extra.split(",")):
            while len(idle) < extra:
                idle.append(subprocess.Popen(["sleep", "3600"], stdin=subprocess.DEVNULL))
            for name, directory in builds:
                unmount_homes()
                env = dict(os.environ)
                if directory:
                    env["PYTHONPATH"] = os.path.abspath(directory)
                out = subprocess.run([sys.executable, "-c", MEASURE, str(args.repeat)], env=env,
                                     capture_output=True, text=True, check=True).stdout
                rows.append((extra, name, json.loads(out)))
    finally:
        for process in idle:
            process.kill()
        for process in idle:
            process.wait()

    print(f"median of {args.repeat}, milliseconds")
    print(f"{'extra processes':>15}  {'build':<10} {'create':>8} {'close':>8} "
          f"{'walled start+echo+close':>24} {'raw su+Popen':>13} {'ratio':>6}")
    for extra, name, result in rows:
        whole = result.get("walled start+echo+close", "-")
        raw = result.get("raw su+Popen", "-")
        ratio = f"{whole / raw:.2f}" if raw != "-" else "-"
        print(f"{extra:>15}  {name:<10} {result['create']:>8} {result['close']:>8} {whole:>24} "
              f"{raw:>13} {ratio:>6}")
    for extra, name, result in rows:
        print(f"owner memory per live session ({name}, {extra} extra processes): "
              f"{result['owner KiB per live session']} KiB")


if __name__ == "__main__":
    main()
