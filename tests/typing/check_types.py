"""Checks the type stubs of the installed lumvex wheel: mypy's stubtest
against the module, then mypy and pyright (basedpyright, the pyright engine
packaged with its own node) on a user script that must pass and on one whose
marked lines, and only those, must be reported.

Run with the interpreter of the environment that holds the wheel, mypy and
basedpyright: python tests/typing/check_types.py. Prints one line per check;
exits 1 if any fails."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GOOD = os.path.join(HERE, "user_code.py")
BAD = os.path.join(HERE, "user_code_errors.py")
MARK = "# expected error"


def run(*command):
    # Outside the source tree, so that the installed stubs are what is found.
    with tempfile.TemporaryDirectory() as cwd:
        result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def expected_lines():
    with open(BAD) as source:
        return {n for n, line in enumerate(source, 1) if line.rstrip().endswith(MARK)}


def reported_lines(output, pattern):
    return {int(m.group(1)) for m in re.finditer(pattern, output, re.MULTILINE)}


def main():
    python = sys.executable
    pyright = shutil.which("basedpyright", path=os.path.dirname(python)) or shutil.which(
        "basedpyright"
    )
    mypy_error = r"^" + re.escape(BAD) + r":(\d+): error:"
    pyright_error = r"^\s*" + re.escape(BAD) + r":(\d+):\d+ - error:"
    checks = [
        (
            "stubtest",
            [
                python,
                "-m",
                "mypy.stubtest",
                "lumvex",
                "--allowlist",
                os.path.join(HERE, "stubtest_allowlist.txt"),
            ],
            None,
        ),
        ("mypy --strict, correct code", [python, "-m", "mypy", "--strict", GOOD], None),
        ("mypy --strict, wrong code", [python, "-m", "mypy", "--strict", BAD], mypy_error),
    ]
    if pyright is None:
        print("FAILED: basedpyright is not installed")
        return 1
    config = os.path.join(HERE, "pyrightconfig.json")
    for label, path, pattern in [("correct", GOOD, None), ("wrong", BAD, pyright_error)]:
        checks.append(
            (
                f"pyright, {label} code",
                [pyright, "--pythonpath", python, "--project", config, path],
                pattern,
            )
        )

    failed = 0
    for label, command, pattern in checks:
        code, output = run(*command)
        if pattern is None:
            ok = code == 0
            detail = "" if ok else output
        else:
            got, want = reported_lines(output, pattern), expected_lines()
            ok = code != 0 and got == want
            detail = (
                "" if ok else f"errors on lines {sorted(got)}, expected {sorted(want)}\n{output}"
            )
        print(f"{'ok' if ok else 'FAILED'}: {label}")
        if not ok:
            print(detail.rstrip())
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
