"""Started commands and persistent shells, on real sessions (root only):
state kept across many commands (against a model of it), timeouts that
interrupt as Ctrl-C and keep the shell, framing that output and stdin cannot
break, live output, kill() of a whole tree, a REPL over a pseudo-terminal,
and the ends that close() and exit give."""

import os
import random
import re
import select
import signal
import subprocess
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import lumvex
from test_sessions import needs_host
from test_walls import open_session

pytestmark = needs_host


@pytest.fixture(scope="module")
def session():
    s = open_session(lumvex.PyUserPool(network=False))
    yield s
    s.close()


@pytest.fixture
def shell(session):
    with session.shell() as sh:
        yield sh


def test_state_persists_against_a_model(session, shell):
    """100 random steps, each changing one piece of the shell's state or
    checking all of it against what a model says it must be."""
    shell.run("/usr/bin/python3 -m venv --without-pip venv && mkdir -p a/b c", check=True)
    rng = random.Random(26)
    model = {"dir": session.home, "var": "", "fn": "", "alias": "", "umask": "0022", "venv": False, "pipefail": False}
    steps = {
        "cd": lambda: rng.choice(["a", "a/b", "c", session.home]),
        "var": lambda: rng.choice(["x y", "1", "$HOME'q"]),
        "fn": lambda: rng.choice(["one", "two"]),
        "alias": lambda: rng.choice(["A1", "A2"]),
        "umask": lambda: rng.choice(["0077", "0027", "0022"]),
        "venv": lambda: rng.choice([True, False]),
        "pipefail": lambda: rng.choice([True, False]),
    }
    for _ in range(100):
        kind = rng.choice([*steps, "check"])
        if kind == "check":
            result = shell.run(
                'pwd; printf "%s\\n" "$V"; f; ll; umask; [ -n "$VIRTUAL_ENV" ] && echo venv || echo none; '
                "false | true; echo $?"
            )
            expected = [
                model["dir"],
                model["var"],
                model["fn"],
                model["alias"],
                model["umask"],
                "venv" if model["venv"] else "none",
                "1" if model["pipefail"] else "0",
            ]
            assert result.stdout.decode().splitlines() == expected
            continue
        value = steps[kind]()
        command = {
            "cd": lambda v: f"cd {v if v.startswith('/') else session.home + '/' + v}",
            "var": lambda v: "export V=" + "'" + v.replace("'", "'\\''") + "'",
            "fn": lambda v: f"f() {{ echo {v}; }}",
            "alias": lambda v: f"alias ll='echo {v}'",
            "umask": lambda v: f"umask {v}",
            "venv": lambda v: f"source {session.home}/venv/bin/activate" if v else "deactivate 2>/dev/null; true",
            "pipefail": lambda v: "set -o pipefail" if v else "set +o pipefail",
        }[kind](value)
        result = shell.run(command)
        assert (result.returncode, result.stderr) == (0, b""), command
        model["dir" if kind == "cd" else kind] = (
            value if kind != "cd" or value.startswith("/") else session.home + "/" + value
        )
    # The variable was exported: a child sees it.
    assert shell.run("bash -c 'echo \"$V\"'").stdout.decode().strip() == model["var"]


def test_timeout_interrupts_like_ctrl_c_and_keeps_the_shell(shell):
    shell.run("cd /tmp && KEPT=yes; sleep 300 & BG=$!")
    start = time.monotonic()
    with pytest.raises(subprocess.TimeoutExpired) as info:
        shell.run("echo so far; python3 -c 'import time; time.sleep(100)'", timeout=0.3)
    assert time.monotonic() - start < 1.3  # SIGINT reached it at once
    assert info.value.output == b"so far\n" and b"KeyboardInterrupt" in info.value.stderr
    assert info.value.killed_by == "timeout"
    assert shell.run("echo $?; pwd; echo $KEPT").stdout == b"130\n/tmp\nyes\n"
    # A loop of the shell's own is broken off too; one that ignores SIGINT
    # is killed after the grace period; the shell stays either way.
    for command in ("while :; do :; done", "trap '' INT; sleep 100", "for i in 1 2; do sleep 100; done"):
        with pytest.raises(subprocess.TimeoutExpired):
            shell.run(command, timeout=0.2)
        assert shell.run("trap - INT; echo $KEPT").stdout == b"yes\n"
    # A job left in the background by an earlier command is not the timed
    # out command's.
    assert shell.run("kill -0 $BG && echo alive; kill $BG").stdout == b"alive\n"


