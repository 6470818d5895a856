#!/usr/bin/env python3
"""The prompt as a new user meets it: batch runs, help, the hint after a
dead end, ~ in host paths, history kept between sessions, the progress
line of a big file, lost -p and `make run`; a pseudo-terminal where a
terminal matters.  Arguments: sunufs, mksunimg, 1 when built with
libedit, source dir, build dir."""
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from terminal import Terminal  # noqa: E402

SUNUFS, MKSUNIMG, EDITING, SOURCE, BUILD = sys.argv[1:6]
EDITING = EDITING == "1"
PROMPT = b"img(0) # "
HUGE = 64 << 20
TIME = 700000000


def make_image(top):
    tree = os.path.join(top, "tree")
    for d in ("docs", "big"):
        os.makedirs(os.path.join(tree, d))
    for name in ("apple.txt", "banana.txt"):
        with open(os.path.join(tree, "docs", name), "w") as f:
            f.write(name + "\n")
    os.chmod(os.path.join(tree, "docs", "apple.txt"), 0o604)
    with open(os.path.join(tree, "big", "huge"), "wb") as f:
        f.write(b"\xa5" * HUGE)
    subprocess.run([MKSUNIMG, "--tree", tree, "-o", os.path.join(top, "img"), "--time", str(TIME)],
                   check=True)
    with open(os.path.join(top, "img"), "rb") as f:
        disk = bytearray(f.read())
    # The file system's magic number gone; then the label too.
    magic = 8192 + 1372
    bad = bytearray(disk)
    bad[magic:magic + 4] = bytes(4)
    with open(os.path.join(top, "badsb"), "wb") as f:
        f.write(bad)
    bad[0:512] = bytes(512)
    with open(os.path.join(top, "nothing"), "wb") as f:
        f.write(bad)
    # /docs unnamed: its root entry's inode number cleared, so it is lost.
    lost = bytearray(disk)
    at = lost.index(b"\x00\x04docs") - 2     # the entry's length, after its inode number
    lost[at - 4:at] = bytes(4)
    with open(os.path.join(top, "lost"), "wb") as f:
        f.write(lost)


def sunufs(top, args, text="", env=None):
    return subprocess.run([SUNUFS] + args, cwd=top, input=text.encode(), capture_output=True,
                          env=env, timeout=120)


def case_batch(top):
    run = sunufs(top, ["-p", "0", "-c", "cd /docs", "-c", "# a note", "-c", "pwd", "-c", "cd /nope",
                       "-c", "pwd", "img"])
    assert (run.returncode, run.stderr) == (1, b"/docs\n/nope: No such file or directory\n/docs\n"), run
    run = sunufs(top, ["-p", "0", "-c", "#", "-c", "pwd", "img"])
    assert (run.returncode, run.stderr) == (0, b"/\n"), run
    run = sunufs(top, ["-p", "0", "img"], "cd /docs\r\n  # another note\r\npwd\r\n")
    assert (run.returncode, run.stderr) == (0, b"/docs\n"), run


def case_help(top):
    run = sunufs(top, ["-p", "0", "-c", "help", "img"])
    lines = run.stderr.decode().splitlines()
    # The second column starts at one place on every line.
    starts = {re.search(r"\S  +(?=\S)", line).end() for line in lines}
    assert len(lines) > 10 and len(starts) == 1, lines
    row = next(line for line in lines if line.startswith("cd "))
    one = sunufs(top, ["-p", "0", "-c", "help cd", "-c", "help nothing", "img"])
    usage, text = one.stderr.decode().splitlines()[:2]
    assert usage == "use: cd path" and row.split(None, 2)[2] == text, (one, row)
    assert one.returncode == 1 and one.stderr.endswith(b"nothing: no such command\n"), one
    assert b"V" in sunufs(top, ["-h"]).stderr.split(b"]")[0]


HINTS = [
    (["-p", "0", "badsb"], b"mount fs: Bad magic number\n"
     b"\t-b tries the superblock copies; -s scans the disk for file systems\n"),
    (["nothing"], b"open disk: Bad magic number\n\t-s scans the disk for labels and file systems\n"),
    (["-p", "2", "img"], b"mount fs: Bad partition\n\tpartition 2 holds a file system: open it with -o 0\n"),
    (["-p", "0", "-o", "0", "img"], b"sunufs: -o and -p cannot be used together\n"
     b"Use: sunufs [-hdbnsV] [-m map] [-p part | -o sector] [-c command | -M dir] file\n"),
]


def case_hints(top):
    for args, expected in HINTS:
        run = subprocess.run(["sunufs"] + args, executable=SUNUFS, cwd=top, capture_output=True, timeout=60)
        assert run.stderr.startswith(expected) and run.returncode in (1, 2), (args, run.stderr)


