"""Cost of PyTerm.exec for the common command lines, set against the floor of
a trivial builtin call with one str argument (len(s)) measured in the same
run.

Usage: PYTHONPATH=<build dir> python bench/bench_term.py [--quick]

Prints one row per case with the time per call, the ratio to the floor and,
where there is one, the target ratio and whether it is met. Always exits 0.
"""

import sys
import timeit

import lumvex

REPEATS = 7


def per_call_ns(stmt, namespace, number):
    """Best time of one execution of `stmt`, in nanoseconds."""
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=REPEATS, number=number)) / number * 1e9


def main():
    quick = "--quick" in sys.argv[1:]
    scale = 10 if quick else 1
    fs = lumvex.PyFs()
    term = lumvex.PyTerm(fs)
    deep = lumvex.PyTerm(fs)
    for line in ["mkdir a", "mkdir a/b", "cd a", "cd b", "mkdir c", "cd c"]:
        deep.exec(line)

    # A directory of 1,000 entries: 500 files, then 500 directories.
    term.exec("mkdir big")
    term.exec("cd big")
    for i in range(500):
        term.exec(f"touch f{i:04}")
        term.exec(f"mkdir d{i:04}")
    term.exec("cd /")

    has_open = hasattr(fs, "open")
    if has_open:
        handle = fs.open("/page", "w")
        handle.write(bytes(range(32, 127)) * 43 + b"\n" * 11)  # 4,096 bytes
        handle.close()

    namespace = {"ex": term.exec, "deep": deep.exec, "ln": len, "s": "pwd"}
    floor = per_call_ns("ln(s)", namespace, 1_000_000 // scale)

    # (label, statement, executions timed, target ratio or None)
    cases = [
        ("pwd", "ex('pwd')", 200_000, 30),
        ("pwd at depth 3", "deep('pwd')", 200_000, None),
        ("echo hello world", "ex('echo hello world')", 200_000, 30),
        ("ls of 1,000 entries", "ex('ls big')", 500, None),
        ("mkdir/rm pair", "ex('mkdir x'); ex('rm x')", 50_000, 100),
        ("mkdir + rm -r of a dir with a file",
         "ex('mkdir x'); ex('touch x/f'); ex('rm -r x')", 20_000, None),
        ("unknown command (ValueError)",
         "try:\n    ex('nosuch')\nexcept ValueError:\n    pass", 200_000, None),
    ]
    if has_open:
        cases.insert(4, ("cat of a 4 KiB file", "ex('cat page')", 50_000, None))
    else:
        print("PyFs.open is missing: the cat case is left out\n")

    rows = []
    for label, stmt, number, target in cases:
        ns = per_call_ns(stmt, namespace, max(1, number // scale))
        rows.append((label, ns, ns / floor, target))

    width = max(len(label) for label, *_ in rows)
    print(f"floor len(s): {floor:.1f} ns per call\n")
    print(f"{'case':<{width}}  {'ns/call':>10}  {'x floor':>8}  {'target':>7}  met")
    print("-" * (width + 38))
    for label, ns, ratio, target in rows:
        if target is None:
            target_text, met = "-", "-"
        else:
            target_text, met = f"<{target}x", "yes" if ratio < target else "NO"
        print(f"{label:<{width}}  {ns:>10.0f}  {ratio:>8.1f}  {target_text:>7}  {met}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
