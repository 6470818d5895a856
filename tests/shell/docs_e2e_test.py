#!/usr/bin/env python3
"""What a new user meets first: the installed files, the manual page, and
the README's quick start run word for word from a fresh clone.
Arguments: install|manpage|quickstart, source dir, build dir, cmake."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def check_install(source, build, cmake):
    with tempfile.TemporaryDirectory() as prefix:
        subprocess.run([cmake, "--install", build, "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
        found = sorted(os.path.relpath(os.path.join(d, f), prefix)
                       for d, _, files in os.walk(prefix) for f in files)
    expected = ["bin/sunufs", "share/man/man1/sunufs.1"]
    assert found == expected, found


def check_manpage(source, build, cmake):
    if shutil.which("groff") is None:
        print("groff is not installed")
        return SKIP
    page = os.path.join(source, "doc", "sunufs.1")
    run = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    # The page names the version the program reports.
    said = subprocess.run([os.path.join(build, "sunufs"), "-V"], capture_output=True, text=True)
    version = (said.stdout + said.stderr).split("\n")[0]
    with open(page) as f:
        title = f.readline()
    assert version and '"%s"' % version in title, (version, title)


def plain(roff):
    """A line of the page as it reads: no macro, font change or quote."""
    text = re.sub(r"^\.[A-Z]+\s*", "", roff)
    text = re.sub(r"\\f[A-Z]", "", text).replace("\\-", "-").replace("\\&", "").replace('"', "")
    return " ".join(text.replace(" ,", ",").split())


def section(page, name):
    return re.search(r"^\.SH %s\n(.*?)^\.SH " % name, page, flags=re.S | re.M).group(1)


def entries(text):
    """What each .TP of a section names, as plain text."""
    return [plain(line) for line in re.findall(r"^\.TP\n(.*)$", text, flags=re.M)]


def letters(text):
    return set("".join(re.findall(r"(?<![\w-])-([A-Za-z0-9]+)", text)))


def names_and_options(synopses):
    """{name: option letters} of command synopses ("help [command], ?")."""
    table = {}
    for line in synopses:
        first, _, rest = line.partition(" ")
        table[first.rstrip(",")] = letters(line)
        for alias in re.findall(r", (\S+)$", line):
            table[alias] = set()
    return table


def check_commands(source, build, cmake):
    """Every command and option that help and the usage line give is the
    manual's, and the other way round."""
    with open(os.path.join(source, "doc", "sunufs.1")) as f:
        page = f.read()
    sunufs = os.path.join(build, "sunufs")
    with tempfile.TemporaryDirectory() as top:
        image = os.path.join(top, "img")
        subprocess.run([os.path.join(build, "mksunimg"), "--seed", "-o", image], check=True,
                       stdout=subprocess.DEVNULL)
        said = subprocess.run([sunufs, "-p", "0", "-c", "help", image], capture_output=True, text=True)
    helped = [line.split("  ")[0] for line in said.stderr.splitlines()]
    assert names_and_options(helped) == names_and_options(entries(section(page, "COMMANDS"))), \
        (helped, entries(section(page, "COMMANDS")))
    usage = subprocess.run([sunufs, "-h"], capture_output=True, text=True).stderr
    synopsis = plain(" ".join(section(page, "SYNOPSIS").splitlines()))
    assert letters(usage) == letters(synopsis) == letters(" ".join(entries(section(page, "OPTIONS")))), \
        (usage, synopsis)


def quick_start(readme):
    """The first fenced block under the "Quick start" heading."""
    part = re.split(r"^## Quick start.*$", readme, maxsplit=1, flags=re.M)
    assert len(part) == 2, "no Quick start section"
    block = re.search(r"^```[a-z]*\n(.*?)^```", part[1], flags=re.S | re.M)
    assert block, "no fenced block in the Quick start section"
    return block.group(1)


def check_quickstart(source, build, cmake):
    if not os.path.exists(os.path.join(source, ".git")) or shutil.which("git") is None:
        print("not a git checkout")
        return SKIP
    # Inside the build tree, so that a compiler cache set up for the
    # checkout serves the clone too.
    with tempfile.TemporaryDirectory(dir=build) as top:
        clone = os.path.join(top, "sunufs")
        subprocess.run(["git", "clone", "-q", source, clone], check=True)
        with open(os.path.join(clone, "README.md")) as f:
            script = quick_start(f.read())
        run = subprocess.run(["bash", "-e", "-c", script], cwd=clone,
                             capture_output=True, text=True, timeout=580)
        assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-2000:]
        assert "notes.txt" in run.stdout + run.stderr, run.stdout + run.stderr
        status = subprocess.run(["git", "status", "--porcelain", "--ignored"], cwd=clone,
                                capture_output=True, text=True, check=True).stdout
        assert all(line.endswith("build/") for line in status.splitlines()), \
            "the quick start wrote into the checkout: " + status


CHECKS = {"install": check_install, "manpage": check_manpage, "quickstart": check_quickstart,
          "commands": check_commands}

if __name__ == "__main__":
    sys.exit(CHECKS[sys.argv[1]](*sys.argv[2:5]) or 0)
