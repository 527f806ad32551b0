"""Every ```python block of README.md and docs/api.md runs as shown.

A block of `>>>` lines is a doctest and its output must match. A block of
`name(...) -> type` lines is a signature listing: each must match the type
stubs (which stubtest holds to the module) in its parameters, their defaults
and its result. Any other block is a program, run in a fresh interpreter of
its own with `lumvex` imported and warnings as errors, and must end well with
nothing on stderr; the blocks of the session sections use `pool`, a
PyUserPool, and need root. A block that only defines `main(pool)` is run by
calling it, as its section says.
"""

import ast
import doctest
import os
import re
import shutil
import subprocess
import sys

import pytest

import lumvex

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
DOCS = ("README.md", "docs/api.md")
STUBS = os.path.join(ROOT, "stubs", "lumvex-stubs", "__init__.pyi")
# The names the docs give instances of each class.
INSTANCES = {
    "fs": "PyFs",
    "handle": "PyFileHandle",
    "term": "PyTerm",
    "pool": "PyUserPool",
    "session": "PyTerminalSession",
    "shell": "Shell",
    "command": "StartedCommand",
}
SIGNATURE = re.compile(r"(?P<name>\w+(?:\.\w+)?)(?P<params>\(.*\))?\s*->\s*(?P<ret>.+)", re.DOTALL)


def blocks():
    """(id, code) of every ```python block, in document order."""
    found = []
    for doc in DOCS:
        with open(os.path.join(ROOT, doc), encoding="utf-8") as f:
            lines = f.read().split("\n")
        start = indent = None
        for n, line in enumerate(lines):
            stripped = line.lstrip()
            if start is None and stripped.startswith("```python"):
                start, indent = n, len(line) - len(stripped)
            elif start is not None and stripped.startswith("```"):
                code = "\n".join(text[indent:] for text in lines[start + 1 : n]) + "\n"
                found.append(pytest.param(code, id=f"{doc}:{start + 1}"))
                start = None
        assert start is None, f"{doc}:{start + 1}: the block is never closed"
    return found


def signature_lines(code):
    """The signatures of a listing (a line that opens a parenthesis runs on
    until it is closed), or None if the block is not one."""
    entries, current = [], ""
    for line in code.splitlines():
        current += line.strip() if not current else " " + line.strip()
        if current and current.count("(") == current.count(")"):
            entries.append(current)
            current = ""
    matches = [SIGNATURE.fullmatch(entry) for entry in entries]
    return matches if entries and not current and all(matches) else None


def stub_classes():
    with open(STUBS, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return {
        node.name: {item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
        for node in tree.body
        if isinstance(node, ast.ClassDef)
    }


def described(params):
    """Names, kinds and default values of an ast.arguments, without self or
    cls. (The docs may write a parameter's type more simply than the stubs.)"""
    positional = params.posonlyargs + params.args
    defaults = [None] * (len(positional) - len(params.defaults)) + params.defaults
    shown = [("positional", a, d) for a, d in zip(positional, defaults)]
    shown += [("keyword", a, d) for a, d in zip(params.kwonlyargs, params.kw_defaults)]
    return [
        (kind, a.arg, "required" if d is None else eval(ast.unparse(d), {"__builtins__": {}}))
        for kind, a, d in shown
        if a.arg not in ("self", "cls")
    ]


def check_signature(match, classes):
    name, params, ret = match["name"], match["params"], match["ret"].strip()
    owner, _, member = name.partition(".")
    if member:
        assert owner in INSTANCES, f"{name}: no class is known for {owner!r}"
        cls = INSTANCES[owner]
    else:
        cls, member = owner, "__new__"
    assert cls in classes, f"{name}: the stubs have no class {cls}"
    stub = classes[cls].get(member)
    assert stub is not None, f"{name}: the stubs have no {cls}.{member}"
    stub_ret = ast.unparse(stub.returns).replace("Self", cls)
    assert ret == stub_ret, f"{name}: the docs return {ret}, the stubs {stub_ret}"
    is_property = any(ast.unparse(d) == "property" for d in stub.decorator_list)
    if params is None:
        assert is_property, f"{name} is shown as an attribute but is a method"
        return
    assert not is_property, f"{name} is shown as a method but is an attribute"
    shown = ast.parse(f"def f{params}: ...").body[0]
    assert isinstance(shown, ast.FunctionDef)
    assert described(shown.args) == described(stub.args), name


def run_program(code):
    tree = ast.parse(code)
    names = {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}
    assigned = {
        node.id
        for node in ast.walk(tree)
        if isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store)
    }
    program = "import lumvex\n"
    if "pool" in names - assigned:
        program += "pool = lumvex.PyUserPool()\n"
    program += code
    defines_main = any(
        isinstance(node, ast.AsyncFunctionDef) and node.name == "main" for node in tree.body
    )
    if defines_main and "main" not in names:  # defined, never called
        program += "\nimport asyncio\nasyncio.run(main(pool))\n"
    return subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error", "-c", program],
        capture_output=True,
        text=True,
        timeout=180,
        cwd=ROOT,
    )


@pytest.mark.parametrize("code", blocks())
def test_block(code, request):
    if code.lstrip().startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(
            code, {"lumvex": lumvex}, request.node.name, None, 0
        )
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        assert runner.summarize(verbose=False).failed == 0
        return
    try:
        compile(code, "<block>", "exec")
    except SyntaxError:
        listing = signature_lines(code)
        assert listing is not None, "neither a program nor a signature listing"
        classes = stub_classes()
        for match in listing:
            check_signature(match, classes)
        return
    if re.search(r"\b(pool|PyUserPool)\b", code):
        if os.geteuid() != 0 or not all(shutil.which(p) for p in ("id", "useradd", "su")):
            pytest.skip("the session sections' blocks need root, id, useradd and su")
        request.getfixturevalue("host_lock")
    result = run_program(code)
    assert (result.returncode, result.stderr) == (0, "")


def test_blocks_are_found():
    # A change of the fences must not leave the test with nothing to run.
    assert sum(p.id.startswith("README.md") for p in blocks()) >= 1
    assert sum(p.id.startswith("docs/api.md") for p in blocks()) >= 10
