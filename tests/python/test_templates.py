"""Sessions started from templates (root only): ownership and writability in
the session, isolation from the template and from siblings, snapshots of
snapshots checked against a model, the disk wall, hostile content, and the
template's memory freed once nothing holds it. Commands run with deadlines."""

import gc
import os
import random
import stat

import pytest

import lumvex
from test_sessions import needs_host

pytestmark = needs_host
MiB = 1 << 20


def run(session, command, check=True):
    return session.run(command, timeout=60, check=check).stdout.decode()


# Lists every entry below the home: "path kind size uid" (kind d, f or l).
LIST = ("cd ~ && find . -mindepth 1 \\( -type d -printf '%P d 0 %U\\n' \\) -o "
        "\\( -type f -printf '%P f %s %U\\n' \\) -o \\( -type l -printf '%P l 0 %U\\n' \\) | sort")


def tree(session):
    return run(session, LIST).splitlines()


@pytest.fixture(scope="module")
def pool():
    return lumvex.PyUserPool(disk=64 * MiB)


@pytest.fixture
def source(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "a.txt").write_text("hello\n")
    (tmp_path / "sub" / "b.txt").write_text("deep\n")
    return tmp_path


def test_templates_need_right_arguments(pool, source):
    with pytest.raises(TypeError):
        lumvex.Template()
    with pytest.raises(TypeError):
        lumvex.PyTerminalSession(pool, template="not one")
    with pytest.raises(FileNotFoundError):
        lumvex.Template.from_directory(source / "missing")
    assert "Template" not in lumvex.__all__


@pytest.mark.parametrize("made_from", ["directory", "fs", "pool default"])
def test_session_owns_a_private_copy_of_the_template(pool, source, made_from):
    if made_from == "fs":
        fs = lumvex.PyFs()
        fs.mkdir("/p")
        fs.mkdir("/p/sub")
        for path, text in (("/p/a.txt", b"hello\n"), ("/p/sub/b.txt", b"deep\n")):
            with fs.open(path, "w") as f:
                f.write(text)
        template = lumvex.Template.from_fs(fs, "/p")
    else:
        template = lumvex.Template.from_directory(source)
    assert (template.layers, template.nbytes) == (1, 11)
    sessions_pool = lumvex.PyUserPool(template=template) if made_from == "pool default" else pool
    extra = {} if made_from == "pool default" else {"template": template}
    with lumvex.PyTerminalSession(sessions_pool, **extra) as one, \
            lumvex.PyTerminalSession(sessions_pool, **extra) as two:
        assert tree(one) == [f"a.txt f 6 {one.uid}", f"sub d 0 {one.uid}",
                             f"sub/b.txt f 5 {one.uid}"]
        run(one, "echo more >> a.txt && rm -r sub && mkdir sub && echo new > sub/c.txt"
                 " && chmod 600 a.txt && cat a.txt")
        assert run(one, "cat a.txt sub/c.txt") == "hello\nmore\nnew\n"
        # The sibling and the template's next session see the template as it was.
        assert run(two, "cat a.txt sub/b.txt; ls sub") == "hello\ndeep\nb.txt\n"
    with lumvex.PyTerminalSession(sessions_pool, **extra) as again:
        assert tree(again) == [f"a.txt f 6 {again.uid}", f"sub d 0 {again.uid}",
                               f"sub/b.txt f 5 {again.uid}"]
        # Nothing changed: the snapshot is the template itself, no new layer.
        assert repr(again.snapshot()) == repr(template) == "<lumvex.Template layers=1 nbytes=11>"


# Random changes applied through generations of snapshots (each generation a
# session started from the last snapshot), checked against a model.
NAMES = ["a", "b", "c", "d/e", "d/f", "d/g/h", "x/y"]


def random_step(rng, model):
    name = rng.choice(NAMES)
    top = name.split("/")[0]
    roll = rng.random()
    if roll < 0.5:
        size = rng.choice([0, 1, 100, 5000])
        # Parents that are files become directories.
        parts = name.split("/")
        for i in range(1, len(parts)):
            prefix = "/".join(parts[:i])
            if model.get(prefix) is not None:
                return None
        for other in [p for p in model if p == name and model[p] is None]:
            return None
        for i in range(1, len(parts)):
            model["/".join(parts[:i])] = None
        model[name] = size
        return f"mkdir -p $(dirname {name}) && head -c {size} /dev/zero > {name}"
    if roll < 0.8:
        for path in [p for p in model if p == name or p.startswith(name + "/")]:
            del model[path]
        return f"rm -rf {name}"
    for path in [p for p in model if p == top or p.startswith(top + "/")]:
        del model[path]
    model[top] = None
    return f"rm -rf {top} && mkdir {top}"


def model_tree(model, uid):
    return sorted(f"{p} {'d 0' if s is None else f'f {s}'} {uid}" for p, s in model.items())


