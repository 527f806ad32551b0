"""Python-level cost of the lumvex filesystem.

Each figure is set against two references measured in the same run:
  floor: a trivial builtin call with one str argument (len(s)), the least any
         call into an extension can cost;
  os:    the same work done with the os module in a tmpfs directory.

Run with the module importable (installed, or PYTHONPATH=<build dir>):
    python bench/bench_fs.py [--quick]

Prints a table and whether each target is met; always exits 0.

    python bench/bench_fs.py [--quick] --against DIR

sets the small operations of this module against another build of it, whose
lumvex.abi3.so is in DIR (for example one made with `pip install --target
DIR` from an older commit): each side runs in processes of its own, one
after the other, REPEAT times, so that what else the machine does weighs on
both alike. It prints the best time of each side and their ratio (the
target: within 1.03x of the other build).
"""

import os
import shutil
import sys
import tempfile
import time

import lumvex
from bench_common import quiet_stdout

QUICK = "--quick" in sys.argv
OPS = 2_000 if QUICK else 20_000  # calls per timed loop
REPEAT = 3 if QUICK else 7  # best of
BIG = (16 if QUICK else 64) * 1024 * 1024  # large file size
CHUNK = 1024 * 1024
SMALL = b"s" * 100


def best(run, repeat=REPEAT):
    """Best wall time in ns of run(), which returns (elapsed_ns)."""
    return min(run() for _ in range(repeat))


def per_op(run):
    return best(run) / OPS


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- memory ---------------------------------------------------------------------------


def memory_per_file(dirs=100, per_dir=1000):
    dir_names = [f"/d{i}" for i in range(dirs)]
    file_names = [f"{d}/f{j}" for d in dir_names for j in range(per_dir)]
    fs = lumvex.PyFs()
    before = resident_bytes()
    for name in dir_names:
        fs.mkdir(name)
    for name in file_names:
        fs.touch(name)
    after = resident_bytes()
    assert len(fs.listdir("/d0")[0]) == per_dir
    return (after - before) / len(file_names)


# --- the floor --------------------------------------------------------------------------


def floor(names):
    f = len

    def run():
        start = time.perf_counter_ns()
        for name in names:
            f(name)
        return time.perf_counter_ns() - start

    return per_op(run)


# --- small operations ----------------------------------------------------------------------


def lumvex_small(names):
    results = {}
    dirs = [f"/d{n}" for n in names]
    files = [f"/f{n}" for n in names]

    def timed_creation(op, paths, cleanup):
        def run():
            fs = lumvex.PyFs()
            call = getattr(fs, op)
            start = time.perf_counter_ns()
            for path in paths:
                call(path)
            elapsed = time.perf_counter_ns() - start
            cleanup(fs)
            return elapsed

        return per_op(run)

    results["mkdir"] = timed_creation("mkdir", dirs, lambda fs: None)
    results["touch"] = timed_creation("touch", files, lambda fs: None)

    def run_remove():
        fs = lumvex.PyFs()
        for path in files:
            fs.touch(path)
        remove = fs.remove
        start = time.perf_counter_ns()
        for path in files:
            remove(path, False)
        return time.perf_counter_ns() - start

    results["remove"] = per_op(run_remove)

    fs = lumvex.PyFs()
    fs.mkdir("/ten")
    for i in range(5):
        fs.touch(f"/ten/f{i}")
        fs.mkdir(f"/ten/d{i}")
    listdir = fs.listdir
    target = "/ten"

    def run_listdir():
        start = time.perf_counter_ns()
        for _ in range(OPS):
            listdir(target)
        return time.perf_counter_ns() - start

    results["listdir (10 entries)"] = per_op(run_listdir)

    open_ = fs.open
    path = "/small"
    data = SMALL

    def run_write():
        start = time.perf_counter_ns()
        for _ in range(OPS):
            handle = open_(path, "w")
            handle.write(data)
            handle.close()
        return time.perf_counter_ns() - start

    results["open-write-close (100 B)"] = per_op(run_write)

    def run_read():
        start = time.perf_counter_ns()
        for _ in range(OPS):
            handle = open_(path, "r")
            handle.read(100)
            handle.close()
        return time.perf_counter_ns() - start

    with quiet_stdout():
        results["open-read-close (100 B)"] = per_op(run_read)
    return results


