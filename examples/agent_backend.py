"""The code-execution backend of an LLM agent, on one lumvex session (root).

The tools an agent calls, each returning the text the model reads:

- bash(command, timeout): a persistent shell (cd, exports, an activated venv
  stay between calls); a command that runs too long is interrupted as Ctrl-C
  would, and the shell stays; long output keeps its head and its tail.
- start(name, command), read(name), stop(name): commands in the background
  (a server, a watcher), their output as it arrives, and an end to all of
  what they started.
- python(line): one line for a Python REPL that keeps its variables,
  driven over a pseudo-terminal with expect.

Run as root, it plays a short scripted conversation and prints each call
and what the model would read.
"""

import re
import selectors
import subprocess

import lumvex

MAX_OUTPUT = 200  # bytes of each stream the model reads: first and last halves


def shown(data, size):
    """Output as the model reads it, with what was left out counted."""
    text = data.decode(errors="replace")
    if size > len(data):
        half = len(text) // 2
        text = f"{text[:half]}\n[... {size - len(data)} bytes omitted ...]\n{text[half:]}"
    return text


class AgentBackend:
    def __init__(self, pool):
        self.session = lumvex.PyTerminalSession(pool)
        self.shell = self.session.shell()
        self.background = {}
        self.repl = None

    def bash(self, command, timeout=30.0):
        try:
            result = self.shell.run(command, timeout=timeout, max_output=MAX_OUTPUT)
        except subprocess.TimeoutExpired as expired:
            return (
                shown(expired.output, expired.stdout_size)
                + shown(expired.stderr, expired.stderr_size)
                + f"[interrupted after {timeout} s; the shell keeps its state]"
            )
        except ValueError as ended:  # `exit` ended the shell: a new one
            self.shell = self.session.shell()
            return f"[{ended}; a new shell was started]"
        text = shown(result.stdout, result.stdout_size) + shown(result.stderr, result.stderr_size)
        return text + f"[exit status {result.returncode}]"

    def start(self, name, command):
        self.background[name] = self.session.start(command)
        return f"[started {name}, pid {self.background[name].pid}]"

    def read(self, name, wait=0.5):
        """What the background command wrote since the last read."""
        command = self.background[name]
        chunks = []
        with selectors.DefaultSelector() as selector:
            for stream in (command.stdout, command.stderr):
                selector.register(stream, selectors.EVENT_READ)
            while ready := selector.select(wait):
                for key, _ in ready:
                    data = key.fileobj.read(4096)
                    if not data:
                        selector.unregister(key.fileobj)
                    chunks.append(data)
                if not selector.get_map():
                    break
                wait = 0.05
        status = command.poll()
        state = "running" if status is None else f"ended, status {status}"
        return b"".join(chunks).decode(errors="replace") + f"[{name} {state}]"

    def stop(self, name):
        command = self.background.pop(name)
        command.kill()  # everything it started, detached or not
        status = command.wait(5)
        command.close()
        return f"[{name} stopped: status {status}, {command.killed_by}]"

    def python(self, line, timeout=30.0):
        if self.repl is None:
            self.repl = self.session.start("python3 -q -i", pty=True)
            self.repl.expect(b">>> ", timeout=timeout)
        self.repl.stdin.write(line.encode() + b"\n")
        answer = self.repl.expect(re.compile(rb"^(>>> |\.\.\. )", re.MULTILINE), timeout=timeout)
        # The terminal echoes the line first.
        text = answer.before.decode(errors="replace").replace("\r\n", "\n")
        return text.split("\n", 1)[1] if "\n" in text else text

    def close(self):
        for name in list(self.background):
            self.stop(name)
        if self.repl is not None:
            self.repl.kill()
            self.repl.wait(5)
            self.repl.close()
        self.shell.close()
        self.session.close()


CONVERSATION = [
    ("bash", "mkdir -p work && cd work && python3 -m venv --without-pip .venv"),
    ("bash", "source .venv/bin/activate && export GREETING=hello"),
    ("bash", 'pwd; echo "$GREETING from $(basename "$VIRTUAL_ENV")"'),
    ("bash", "echo waiting; sleep 100", 1.0),
    ("bash", "echo still $GREETING in $(basename $PWD)"),
    ("start", "server", "python3 -m http.server 8765 --bind 127.0.0.1"),
    (
        "bash",
        "for i in $(seq 50); do python3 -c \"import urllib.request as u; "
        "print(u.urlopen('http://127.0.0.1:8765/').status)\" 2>/dev/null && break; sleep 0.1; done",
    ),
    ("read", "server"),
    ("python", "numbers = [n * n for n in range(10)]"),
    ("python", "sum(numbers)"),
    ("python", "1 / 0"),
    ("bash", "seq 1 100000"),
    ("stop", "server"),
]


def main():
    backend = AgentBackend(lumvex.PyUserPool())
    try:
        for tool, *args in CONVERSATION:
            print(f"--> {tool}{tuple(args)}")
            print(getattr(backend, tool)(*args))
    finally:
        backend.close()


if __name__ == "__main__":
    main()
