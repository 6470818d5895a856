#!/usr/bin/env python3
"""Times sunufs against The Sleuth Kit and cat on images built for the run.

    tools/bench/bench.py [--keep] [--quick] build/sunufs

Builds the disk images with makefs + sfdisk in a temporary folder (on tmpfs
where there is room), copies out of each with sunufs and with its peer, best
of three runs each, checks once that both copies are byte-identical, and
prints one table of seconds, ratios, goals and sunufs's peak resident size.
The goals are judged on wall-clock seconds; the last column, the ratio of
CPU seconds (user + system), is the steadier figure on a busy machine.
Everything built is removed afterwards unless --keep is given.  --quick
leaves out the 100,000-entry directory.

Exit status: 0 every goal met, 1 some goal not met, 2 a copy was wrong or a
tool failed.
"""

import argparse
import filecmp
import math
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

REPEATS = 3            # best of this many runs
LONG_RUN = 5.0         # a run this slow (seconds) is not repeated
RUN_LIMIT = 150.0      # a run this slow is stopped and shown as "> limit"
RSS_LIMIT_KIB = 4096   # peak resident size goal, and "flat":
RSS_FLAT = 1.5         # largest peak no more than this times the smallest
LINEAR_GROWTH = 2.2    # twice the entries may take this many times as long
TMPFS = "/dev/shm"
TMPFS_NEEDED = 5 << 30  # bytes free on tmpfs to put everything there
BIG_FILE = 1 << 30
GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
WORK = [tempfile.gettempdir()]  # the run's temporary folder, once made

SERIES = (1000, 10000, 50000, 100000)
DIR_RATIO_GOALS = {50000: 0.5, 100000: 0.5}
MIXED_DIRS, MIXED_FILES = 500, 50000
MIXED_SIZES = (1024, 8192)


# ---------------------------------------------------------------- running


def say(text):
    """Progress, on standard error, so that standard output is the table."""
    sys.stderr.write("bench: %s\n" % text)
    sys.stderr.flush()


def run_timed(argv, stdin_path=None, stdout_path=None):
    """Runs argv; returns (seconds, CPU seconds, peak RSS in KiB, exit status).

    CPU seconds (user + system) count only the work done, which matters on
    a machine shared with other jobs, where the wall-clock time also counts
    the waits for a processor.
    The peak RSS comes from GNU time: a child forked from this interpreter
    would inherit its much larger resident size until it execs, and the
    kernel counts that too."""
    rss_file = os.path.join(WORK[0], "rss")
    if GNU_TIME:
        argv = [GNU_TIME, "-f", "%M", "-o", rss_file] + argv
    fin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    fout = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    try:
        used = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=fin, stdout=fout, stderr=subprocess.STDOUT, start_new_session=True)
        status = wait_or_stop(proc)
        secs = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = after.ru_utime + after.ru_stime - used.ru_utime - used.ru_stime
    finally:
        for f in (fin, fout):
            if hasattr(f, "close"):
                f.close()
    rss = 0
    if GNU_TIME and os.path.exists(rss_file):
        with open(rss_file) as f:
            lines = f.read().split()
        os.remove(rss_file)
        rss = int(lines[-1]) if lines and lines[-1].isdigit() else 0
    return secs, cpu, rss, status


def wait_or_stop(proc):
    """Waits for proc; past RUN_LIMIT stops its whole process group and
    returns None."""
    try:
        return proc.wait(timeout=RUN_LIMIT)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return None