def os_small(names, root):
    results = {}
    dirs = [os.path.join(root, f"d{n}") for n in names]
    files = [os.path.join(root, f"f{n}") for n in names]

    def clear():
        for entry in os.listdir(root):
            path = os.path.join(root, entry)
            if os.path.isdir(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)

    def run_mkdir():
        mkdir = os.mkdir
        start = time.perf_counter_ns()
        for path in dirs:
            mkdir(path)
        elapsed = time.perf_counter_ns() - start
        clear()
        return elapsed

    def touch(path, flags=os.O_CREAT | os.O_WRONLY, close=os.close, open_=os.open):
        close(open_(path, flags, 0o644))

    def run_touch():
        start = time.perf_counter_ns()
        for path in files:
            touch(path)
        elapsed = time.perf_counter_ns() - start
        clear()
        return elapsed

    def run_remove():
        for path in files:
            touch(path)
        unlink = os.unlink
        start = time.perf_counter_ns()
        for path in files:
            unlink(path)
        return time.perf_counter_ns() - start

    results["mkdir"] = per_op(run_mkdir)
    results["touch"] = per_op(run_touch)
    results["remove"] = per_op(run_remove)

    ten = os.path.join(root, "ten")
    os.mkdir(ten)
    for i in range(5):
        touch(os.path.join(ten, f"f{i}"))
        os.mkdir(os.path.join(ten, f"d{i}"))

    def run_listdir():
        listdir = os.listdir
        start = time.perf_counter_ns()
        for _ in range(OPS):
            listdir(ten)
        return time.perf_counter_ns() - start

    results["listdir (10 entries)"] = per_op(run_listdir)

    small = os.path.join(root, "small")
    data = SMALL

    def run_write():
        open_, write, close = os.open, os.write, os.close
        flags = os.O_CREAT | os.O_WRONLY
        start = time.perf_counter_ns()
        for _ in range(OPS):
            fd = open_(small, flags, 0o644)
            write(fd, data)
            close(fd)
        return time.perf_counter_ns() - start

    def run_read():
        open_, read, close = os.open, os.read, os.close
        flags = os.O_RDONLY
        start = time.perf_counter_ns()
        for _ in range(OPS):
            fd = open_(small, flags)
            read(fd, 100)
            close(fd)
        return time.perf_counter_ns() - start

    results["open-write-close (100 B)"] = per_op(run_write)
    results["open-read-close (100 B)"] = per_op(run_read)
    clear()
    return results


# --- large files --------------------------------------------------------------------------


def large(root):
    chunk = os.urandom(CHUNK)
    chunks = BIG // CHUNK
    results = {}

    def run_copy():
        whole = chunk * chunks
        start = time.perf_counter_ns()
        memoryview(whole).tobytes()
        return time.perf_counter_ns() - start

    copy = best(run_copy)

    def run_write():
        fs = lumvex.PyFs()
        handle = fs.open("/big", "w")
        write, seek, cur = handle.write, handle.seek, lumvex.Whence.SEEK_CUR
        start = time.perf_counter_ns()
        for _ in range(chunks):
            write(chunk)  # the offset stays; move past what was written
            seek(CHUNK, cur)
        elapsed = time.perf_counter_ns() - start
        handle.close()
        return elapsed

    fs = lumvex.PyFs()
    writer = fs.open("/big", "w")
    for i in range(chunks):
        writer.write(chunk)
        writer.seek(CHUNK, lumvex.Whence.SEEK_CUR)
    writer.close()

    def run_read():
        handle = fs.open("/big", "r")
        read = handle.read
        start = time.perf_counter_ns()
        for _ in range(chunks):
            read(CHUNK)
        elapsed = time.perf_counter_ns() - start
        handle.close()
        return elapsed

    results["write 1 MiB chunks"] = best(run_write, 3)
    with quiet_stdout():
        results["read 1 MiB chunks"] = best(run_read, 3)

    path = os.path.join(root, "big")

    def run_os_write():
        fd = os.open(path, os.O_CREAT | os.O_WRONLY | os.O_TRUNC, 0o644)
        start = time.perf_counter_ns()
        for _ in range(chunks):
            os.write(fd, chunk)
        elapsed = time.perf_counter_ns() - start
        os.close(fd)
        return elapsed

    def run_os_read():
        fd = os.open(path, os.O_RDONLY)
        start = time.perf_counter_ns()
        for _ in range(chunks):
            os.read(fd, CHUNK)
        elapsed = time.perf_counter_ns() - start
        os.close(fd)
        return elapsed

    os_results = {
        "write 1 MiB chunks": best(run_os_write, 3),
        "read 1 MiB chunks": best(run_os_read, 3),
    }
    os.unlink(path)
    return copy, results, os_results