@pytest.mark.parametrize(
    "command, kwargs, out, err, code",
    [
        ("printf 'no newline'", {}, b"no newline", b"", 0),
        ("cat; echo after", {}, b"after\n", b"", 0),  # stdin is not the next command
        ("read x; echo \"[$x]\"", {}, b"[]\n", b"", 0),
        ("cat", {"input": b"a\x00b'\\c\n\xff"}, b"a\x00b'\\c\n\xff", b"", 0),
        ("echo LUMVEX_0 0; echo LUMVEX_ >&2; (exit 3)", {}, b"LUMVEX_0 0\n", b"LUMVEX_\n", 3),
        ("echo 'quote '\\'' and $(echo sub)'", {}, b"quote ' and $(echo sub)\n", b"", 0),
        ("if true\nthen echo two lines\nfi", {}, b"two lines\n", b"", 0),
        ("echo (", {}, b"", None, 2),  # a syntax error is the command's
        ("set -x; echo traced; set +x", {}, b"traced\n", None, 0),
        ("unset PROMPT_COMMAND; echo kept", {}, b"kept\n", None, 0),  # it stays
    ],
)
def test_framing(shell, command, kwargs, out, err, code):
    result = shell.run(command, **kwargs)
    assert (result.stdout, result.returncode) == (out, code)
    if err is not None:
        assert result.stderr == err
    assert shell.run("echo next").stdout == b"next\n"


@pytest.fixture(scope="module")
def long_shell(session):
    with session.shell() as sh:
        yield sh


def octal(data):
    return "'" + "".join("\\0%03o" % byte for byte in data) + "'"


# Bytes with many of what could confuse a framing: marker-like text, status
# lines, quotes, backslashes, NULs, lines without their end.
pieces = st.lists(
    st.sampled_from([b"LUMVEX_", b"LUMVEX_0 0\n", b" 0\n", b"\n", b"\x00", b"'", b"\\", b"."]) | st.binary(max_size=40),
    max_size=8,
).map(b"".join)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(out=pieces, err=pieces, code=st.integers(0, 255), input=st.none() | pieces, max_output=st.integers(0, 200))
def test_framing_keeps_every_byte_and_status(long_shell, out, err, code, input, max_output):
    result = long_shell.run(
        f"printf %b {octal(out)}; printf %b {octal(err)} >&2; cat; (exit {code})",
        input=input,
        max_output=max_output,
    )

    def kept(data):
        head = max_output - max_output // 2
        return data if len(data) <= max_output else data[:head] + data[len(data) - (max_output - head) :]

    whole_out = out + (input or b"")
    assert (result.returncode, result.stdout, result.stderr) == (code, kept(whole_out), kept(err))
    assert (result.stdout_size, result.stderr_size) == (len(whole_out), len(err))
    assert result.truncated == (len(whole_out) > max_output or len(err) > max_output)


def test_check_and_head_and_tail_output(shell):
    with pytest.raises(subprocess.CalledProcessError) as info:
        shell.run("echo o; echo e >&2; false", check=True)
    assert (info.value.returncode, info.value.output, info.value.stderr) == (1, b"o\n", b"e\n")
    result = shell.run("seq 1 200000; echo end >&2", max_output=1000)
    whole = b"".join(b"%d\n" % i for i in range(1, 200001))
    assert result.stdout == whole[:500] + whole[-500:]
    assert (result.truncated, result.stdout_size, result.stderr) == (True, len(whole), b"end\n")


def test_a_call_broken_off_by_an_exception_leaves_nothing_for_the_next(shell):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(KeyboardInterrupt):
            shell.run("echo early; sleep 100; echo never")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    start = time.monotonic()
    assert shell.run("echo next").stdout == b"next\n"
    assert time.monotonic() - start < 3


