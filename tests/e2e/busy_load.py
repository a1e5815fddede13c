"""Busy processes that keep the machine's cores as busy as a game's threads do, for the soak and
the benchmarks: N shell loops that spin at normal priority, started and ended by PID. Should the
process that started them die first, the kernel ends them (setpriv --pdeathsig)."""

import signal
import subprocess

from wine_session import stop_process

SPINNER = ["setpriv", "--pdeathsig", "KILL", "sh", "-c", "while :; do :; done"]


class Load:
    """A with-block during which count spinners run; they end with it, on an exception too."""

    def __init__(self, count):
        if count < 0:
            raise ValueError("a load is a count of busy processes, 0 or more, not %d" % count)
        self.count = count
        self.spinners = []

    def __enter__(self):
        return self.start()

    def start(self):
        try:
            for _ in range(self.count):
                self.spinners.append(subprocess.Popen(SPINNER, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL))
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *_):
        self.stop()

    def stop(self):
        for spinner in self.spinners:
            stop_process(spinner, signal.SIGTERM, grace=5.0)
        self.spinners = []

    def running(self):
        """How many of the spinners still run (all of them, unless something killed one)."""
        return sum(spinner.poll() is None for spinner in self.spinners)

    def describe(self):
        return "%d busy process%s" % (self.count, "" if self.count == 1 else "es")
