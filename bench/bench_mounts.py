"""Session create and close against the host's mount count (root only).

Each build is measured in a mount namespace of its own holding N extra
mounts (small tmpfs mounts under /mnt/lumvex-bench-mounts, a stand-in for
the mounts of a host that runs containers), beside the homes of every
account used so far, so that the host itself keeps none of them. With
--closed, that directory is one that only root may search, as a container
runtime's storage is; without it, one that every account may enter:

    sudo python bench/bench_mounts.py [--mounts 0,1000,3000] [--closed] \
        [--build before=../old/build --build after=build/quick]

Without --build, the installed module is measured. Prints a table of
median milliseconds.
"""

import argparse
import subprocess
import sys

MEASURE = r"""
import statistics, sys, time
import lumvex
pool = lumvex.PyUserPool()
lumvex.PyTerminalSession(pool).close()
create, close = [], []
for _ in range(int(sys.argv[1])):
    start = time.perf_counter()
    session = lumvex.PyTerminalSession(pool)
    made = time.perf_counter()
    session.close()
    create.append(made - start)
    close.append(time.perf_counter() - made)
with open("/proc/self/mountinfo") as mounts:
    count = sum(1 for _ in mounts)
print(count, statistics.median(create) * 1e3, statistics.median(close) * 1e3)
"""

SETUP = r"""
set -e
mkdir -p /mnt/lumvex-bench-mounts
chmod "$2" /mnt/lumvex-bench-mounts
for i in $(seq 1 "$1"); do
  mkdir -p "/mnt/lumvex-bench-mounts/$i"
  mount -t tmpfs -o size=4k lumvex-bench "/mnt/lumvex-bench-mounts/$i"
done
shift 2
exec "$@"
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mounts", default="0,1000,3000")
    parser.add_argument("--repeat", type=int, default=40)
    parser.add_argument("--build", action="append", default=[], metavar="NAME=DIR")
    parser.add_argument("--closed", action="store_true",
                        help="the mounts below a directory that only root may search")
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.build] or [["installed", ""]]
    print(f"{'build':>12} {'extra':>6} {'mounts':>7} {'create ms':>10} {'close ms':>9}")
    for extra in [int(n) for n in args.mounts.split(",")]:
        for name, path in builds:
            env = None if not path else {"PYTHONPATH": path, "PATH": "/usr/bin:/bin"}
            out = subprocess.run(
                ["unshare", "--mount", "--propagation", "private", "sh", "-c", SETUP, "sh",
                 str(extra), "0700" if args.closed else "0755", sys.executable, "-c", MEASURE,
                 str(args.repeat)],
                capture_output=True, text=True, env=env, timeout=1800)
            if out.returncode != 0:
                print(f"{name:>12} {extra:>6} failed: {out.stderr.strip()[-300:]}")
                continue
            count, create, close = out.stdout.split()
            print(f"{name:>12} {extra:>6} {count:>7} {float(create):>10.2f} {float(close):>9.2f}")


if __name__ == "__main__":
    main()
