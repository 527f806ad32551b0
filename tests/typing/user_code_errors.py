"""Mistakes that the type checkers must report, each on a line marked
`# expected error` (and no others)."""

import lumvex

fs = lumvex.PyFs()
fs.mkdir(123)  # expected error
fs.remove("/a")  # expected error
handle = fs.open("/a", "w")
handle.write("text")  # expected error
handle.seek(0, 0)  # expected error
text: bytes = lumvex.PyTerm(fs).exec("ls")  # expected error
lumvex.PyTerminalSession(fs)  # expected error
fs.rename("/a")  # expected error
handle.readinto(5)  # expected error


def commands(session: lumvex.PyTerminalSession) -> str:
    session.run(["ls", "-l"])  # expected error
    session.run("ls", 5)  # expected error
    session.write_file("f", "text")  # expected error
    peak: str = session.run("ls").usage["memory_peak"]  # expected error
    session.start(["ls"])  # expected error
    session.shell().run("ls").usage  # expected error
    return session.run("ls").stdout  # expected error
