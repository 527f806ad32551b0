"""Templates (root only), in one run:

- start: a session from a template of 10,000 files / 100 MiB against a plain
  session on the same (reused) account, median of --repeat starts;
- snapshot: of a session that changed 1 MiB in 100 files, from a template of
  1,000 files / 10 MiB and from one ten times larger;
- forks: 8 sessions started at once from one snapshot, each then running
  one command, in total (and the same for 8 plain sessions);
- memory: the host's shared memory (Shmem: tmpfs) for the template, and for
  8 such sessions that each changed 1 MiB, against one template plus their
  own changes.

    sudo python bench/bench_templates.py [--repeat 15] [--json]
"""

import argparse
import concurrent.futures
import json
import os
import statistics
import tempfile
import time

import lumvex

MiB = 1 << 20
CHANGE = "for i in $(seq 100); do head -c 10485 /dev/urandom > d00/f$i.new; done"


def shmem():
    with open("/proc/meminfo") as info:
        return next(int(line.split()[1]) * 1024 for line in info if line.startswith("Shmem:"))


def template_of(files, total):
    size = total // files
    with tempfile.TemporaryDirectory() as src:
        for d in range(files // 100):
            os.mkdir(os.path.join(src, f"d{d:02}"))
            for f in range(100):
                with open(os.path.join(src, f"d{d:02}", f"f{f:02}"), "wb") as out:
                    out.write(os.urandom(size))
        return lumvex.Template.from_directory(src)


def median_ms(samples):
    return round(statistics.median(samples) * 1000, 2)


def timed(call):
    t = time.perf_counter()
    value = call()
    return time.perf_counter() - t, value


def measure(repeat):
    pool = lumvex.PyUserPool()
    lumvex.PyTerminalSession(pool).close()  # the account exists and is free
    before = shmem()
    large = template_of(10_000, 100 * MiB)
    template_memory = shmem() - before
    small = template_of(1_000, 10 * MiB)

    plain, from_template = [], []
    for _ in range(repeat):
        took, session = timed(lambda: lumvex.PyTerminalSession(pool))
        plain.append(took)
        session.close()
        took, session = timed(lambda: lumvex.PyTerminalSession(pool, template=large))
        from_template.append(took)
        session.close()

    snapshots = {}
    for name, template in (("small", small), ("large", large)):
        samples = []
        for _ in range(max(3, repeat // 3)):
            with lumvex.PyTerminalSession(pool, template=template) as session:
                session.run(CHANGE, check=True, timeout=60)
                took, _ = timed(session.snapshot)
                samples.append(took)
        snapshots[name] = median_ms(samples)

    with lumvex.PyTerminalSession(pool, template=small) as session:
        session.run(CHANGE, check=True, timeout=60)
        snapshot = session.snapshot()
    def start_and_run(**options):
        # Started from 8 threads at once, then one command in each.
        t = time.perf_counter()
        with concurrent.futures.ThreadPoolExecutor(8) as workers:
            forks = list(workers.map(lambda _: lumvex.PyTerminalSession(pool, **options),
                                     range(8)))
            list(workers.map(lambda s: s.run("cat /etc/hostname > /dev/null", check=True),
                             forks))
        took = time.perf_counter() - t
        for s in forks:
            s.close()
        return took

    start_and_run(template=snapshot)  # the pool's 8 accounts exist
    fork_runs, plain_runs = [], []
    for _ in range(5):  # alternated, so that the host's load falls on both alike
        fork_runs.append(start_and_run(template=snapshot))
        plain_runs.append(start_and_run())

    # Memory: 8 sessions from the large template, each changing 1 MiB.
    before = shmem()
    sessions = [lumvex.PyTerminalSession(pool, template=large) for _ in range(8)]
    for s in sessions:
        s.run(CHANGE, check=True, timeout=60)
    eight = shmem() - before
    for s in sessions:
        s.close()
    own = 8 * 100 * 10485
    return {
        "start_plain_ms": median_ms(plain),
        "start_template_10k_100MiB_ms": median_ms(from_template),
        "start_extra_ms": round(median_ms(from_template) - median_ms(plain), 2),
        "start_plain_best_ms": round(min(plain) * 1000, 2),
        "start_template_best_ms": round(min(from_template) * 1000, 2),
        "snapshot_1MiB_100_files_on_10MiB_ms": snapshots["small"],
        "snapshot_1MiB_100_files_on_100MiB_ms": snapshots["large"],
        "fork_8_start_and_run_ms": median_ms(fork_runs),
        "plain_8_start_and_run_ms": median_ms(plain_runs),
        "fork_8_start_and_run_best_ms": round(min(fork_runs) * 1000, 2),
        "plain_8_start_and_run_best_ms": round(min(plain_runs) * 1000, 2),
        "template_100MiB_shmem_MiB": round(template_memory / MiB, 1),
        "eight_sessions_extra_shmem_MiB": round(eight / MiB, 1),
        "eight_sessions_own_changes_MiB": round(own / MiB, 1),
        "memory_ratio_to_template_plus_changes": round(
            (template_memory + eight) / (template_memory + own), 3),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    result = measure(args.repeat)
    if args.json:
        print(json.dumps(result))
    else:
        for key, value in result.items():
            print(f"{key:42} {value}")


if __name__ == "__main__":
    main()
