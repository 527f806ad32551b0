"""An interactive shell over lumvex's terminal, on a fresh in-memory filesystem.

    python examples/shell.py [--history FILE]

Each line goes to PyTerm.exec; its output is printed, an error text is shown
as such. The prompt shows the current directory. Line editing and history
come from readline where the interpreter has it (the history is kept in FILE
across runs when --history is given). Ctrl-D (end of input) or `exit` leaves;
Ctrl-C drops the line being typed.
"""

import argparse
import sys

import lumvex

try:
    import readline
except ImportError:  # not every interpreter has it; plain input() still works
    readline = None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--history", metavar="FILE", help="keep the line history in FILE")
    args = parser.parse_args()
    if readline is not None and args.history:
        try:
            readline.read_history_file(args.history)
        except OSError:
            pass  # no history yet

    term = lumvex.PyTerm(lumvex.PyFs())
    if sys.stdin.isatty():
        print(f"lumvex {lumvex.__version__} shell: `help` lists the commands, Ctrl-D leaves.")
    try:
        while True:
            try:
                line = input(f"lumvex:{term.exec('pwd')}$ ")
            except KeyboardInterrupt:
                print()
                continue
            except EOFError:
                print()
                break
            if line.strip() == "exit":
                break
            try:
                output = term.exec(line)
            except ValueError as error:
                print(f"error: {error}".rstrip("\n"))
                continue
            if output:
                print(output, end="" if output.endswith("\n") else "\n")
    finally:
        if readline is not None and args.history:
            readline.write_history_file(args.history)


if __name__ == "__main__":
    main()
