"""PyTerm: command lines run through exec, their output and error texts, the
current directory of each terminal, sharing a filesystem, and argument
handling."""

import gc
import resource
import subprocess
import sys
import textwrap
import threading

import pytest

import lumvex


TERM_DOC = "\nA structure representing a simple terminal\n"
EXEC_DOC = "\nExecute a command in the terminal.\n"
NOT_FORMATTED = "The command was not correctly formatted"
COMMAND_NAMES = {"cd", "ls", "pwd", "cat", "mkdir", "touch", "help", "rm", "echo"}


@pytest.fixture
def fs():
    return lumvex.PyFs()


@pytest.fixture
def term(fs):
    return lumvex.PyTerm(fs)


def run_all(term, lines):
    for line in lines:
        term.exec(line)


def error_of(term, line):
    with pytest.raises(ValueError) as info:
        term.exec(line)
    assert len(info.value.args) == 1
    return info.value.args[0]


def write_file(fs, path, data):
    handle = fs.open(path, "w")
    handle.write(data)
    handle.close()


# --- output of successful lines ----------------------------------------------
# (setup lines, line, output). Ids count from 1 in creation order.

OUTPUTS = [
    # blank lines and comments
    ([], "", ""),
    ([], " \t\n ", ""),
    ([], "# only a comment", ""),
    ([], "   # indented comment", ""),
    # pwd and echo
    ([], "pwd", "/"),
    ([], "pwd a b", "/"),
    ([], "echo 'a  b' c", "a  b c"),
    ([], "echo", ""),
    ([], "echo a # b", "a"),
    ([], "echo a#b", "a#b"),
    ([], "echo a'b c'd", "ab cd"),
    ([], "echo '' x", " x"),
    ([], r"echo a\ b \#c", "a b #c"),
    ([], r'echo "q\"\$\`\\ \n"', 'q"$`\\ \\n'),
    ([], "echo 'line\nbreak'", "line\nbreak"),
    ([], "echo \"x\\\ny\"", "xy"),
    ([], "echo \u00e9t\u00e9 \u2603", "\u00e9t\u00e9 \u2603"),
    ([], "'ec'ho hi", "hi"),
    ([], "e\\cho hi", "hi"),
    # ls
    ([], "ls", ""),
    (["touch b", "touch a", "mkdir d"], "ls", "b\na\nd/\n"),
    (["mkdir d", "touch c", "mkdir e"], "ls /", "c\nd/\ne/\n"),
    (["mkdir d", "touch d/x", "mkdir d/y"], "ls d", "x\ny/\n"),
    (["mkdir d", "cd d", "touch x"], "ls ..", "d/\n"),
    (["mkdir d", "cd d", "touch x"], "ls .", "x\n"),
    (["mkdir d", "cd d", "touch x"], "ls ''", "x\n"),
    (["mkdir d"], "ls d extra words", ""),
    # mkdir and touch
    (["mkdir a", "mkdir a/b"], "ls a", "b/\n"),
    (["mkdir a", r"mkdir 'a\c'"], "ls a", "c/\n"),
    (["mkdir a b"], "ls", "a/\n"),
    (["mkdir a", "cd a", "mkdir /b"], "ls /", "a/\nb/\n"),
    (["mkdir a", "cd a", "touch /f"], "ls /", "f\na/\n"),
    (["touch f g"], "ls", "f\n"),
    (["mkdir -r"], "ls", "-r/\n"),
    # cd
    (["mkdir a", "cd a b"], "pwd", "/a"),
    (["mkdir a", "cd a", "mkdir b", "cd b"], "pwd", "/a/b"),
    (["mkdir a", "cd a", "cd .."], "pwd", "/"),
    (["cd .."], "pwd", "/"),
    (["mkdir a", "cd a", "cd ."], "pwd", "/a"),
    (["mkdir a", "cd a", "cd ''"], "pwd", "/a"),
    (["mkdir a", "cd a", "mkdir b", "cd b", "cd /"], "pwd", "/"),
    (["mkdir a", "cd a", "mkdir b", "cd /a"], "pwd", "/a"),
    # cat
    (["touch f"], "cat f", ""),
    # rm
    (["touch f", "rm f"], "ls", ""),
    (["mkdir d", "touch d/x", "rm -r d"], "ls", ""),
    (["mkdir d", "touch d/x", "rm --recursive d"], "ls", ""),
    (["mkdir d", "touch d/x", "rm d -r"], "ls", ""),
    (["mkdir d", "rm d"], "ls", ""),
    (["mkdir -r", "rm -- -r"], "ls", ""),
    (["mkdir d", "touch d/x", "cd d", "rm x"], "ls", ""),
    (["mkdir d", "cd d", "touch x", "rm /d -r", "cd /"], "ls", ""),
]