def run_quiet(argv, input_text=None):
    """Runs a helper tool; its standard output, or the end of the run if it fails."""
    r = subprocess.run(argv, input=input_text.encode() if input_text else None,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if r.returncode != 0:
        sys.exit("bench: %s failed:\n%s%s" % (argv[0], r.stdout.decode(errors="replace"),
                                                r.stderr.decode(errors="replace")))
    return r.stdout.decode(errors="replace")


def remover(path):
    """A function that removes file `path` if it is there."""
    def remove():
        if os.path.exists(path):
            os.remove(path)
    return remove


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


class Timing:
    """Best times and largest peak RSS over the runs of one command."""

    def __init__(self):
        self.secs = None
        self.cpu = None
        self.rss = 0
        self.runs = 0
        self.failed = False
        self.stopped = False   # stopped at RUN_LIMIT: secs is a lower bound


def best_of(name, run, prepare):
    """Calls prepare() then run() -> (secs, cpu, rss, status) up to REPEATS times."""
    t = Timing()
    for _ in range(REPEATS):
        prepare()
        secs, cpu, rss, status = run()
        say("%s: %.2f s, CPU %.2f s" % (name, secs, cpu))
        t.cpu = cpu if t.cpu is None else min(t.cpu, cpu)
        t.runs += 1
        t.rss = max(t.rss, rss)
        if status is None:
            t.stopped, t.secs = True, secs
            break
        t.failed = t.failed or status != 0
        t.secs = secs if t.secs is None else min(t.secs, secs)
        if secs > LONG_RUN:
            break
    return t


# ---------------------------------------------------------------- images


def write_flat_dir(root, count):
    """One directory /d of `count` files of 8 bytes each."""
    d = os.path.join(root, "d")
    os.makedirs(d)
    for i in range(count):
        with open(os.path.join(d, "f%07d" % i), "wb") as f:
            f.write(b"%07d\n" % i)


def write_big_file(root, size):
    """One file /big; every 8 KiB block starts with its own number."""
    os.makedirs(root)
    base = bytearray(os.urandom(1 << 20))
    block = 0
    with open(os.path.join(root, "big"), "wb") as f:
        for _ in range(size >> 20):
            for off in range(0, len(base), 8192):
                base[off:off + 8] = struct.pack(">Q", block)
                block += 1
            f.write(base)


def write_mixed_tree(root, ndirs, nfiles):
    """`nfiles` files of 1-8 KB spread over `ndirs` directories."""
    rng = random.Random(11)
    pool = os.urandom(MIXED_SIZES[1] * 2)
    per_dir = nfiles // ndirs
    for d in range(ndirs):
        dpath = os.path.join(root, "d%03d" % d)
        os.makedirs(dpath)
        for i in range(per_dir):
            size = rng.randint(*MIXED_SIZES)
            at = rng.randrange(0, len(pool) - size)
            with open(os.path.join(dpath, "f%05d" % i), "wb") as f:
                f.write(pool[at:at + size])


def make_sun_disk(tree, image):
    """makefs a big-endian UFS1 of `tree`, then a Sun label with slice 0 on it."""
    run_quiet(["makefs", "-t", "ffs", "-B", "be", "-o", "version=1,bsize=8192,fsize=1024",
               "-b", "10%", image, tree])
    shutil.rmtree(tree)
    part = os.path.getsize(image) // 512
    cyl = 255 * 63  # sfdisk's geometry for an image file
    disk = -(-part // cyl) * cyl
    os.truncate(image, disk * 512)
    script = "label: sun\n\nx1 : start=0, size=%d, type=2\nx3 : start=0, size=%d, type=5\n" % (part, disk)
    run_quiet(["sfdisk", "--no-reread", "--no-tell-kernel", "--wipe", "never",
               "--wipe-partitions", "never", image], script)


def root_inode(image, name, kind):
    """Inode number of `name` in the image's root, from fls; kind "d/d" or "r/r"."""
    for line in run_quiet(["fls", "-o", "0", image]).splitlines():
        what, _, rest = line.partition(" ")
        ino, _, fname = rest.partition(":\t")
        if what == kind and fname == name:
            return ino
    sys.exit("bench: no %s in the root of %s" % (name, image))


def dir_inode(image, name):
    return root_inode(image, name, "d/d")


def file_inode(image, name):
    return root_inode(image, name, "r/r")


# ---------------------------------------------------------------- checks


def same_trees(a, b, skip_top=()):
    """True when the trees hold the same names and byte-identical files."""
    cmp = filecmp.dircmp(a, b, ignore=list(skip_top))
    return same_dircmp(cmp)


def same_dircmp(cmp):
    if cmp.left_only or cmp.right_only or cmp.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(cmp.left, cmp.right, cmp.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_dircmp(sub) for sub in cmp.subdirs.values())


def same_files(a, b):
    return filecmp.cmp(a, b, shallow=False)


# ---------------------------------------------------------------- works


class Row:
    def __init__(self, work, peer, goal):
        self.work, self.peer, self.goal = work, peer, goal
        self.ours = self.theirs = None
        self.value = None      # the figure compared with the goal
        self.met = None        # True / False / None (no goal)
        self.wrong = False
        self.note = ""


def sunufs_run(sunufs, image, commands, tmp):
    script = os.path.join(tmp, "commands")
    with open(script, "w") as f:
        f.write(commands + "bye\n")
    log = os.path.join(tmp, "sunufs.log")
    return lambda: run_timed([sunufs, "-p", "0", image], script, log)


def bench_dir_copy(sunufs, image, src, peer_argv, tmp, skip_top=()):
    """cp -r of `src` with sunufs against peer_argv writing into a folder."""
    ours, theirs = os.path.join(tmp, "ours"), os.path.join(tmp, "theirs")
    cmd = "lcd %s\ncp -r %s .\n" % (ours, src)
    tour = best_of("sunufs", sunufs_run(sunufs, image, cmd, tmp), lambda: fresh_dir(ours))
    tpeer = best_of(peer_argv[0], lambda: run_timed(peer_argv + [image, theirs]), lambda: fresh_dir(theirs))
    landed = ours if src == "/" else os.path.join(ours, os.path.basename(src))
    ok = stopped(tour, tpeer) or not tour.failed and not tpeer.failed and os.path.isdir(landed) \
        and same_trees(landed, theirs, skip_top)
    if not ok:
        keep_log(tmp)
    shutil.rmtree(ours, ignore_errors=True)
    shutil.rmtree(theirs, ignore_errors=True)
    return tour, tpeer, ok


def bench_file_copy(sunufs, image, tmp):
    """cp of /big with sunufs against cat of the same bytes (as icat gives them)."""
    ref, ours, theirs = (os.path.join(tmp, n) for n in ("ref", "ours", "theirs"))
    with open(ref, "wb") as f:
        if subprocess.call(["icat", "-o", "0", image, file_inode(image, "big")], stdout=f) != 0:
            sys.exit("bench: icat failed on %s" % image)
    cmd = "cp /big %s\n" % ours
    tour = best_of("sunufs", sunufs_run(sunufs, image, cmd, tmp), remover(ours))
    tpeer = best_of("cat", lambda: run_timed(["cat", ref], None, theirs), remover(theirs))
    ok = stopped(tour, tpeer) or not tour.failed and not tpeer.failed and os.path.exists(ours) \
        and os.path.getsize(ref) == BIG_FILE and same_files(ours, ref) and same_files(theirs, ref)
    if not ok:
        keep_log(tmp)
    for p in (ref, ours, theirs):
        if os.path.exists(p):
            os.remove(p)
    return tour, tpeer, ok


def bench_container_copy(sunufs, image, tmp):
    """cp of /big out of a qcow2 copy of `image` against cp out of `image` itself."""
    qcow, ours, theirs = (os.path.join(tmp, n) for n in ("big.qcow2", "ours", "theirs"))
    if subprocess.call(["qemu-img", "convert", "-f", "raw", "-O", "qcow2", image, qcow]) != 0:
        sys.exit("bench: qemu-img failed on %s" % image)
    tour = best_of("sunufs qcow2", sunufs_run(sunufs, qcow, "cp /big %s\n" % ours, tmp), remover(ours))
    tpeer = best_of("sunufs raw", sunufs_run(sunufs, image, "cp /big %s\n" % theirs, tmp), remover(theirs))
    ok = stopped(tour, tpeer) or not tour.failed and not tpeer.failed and os.path.exists(ours) \
        and same_files(ours, theirs)
    if not ok:
        keep_log(tmp)
    for p in (qcow, ours, theirs):
        if os.path.exists(p):
            os.remove(p)
    return tour, tpeer, ok


FAILED_LOGS = []


def stopped(*timings):
    """True when a run was cut off: its output is incomplete, not wrong."""
    return any(t.stopped for t in timings)


def keep_log(tmp):
    log = os.path.join(tmp, "sunufs.log")
    if os.path.exists(log):
        with open(log, "rb") as f:
            FAILED_LOGS.append(f.read()[-2000:].decode(errors="replace"))


def fill(row, tour, tpeer, ok, limit=None):
    row.ours, row.theirs, row.wrong = tour, tpeer, not ok
    if tour.runs < REPEATS or tpeer.runs < REPEATS:
        row.note = "best of %d/%d" % (tour.runs, tpeer.runs)
    if tpeer.secs and limit is not None:
        row.value = tour.secs / tpeer.secs
        row.met = row.value <= limit and not tour.stopped
    if stopped(tour, tpeer):
        row.note = "stopped at %.0f s" % RUN_LIMIT


def fmt_ratio(row):
    if row.value is None:
        return ""
    bound = "> " if row.ours.stopped else "< " if row.theirs.stopped else ""
    return "%s%.3f" % (bound, row.value)


# ---------------------------------------------------------------- report


def fmt_secs(t):
    if t is None or t.secs is None:
        return "—"
    return ("> %.0f" if t.stopped else "%.2f") % t.secs


def fmt_cpu_ratio(row):
    """sunufs's CPU seconds over its peer's, when both finished."""
    if row.ours is None or row.theirs is None or stopped(row.ours, row.theirs) or not row.theirs.cpu:
        return ""
    return "%.3f" % (row.ours.cpu / row.theirs.cpu)


def fmt_rss(t):
    return "—" if t is None or not t.rss else "%.1f MiB" % (t.rss / 1024)


def verdict(row):
    if row.wrong:
        return "WRONG COPY"
    if row.met is None:
        return ""
    return "yes" if row.met else "no"


def print_table(rows):
    head = ("work", "sunufs s", "peer", "peer s", "ratio", "goal", "met?", "sunufs peak RSS", "CPU ratio")
    lines = [head, tuple("---" for _ in head)]
    for r in rows:
        value = fmt_ratio(r)
        met = verdict(r) + (" (%s)" % r.note if r.note else "")
        lines.append((r.work, fmt_secs(r.ours), r.peer, fmt_secs(r.theirs), value, r.goal, met, fmt_rss(r.ours),
                      fmt_cpu_ratio(r)))
    widths = [max(len(l[i]) for l in lines) for i in range(len(head))]
    for l in lines:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(l, widths)) + " |")


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores" % (model, os.cpu_count() or 0)


