#!/usr/bin/env python3
"""The prompt at a terminal, driven through a pseudo-terminal: completion,
history, Ctrl-C, the copy progress line and names that carry terminal
control bytes.  Arguments: sunufs, mksunimg, 1 when built with libedit."""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from terminal import Terminal  # noqa: E402

SUNUFS, MKSUNIMG, EDITING = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
EVIL = b"evil\x1b[31mred"
# A DEL byte and overlong UTF-8 forms of '/' and U+007F.
ODD = {b"del\x7fbyte": b"del?byte", b"long\xc0\xafslash": b"long??slash", b"long\xc1\xbfdel": b"long??del"}
BIG = 1 << 21
PROMPT = b"img(0) # "


def make_image(top):
    tree = os.path.join(top, "tree")
    for d in ("docs", "big", "my dir"):
        os.makedirs(os.path.join(tree, d))
    for name in ("apple.txt", "apricot.txt", "banana.txt"):
        with open(os.path.join(tree, "docs", name), "w") as f:
            f.write(name + "\n")
    with open(os.path.join(tree, "my dir", "file one"), "w") as f:
        f.write("one\n")
    with open(os.path.join(tree, "big", "blob"), "wb") as f:
        f.write(os.urandom(BIG))
    for name in [EVIL] + list(ODD):
        with open(os.path.join(os.fsencode(tree), name), "w") as f:
            f.write("x\n")
    subprocess.run([MKSUNIMG, "--tree", tree, "-o", os.path.join(top, "img"), "--ncyl", "64"],
                   check=True)


def slow_reader(fifo, stop):
    """Drains the host end of a copy slowly until `stop` is set, then fast."""
    with open(fifo, "rb") as f:
        while f.read(16384 if not stop.is_set() else 1 << 20):
            if not stop.is_set():
                time.sleep(0.02)


def long_copy(top, stderr_to_pipe, interrupt):
    """cp -r of /big into out/, whose blob is a FIFO read slowly, so that
    the copy runs for seconds.  Returns (terminal text, stderr pipe)."""
    out = tempfile.mkdtemp(dir=top)
    os.makedirs(os.path.join(out, "big"))
    fifo = os.path.join(out, "big", "blob")
    os.mkfifo(fifo)
    stop = threading.Event()
    reader = threading.Thread(target=slow_reader, args=(fifo, stop))
    reader.start()
    t = Terminal([SUNUFS, "-p", "0", "img"], cwd=top, stderr_to_pipe=stderr_to_pipe)
    t.expect(PROMPT)
    t.send(b"cp -r /big " + out.encode() + b"\r")
    seen = b""
    if interrupt:
        seen += t.expect(b" files, ", timeout=15)
        t.send(b"\x03")
    else:
        time.sleep(2.5)
    stop.set()
    reader.join(30)
    seen += t.expect(PROMPT, timeout=30)
    t.send(b"pwd\r")
    if not stderr_to_pipe:
        seen += t.expect(b"/\r\n" + b"img(0) # ")
    t.send(b"bye\r")
    return seen, t.finish()


def case_completion(top):
    t = Terminal([SUNUFS, "-p", "0", "img"], cwd=top)
    t.expect(PROMPT)
    t.send(b"cd /do\t")                     # unique: completed, with '/'
    t.expect(b"cs/")
    t.send(b"\rpwd\r")
    t.expect(b"/docs\r\n" + PROMPT)
    t.send(b"more ap\t")                    # ambiguous: the choices are listed
    listing = t.expect(PROMPT + b"more ap")
    assert b"apple.txt" in listing and b"apricot.txt" in listing, listing
    t.send(b"\x03")                         # Ctrl-C drops the line
    t.expect(PROMPT)
    t.send(b"cd /my\t")                     # a blank in the name comes back escaped
    t.expect(b"\\ dir/")
    t.send(b"\r")
    t.expect(PROMPT)
    t.send(b"pwd\r")
    t.expect(b"/my dir\r\n" + PROMPT)
    t.send(b"\x1b[A\r")                      # Up-arrow: the previous line again
    t.expect(b"/my dir\r\n")
    t.send(b"bye\r")
    t.finish()


def case_interrupt_at_prompt(top):
    t = Terminal([SUNUFS, "-p", "0", "img"], cwd=top)
    t.expect(PROMPT)
    t.send(b"cd /nowhere")
    time.sleep(0.3)
    t.send(b"\x03")
    t.expect(PROMPT)
    t.send(b"pwd\r")
    answer = t.expect(b"img(0) # ")
    assert b"/\r\n" in answer and b"nowhere:" not in answer, answer
    t.send(b"bye\r")
    t.finish()


def case_interrupt_in_pager(top):
    """Ctrl-C inside the pager is the pager's; the session goes on."""
    t = Terminal([SUNUFS, "-p", "0", "img"], cwd=top, env=dict(os.environ, LESS="", TERM="dumb"))
    t.expect(PROMPT)
    t.send(b"more /docs/apple.txt\r")
    time.sleep(1)
    t.send(b"\x03")
    time.sleep(0.5)
    t.send(b"q")
    t.expect(PROMPT)
    t.send(b"pwd\r")
    t.expect(b"/\r\n" + PROMPT)
    t.send(b"bye\r")
    t.finish()


def case_progress_and_interrupted_copy(top):
    seen, _ = long_copy(top, stderr_to_pipe=False, interrupt=True)
    assert b"\r" in seen and b"blob" in seen, seen


def case_no_progress_into_a_pipe(top):
    seen, err = long_copy(top, stderr_to_pipe=True, interrupt=False)
    assert b" files, " not in err and b"\r" not in err and b" files, " not in seen, (seen, err)
    assert err.endswith(b"/\n"), err


def case_control_bytes_in_names(top):
    t = Terminal([SUNUFS, "-p", "0", "img"], cwd=top)
    t.expect(PROMPT)
    t.send(b"ls\r")
    listing = t.expect(PROMPT)
    assert b"evil?[31mred" in listing and b"\x1b[31m" not in listing, listing
    for name, shown in ODD.items():
        assert shown in listing and name not in listing, (name, listing)
    t.send(b"bye\r")
    t.finish()
    piped = subprocess.run([SUNUFS, "-p", "0", "img"], cwd=top, input=b"ls\n",
                           capture_output=True, check=True)
    assert EVIL in piped.stdout, piped.stdout


CASES = [
    (case_completion, True),
    (case_interrupt_at_prompt, False),
    (case_interrupt_in_pager, False),
    (case_progress_and_interrupted_copy, False),
    (case_no_progress_into_a_pipe, False),
    (case_control_bytes_in_names, False),
]


def main():
    if shutil.which("less") is None:
        print("less is not installed")
        return 77
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