@pytest.mark.parametrize("setup, line, output", OUTPUTS)
def test_output(term, setup, line, output):
    run_all(term, setup)
    assert term.exec(line) == output


def test_successful_commands_print_nothing(term):
    for line in ["mkdir a", "touch f", "cd a", "cd /", "rm f", "rm -r a"]:
        assert term.exec(line) == ""


def test_help_lists_each_command_once(term):
    text = term.exec("help")
    assert text.endswith("\n")
    lines = text.split("\n")[:-1]
    assert sorted(lines) == sorted(COMMAND_NAMES)
    assert term.exec("help me please") == text


# --- error texts ---------------------------------------------------------------

ERRORS = [
    # splitting and dispatch
    ([], "echo 'abc", NOT_FORMATTED),
    ([], 'echo "abc', NOT_FORMATTED),
    ([], "echo abc\\", NOT_FORMATTED),
    ([], "frobnicate x", "frobnicate: command not found"),
    ([], "LS", "LS: command not found"),
    ([], "'' x", ": command not found"),
    # cd
    ([], "cd", "cd: missing argument"),
    ([], "cd nope", "cd: cannot access 'nope': nope: Inode not found"),
    ([], "cd /nope", "cd: cannot access '/nope': nope: Inode not found"),
    (["touch f"], "cd f", "cd: f: Not a directory"),
    (["mkdir a", "mkdir a/b"], "cd a/b", "cd: cannot access 'a/b': a/b: Inode not found"),
    # ls
    ([], "ls nope", "nope: Inode not found"),
    ([], "ls /nope", "nope: Inode not found"),
    (["touch f"], "ls f", "ls: 1: Not a directory"),
    (["mkdir a", "touch g"], "ls /g", "ls: 2: Not a directory"),
    (["mkdir a", "cd a", "mkdir b"], "ls /a/b", "a/b: Inode not found"),
    # cat
    ([], "cat", "cat: missing argument"),
    ([], "cat nope", "nope: Inode not found"),
    (["mkdir d"], "cat d", "cat: d: Is a directory"),
    (["mkdir d", "touch d/f"], "cat d/f", "d/f: Inode not found"),
    ([], "cat /", "cat: /: Is a directory"),
    # mkdir and touch
    ([], "mkdir", "mkdir: missing argument"),
    ([], "touch", "touch: missing argument"),
    (["mkdir a"], "mkdir a", "mkdir: cannot create directory 'a': Resource already exists"),
    (["mkdir a"], "touch a", "touch: cannot create file 'a': Resource already exists"),
    (["touch a"], "touch a", "touch: cannot create file 'a': Resource already exists"),
    (["mkdir a", "mkdir a/b"], "mkdir a/b/c", "a/b: Inode not found"),
    (["mkdir a"], "mkdir a/", "mkdir: cannot create directory 'a/': Resource already exists"),
    ([], "mkdir a/", "a: Inode not found"),
    ([], "touch nope/f", "nope: Inode not found"),
    (["touch f"], "mkdir f/x", "mkdir: 1: Not a directory"),
    (["mkdir a", "touch f"], "touch f/x", "touch: 2: Not a directory"),
    # rm
    ([], "rm", "rm: missing argument"),
    ([], "rm nope", "nope: Inode not found"),
    (["mkdir d", "touch d/x"], "rm d", "rm: cannot remove 'd': Directory is not empty"),
    (["mkdir d", "touch d/x"], "rm ./d", "./d: Inode not found"),
]


