#!/usr/bin/env python3
"""Plants faults in the C++ core and sandbox, one at a time, and tells which
the tests catch.

    scripts/mutate.py [--area fs|sandbox] [--only TEXT] [--equivalent] [--list]

Each mutant of scripts/mutants.toml names a file, a piece of its text (which
must occur there exactly once) and a kind of change, which gives the new
text unless the mutant spells it out:

    flip       the first comparison turned round (< into >=, == into !=, ...)
    boundary   the first comparison's boundary moved (< into <=, >= into >, ...)
    negate     the first `if (...)` condition negated: its branches swapped
    drop       the text removed (a call, a statement, a guard)
    drop-flag  the flag named by `flag` taken out of a `|` expression
    replace    the text replaced by `to`

For each mutant the script patches the file, rebuilds what changed in
build/mutate (ninja, -j2; the module too, and the tests of the area), runs
the area's tests, fastest first, until one fails, and puts the file back
(also when interrupted). A mutant is CAUGHT when a test fails or times out,
MISSED when every test passes, and NOT BUILT when the build fails (counted
apart: the compiler caught it). Mutants that cannot change what the code
does carry `equivalent = "why"`; they are listed, not run (--equivalent runs
them too, to check that they do survive). The score of an area is caught /
(caught + missed).

Tests that make host accounts or sessions run under the host-wide lock
(LUMVEX_NAME_SEQUENCE_LOCK, /run/lock/lumvex-name-sequence.lock unless set),
taken for each run of them only; --no-host leaves them out (a full test run
elsewhere holds the lock for its whole length).
"""

import argparse
import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "scripts" / "mutants.toml"
BUILD = ROOT / "build" / "mutate"
TIMEOUT = 180  # seconds for one test command; longer counts as caught (a hang)

FLIPS = {"==": "!=", "!=": "==", "<=": ">", ">=": "<", "<": ">=", ">": "<="}
BOUNDARIES = {"<=": "<", ">=": ">", "<": "<=", ">": ">="}
# A comparison operator: not part of <<, >>, ->, <=> nor of a template's <...>
# (the mutants' anchors are chosen so that the first match is the one meant).
COMPARISON = re.compile(r"(?<![<>=!-])(==|!=|<=|>=|<|>)(?![<>=])")


def mutated_text(mutant):
    at, kind = mutant["at"], mutant["kind"]
    if "to" in mutant:
        return mutant["to"]
    if kind in ("flip", "boundary"):
        table = FLIPS if kind == "flip" else BOUNDARIES
        match = next((m for m in COMPARISON.finditer(at) if m.group(1) in table), None)
        if match is None:
            raise ValueError(f"no comparison in {at!r}")
        return at[:match.start()] + table[match.group(1)] + at[match.end():]
    if kind == "negate":
        start = at.find("if (")
        if start < 0:
            raise ValueError(f"no `if (` in {at!r}")
        depth, i = 0, start + 3
        for i in range(start + 3, len(at)):
            depth += {"(": 1, ")": -1}.get(at[i], 0)
            if depth == 0:
                break
        else:
            raise ValueError(f"unbalanced condition in {at!r}")
        return at[:start + 4] + "!(" + at[start + 4:i] + "))" + at[i + 1:]
    if kind == "drop":
        return ""
    if kind == "drop-flag":
        flag = re.escape(mutant["flag"])
        new, count = re.subn(rf"{flag}\s*\|\s*|\s*\|\s*{flag}\b", "", at, count=1)
        if count == 0:
            raise ValueError(f"no {mutant['flag']} in {at!r}")
        return new
    raise ValueError(f"unknown kind {kind!r} (give `to`)")


def run(command, log, timeout=TIMEOUT, env=None):
    """Runs `command`, its output appended to `log`; True if it succeeded,
    False if it failed, None if it timed out."""
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(map(str, command))}\n")
        out.flush()
        try:
            return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, timeout=timeout,
                                  env=env, cwd=ROOT / "tests" / "python").returncode == 0
        except subprocess.TimeoutExpired:
            return None


def configure(log):
    BUILD.mkdir(parents=True, exist_ok=True)
    command = ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
               "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DLUMVEX_BUILD_TESTS=ON",
               "-DLUMVEX_BUILD_PYTHON=ON", f"-DPython_EXECUTABLE={sys.executable}"]
    if not run(command, log):
        sys.exit(f"cannot configure {BUILD} (see {log})")


def build(targets, log):
    return run(["ninja", "-C", str(BUILD), "-j", os.environ.get("LUMVEX_JOBS", "2")] + targets,
               log)


def test_commands(group, groups, host=True):
    """The area's test commands, fastest first, each with whether it needs
    the host-wide lock (left out without `host`)."""
    tests = dict(groups[group])
    if not host:
        tests["cpp_host"], tests["pytest_host"] = [], []
    commands = []
    for name in tests.get("cpp", []):
        commands.append((name, [str(BUILD / "tests" / "cpp" / name), "--gtest_brief=1",
                                "--gtest_fail_fast"] + tests.get("gtest_args", []), False))
    for name in tests.get("cpp_host", []):
        commands.append((name, [str(BUILD / "tests" / "cpp" / name), "--gtest_brief=1",
                                "--gtest_fail_fast"], True))
    # A failing example is not shrunk (conftest.py's profile "mutate").
    pytest = [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
              "--hypothesis-profile=mutate"]
    for name in tests.get("pytest", []):
        commands.append((name, pytest + [name], False))
    for name in tests.get("pytest_host", []):
        commands.append((name, pytest + [name], True))
    return commands


