"""The example programs run and do what they show: quickstart to the end with
no warning, the shell over piped input, the session example as root."""

import os
import shutil
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def run_example(name, *args, stdin="", timeout=60):
    return subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error", os.path.join(EXAMPLES, name), *args],
        input=stdin,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=os.path.dirname(__file__),
    )


def test_quickstart():
    result = run_example("quickstart.py")
    assert (result.returncode, result.stderr) == (0, "")
    assert "second reader at 14 reads b'second line\\n'" in result.stdout
    assert "Read 12 bytes from file\n" in result.stdout
    assert result.stdout.endswith("left in /docs: (['empty.txt', 'notes.txt'], [])\n")


def test_datasets():
    if not os.environ.get("LUMVEX_NO_SKIPS"):
        for module in ("fsspec", "pandas", "pyarrow"):
            pytest.importorskip(module)
    result = run_example("datasets.py", timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    assert "total by year: {2024: 218.5, 2025: 308.75}\n" in result.stdout
    assert result.stdout.endswith("restored 2024 rows: 2\nrows seen by a worker: 3\n")


def test_shell_over_piped_input(tmp_path):
    history = tmp_path / "history"
    lines = "mkdir a\ncd a\ntouch f\nls\nnosuch\ncd /\npwd\n"
    result = run_example("shell.py", "--history", str(history), stdin=lines)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split("$ ") == [
        "lumvex:/",
        "lumvex:/",
        "lumvex:/a",
        "lumvex:/a",
        "f\nlumvex:/a",
        "error: nosuch: command not found\nlumvex:/a",
        "lumvex:/",
        "/\nlumvex:/",
        "\n",
    ]
    # exit leaves before the end of input.
    assert run_example("shell.py", "--history", str(history), stdin="exit\npwd\n").stdout == (
        "lumvex:/$ "
    )


@pytest.mark.skipif(
    os.geteuid() != 0 or not all(shutil.which(p) for p in ("id", "useradd", "su")),
    reason="the session example needs root, id, useradd and su",
)
def test_session(host_lock):
    result = run_example("session.py", "echo one; echo two >&2; id -un")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "$ echo one; echo two >&2; id -un"
    assert lines[1:3] == ["one", "two"] and lines[3].startswith("test_") and len(lines) == 4
