"""What PyFs.fork() costs, side by side in one run:

  fork     fork() of filesystems of 10, 10,000 and 1,000,000 files (median of
           many forks): the same cost whatever the size;
  write    the first write to a 1-byte file of a fork (a fresh fork each
           time) against the same write to a filesystem that was never
           forked: what copying on the first change adds;
  memory   resident memory after building a 1 GiB filesystem (64 files of
           16 MiB), after fork() (nothing is copied), and after one byte of
           one file of the fork changes (that file alone is copied);
  fixture  50 tests each given a fresh 2,000-file tree: fork() of a prepared
           PyFs, against building the tree per test in lumvex and in
           pyfakefs's FakeFilesystem (skipped, with a note, without pyfakefs).

Run with the module importable (installed, or PYTHONPATH=<build dir>):
    python bench/bench_fork.py [--quick]

Prints a table and whether each target is met; always exits 0.
"""

import statistics
import sys
import time

import lumvex

QUICK = "--quick" in sys.argv
FORKS = 200 if QUICK else 2_000  # forks timed per size
WRITES = 200 if QUICK else 2_000  # writes timed, with and without a fork
MIB = 1024 * 1024
BIG_FILE = 16 * MIB
BIG_FILES = 16 if QUICK else 64  # 256 MiB / 1 GiB
TESTS = 10 if QUICK else 50
FIXTURE_DIRS, FIXTURE_FILES = 20, 100  # 2,000 files a test


def median_us(samples_ns):
    return statistics.median(samples_ns) / 1e3


def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def write_file(fs, path, data):
    with fs.open(path, "w") as handle:
        handle.write(data)


def read_file(fs, path):
    """The whole file, without the read notice that read() prints."""
    data = bytearray(fs.stat(path).st_size)
    with fs.open(path, "r") as handle:
        handle.readinto(data)
    return bytes(data)


def empty_files(dirs, per_dir):
    """A PyFs of dirs * per_dir empty files, per_dir in each directory."""
    fs = lumvex.PyFs()
    mkdir, touch = fs.mkdir, fs.touch
    for d in range(dirs):
        mkdir(f"/d{d}")
        for name in [f"/d{d}/f{i}" for i in range(per_dir)]:
            touch(name)
    return fs


# --- fork() by size -------------------------------------------------------------------


def bench_fork_sizes():
    rows = []
    for dirs, per_dir in ((1, 10), (10, 1_000), (100 if QUICK else 1_000, 1_000)):
        fs = empty_files(dirs, per_dir)
        fork = fs.fork
        samples = []
        for _ in range(FORKS):
            start = time.perf_counter_ns()
            copy = fork()
            samples.append(time.perf_counter_ns() - start)
            del copy  # dropped outside the timing
        assert fs.fork().listdir(f"/d{dirs - 1}")[0][-1] == f"f{per_dir - 1}"
        rows.append((dirs * per_dir, median_us(samples)))
        del fs
    return rows


# --- the first write after a fork ----------------------------------------------------------


def bench_first_write():
    """A 1-byte file among 1,000 in one of ten directories (10,000 files):
    the fork's first write copies the file and the directories above it."""
    fs = empty_files(10, 1_000)
    path = "/d0/one"
    write_file(fs, path, b"0")
    data = b"1"

    def timed_write(target):
        start = time.perf_counter_ns()
        handle = target.open(path, "w")
        handle.write(data)
        handle.close()
        return time.perf_counter_ns() - start

    plain = [timed_write(fs) for _ in range(WRITES)]
    forked = []
    write_file(fs, path, b"0")
    for _ in range(WRITES):
        fork = fs.fork()
        forked.append(timed_write(fork))
        del fork
    assert read_file(fs, path) == b"0"
    return median_us(plain), median_us(forked)


# --- memory -----------------------------------------------------------------------------


def bench_memory():
    chunk = b"\x5a" * BIG_FILE
    names = [f"/big/f{i}" for i in range(BIG_FILES)]
    before = resident_bytes()
    fs = lumvex.PyFs()
    fs.mkdir("/big")
    for name in names:
        write_file(fs, name, chunk)
    built = resident_bytes()
    fork = fs.fork()
    forked = resident_bytes()
    write_file(fork, names[0], b"\xa5")  # one byte: the whole file is copied
    changed = resident_bytes()
    assert read_file(fs, names[0])[:1] == b"\x5a" and read_file(fork, names[0])[:1] == b"\xa5"
    result = built - before, forked - built, changed - forked
    del fork, fs
    return result


