"""The example programs run and do what they show: quickstart to the end with
no warning, the fork fixture's tests, the shell over piped input; as root, the
session example, an agent's tool backend, 20 sessions driven from asyncio, and
sessions on the nodes of a local Ray cluster."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def run_example(name, *args, stdin="", timeout=60, env=None):
    return subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error", os.path.join(EXAMPLES, name), *args],
        input=stdin,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=os.path.dirname(__file__),
        env=None if env is None else {**os.environ, **env},
    )


needs_sessions = pytest.mark.skipif(
    os.geteuid() != 0 or not all(shutil.which(p) for p in ("id", "useradd", "su")),
    reason="the session examples need root, id, useradd and su",
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


def test_fork_fixture():
    # The example runs pytest on its own tests: each gets a fork of one tree.
    result = run_example("fork_fixture.py")
    assert (result.returncode, result.stderr) == (0, ""), result.stdout
    assert re.search(r"^3 passed in ", result.stdout, re.MULTILINE), result.stdout


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


@needs_sessions
def test_session(host_lock):
    result = run_example("session.py", "echo one; echo two >&2; id -un")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "$ echo one; echo two >&2; id -un"
    assert lines[1:3] == ["one", "two"] and lines[3].startswith("test_") and len(lines) == 4


@needs_sessions
def test_agent_backend(host_lock):
    result = run_example("agent_backend.py", timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    calls = dict(
        (block.split("\n", 1)[0], block.split("\n", 1)[1])
        for block in result.stdout.split("--> ")[1:]
    )
    answers = list(calls.values())
    assert answers[2].endswith("/work\nhello from .venv\n[exit status 0]\n")
    assert answers[3].startswith("waiting\n") and "[interrupted after 1.0 s" in answers[3]
    assert answers[4] == "still hello in work\n[exit status 0]\n"  # state kept
    assert answers[6] == "200\n[exit status 0]\n"  # the server answered a later call
    assert '"GET / HTTP/1.1" 200' in answers[7] and "[server running]" in answers[7]
    assert answers[9] == "285\n\n" and "ZeroDivisionError" in answers[10]
    assert answers[11].startswith("1\n2\n") and answers[11].endswith("100000\n[exit status 0]\n")
    assert "bytes omitted ...]" in answers[11]
    assert answers[12] == "[server stopped: status -9, signal]\n"


@needs_sessions
def test_sessions_asyncio(host_lock):
    result = run_example("sessions_asyncio.py", timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[:21] == ["20 sessions, 20 accounts"] + [
        f"session {n:2}: {n} squared is {n * n}" for n in range(20)
    ]
    assert lines[21:24] == [
        "all 20 commands ran at once: True",
        "timeout: output so far b'started\\n'",
        "after it: b'0\\n'",  # nothing of the timed-out command is left
    ]
    assert re.fullmatch(r"raw stream: \d+ bytes up to the marker", lines[24])
    assert lines[25:] == ["closed 20 sessions"]


@needs_sessions
def test_templates(host_lock):
    result = run_example("templates.py", timeout=180)
    assert (result.returncode, result.stderr) == (0, "")
    assert [line for line in result.stdout.splitlines() if line.startswith("test_")] == [
        f"test_{n}: passed" for n in range(8)
    ]


@needs_sessions
def test_sessions_ray(host_lock):
    # Ray's files (sockets, logs) go to a short directory of the test's own.
    with tempfile.TemporaryDirectory(prefix="ray-", ignore_cleanup_errors=True) as ray_files:
        result = run_example("sessions_ray.py", timeout=300, env={"RAY_TMPDIR": ray_files})
    assert result.returncode == 0, result.stderr
    *lines, summary = result.stdout.splitlines()
    assert summary == "3 nodes, 12 commands, 6 sessions"
    outcomes = [
        r"id -un -> 0 b'(?P=user)\\n' b''",
        r"echo \$\(\(6 \* 7\)\) >&2 -> 0 b'' b'42\\n'",
        r"ls /root -> 2 b'' b.+",  # refused, whatever the language
        r"sleep 30 -> timeout b'' b''",
    ]
    nodes = []
    for n, line in enumerate(lines):
        where = r"node (?P<node>\w+) \(.*\) (?P<user>test_\w+): \$ "
        match = re.fullmatch(where + outcomes[n % 4], line)
        assert match, line
        nodes.append(match["node"])
    assert nodes == [node for node in sorted(set(nodes)) for _ in outcomes]
