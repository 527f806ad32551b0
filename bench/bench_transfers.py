"""Files out of a session (root only): read_file and download of a 100 MiB
file, the median time of a few and the owner's peak memory over the data
returned, each build in a process of its own.

    sudo python bench/bench_transfers.py --build before=../old/build:../old/python \
        --build after=build/quick

A build is a path list (joined with ':') put first on PYTHONPATH: an older
build's module directory and its checkout's python/ folder, whose file
methods go with it.
"""

import argparse
import json
import os
import subprocess
import sys

MEASURE = r"""
import json, statistics, sys, time
import lumvex
repeat = int(sys.argv[1])
MiB = 1 << 20

def peak_kib():
    with open("/proc/self/status") as status:
        return int(next(line.split()[1] for line in status if line.startswith("VmHWM")))

with lumvex.PyTerminalSession(lumvex.PyUserPool(disk=512 * MiB, memory=2048 * MiB)) as s:
    s.run("head -c 100M /dev/urandom > data", check=True)
    base = peak_kib()
    times = {"read_file": [], "download": []}
    for _ in range(repeat):
        t = time.perf_counter()
        data = s.read_file("data")
        times["read_file"].append(time.perf_counter() - t)
        assert len(data) == 100 * MiB
        del data
    read_peak = peak_kib() - base
    for _ in range(repeat):
        fs = lumvex.PyFs()
        t = time.perf_counter()
        s.download("data", fs, "/data")
        times["download"].append(time.perf_counter() - t)
        del fs
    result = {name: round(statistics.median(v) * 1000, 1) for name, v in times.items()}
    result["read_file peak / data"] = round(read_peak * 1024 / (100 * MiB), 2)
print(json.dumps(result))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", action="append", default=[], metavar="NAME=DIR")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("sessions need root")
    builds = [b.split("=", 1) for b in args.build] or [("installed", "")]
    print(f"median of {args.repeat}, milliseconds; peak: the owner's memory growth over the data")
    for name, directory in builds:
        env = dict(os.environ)
        if directory:
            env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(d) for d in directory.split(os.pathsep))
        out = subprocess.run([sys.executable, "-c", MEASURE, str(args.repeat)], env=env,
                             capture_output=True, text=True, check=True).stdout
        print(f"{name:<10} {json.loads(out)}")


if __name__ == "__main__":
    main()
