"""What the benchmark reads from the system: CPU and memory of processes from /proc, CPU in 1 s
windows, passive capture samples, and X key presses through libXtst with their own times."""

import ctypes
import ctypes.util
import os
import statistics
import time


def now():
    """Seconds of CLOCK_MONOTONIC_RAW, the clock of the harness and of Wine's QueryPerformanceCounter."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


# ---- figures --------------------------------------------------------------------------------------

def ms(seconds):
    return seconds * 1000.0


# ---- /proc readings -------------------------------------------------------------------------------

CLK_TCK = os.sysconf("SC_CLK_TCK")


def proc_reading(pid):
    """CPU ticks (utime+stime), CPU ns of all threads (schedstat), context switches of all threads."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    cpu_ns = switches = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                cpu_ns += int(f.read().split()[0])
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        switches += int(line.split()[1])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended meanwhile
    return ticks, cpu_ns, switches


def memory_kib(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values


def measure_cpu(pids, seconds):
    """Per process: CPU % in 1 s windows (schedstat), CPU % over the whole time (utime+stime),
    context switches per second."""
    t0 = now()
    first = {name: proc_reading(pid) for name, pid in pids.items()}
    last = dict(first)
    windows = {name: [] for name in pids}
    previous_t = t0
    while now() - t0 < seconds - 1e-3:
        time.sleep(max(0.0, min(1.0, t0 + seconds - now())))
        t = now()
        for name, pid in pids.items():
            reading = proc_reading(pid)
            windows[name].append(100.0 * (reading[1] - last[name][1]) / 1e9 / (t - previous_t))
            last[name] = reading
        previous_t = t
    wall = previous_t - t0
    result = {}
    for name in pids:
        total = 100.0 * (last[name][0] - first[name][0]) / CLK_TCK / wall
        result[name] = (windows[name], total, (last[name][2] - first[name][2]) / wall)
    return result


def merge_cpu(runs):
    """measure_cpu's readings of several turns as one: every window, mean CPU %, mean switches/s."""
    merged = {}
    for name in (runs[0] if runs else {}):
        windows = [w for run in runs for w in run[name][0]]
        merged[name] = (windows, statistics.mean(run[name][1] for run in runs),
                        statistics.mean(run[name][2] for run in runs))
    return merged


class Capture:
    """Passive capture samples of one listener, in ms: copy -> line, copy -> its stamp, stamp -> line."""

    def __init__(self):
        self.total, self.notify, self.report = [], [], []
        self.count = self.misses = 0


# ---- X key presses without a process per press --------------------------------------------------

class XTest:
    """Key presses through libXtst, so that the press's own time is known to the microsecond."""

    def __init__(self, display):
        x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        self.xtst = ctypes.CDLL(ctypes.util.find_library("Xtst") or "libXtst.so.6")
        self.x11 = x11
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XStringToKeysym.restype = ctypes.c_ulong
        x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
        x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.display = x11.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError("XOpenDisplay(%s) failed" % display)

    def keycode(self, name):
        return self.x11.XKeysymToKeycode(self.display, self.x11.XStringToKeysym(name.encode()))

    def key(self, code, down):
        self.xtst.XTestFakeKeyEvent(self.display, code, 1 if down else 0, 0)
        self.x11.XFlush(self.display)

    def close(self):
        self.x11.XSync(self.display, 0)
        self.x11.XCloseDisplay(self.display)
