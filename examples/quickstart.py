"""A short tour of lumvex: an in-memory filesystem and a terminal over it."""

import lumvex

fs = lumvex.PyFs()
fs.mkdir("/docs")
fs.touch("/docs/empty.txt")

handle = fs.open("/docs/hello.txt", "rw")
handle.write(b"hello, lumvex\n")
handle.close()

files, directories = fs.listdir("/docs")
print("files in /docs:", files, "directories:", directories)
print(fs.tree("/"), end="")

term = lumvex.PyTerm(fs)
for line in ["cd docs", "pwd", "ls", "cat hello.txt", "echo 'quoted  words' stay"]:
    print(f"$ {line}")
    output = term.exec(line)
    if output:
        print(output, end="" if output.endswith("\n") else "\n")

try:
    term.exec("cat missing.txt")
except ValueError as error:
    print("error:", error)

print(lumvex.__all__)
