"""A tour of lumvex: an in-memory filesystem, file handles, a terminal over it.

Run it after installing the module: python examples/quickstart.py
(Nothing here touches the host's files; everything lives in this process.)
"""

import sys

import lumvex
from lumvex import Whence

print(f"lumvex {lumvex.__version__}")

# --- directories and files ------------------------------------------------------
fs = lumvex.PyFs()
fs.mkdir("/docs")
fs.mkdir("/docs/drafts")
fs.touch("/docs/empty.txt")  # a new, empty file
# A filesystem error is a ValueError with its kind in .errno (errno.EEXIST
# here); only a change past a limit (PyFs(max_bytes=...)) raises OSError.
try:
    fs.mkdir("/docs")
except ValueError as error:
    print("mkdir /docs again:", error)  # Resource already exists

# --- file handles ---------------------------------------------------------------
# A handle opened with "w" (or "rw") is exclusive; one with "r" is shared.
# Opening a missing file creates it. A handle is a context manager.
with fs.open("/docs/notes.txt", "w") as writer:
    writer.write(b"hello, lumvex\n")
    # write() does not move the offset: seek past what was written first.
    writer.seek(14, Whence.SEEK_SET)
    writer.write(b"second line\n")
    try:
        fs.open("/docs/notes.txt", "r")  # refused while the writer is open
    except ValueError as error:
        print("open for reading while written:", error)  # Resource is currently in use

first, second = fs.open("/docs/notes.txt", "r"), fs.open("/docs/notes.txt", "r")
with first, second:  # any number of readers at once
    # read() prints "Read {n} bytes from file" on the process's standard
    # output (descriptor 1) after each read; flush ours first to keep order.
    sys.stdout.flush()
    print("first reader:", first.read(5))
    second.seek(12, Whence.SEEK_END)  # 12 bytes back from the end
    print("second reader at", second.tell(), "reads", second.read(100))
    try:
        fs.open("/docs/notes.txt", "w")
    except ValueError as error:
        print("open for writing while read:", error)

# --- listing and the tree ---------------------------------------------------------
files, directories = fs.listdir("/docs")  # files first, each list in creation order
print("files:", files, "directories:", directories)
print(fs.tree("/"), end="")
print(fs.tree("/docs", ident="| "), end="")

# --- the terminal -----------------------------------------------------------------
term = lumvex.PyTerm(fs)  # its own current directory, over the same files
for line in [
    "cd docs",
    "pwd",
    "ls",
    "cat notes.txt",
    "mkdir drafts/old",
    "rm -r drafts",
    "echo 'quoted  words' stay",
    "help",
]:
    output = term.exec(line)
    print(f"$ {line}")
    if output:
        print(output, end="" if output.endswith("\n") else "\n")
for line in ["cat missing.txt", "rm", "frobnicate"]:
    try:
        term.exec(line)
    except ValueError as error:
        print(f"$ {line}\nerror: {error}".rstrip())

print("left in /docs:", fs.listdir("/docs"))