# ---------------------------------------------------------------- the run


def series_rows(sunufs, tmp, sizes, rows):
    """Directories of growing size: each step at most LINEAR_GROWTH times
    slower per doubling of the entries than the one before, and the large
    ones under their ratio goal."""
    prev = None
    for n in sizes:
        image = os.path.join(tmp, "dir%d.img" % n)
        build(image, lambda root: write_flat_dir(root, n), tmp)
        peer = ["tsk_recover", "-e", "-d", dir_inode(image, "d"), "-o", "0"]
        tour, tpeer, ok = bench_dir_copy(sunufs, image, "/d", peer, tmp)
        os.remove(image)
        row = Row("`cp -r` of a directory of %s files" % format(n, ","), "`tsk_recover -e -d`", "")
        fill(row, tour, tpeer, ok, DIR_RATIO_GOALS.get(n, float("inf")))
        goals = ["ratio ≤ %.1f" % DIR_RATIO_GOALS[n]] if n in DIR_RATIO_GOALS else []
        if prev is not None:
            grow = tour.secs / prev[1].secs
            allowed = (n / prev[0]) ** math.log2(LINEAR_GROWTH)
            goals.append("time ≤ %.1f× the %s row" % (allowed, format(prev[0], ",")))
            row.met = (n not in DIR_RATIO_GOALS or row.met) and grow <= allowed
            row.note = ("%.2f×" % grow) + (", " + row.note if row.note else "")
        elif n not in DIR_RATIO_GOALS:
            row.met = None
        row.goal = "; ".join(goals)
        prev = (n, tour)
        rows.append(row)