def test_exit_ends_that_shell_only(session):
    with session.shell() as one, session.shell() as two:
        assert one.pid != two.pid
        result = one.run("echo bye; exit 4")
        assert (result.returncode, result.stdout) == (4, b"bye\n")
        with pytest.raises(ValueError, match="the shell has ended"):
            one.run("true")
        assert two.run("echo still").stdout == b"still\n"


def test_started_commands(session):
    with session.start("echo out; echo err >&2; read line; echo got $line; exit 3", env={"X": "1"}) as p:
        assert p.poll() is None
        out, err = p.communicate(b"in\n", timeout=10)
    assert (out, err, p.returncode, p.killed_by) == (b"out\ngot in\n", b"err\n", 3, None)
    assert set(p.usage) == {"memory_peak", "cpu_seconds", "oom_kills"}
    with pytest.raises(OSError):
        session.start("true", cwd="missing")
    p = session.start("python3 -c 'import time; time.sleep(100)'")
    with pytest.raises(subprocess.TimeoutExpired):
        p.wait(0.1)
    start = time.monotonic()
    p.send_signal(signal.SIGINT)
    assert p.wait(5) == -signal.SIGINT and time.monotonic() - start < 1
    assert p.killed_by == "signal"
    p.close()


def test_a_shell_starts_commands_where_it_is(shell):
    shell.run("cd /tmp && export FROM_SHELL='a b' && unexported=1")
    with shell.start('pwd; echo "$FROM_SHELL" "${unexported-unset}"') as p:
        assert p.communicate(timeout=10) == (b"/tmp\na b unset\n", b"")


def test_live_output_arrives_in_chunks(session):
    p = session.start("for i in 1 2 3 4 5; do echo $i; sleep 1; done")
    chunks = []
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        ready, _, _ = select.select([p.stdout], [], [], 2)
        if ready:
            data = p.stdout.read(100)
            if not data:
                break
            chunks.append((time.monotonic(), data))
    assert b"".join(data for _, data in chunks) == b"1\n2\n3\n4\n5\n"
    assert len(chunks) >= 3 and chunks[-1][0] - chunks[0][0] > 2
    assert p.wait(5) == 0
    p.close()


def test_kill_ends_the_whole_tree_and_close_ends_the_rest():
    with open_session(lumvex.PyUserPool(network=False)) as s:
        p = s.start("setsid sleep 100 & nohup sleep 100 >/dev/null 2>&1 & sleep 100")
        others = [s.start("sleep 100") for _ in range(3)]
        time.sleep(0.3)
        assert s.run("pgrep -c sleep").stdout == b"6\n"
        p.kill()
        assert p.wait(5) == -signal.SIGKILL
        assert s.run("pgrep -c sleep").stdout == b"3\n"
        p.kill()  # nothing left: fine
        # Handles dropped while their commands ran: a later start collects them.
        for _ in range(3):
            s.start("sleep 0.1")
        time.sleep(0.5)
        s.start("true").wait(5)
        assert zombie_children() == []
    for other in others:
        assert other.wait(5) == -signal.SIGKILL and other.killed_by == "close"


def zombie_children():
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] == "Z" and int(fields[1]) == os.getpid():
            found.append(entry)
    return found


def test_a_repl_over_a_terminal(session):
    p = session.start("/usr/bin/python3 -q -i", pty=True)
    assert p.stderr is None
    p.expect(b">>> ", timeout=20)
    p.stdin.write(b"total = 0\n")
    p.expect(b">>> ", timeout=10)
    for i in range(10):
        p.stdin.write(b"total += %d; print('total', total)\n" % i)
        found = p.expect(re.compile(rb"total (\d+)\r\n"), timeout=10)
        assert int(found.match.group(1)) == sum(range(i + 1))
        assert found.before.startswith(b"total += ")  # the terminal echoes
        p.expect(b">>> ", timeout=10)
    p.stdin.write(b"import os; os.isatty(0)\n")
    assert p.expect(b">>> ", timeout=10).before.endswith(b"True\r\n")
    with pytest.raises(subprocess.TimeoutExpired):
        p.expect(b"never", timeout=0.2)
    p.stdin.write(b"exit()\n")
    with pytest.raises(EOFError):
        p.expect(b"never", timeout=10)
    assert p.wait(5) == 0
    p.close()