@pytest.mark.parametrize("setup, line, text", ERRORS)
def test_error_text(term, setup, line, text):
    run_all(term, setup)
    assert error_of(term, line) == text


@pytest.mark.parametrize(
    "line, parts",
    [
        ("rm -r", ["TARGET"]),
        ("rm f g", ["'g'"]),
        ("rm -x f", ["'-x'"]),
        ("rm --bogus f", ["'--bogus'"]),
        ("rm -- f -r", ["'-r'"]),
        ("rm --help", ["lumvex", "Remove a file or a directory (potentially recursive)",
                       "TARGET", "-r", "--recursive"]),
        ("rm -h", ["TARGET", "--recursive"]),
        ("rm --version", ["lumvex", "0.1.2"]),
        ("rm -V", ["0.1.2"]),
    ],
)
def test_rm_parser_failures_remove_nothing(fs, term, line, parts):
    run_all(term, ["touch f", "touch g", "mkdir d", "touch d/x"])
    before = term.exec("ls")
    text = error_of(term, line)
    assert text.startswith("rm: ") and len(text) > len("rm: ")
    for part in parts:
        assert part in text
    assert term.exec("ls") == before
    assert term.exec("ls d") == "x\n"


def test_rm_of_current_directory_keeps_cwd(term):
    run_all(term, ["mkdir a", "cd a", "rm /a"])
    assert error_of(term, "pwd") == "pwd: cannot access '1': Inode not found"


# --- the current directory --------------------------------------------------------


def test_relative_paths_use_the_current_directory(term):
    run_all(term, ["mkdir a", "cd a", "mkdir b", "touch f", "cd b", "touch g"])
    assert term.exec("pwd") == "/a/b"
    assert term.exec("ls") == "g\n"
    assert term.exec("ls ..") == "f\nb/\n"
    assert term.exec("ls /a") == "f\nb/\n"
    assert term.exec("ls /") == "a/\n"
    term.exec("cd ..")
    assert term.exec("pwd") == "/a"


def test_failing_lines_leave_cwd_alone(term):
    run_all(term, ["mkdir a", "touch f", "cd a"])
    for line in ["cd nope", "cd /f", "cd 'x", "nosuch", "rm -r", "cd"]:
        error_of(term, line)
        assert term.exec("pwd") == "/a"


def test_removed_current_directory(fs, term):
    run_all(term, ["mkdir keep", "mkdir a", "cd a", "touch f"])
    other = lumvex.PyTerm(fs)
    other.exec("rm -r a")
    gone = "cannot access '2': Inode not found"
    assert error_of(term, "pwd") == "pwd: " + gone
    assert error_of(term, "ls") == "ls: " + gone
    assert error_of(term, "mkdir x") == "mkdir: " + gone
    assert error_of(term, "touch x") == "touch: " + gone
    assert error_of(term, "cat f") == "f: Inode not found"
    assert error_of(term, "ls .") == ".: Inode not found"
    assert term.exec("ls /") == "keep/\n"
    assert term.exec("cd /") == ""
    assert term.exec("pwd") == "/"
    assert term.exec("ls") == "keep/\n"


# --- several terminals on one filesystem -------------------------------------------


def test_terminals_share_files_but_not_cwd(fs):
    first, second = lumvex.PyTerm(fs), lumvex.PyTerm(fs)
    first.exec("mkdir /a")
    first.exec("cd /a")
    assert first.exec("pwd") == "/a"
    assert second.exec("pwd") == "/"
    assert second.exec("ls") == "a/\n"
    second.exec("mkdir b")
    second.exec("touch a/f")
    assert first.exec("ls") == "f\n"
    assert first.exec("ls /") == "a/\nb/\n"
    assert 'name: "a"' in str(fs) and 'name: "b"' in str(fs) and 'name: "f"' in str(fs)


