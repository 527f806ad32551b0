"""Persistent shells and started commands (root only), side by side in one
run: the median of

- shell.run("true") on a persistent shell;
- the same state kept the way it had to be without one: session.run of the
  command wrapped in sourcing the saved state and saving it again;
- session.start("true") and wait();
- session.run("true"), and subprocess.run(["/bin/true"]) in this process.

Then 1,000 shell commands and 200 started ones, after which this process's
descriptors and the host's process count must be as they were.

    sudo python bench/bench_shell.py [--repeat 300]
"""

import argparse
import os
import subprocess
import time

import lumvex
from bench_common import median_ms

# Saves what a shell keeps (cwd, variables, functions, aliases, options,
# umask) after the command and restores it before: one command of a shell
# without a persistent one.
STATEFUL = r"""
[ -f ~/.state ] && . ~/.state 2>/dev/null
{command}
__status=$?
{{ declare -p | grep -v -e '^declare -[a-zA-Z]*r' -e ' BASH' -e ' __status='; declare -f; alias -p
   set +o; umask -p; printf 'cd %q\n' "$PWD"; }} > ~/.state 2>/dev/null
exit $__status
"""


def started_true(session):
    command = session.start("true")
    command.wait(10)
    command.close()


def host_processes():
    return sum(name.isdigit() for name in os.listdir("/proc"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=300)
    args = parser.parse_args()
    with lumvex.PyTerminalSession(lumvex.PyUserPool()) as session:
        shell = session.shell()
        for _ in range(20):  # warm up
            shell.run("true")
            session.run("true")
            started_true(session)
        rows = [
            ("shell.run('true')", median_ms(lambda: shell.run("true"), args.repeat)),
            (
                "before: run('true') keeping state by saving it",
                median_ms(lambda: session.run(STATEFUL.format(command="true")), args.repeat // 3),
            ),
            ("start('true') + wait()", median_ms(lambda: started_true(session), args.repeat)),
            ("session.run('true')", median_ms(lambda: session.run("true"), args.repeat)),
            ("subprocess.run(['/bin/true'])", median_ms(lambda: subprocess.run(["/bin/true"]), args.repeat)),
        ]
        for name, ms in rows:
            print(f"{name:48} {ms:8.3f} ms")
        print(f"session.run / subprocess.run: {rows[3][1] / rows[4][1]:.2f}x")

        fds, processes = len(os.listdir("/proc/self/fd")), host_processes()
        for _ in range(1000):
            shell.run("true")
        for _ in range(200):
            started_true(session)
        shell.close()
        time.sleep(0.5)
        print(
            f"after 1,000 shell and 200 started commands: descriptors {fds} -> "
            f"{len(os.listdir('/proc/self/fd'))}, host processes {processes} -> {host_processes()}"
        )


if __name__ == "__main__":
    main()