# --- a fixture's fresh trees --------------------------------------------------------------


def fixture_files():
    return [
        (f"/d{d}", [(f"/d{d}/f{i}", f"file {d}/{i}\n".encode() * 4) for i in range(FIXTURE_FILES)])
        for d in range(FIXTURE_DIRS)
    ]


def build_lumvex(tree):
    fs = lumvex.PyFs()
    for directory, files in tree:
        fs.mkdir(directory)
        for path, data in files:
            with fs.open(path, "w") as handle:
                handle.write(data)
    return fs


def build_pyfakefs(tree, fake_filesystem):
    fs = fake_filesystem.FakeFilesystem(path_separator="/")
    for directory, files in tree:
        fs.create_dir(directory)
        for path, data in files:
            fs.create_file(path, contents=data)
    return fs


def per_test(make):
    """Seconds for TESTS tests that each take a fresh tree from make() (and
    drop it at their end)."""
    start = time.perf_counter()
    for _ in range(TESTS):
        fs = make()
        del fs
    return time.perf_counter() - start


def bench_fixture():
    tree = fixture_files()
    prepared = build_lumvex(tree)
    rows = [
        ("lumvex fork()", per_test(prepared.fork)),
        ("lumvex build", per_test(lambda: build_lumvex(tree))),
    ]
    try:
        from pyfakefs import fake_filesystem
    except ImportError:
        return rows, "pyfakefs is not importable: its row is skipped (pip install pyfakefs)"
    checked = build_pyfakefs(tree, fake_filesystem)
    assert checked.get_object("/d0/f0").byte_contents == tree[0][1][0][1]
    rows.append(("pyfakefs build", per_test(lambda: build_pyfakefs(tree, fake_filesystem))))
    return rows, None


# --- report --------------------------------------------------------------------------------


def main():
    met = []

    print(f"fork() (median of {FORKS:,})")
    sizes = bench_fork_sizes()
    for files, us in sizes:
        print(f"  {files:>9,} files {us:9.2f} us")
    ratio = sizes[-1][1] / sizes[0][1]
    flat = ratio < 2
    met.append(flat)
    print(f"  {sizes[-1][0]:,} files / {sizes[0][0]:,} files: {ratio:.2f}x  "
          f"<2x: {'met' if flat else 'MISSED'}")

    plain, forked = bench_first_write()
    print(f"\nopen-write-close of 1 byte, a file among 1,000 in a 10,000-file tree "
          f"(median of {WRITES:,})")
    print(f"  not forked              {plain:9.2f} us")
    print(f"  first write of a fork   {forked:9.2f} us   {forked / plain:.1f}x")

    built, forked_growth, changed = bench_memory()
    size = BIG_FILES * BIG_FILE
    print(f"\nresident memory growth, {BIG_FILES} files of {BIG_FILE // MIB} MiB "
          f"({size / MIB:,.0f} MiB)")
    print(f"  building it             {built / MIB:9.1f} MiB")
    print(f"  fork()                  {forked_growth / MIB:9.1f} MiB")
    print(f"  one byte of one file    {changed / MIB:9.1f} MiB")
    nothing_copied = forked_growth < MIB
    one_file = changed < 1.5 * BIG_FILE
    met += [nothing_copied, one_file]
    print(f"  fork() <1 MiB: {'met' if nothing_copied else 'MISSED'}; "
          f"change <1.5 files ({1.5 * BIG_FILE / MIB:.0f} MiB): {'met' if one_file else 'MISSED'}")

    rows, note = bench_fixture()
    print(f"\n{TESTS} tests, each with a fresh tree of {FIXTURE_DIRS * FIXTURE_FILES:,} files "
          f"in {FIXTURE_DIRS} directories")
    fork_total = rows[0][1]
    for name, total in rows:
        print(f"  {name:15} total {total * 1e3:9.1f} ms   per test {total * 1e3 / TESTS:8.3f} ms"
              f"   {total / fork_total:8.1f}x fork()")
    if note:
        print(f"  {note}")

    print(f"\n{sum(met)} of {len(met)} targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