def test_terminal_and_pyfs_see_each_other(fs, term):
    listdir = fs.listdir
    mkdir = fs.mkdir
    term.exec("mkdir t")
    term.exec("touch t/x")
    assert listdir("/") == ([], ["t"])
    assert listdir("/t") == (["x"], [])
    mkdir("/p")
    fs.touch("/p/y")
    assert term.exec("ls") == "t/\np/\n"
    assert term.exec("ls p") == "y\n"
    fs.remove("/t", True)
    assert term.exec("ls") == "p/\n"


def test_terminal_keeps_filesystem_alive(fs):
    term = lumvex.PyTerm(fs)
    term.exec("mkdir a")
    del fs
    gc.collect()
    assert term.exec("ls") == "a/\n"
    term.exec("touch a/f")
    assert term.exec("ls a") == "f\n"


def test_each_pyfs_is_its_own_filesystem():
    first, second = lumvex.PyTerm(lumvex.PyFs()), lumvex.PyTerm(lumvex.PyFs())
    first.exec("mkdir a")
    assert second.exec("ls") == ""


def test_threads_on_one_terminal_and_on_several(fs):
    shared = lumvex.PyTerm(fs)
    errors = []

    def work(index, own):
        try:
            for i in range(200):
                for term in (shared, own):
                    name = f"/d{index}_{i}_{id(term)}"
                    term.exec(f"mkdir {name}")
                    term.exec(f"touch {name}/f")
                    term.exec(f"rm -r {name}")
        except Exception as exc:  # reported in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n, lumvex.PyTerm(fs))) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert shared.exec("ls") == ""


# --- cat of file contents --------------------------------------------------------


@pytest.mark.parametrize(
    "data, text",
    [
        (b"", ""),
        (b"hello\n", "hello\n"),
        (b"no newline", "no newline"),
        (b"a\xffb", "a\ufffdb"),
        (b"\xc3\xa9t\xc3\xa9\n", "\u00e9t\u00e9\n"),
        (b"cut \xe2\x98", "cut \ufffd"),
        (b"\x80\x80", "\ufffd\ufffd"),
        (b"nul\x00inside", "nul\x00inside"),
        (b"x" * 10000, "x" * 10000),
    ],
)
def test_cat_contents(fs, term, data, text):
    write_file(fs, "/f", data)
    assert term.exec("cat f") == text
    assert term.exec("cat /f") == text


def test_cat_of_file_open_for_writing(fs, term):
    handle = fs.open("/f", "w")
    handle.write(b"data")
    assert error_of(term, "cat f") == "cat: cannot access 'f': Resource is currently in use"
    assert error_of(term, "rm f") == "rm: cannot remove 'f': Resource is currently in use"
    handle.close()
    assert term.exec("cat f") == "data"
    # cat released its own handle: the file can be written and removed again.
    write_file(fs, "/f", b"more")
    assert term.exec("rm f") == ""


# --- class shape and arguments -----------------------------------------------------


def test_class_documentation():
    assert lumvex.PyTerm.__doc__ == TERM_DOC
    assert lumvex.PyTerm.__text_signature__ == "(fs)"
    assert lumvex.PyTerm.exec.__doc__ == EXEC_DOC
    assert lumvex.PyTerm.exec.__text_signature__ == "($self, command)"
    assert lumvex.PyTerm.__module__ == "lumvex"
    assert lumvex.PyTerm.__name__ == "PyTerm"


def test_class_shape(term):
    names = lumvex.__all__
    assert "PyTerm" in names and names.index("PyTerm") > names.index("PyFs")
    assert type(term).__str__ is object.__str__
    assert type(term).__repr__ is object.__repr__
    assert not hasattr(term, "__dict__")
    with pytest.raises(TypeError):
        type("Sub", (lumvex.PyTerm,), {})
    with pytest.raises(TypeError):
        lumvex.PyTerm.exec(lumvex.PyFs(), "pwd")