def case_home(top):
    home = tempfile.mkdtemp(dir=top)
    env = dict(os.environ, HOME=home)
    script = ("lcd ~\ncp /docs/apple.txt ~/apple\ncp -r /docs ~/\ntar -cf ~/docs.tar /docs\n"
              "body ~/docs.body /docs\nlost ~\n")
    run = sunufs(top, ["-p", "0", "img"], script, env)
    assert run.returncode == 0, run
    with tarfile.open(os.path.join(home, "docs.tar")) as archive:
        assert "docs/apple.txt" in archive.getnames()
    for name in ("apple", "docs/banana.txt", "docs.body"):
        assert os.path.exists(os.path.join(home, name)), name
    if EDITING:
        t = Terminal([SUNUFS, "-p", "0", "img"], cwd=top)
        t.expect(PROMPT)
        t.send(b"tar -cf tre\t")             # the host's tree/, not a name on the image
        t.expect(b"e/")
        t.send(b"\x03")
        t.expect(PROMPT)
        t.send(b"bye\r")
        t.finish()


def session(top, env, lines):
    t = Terminal([SUNUFS, "-p", "0", "img"], cwd=top, env=env)
    t.expect(PROMPT)
    seen = b""
    for line in lines:
        t.send(line)
        seen += t.expect(PROMPT)
    t.send(b"bye\r")
    t.finish()
    return seen


def case_history(top):
    state = tempfile.mkdtemp(dir=top)
    env = dict(os.environ, XDG_STATE_HOME=state)
    kept = os.path.join(state, "sunufs", "history")
    sunufs(top, ["-p", "0", "img"], "pwd\n", env)
    assert not os.path.exists(kept), "history kept from a pipe"
    session(top, env, [b"pwd\r", b"cd /docs\r"])
    with open(kept, "rb") as f:
        assert b"/docs" in f.read()
    # Two lines back (before its "bye"): the cd of the last session.
    seen = session(top, env, [b"\x1b[A\x1b[A\r", b"pwd\r"])
    assert b"/docs\r\n" in seen, seen


def slow_reader(fifo, stop):
    with open(fifo, "rb") as f:
        while f.read(65536 if not stop.is_set() else 1 << 20):
            if not stop.is_set():
                time.sleep(0.01)


LINE = re.compile(rb"\d+\.\d MB of 64\.0 MB \(\d+%\), \d+\.\d [KM]B/s, \d+ s left  /big/huge")


def case_big_file_progress(top):
    for command in (b"cp /big/huge %s", b"tar -cf %s /big/huge"):
        fifo = os.path.join(tempfile.mkdtemp(dir=top), "out")
        os.mkfifo(fifo)
        stop = threading.Event()
        reader = threading.Thread(target=slow_reader, args=(fifo, stop))
        reader.start()
        t = Terminal([SUNUFS, "-p", "0", "img"], cwd=top)
        t.expect(PROMPT)
        t.send(command % fifo.encode() + b"\r")
        line = t.expect(b" s left  /big/huge", timeout=30)
        stop.set()
        reader.join(60)
        t.expect(PROMPT, timeout=60)
        t.send(b"bye\r")
        t.finish()
        assert LINE.search(line), line


def case_lost_keeps_attributes(top):
    listing = sunufs(top, ["-p", "0", "-c", "ls", "img"]).stdout.decode()
    ino = next(line.split()[0] for line in listing.splitlines() if line.split()[1] == "docs")
    out = tempfile.mkdtemp(dir=top)
    os.mkdir(os.path.join(out, "cp"))
    run = sunufs(top, ["-p", "0", "-c", "lost -p " + out, "-c", "cp -rp <%s> %s/cp" % (ino, out), "lost"])
    assert run.returncode == 0, run
    top_dir = "inode-" + ino
    for name in ("apple.txt", "banana.txt"):
        kept = os.lstat(os.path.join(out, top_dir, name))
        like = os.lstat(os.path.join(out, "cp", top_dir, name))
        assert (kept.st_mode, kept.st_mtime) == (like.st_mode, like.st_mtime), name
        assert kept.st_mtime == TIME, kept
    assert os.stat(os.path.join(out, top_dir, "apple.txt")).st_mode & 0o777 == 0o604


def case_make_run(top):
    if shutil.which("make") is None:
        print("  (make is not installed: make run not tried)")
        return
    sample = os.path.join(top, "sample.img")
    text = b"pwd\ncd /nowhere\n"
    # Not the make that may run this test: its jobs are not ours.
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    made = subprocess.run(["make", "-s", "-C", SOURCE, "-o", "programs", "run", "BUILD=" + BUILD,
                           "SAMPLE_IMG=" + sample], input=text, capture_output=True, env=env, timeout=300)
    assert made.returncode == 0 and b"make" not in made.stderr, made
    direct = subprocess.run([SUNUFS, "-p", "0", sample], input=text, capture_output=True, timeout=60)
    assert direct.returncode == 1, direct


CASES = [
    (case_batch, False),
    (case_help, False),
    (case_hints, False),
    (case_home, False),
    (case_history, True),
    (case_big_file_progress, False),
    (case_lost_keeps_attributes, False),
    (case_make_run, False),
]


def main():
    with tempfile.TemporaryDirectory() as top:
        # Sessions at a terminal keep their history here, not in the home.
        os.environ["XDG_STATE_HOME"] = os.path.join(top, "state")
        make_image(top)
        failed = 0
        for case, needs_editing in CASES:
            if needs_editing and not EDITING:
                print("SKIP %s: built without libedit" % case.__name__)
                continue
            try:
                case(top)
                print("ok   %s" % case.__name__)
            except Exception as e:  # noqa: BLE001 - report every case
                failed += 1
                print("FAIL %s: %s" % (case.__name__, e))
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