def test_snapshots_of_snapshots_follow_a_model(pool, source):
    rng = random.Random(27)
    template = lumvex.Template.from_directory(source)
    model = {"a.txt": 6, "sub": None, "sub/b.txt": 5}
    kept = []  # (template, model) of every generation
    for generation in range(6):
        with lumvex.PyTerminalSession(pool, template=template) as session:
            assert tree(session) == model_tree(model, session.uid)
            steps = [s for s in (random_step(rng, model) for _ in range(25)) if s]
            run(session, " && ".join(steps))
            assert tree(session) == model_tree(model, session.uid)
            template = session.snapshot()
            assert template.layers == generation + 2
            kept.append((template, dict(model)))
    # Each generation's snapshot still shows its own state, and forks of one
    # snapshot see only their own changes.
    for template, expected in kept[::2]:
        forks = [lumvex.PyTerminalSession(pool, template=template) for _ in range(3)]
        try:
            for i, fork in enumerate(forks):
                run(fork, f"echo {i} > fork{i}")
            for i, fork in enumerate(forks):
                assert tree(fork) == model_tree({**expected, f"fork{i}": 2}, fork.uid)
        finally:
            for fork in forks:
                fork.close()


def test_a_long_line_of_snapshots_starts_a_new_stack(pool, source):
    template = lumvex.Template.from_directory(source)
    for generation in range(1, 131):
        with lumvex.PyTerminalSession(pool, template=template) as session:
            session.run(f"echo {generation} > last && rm -f g{generation - 1}"
                        f" && touch g{generation}", check=True)
            template = session.snapshot()
        assert template.layers == (generation + 1 if generation < 128 else generation - 127)
    with lumvex.PyTerminalSession(pool, template=template) as session:
        assert tree(session) == [f"a.txt f 6 {session.uid}", f"g130 f 0 {session.uid}",
                                 f"last f 4 {session.uid}", f"sub d 0 {session.uid}",
                                 f"sub/b.txt f 5 {session.uid}"]


def test_large_template_and_the_disk_wall(tmp_path):
    for d in range(100):
        sub = tmp_path / f"d{d:02}"
        sub.mkdir()
        for f in range(100):
            (sub / f"f{f:02}").write_bytes(bytes([d]) * 10485)
    template = lumvex.Template.from_directory(tmp_path)
    assert template.nbytes == 10_000 * 10485
    del_pool = lumvex.PyUserPool(disk=16 * MiB)
    with lumvex.PyTerminalSession(del_pool, template=template) as session:
        assert run(session, "find . -type f | wc -l; cat d*/* | wc -c") == f"10000\n{10485 * 10000}\n"
        # What the session writes counts against its 16 MiB; the template's
        # 100 MiB do not.
        run(session, "head -c 8M /dev/zero > own && echo x >> d00/f00")
        failed = session.run("head -c 12M /dev/zero > more", timeout=60)
        assert failed.returncode != 0 and b"No space left" in failed.stderr


def test_hostile_content_gives_nothing(pool, tmp_path):
    (tmp_path / "setuid").write_bytes(open("/usr/bin/id", "rb").read())
    os.chmod(tmp_path / "setuid", 0o4755 | stat.S_ISGID)
    os.symlink("/etc/shadow", tmp_path / "shadow")
    os.symlink("../../../../etc", tmp_path / "up")
    os.mkfifo(tmp_path / "fifo")
    os.mknod(tmp_path / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.link(tmp_path / "setuid", tmp_path / "hard")
    template = lumvex.Template.from_directory(tmp_path)
    with lumvex.PyTerminalSession(pool, template=template) as session:
        listing = run(session, "stat -c '%n %A %U' * | sort")
        assert listing.splitlines() == [
            f"hard -rwxr-xr-x {session.user}", f"setuid -rwxr-xr-x {session.user}",
            f"shadow lrwxrwxrwx {session.user}", f"up lrwxrwxrwx {session.user}"]
        assert run(session, "./setuid -u") == f"{session.uid}\n"
        assert session.run("cat shadow", timeout=60).returncode != 0
        # What a session plants goes no further through a snapshot: its
        # set-uid bits, FIFOs, and links stay links.
        # A sparse file costs nothing against the disk wall; its holes stay
        # holes, or the snapshot would hold 50 GiB of zeros.
        run(session, "cp /usr/bin/id mine && chmod 6755 mine && mkfifo pipe && ln -s /root r"
                     " && truncate -s 50G huge && head -c 8M /dev/urandom > linked"
                     " && for i in $(seq 200); do ln linked link$i; done")
        snap = session.snapshot()
    assert snap.nbytes - template.nbytes < 12 * MiB
    with lumvex.PyTerminalSession(pool, template=snap) as child:
        # Hard links stay links: one copy of the 8 MiB, not 201.
        assert run(child, "stat -c %s huge; stat -c %h link7") == f"{50 << 30}\n201\n"
        assert run(child, "stat -c '%n %A' mine r; ls pipe 2>&1 || true").splitlines()[:2] == [
            "mine -rwxr-xr-x", "r lrwxrwxrwx"]
        assert "No such file" in run(child, "ls pipe 2>&1 || true")


def shmem():
    with open("/proc/meminfo") as info:
        return next(int(line.split()[1]) * 1024 for line in info if line.startswith("Shmem:"))


def test_templates_are_freed_when_unused(pool, tmp_path):
    (tmp_path / "big").write_bytes(os.urandom(96 * MiB))
    before = shmem()
    template = lumvex.Template.from_directory(tmp_path)
    session = lumvex.PyTerminalSession(pool, template=template)
    home = session.home
    snap = session.snapshot()
    assert os.path.ismount(home)
    del template
    assert run(session, "wc -c < big") == f"{96 * MiB}\n"
    session.close()
    assert not os.path.ismount(home)
    with pytest.raises(ValueError):
        session.snapshot()
    del snap
    gc.collect()
    # Other work on the host moves the figure a little; 96 MiB do not hide.
    assert shmem() - before < 32 * MiB