# --- report --------------------------------------------------------------------------------


def small_json():
    """The child of --against: lumvex_small's figures, once, as JSON."""
    import json

    global REPEAT
    REPEAT = 1
    figures = lumvex_small([f"entry{i:06d}" for i in range(OPS)])
    print(json.dumps({"module": lumvex.__file__, **figures}))


def against(other):
    import json
    import subprocess

    sides = {"this": os.environ.get("PYTHONPATH", ""), "other": other}
    runs = {side: [] for side in sides}
    for _ in range(REPEAT):
        for side, path in sides.items():
            child = subprocess.run(
                [sys.executable, __file__, "--small-json", *(["--quick"] if QUICK else [])],
                env={**os.environ, "PYTHONPATH": path},
                capture_output=True,
                text=True,
                check=True,
            )
            runs[side].append(json.loads(child.stdout.splitlines()[-1]))
    modules = {side: {run.pop("module") for run in runs[side]} for side in sides}
    assert modules["this"] != modules["other"], f"both sides import {modules['this']}"
    print(f"this:  {modules['this'].pop()}\nother: {modules['other'].pop()}")
    print(f"{'operation':28} {'this':>9} {'other':>9} {'ratio':>6}  target")
    for name in runs["this"][0]:
        ours = min(run[name] for run in runs["this"])
        theirs = min(run[name] for run in runs["other"])
        ratio = ours / theirs
        print(f"{name:28} {ours:7.1f}ns {theirs:7.1f}ns {ratio:6.3f}  "
              f"<=1.03x: {'met' if ratio <= 1.03 else 'MISSED'}")
    return 0


def main():
    if "--small-json" in sys.argv:
        return small_json()
    if "--against" in sys.argv:
        return against(sys.argv[sys.argv.index("--against") + 1])
    tmpfs = "/dev/shm" if os.path.isdir("/dev/shm") else None
    root = tempfile.mkdtemp(prefix="lumvex-bench-", dir=tmpfs)
    try:
        rss_per_file = memory_per_file()
        names = [f"entry{i:06d}" for i in range(OPS)]
        floor_ns = floor(names)
        ours = lumvex_small(names)
        theirs = os_small(names, root)
        copy_ns, big_ours, big_theirs = large(root)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    limits = {
        "mkdir": 50,
        "touch": 50,
        "remove": 50,
        "listdir (10 entries)": 50,
        "open-write-close (100 B)": 100,
        "open-read-close (100 B)": 100,
    }
    rows = []
    print(f"floor (len(s)): {floor_ns:.1f} ns   os reference: {root.rsplit('/', 1)[0]}")
    print(f"{'operation':28} {'lumvex':>11} {'x floor':>8} {'os':>11} {'os/lumvex':>9}  targets")
    for name, limit in limits.items():
        ns, os_ns = ours[name], theirs[name]
        met_floor = ns / floor_ns < limit
        met_os = os_ns / ns >= 5
        rows.append(met_floor and met_os)
        print(
            f"{name:28} {ns:9.0f}ns {ns / floor_ns:8.1f} {os_ns:9.0f}ns {os_ns / ns:9.1f}  "
            f"<{limit}x floor: {'met' if met_floor else 'MISSED'}; "
            f">=5x os: {'met' if met_os else 'MISSED'}"
        )
    size_mib = BIG // CHUNK
    print(f"\n{size_mib} MiB in 1 MiB chunks; plain copy of a {size_mib} MiB bytes: "
          f"{copy_ns / 1e6:.1f} ms ({BIG / copy_ns:.2f} GB/s)")
    for name, ns in big_ours.items():
        os_ns = big_theirs[name]
        met_copy = ns <= 2 * copy_ns
        met_os = os_ns / ns >= 5
        rows.append(met_copy and met_os)
        print(
            f"{name:28} {ns / 1e6:8.1f}ms {BIG / ns:6.2f}GB/s  os {os_ns / 1e6:8.1f}ms "
            f"os/lumvex {os_ns / ns:5.1f}  >=half copy speed: {'met' if met_copy else 'MISSED'}; "
            f">=5x os: {'met' if met_os else 'MISSED'}"
        )
    met_memory = rss_per_file < 250
    rows.append(met_memory)
    print(f"\nresident memory per empty file (100,000 files in 100 directories): "
          f"{rss_per_file:.0f} bytes  <250: {'met' if met_memory else 'MISSED'}")
    print(f"\n{sum(rows)} of {len(rows)} rows meet all their targets")
    return 0


if __name__ == "__main__":
    sys.exit(main())
