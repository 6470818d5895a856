"""A program run on a pseudo-terminal, as a user at a terminal runs it:
the terminal is its controlling terminal (so Ctrl-C is a signal), and its
standard error may go to the terminal or to a pipe."""
import fcntl
import os
import select
import subprocess
import termios
import time


class Terminal:
    def __init__(self, argv, cwd=None, stderr_to_pipe=False, env=None):
        self.master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, b"\x18\x00\x50\x00\x00\x00\x00\x00")  # 24 x 80
        self.proc = subprocess.Popen(
            argv, cwd=cwd, env=env, stdin=slave, stdout=slave,
            stderr=subprocess.PIPE if stderr_to_pipe else slave,
            start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self.seen = b""

    def send(self, data):
        os.write(self.master, data)

    def _read(self, wait):
        ready, _, _ = select.select([self.master], [], [], wait)
        if not ready:
            return False
        try:
            chunk = os.read(self.master, 65536)
        except OSError:
            return False
        self.seen += chunk
        return bool(chunk)

    def expect(self, needle, timeout=60):
        """Reads until `needle` (bytes) has appeared after the last match;
        returns what came up to and including it."""
        end = time.time() + timeout
        while needle not in self.seen:
            if time.time() > end or (not self._read(0.1) and self.proc.poll() is not None):
                raise AssertionError("%r not seen; got %r (program %s)"
                                     % (needle, self.seen[-400:], self._state()))
        cut = self.seen.index(needle) + len(needle)
        before, self.seen = self.seen[:cut], self.seen[cut:]
        return before

    def _state(self):
        """How the program stands, for a failure message: its exit status,
        or its scheduler state (R running, S sleeping, T stopped)."""
        if self.proc.poll() is not None:
            return "ended with %d" % self.proc.returncode
        try:
            with open("/proc/%d/stat" % self.proc.pid) as f:
                state = "in state " + f.read().rsplit(")", 1)[1].split()[0]
            with open("/proc/%d/wchan" % self.proc.pid) as f:
                return state + ", waiting in " + (f.read().strip() or "nothing")
        except OSError:
            return "in an unknown state"

    def finish(self, timeout=20):
        """Waits for the end; returns what the stderr pipe got, if any."""
        err = self.proc.stderr.read() if self.proc.stderr else b""
        self.proc.wait(timeout)
        while self._read(0.05):
            pass
        os.close(self.master)
        return err