@pytest.mark.parametrize("value", [b"pwd", bytearray(b"pwd"), 1, None, ["pwd"]])
def test_exec_rejects_non_text(term, value):
    with pytest.raises(TypeError) as info:
        term.exec(value)
    assert str(info.value).startswith("argument 'command': ")
    assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("pwd", "ls"), {}), ((), {"cmd": "pwd"}), (("pwd",), {"command": "ls"})],
)
def test_exec_binding_errors(term, args, kwargs):
    with pytest.raises(TypeError) as info:
        term.exec(*args, **kwargs)
    assert "PyTerm.exec()" in str(info.value)


def test_exec_accepts_keyword_and_str_subclass(term):
    class Line(str):
        pass

    assert term.exec(command="pwd") == "/"
    assert term.exec(Line("echo sub")) == "sub"


def test_exec_lone_surrogate_is_an_encoding_error(term):
    with pytest.raises(UnicodeEncodeError):
        term.exec("echo \ud800")


@pytest.mark.parametrize("value", [1, None, "fs", object(), lumvex.PyFs])
def test_constructor_rejects_non_pyfs(value):
    with pytest.raises(TypeError) as info:
        lumvex.PyTerm(value)
    assert str(info.value).startswith("argument 'fs': ")


def test_constructor_rejects_another_terminal(term):
    with pytest.raises(TypeError) as info:
        lumvex.PyTerm(term)
    assert str(info.value).startswith("argument 'fs': ")


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), (("a", "b"), {}), ((), {"filesystem": 1}), ((), {"fs": 1, "x": 2})]
)
def test_constructor_binding_errors(fs, args, kwargs):
    args = tuple(fs if a == "a" else a for a in args)
    with pytest.raises(TypeError) as info:
        lumvex.PyTerm(*args, **kwargs)
    assert "PyTerm" in str(info.value)


def test_constructor_accepts_keyword(fs):
    assert lumvex.PyTerm(fs=fs).exec("pwd") == "/"


# --- resources ------------------------------------------------------------------------


def rss_bytes():
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * resource.getpagesize()


def test_repeated_exec_does_not_leak(fs, term):
    run_all(term, ["mkdir d", "touch d/f"])
    if hasattr(fs, "open"):  # a leaked read buffer then shows in the RSS
        write_file(fs, "/d/f", b"z" * 4096)
    lines = ["pwd", "echo a b", "ls d", "cat d/f", "mkdir x", "rm x", "nosuch", "cd nope"]

    def loop(count):
        for i in range(count):
            try:
                term.exec(lines[i % len(lines)])
            except ValueError:
                pass

    loop(2000)
    gc.collect()
    refs = (sys.getrefcount(fs), sys.getrefcount(term), sys.getrefcount(lines[0]))
    blocks = sys.getallocatedblocks()
    before = rss_bytes()
    loop(10000)
    gc.collect()
    assert (sys.getrefcount(fs), sys.getrefcount(term), sys.getrefcount(lines[0])) == refs
    assert sys.getallocatedblocks() - blocks < 100
    assert rss_bytes() - before < 1024 * 1024


def test_memory_error_in_exec_leaves_the_terminal_usable():
    # Run in a child process: it lowers its own address-space limit so that
    # `cat` of a large file cannot allocate its buffer.
    code = textwrap.dedent(
        """
        import resource, lumvex
        fs = lumvex.PyFs()
        term = lumvex.PyTerm(fs)
        handle = fs.open("/big", "w")
        handle.write(b"x" * (256 << 20))
        handle.close()
        with open("/proc/self/status") as status:
            vm = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), hard))
        try:
            term.exec("cat big")
        except MemoryError:
            print("memory error")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(term.exec("pwd"))
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["memory error", "/"]