def build(image, writer, tmp):
    start = time.perf_counter()
    tree = os.path.join(tmp, "tree")
    shutil.rmtree(tree, ignore_errors=True)
    writer(tree)
    make_sun_disk(tree, image)
    say("built %s in %.1f s" % (os.path.basename(image), time.perf_counter() - start))


def rss_row(rows):
    peaks = [r.ours.rss for r in rows if r.ours and r.ours.rss]
    row = Row("peak RSS of sunufs, any of the above", "", "flat, < 4 MiB")
    if peaks:
        row.value = None
        row.met = max(peaks) < RSS_LIMIT_KIB and max(peaks) <= RSS_FLAT * min(peaks)
        row.note = "%.1f–%.1f MiB" % (min(peaks) / 1024, max(peaks) / 1024)
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("sunufs")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    ap.add_argument("--quick", action="store_true", help="leave out the 100,000-entry directory")
    args = ap.parse_args()
    sunufs = os.path.abspath(args.sunufs)
    for tool in ("makefs", "sfdisk", "fls", "icat", "tsk_recover", "cat"):
        if not shutil.which(tool, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"):
            sys.exit("bench: %s is not installed" % tool)
    os.environ["PATH"] = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
    base = None
    if os.path.isdir(TMPFS) and shutil.disk_usage(TMPFS).free >= TMPFS_NEEDED:
        base = TMPFS
    tmp = tempfile.mkdtemp(prefix="sunufs-bench-", dir=base)
    WORK[0] = tmp
    started = time.time()
    try:
        status = run_all(sunufs, tmp, args.quick)
    finally:
        if args.keep:
            print("kept %s" % tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    print("\nmachine: %s; work folder on %s; whole run %.0f s" %
          (machine(), "tmpfs" if base else "disk (no room on tmpfs)", time.time() - started))
    return status


def run_all(sunufs, tmp, quick):
    rows = []
    sizes = SERIES[:-1] if quick else SERIES
    series_rows(sunufs, tmp, sizes, rows)

    image = os.path.join(tmp, "big.img")
    build(image, lambda root: write_big_file(root, BIG_FILE), tmp)
    row = Row("`cp` of one 1 GiB file", "`cat` of the same bytes", "ratio ≤ 1.15")
    fill(row, *bench_file_copy(sunufs, image, tmp), limit=1.15)
    rows.append(row)
    if shutil.which("qemu-img"):
        row = Row("`cp` of one 1 GiB file out of a qcow2 image", "`cp` out of the raw image", "ratio ≤ 1.3")
        fill(row, *bench_container_copy(sunufs, image, tmp), limit=1.3)
        rows.append(row)
    os.remove(image)

    image = os.path.join(tmp, "mixed.img")
    build(image, lambda root: write_mixed_tree(root, MIXED_DIRS, MIXED_FILES), tmp)
    row = Row("`cp -r /` of 50,000 files of 1–8 KB in 500 directories", "`tsk_recover -e`", "ratio ≤ 0.7")
    fill(row, *bench_dir_copy(sunufs, image, "/", ["tsk_recover", "-e", "-o", "0"], tmp, ("$OrphanFiles",)),
         limit=0.7)
    os.remove(image)
    rows.append(row)
    rows.append(rss_row(rows))

    print_table(rows)
    for log in FAILED_LOGS:
        print("\nsunufs said, on a wrong copy:\n" + log)
    if any(r.wrong for r in rows):
        return 2
    return 0 if all(r.met is not False for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
