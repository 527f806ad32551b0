"""Correct use of every class: must type-check cleanly (mypy --strict,
pyright) with nothing but the installed wheel."""

import os
import pickle
import re
import selectors
import subprocess
from typing import assert_type

import lumvex


def files(fs: lumvex.PyFs) -> str:
    fs.mkdir("/docs")
    fs.touch(path="/docs/empty.txt")
    with fs.open("/docs/a.txt", "rw") as handle:
        assert_type(handle, lumvex.PyFileHandle)
        assert_type(handle.write(b"hello"), int)
        handle.seek(2, lumvex.Whence.SEEK_SET)
        assert_type(handle.read(10), bytes)
        assert_type(handle.tell(), int)
        assert_type(handle.id(), int)
        assert_type(handle.readinto(bytearray(4)), int)
        assert_type(handle.readinto(memoryview(bytearray(4))), int)
    fs.rename("/docs/a.txt", dst="/docs/b.txt")
    info = fs.stat("/docs/b.txt")
    assert_type(info, os.stat_result)
    assert_type(info.st_mtime, float)
    copy: lumvex.PyFs = pickle.loads(pickle.dumps(fs))
    assert_type(copy.listdir("/"), tuple[list[str], list[str]])
    files_, directories = fs.listdir("/docs")
    assert_type(files_, list[str])
    assert_type(directories, list[str])
    fs.remove("/docs", recurse=True)
    assert int(lumvex.Whence.SEEK_END) == 2 and lumvex.Whence.SEEK_CUR == 1
    return fs.tree("/", ident="> ") + fs.tree("/") + str(fs)


def terminal(fs: lumvex.PyFs) -> str:
    term = lumvex.PyTerm(fs)
    try:
        return term.exec("ls")
    except ValueError as error:
        return str(error)


def session(pool: lumvex.PyUserPool) -> bytes:
    with lumvex.PyTerminalSession(pool) as s, selectors.DefaultSelector() as selector:
        s.write(b"echo hi\n")
        selector.register(s, selectors.EVENT_READ)
        assert_type(s.fileno(), int)
        if selector.select(timeout=1.0):
            return s.read(4096) + s.read_err(0)
    return b""


def commands(session: lumvex.PyTerminalSession, fs: lumvex.PyFs) -> int:
    result = session.run("make", timeout=2.5, input=b"", env={"A": "1"}, cwd="src", check=True)
    assert_type(result.stdout + result.stderr, bytes)
    assert isinstance(result, subprocess.CompletedProcess)
    omitted = result.stdout_size - len(result.stdout) if result.truncated else 0
    if result.killed_by == "oom":
        assert_type(result.usage["memory_peak"] + omitted, int)
    assert_type(result.usage["cpu_seconds"], float)
    session.write_file(session.home + "/f", bytearray(b"x"))
    session.upload(fs, "/docs", "docs")
    session.download("docs", fs, "/back")
    assert_type(session.read_file("f"), bytes)
    return result.returncode + session.uid + len(session.user)


def started(session: lumvex.PyTerminalSession) -> int:
    with session.shell() as shell:
        done = shell.run("cd /tmp", timeout=1.0, check=True)
        assert_type(done.stdout, bytes)
        killed: str | None = done.killed_by
        try:
            shell.run("sleep 9", timeout=0.1)
        except subprocess.TimeoutExpired as expired:
            print(expired.output, killed)
    with session.start("cat", env={"A": "1"}) as command:
        out, err = command.communicate(b"x", timeout=5)
        assert_type(out, bytes)
        selectors.DefaultSelector().register(command.stdout, selectors.EVENT_READ)
    repl = session.start("python3 -i", pty=True)
    found = repl.expect(re.compile(rb">>> "), timeout=5)
    assert_type(found.before, bytes)
    repl.send_signal(2)
    repl.kill()
    return repl.wait(1.5) + len(found.match.group())


def main() -> None:
    version: str = lumvex.__version__
    names: list[str] = lumvex.__all__
    try:
        print(files(lumvex.PyFs()), terminal(lumvex.PyFs()), version, names)
        print(session(lumvex.PyUserPool()))
    except lumvex.InternalError:
        raise


if __name__ == "__main__":
    main()