def test_env():
    env = dict(os.environ)
    # The module and its helper as built here, and the companions' sources,
    # come before anything installed.
    env["PYTHONPATH"] = os.pathsep.join(
        [str(BUILD), str(ROOT / "python")] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.setdefault("LUMVEX_NAME_SEQUENCE_LOCK", "/run/lock/lumvex-name-sequence.lock")
    return env


def under_lock(command, env):
    return ["flock", env["LUMVEX_NAME_SEQUENCE_LOCK"]] + command


def targets_of(group, groups):
    tests = groups[group]
    return ["lumvex"] + tests.get("cpp", []) + tests.get("cpp_host", [])


@contextlib.contextmanager
def planted(path, old, new):
    original = path.read_bytes()
    text = original.decode()
    if text.count(old) != 1:
        raise ValueError(f"{path.relative_to(ROOT)}: {old!r} occurs {text.count(old)} times")
    line = text[:text.index(old)].count("\n") + 1
    try:
        path.write_text(text.replace(old, new, 1))
        yield line
    finally:
        path.write_bytes(original)
        # The build must see the file as changed again, whatever the clock.
        os.utime(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--area", action="append", help="only this area's mutants (repeatable)")
    parser.add_argument("--only", action="append",
                        help="only mutants whose file, kind, note or text contains this"
                             " (repeatable)")
    parser.add_argument("--equivalent", action="store_true",
                        help="run the mutants marked equivalent too")
    parser.add_argument("--no-host", action="store_true",
                        help="leave out the tests that make host accounts or sessions")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    args = parser.parse_args()

    data = tomllib.loads(DATA.read_text())
    groups, mutants = data["areas"], data["mutant"]
    chosen = []
    for m in mutants:
        where = f"{m['file']} {m['kind']} {m.get('note', '')} {m['at']}"
        if args.area and m["area"] not in args.area:
            continue
        if args.only and not any(text in where for text in args.only):
            continue
        chosen.append(m)
    if args.list:
        for m in chosen:
            flag = f" [equivalent: {m['equivalent']}]" if "equivalent" in m else ""
            print(f"{m['area']:8} {m['file']:32} {m['kind']:9} {m.get('note', '')}{flag}")
        return 0

    log = BUILD / "mutate.log"
    BUILD.mkdir(parents=True, exist_ok=True)
    log.write_text("")
    env = test_env()
    started = time.monotonic()
    configure(log)
    areas = sorted({m["area"] for m in chosen})
    print(f"Building the unchanged tree in {BUILD} ...", flush=True)
    if not build(sorted({t for a in areas for t in targets_of(a, groups)}), log):
        sys.exit(f"the unchanged tree does not build (see {log})")
    # The unchanged tree must pass what the mutants are judged by.
    for area in areas:
        for name, command, locked in test_commands(area, groups, not args.no_host):
            if not run(under_lock(command, env) if locked else command, log, env=env):
                sys.exit(f"{name} fails on the unchanged tree (see {log})")

    results = {a: {"CAUGHT": 0, "MISSED": 0, "NOT BUILT": 0, "EQUIVALENT": 0} for a in areas}
    for m in chosen:
        path = ROOT / m["file"]
        note = m.get("note", "")
        if "equivalent" in m and not args.equivalent:
            text = path.read_text()
            line = text[:text.index(m["at"])].count("\n") + 1 if m["at"] in text else "?"
            print(f"EQUIVALENT {m['file']}:{line} {m['kind']}: {note} ({m['equivalent']})",
                  flush=True)
            results[m["area"]]["EQUIVALENT"] += 1
            continue
        began = time.monotonic()
        with planted(path, m["at"], mutated_text(m)) as line:
            by = ""
            if not build(targets_of(m["area"], groups), log):
                verdict = "NOT BUILT"
            else:
                verdict = "MISSED"
                for name, command, locked in test_commands(m["area"], groups, not args.no_host):
                    ok = run(under_lock(command, env) if locked else command, log, env=env)
                    if not ok:
                        verdict, by = "CAUGHT", f" by {name}" + (" (timed out)" if ok is None
                                                                 else "")
                        break
        if "equivalent" in m:
            verdict = f"{verdict} (marked equivalent)"
        else:
            results[m["area"]][verdict] += 1
        print(f"{verdict} {m['file']}:{line} {m['kind']}: {note}{by}"
              f" [{time.monotonic() - began:.0f} s]", flush=True)
    # Put the build back in step with the unchanged files.
    build(sorted({t for a in areas for t in targets_of(a, groups)}), log)

    print()
    for area, r in results.items():
        judged = r["CAUGHT"] + r["MISSED"]
        score = f"{100 * r['CAUGHT'] / judged:.0f} %" if judged else "-"
        print(f"{area}: {r['CAUGHT']} caught, {r['MISSED']} missed, {r['EQUIVALENT']} equivalent,"
              f" {r['NOT BUILT']} not built: score {score}")
    print(f"Time: {time.monotonic() - started:.0f} s (log: {log})")
    return 0 if all(r["MISSED"] == 0 for r in results.values()) else 1


if __name__ == "__main__":
    # Killed, the script still puts the planted file back.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if shutil.which("ninja") is None or shutil.which("cmake") is None:
        sys.exit("cmake and ninja are needed")
    sys.exit(main())
