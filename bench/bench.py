"""Figures of wine_bridge.exe under Wine, against the stand-in game: start-up, state-line spacing,
passive and active capture latency, hotkey latency, the cost of a 64 MiB clipboard loan, and the
bridge's idle CPU and memory.

It prints figures (median, p90, min, max, n) and never passes or fails on timing. One session of
tests/e2e/harness.py (its own Xvfb and "wineserver -f -p", ended by PID) runs on a private prefix,
build/bench/wineprefix by default, so that it never meets the end-to-end tests' wineserver. The
executables are copied to a temporary directory first, so a rebuild during the run changes nothing.

Times are arrival times of lines on the host side (CLOCK_MONOTONIC_RAW, which is also the clock of
Wine's QueryPerformanceCounter and so of the tools' log stamps). p90 is the nearest-rank value.

usage: bench.py [--quick] [--prefix DIR] [--windows-dir DIR]
environment: BRIDGE_WINDOWS_DIR (default build/windows), BENCH_WINE_PREFIX (default build/bench/wineprefix)
"""

import argparse
import ctypes
import ctypes.util
import datetime
import hashlib
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from report import Table, draw_chart, median, progress  # noqa: E402 (after the line above)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
E2E = os.path.join(ROOT, "tests", "e2e")
EXES = ("wine_bridge.exe", os.path.join("tools", "StarCitizen.exe"), os.path.join("tools", "clipboard_tool.exe"),
        os.path.join("bench", "floor_probe.exe"), os.path.join("bench", "start_probe.exe"))

# rounds: how many times the bridge and its floor probe take turns in the idle and passive figures
FULL = dict(starts=10, spacing_s=5.0, idle_s=12.0, passive=30, active=15, hotkeys=15, loans=5, rounds=6)
QUICK = dict(starts=4, spacing_s=2.5, idle_s=4.0, passive=10, active=5, hotkeys=5, loans=2, rounds=2)

BIG_FILL = "fill 64x1048576"  # 64 formats of 1 MiB: exactly the snapshot's limits (64 formats, 64 MiB)
ANSWER_LIMIT_S = 2.0
COOL_DOWN_S = 2.0
KEY_HOLDS_MS = 220  # Enter 70, Ctrl+V 10 + 70, Enter 70; the context delay comes twice between them
ENTER_HOLD_MS = 70
SETTLE_S = 0.5  # after a program starts, before its figures count
HOTKEY = (2, 80, "ctrl+p")  # MOD_CONTROL, VK P, and the same for xdotool
STATUS_SENT = "Position demandée…"

harness = None  # tests/e2e/harness.py, imported once the executables' directory is known


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
    t0 = harness.now()
    first = {name: proc_reading(pid) for name, pid in pids.items()}
    last = dict(first)
    windows = {name: [] for name in pids}
    previous_t = t0
    while harness.now() - t0 < seconds - 1e-3:
        time.sleep(max(0.0, min(1.0, t0 + seconds - harness.now())))
        t = harness.now()
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


# ---- the benchmark --------------------------------------------------------------------------------

class Bench:
    def __init__(self, session, sizes, table):
        self.session = session
        self.n = sizes
        self.table = table
        self.game = self.tool = self.bridge = None
        self.epoch = 0
        self.baseline_macro = {}
        self.memory = []
        self.gaps = []  # longest state-line gap of each acquisition, per section
        self.timer_period_ms = None  # WM_TIMER period of SetTimer(5 ms), measured by the idle probe
        self.chart = {"passive": ([], []), "macro": {}}  # distributions beside their floors
        self.loan_floor = {"save": []}  # floor_probe.exe's saves, ms

    def new_context(self, enabled=1, delay=50):
        self.epoch += 1
        return self.bridge.context(self.epoch, enabled, delay)

    def drop(self, program):
        program.stop()
        if program in self.session.programs:
            self.session.programs.remove(program)

    def start_tools(self):
        self.game = self.session.game()
        if self.game.ready.fields.get("front") != "1":
            self.table.note("the stand-in game did not take the foreground at start")
        self.tool = self.session.tool()

    def start_probe(self, exe, *args):
        """A floor probe, with JSON lines and the focus pump of harness.Bridge (off until asked)."""
        return self.session.start_program(harness.Bridge, harness.exe_path("bench", exe), *args)

    def probe_turn(self, mode, measure):
        """The bridge steps aside while floor_probe.exe in that mode runs measure(probe); then the
        bridge comes back, enabled, with the game in front. Returns the probe's lines."""
        self.drop(self.bridge)
        self.bridge = None
        probe = self.start_probe("floor_probe.exe", mode)
        try:
            probe.expect("probe_ready")
            measure(probe)
            probe.close_input()
            probe.wait_exit()
            return probe.since(0)
        finally:
            self.drop(probe)
            self.start_bridge()

    # 1. start-up
    def startup(self):
        self.table.section("1. start-up (warm prefix, wineserver running; one untimed warm-up start first; "
                           "the bridge, start_probe.exe and floor_probe.exe in turn)")
        to_ready, to_state, to_exit, floor, with_window = [], [], [], [], []
        for run in range(self.n["starts"] + 1):
            bridge = self.session.bridge()
            ready = bridge.expect("bridge_ready")
            state = bridge.expect()
            if state.kind != "native_state":
                self.table.note("start %d: the line after the ready line was %r" % (run, state.raw))
            t = harness.now()
            bridge.close_input()
            code = bridge.proc.wait(harness.TIMEOUT)
            ended = harness.now()
            self.drop(bridge)
            if code != 0:
                self.table.note("start %d: exit code %d after end of input" % (run, code))
            floor_start, window_start = self.probe_start("start_probe.exe"), self.probe_start("floor_probe.exe", "idle")
            if run == 0:
                continue
            to_ready.append(ms(ready.at - bridge.started))
            to_state.append(ms(state.at - ready.at))
            to_exit.append(ms(ended - t))
            floor.append(floor_start)
            with_window.append(window_start)
        self.table.series("wine wine_bridge.exe started -> ready line", "ms", to_ready, floor=median(floor))
        self.table.series("  floor: wine start_probe.exe started -> its one line", "ms", floor)
        self.table.series("  for scale: wine floor_probe.exe idle started -> its ready line", "ms", with_window,
                          "the bridge's start-up steps without its own work")
        self.table.series("ready line -> first state line", "ms", to_state)
        self.table.series("stdin closed -> process exit (code 0)", "ms", to_exit)

    def probe_start(self, exe, *args):
        """ms from starting a probe to its ready line; the probe ends at once."""
        probe = self.start_probe(exe, *args)
        try:
            return ms(probe.expect("probe_ready").at - probe.started)
        finally:
            self.drop(probe)

    def start_bridge(self):
        self.bridge = self.session.bridge()
        self.bridge.expect("bridge_ready")
        self.new_context()
        self.bridge.focus_pump(True)
        self.bridge.state(True)

    # 2. state lines
    def spacing(self):
        seconds = self.n["spacing_s"]
        self.table.section("2. state lines (game in front, focus 1 every 100 ms, %.1f s)" % seconds)
        mark = self.bridge.mark()
        time.sleep(seconds)
        lines = self.bridge.since(mark, "native_state")
        gaps = [ms(b.at - a.at) for a, b in zip(lines, lines[1:])]
        self.table.series("state line spacing, host arrival", "ms", gaps, ">= 150 by the tick clock")
        short = [round(g, 2) for g in gaps if g < 149.0]
        if short:
            self.table.note("%d state line gap(s) under 149 ms on arrival: %s" % (len(short), short))
        hidden = [l for l in lines if not l["foreground"]]
        if hidden:
            self.table.note("%d of %d state lines said foreground false with focus reports flowing"
                            % (len(hidden), len(lines)))

    # 7a. idle cost
    def idle(self):
        seconds, rounds = self.n["idle_s"], self.n["rounds"]
        self.table.section("7. idle cost (game in front, focus 1 every 100 ms; the bridge and floor_probe.exe idle "
                           "in turn, %d x %.1f s each)" % (rounds, seconds / rounds))
        server = self.session.server.pid
        bridge_runs, probe_runs, periods = [], [], []
        for _ in range(rounds):
            time.sleep(SETTLE_S)
            pids = {"wine_bridge.exe": self.bridge.proc.pid, "wineserver": server,
                    "StarCitizen.exe (stand-in)": self.game.proc.pid, "Xvfb": self.session.xvfb.pid}
            bridge_runs.append(measure_cpu(pids, seconds / rounds))

            def measure(probe):
                probe.focus_pump(True)
                time.sleep(SETTLE_S)
                probe_runs.append(measure_cpu({"floor_probe.exe": probe.proc.pid, "wineserver": server},
                                              seconds / rounds))
            lines = self.probe_turn("idle", measure)
            timer = [l for l in lines if l.kind == "timer_ticks"]
            if timer and timer[0]["timer_ticks"] > 1:
                periods.append((timer[0]["timer_span_ms"], timer[0]["timer_ticks"] - 1))
        if periods:
            self.timer_period_ms = sum(p[0] for p in periods) / sum(p[1] for p in periods)
        self.idle_rows(merge_cpu(bridge_runs), merge_cpu(probe_runs))
        self.remember_memory("idle, before any loan")

    def idle_rows(self, bridge, probe):
        both = [a + b for a, b in zip(bridge["wine_bridge.exe"][0], bridge["wineserver"][0])]
        floor = [a + b for a, b in zip(probe["floor_probe.exe"][0], probe["wineserver"][0])]
        self.table.series("wine_bridge.exe + wineserver CPU, 1 s windows", "% core", both, "schedstat",
                          floor=median(floor))
        self.table.series("  floor: floor_probe.exe idle + wineserver, the same", "% core", floor)
        self.table.series("wine_bridge.exe CPU, 1 s windows", "% core", bridge["wine_bridge.exe"][0],
                          floor=median(probe["floor_probe.exe"][0]))
        self.table.series("wineserver CPU beside it, 1 s windows", "% core", bridge["wineserver"][0],
                          "floor: beside the probe", floor=median(probe["wineserver"][0]))
        self.table.single("wine_bridge.exe context switches", "/s", bridge["wine_bridge.exe"][2],
                          floor=probe["floor_probe.exe"][2])
        self.table.single("wineserver context switches beside it", "/s", bridge["wineserver"][2],
                          floor=probe["wineserver"][2])
        for name, (_, total, switches) in bridge.items():
            self.table.single("%s CPU over the bridge's turns (utime+stime)" % name, "% core", total)
        for name in ("StarCitizen.exe (stand-in)", "Xvfb"):
            self.table.single("%s context switches" % name, "/s", bridge[name][2])
        self.table.single("WM_TIMER period of SetTimer(5 ms), floor_probe.exe idle", "ms", self.timer_period_ms,
                          "mean over its turns")

    def cpu_rows(self, readings, detailed):
        for name, (windows, total, switches) in readings.items():
            if name in detailed:
                self.table.series("%s CPU, 1 s windows (schedstat)" % name, "% core", windows)
            self.table.single("%s CPU over the run (utime+stime)" % name, "% core", total)
            self.table.single("%s context switches" % name, "/s", switches)

    def remember_memory(self, when):
        bridge = memory_kib(self.bridge.proc.pid)
        server = memory_kib(self.session.server.pid)
        self.memory.append((when, bridge, server))

    # 3. passive capture
    def passive(self):
        rounds = self.n["rounds"]
        self.table.section("3. passive capture (the game writes a distinct Coordinates text; the bridge and "
                           "floor_probe.exe listen in turn, %d rounds)" % rounds)
        per_round = max(1, self.n["passive"] // rounds)
        bridge, probe = Capture(), Capture()
        for _ in range(rounds):
            for _ in range(per_round):
                self.capture(self.bridge, bridge)
            self.probe_turn("listen", lambda listener: [self.capture(listener, probe) for _ in range(per_round)])
        self.table.series("game's copy logged -> text line arrives", "ms", bridge.total,
                          "game stamps after CloseClipboard", floor=median(probe.total))
        self.table.series("  floor: floor_probe.exe listen, game's copy logged -> its line", "ms", probe.total)
        self.table.series("  of which: game's copy logged -> bridge's wall_time", "ms", bridge.notify,
                          "no ratio: near 0, and the clock offset read per sample errs by tens of us")
        self.table.series("  floor: the same for floor_probe.exe", "ms", probe.notify)
        self.table.series("  of which: bridge's wall_time -> text line arrives", "ms", bridge.report,
                          floor=median(probe.report))
        self.chart["passive"] = (bridge.total, probe.total)
        for who, capture in (("bridge", bridge), ("floor_probe.exe", probe)):
            if capture.misses:
                self.table.note("passive: %s missed %d of %d texts (no line within 5 s)"
                                % (who, capture.misses, per_round * rounds))

    def capture(self, listener, into):
        """The game copies a new Coordinates text; the listener's text line is timed into into."""
        into.count += 1
        text = "Coordinates: x:%d.5 y:-2 z:%d" % (1000 + into.count, into.count)
        mark = listener.mark()
        copied = self.game.copy(harness.escape(text))
        offset = time.time() - harness.now()
        try:
            line = listener.expect(lambda l: l.kind == "text" and l["text"] == text, start=mark, timeout=5)
        except AssertionError:
            into.misses += 1
            return
        stamped = line["wall_time"] - offset  # the listener's time stamp, moved to our clock
        into.total.append(ms(line.at - copied.t))
        into.notify.append(ms(stamped - copied.t))
        into.report.append(ms(line.at - stamped))
        if line.data.get("latency_ms") or line.data.get("macro_ms"):
            self.table.note("passive text line with non-zero timing figures: %r" % line.raw)
        time.sleep(0.05)

    # 4. active acquisition
    def active(self, delay):
        self.table.section("4. active acquisition, context delay %d ms (game answers at once)" % delay)
        self.new_context(delay=delay)
        self.gaps = []
        total, first_status, macro, latency, answer, errors = [], [], [], [], [], []
        for _ in range(self.n["active"]):
            result = self.acquire()
            if result is None:
                continue
            line, t0, statuses, answered = result
            if line.kind == "error":
                errors.append(line["error"])
                time.sleep(COOL_DOWN_S + 0.2)
                continue
            total.append(ms(line.at - t0))
            if statuses:
                first_status.append(ms(statuses[0].at - t0))
            macro.append(line["macro_ms"])
            latency.append(line["latency_ms"])
            if answered:
                answer.append(ms(line.at - answered.t))
            time.sleep(0.1)
        self.baseline_macro[delay] = macro
        self.table.series("trigger sent -> first status line", "ms", first_status)
        self.table.series("trigger sent -> text line arrives", "ms", total)
        floor = self.macro_floor(delay)
        self.table.series("macro_ms as reported", "ms", macro, "floor: %d ms of holds and delays + a timer period"
                          % (KEY_HOLDS_MS + 2 * delay), floor=floor, margin_goal=True)
        self.chart["macro"][delay] = (macro, floor)
        self.table.series("latency_ms as reported", "ms", latency, "includes the 70 ms Enter hold")
        self.table.series("game's answer logged -> text line arrives", "ms", answer)
        self.table.series("longest state-line gap around each acquisition", "ms", self.gaps,
                          "key holds block the main thread")
        if errors:
            self.table.note("delay %d: %d error line(s): %s" % (delay, len(errors), sorted(set(errors))))

    def macro_floor(self, delay):
        """What macro_ms cannot go below: the key holds, the delay twice, and the wait for a tick at
        the two stage boundaries that wait for the delay, half a timer period each on average."""
        if self.timer_period_ms is None:
            note = "no timer period measured (idle cost): macro_ms floors without it"
            if note not in self.table.notes:
                self.table.note(note)
            return KEY_HOLDS_MS + 2 * delay
        return KEY_HOLDS_MS + 2 * delay + self.timer_period_ms

    def acquire(self, timeout=10.0):
        """One trigger: (text or error line, time sent, status lines, the game's "answered" line)."""
        mark, game_mark = self.bridge.mark(), self.game.mark()
        t0 = self.bridge.send("trigger")
        try:
            line = self.bridge.expect(lambda l: l.kind in ("text", "error"), start=mark, timeout=timeout)
        except AssertionError:
            self.table.note("a trigger got neither a text nor an error line within %.0f s" % timeout)
            self.bridge.send("cancel")
            return None
        statuses = self.bridge.since(mark, "status")
        answered = None
        if line.kind == "text":  # the game logs its answer after its write, maybe after our line came
            try:
                answered = self.game.expect("answered", start=game_mark, timeout=2)
            except AssertionError:
                pass
        self.gaps.append(self.longest_state_gap(mark))
        return line, t0, statuses, answered

    def longest_state_gap(self, mark):
        """The longest gap between state lines from the last one before mark to the first one after
        the line just taken (the main thread prints none while it copies a clipboard or holds a key)."""
        after = self.bridge.expect("native_state")
        with self.bridge.changed:
            lines = self.bridge.lines[:self.bridge.cursor]
        before = [l for l in lines[:mark] if l.kind == "native_state"][-1:]
        states = before + [l for l in lines[mark:] if l.kind == "native_state"]
        return max((ms(b.at - a.at) for a, b in zip(states, states[1:])), default=ms(after.at - states[0].at))

    # 5. hotkeys
    def hotkeys(self):
        modifiers, vk, keys = HOTKEY
        self.table.section("5. hotkey %s (bind 0 %d %d) pressed in the game's window" % (keys, modifiers, vk))
        mark = self.bridge.mark()
        self.bridge.send("bind 0 %d %d" % (modifiers, vk))
        self.new_context()  # lines are dispatched in order: the new epoch proves the bind was handled
        refused = self.bridge.since(mark, "error")
        if refused:
            self.table.note("bind refused: %r" % refused[0].raw)
            return
        env = dict(os.environ, DISPLAY=self.session.display)
        found = subprocess.run(["xdotool", "search", "--name", "^StandInGame$"], env=env, capture_output=True,
                               text=True, stdin=subprocess.DEVNULL)
        xids = found.stdout.split()
        if not xids:
            self.table.note("xdotool found no StandInGame window: %r" % found.stderr)
            return
        subprocess.run(["xdotool", "windowfocus", "--sync", xids[0]], env=env, stdin=subprocess.DEVNULL, check=True)
        spawn, run_time, misses = [], [], 0
        for _ in range(self.n["hotkeys"]):
            mark = self.bridge.mark()
            t0 = harness.now()
            subprocess.run(["xdotool", "key", keys], env=env, stdin=subprocess.DEVNULL, check=True)
            t1 = harness.now()
            line = self.action_after(mark)
            if line is None:
                misses += 1
                continue
            spawn.append(ms(line.at - t0))
            run_time.append(ms(t1 - t0))
            time.sleep(0.15)
        self.table.series("xdotool key started -> native_action line", "ms", spawn, "includes xdotool's start")
        self.table.series("  xdotool key: start -> exit (for scale)", "ms", run_time)
        self.xtest_presses(misses)

    def action_after(self, mark):
        try:
            return self.bridge.expect("native_action", start=mark, timeout=3)
        except AssertionError:
            return None

    def xtest_presses(self, xdotool_misses):
        try:
            x = XTest(self.session.display)
        except (OSError, RuntimeError, AttributeError) as error:
            self.table.note("XTest presses skipped: %s" % error)
            return
        presses, misses = [], 0
        try:
            ctrl, p = x.keycode("Control_L"), x.keycode(HOTKEY[2].split("+")[1])
            for _ in range(self.n["hotkeys"]):
                mark = self.bridge.mark()
                x.key(ctrl, True)
                t0 = harness.now()
                x.key(p, True)
                x.key(p, False)
                x.key(ctrl, False)
                line = self.action_after(mark)
                if line is None:
                    misses += 1
                else:
                    presses.append(ms(line.at - t0))
                time.sleep(0.15)
        finally:
            x.close()
        self.table.series("XTest P press (Ctrl held) -> native_action line", "ms", presses, "libXtst via ctypes")
        if xdotool_misses or misses:
            self.table.note("hotkey presses without an action line: xdotool %d, XTest %d"
                            % (xdotool_misses, misses))
        self.bridge.send("bind 0 0 0")

    # 6. clipboard loan
    def loans(self):
        self.table.section("6. clipboard loan: %s (64 formats x 1 MiB = 64 MiB), context delay 50; each loan "
                           "of the bridge over it followed by one of floor_probe.exe" % BIG_FILL)
        self.new_context(delay=50)
        self.gaps = []
        fills, macro, refused = [], [], []
        probe = self.start_probe("floor_probe.exe", "loan")
        try:
            probe.expect("probe_ready")
            for i in range(self.n["loans"]):
                t = harness.now()
                self.tool.command(BIG_FILL, "filled", timeout=120)
                fills.append(ms(harness.now() - t))
                result = self.acquire()
                if i == self.n["loans"] - 1:
                    self.remember_memory("right after a successful 64 MiB loan")
                floor = self.probe_loan(probe)
                if floor:
                    self.loan_floor["save"].append(floor[0])
                if result is None:
                    continue
                line = result[0]
                if line.kind == "error":
                    refused.append(line["error"])
                    time.sleep(COOL_DOWN_S + 0.2)
                    continue
                macro.append(line["macro_ms"])
            time.sleep(2.0)
            self.remember_memory("2 s after a successful 64 MiB loan and one of the probe's")
            self.loan_rows(fills, macro, refused)
            self.never_answers(probe)
        finally:
            self.drop(probe)

    def loan_rows(self, fills, macro, refused):
        self.table.series("clipboard_tool fill (for scale)", "ms", fills)
        self.table.series("macro_ms of an acquisition over it", "ms", macro, "includes the save")
        self.table.series("  longest state-line gap around each", "ms", self.gaps, "the save blocks the main thread")
        small = self.baseline_macro.get(50)
        if macro and small:
            self.table.single("  save cost: median macro_ms big - small", "ms",
                              statistics.median(macro) - statistics.median(small), "small: section 4, delay 50",
                              floor=median(self.loan_floor["save"]))
        self.table.series("  floor: floor_probe.exe loan, save (open -> close)", "ms", self.loan_floor["save"],
                          "the same calls, nothing else")
        if refused:
            self.table.note("loan: error line(s) instead of a text: %s" % sorted(set(refused)))

    def never_answers(self, probe):
        self.game.command("answer never", "answer")
        # The bridge restores about this long after its save (the keys, then the 2 s wait that starts
        # with the last Enter); a restore comes slower the longer the loan lasted, so the probe holds
        # its loans as long.
        hold_ms = int(ms(ANSWER_LIMIT_S) + self.macro_floor(50) - ENTER_HOLD_MS)
        big, small, restore_big, restore_small, held = [], [], [], [], []
        gaps = {True: [], False: []}
        try:
            runs = 2 * self.n["loans"]
            for i in range(runs):
                loaded = i % 2 == 1  # short and big in turn, so that load changes touch both; big last
                if loaded:
                    self.tool.command(BIG_FILL, "filled", timeout=120)
                else:
                    self.tool.copy("a short text of the user's")
                before = self.tool.command("dump", "dump", timeout=60) if i == 1 else None
                result = self.acquire()
                if result is None:
                    continue
                line, t0, statuses, _ = result
                gaps[loaded].append(self.gaps[-1])
                sent = [s for s in statuses if s["status"] == STATUS_SENT]
                if line.kind != "error" or not sent:
                    self.table.note("no-answer run: unexpected end %r" % line.raw)
                else:
                    (big if loaded else small).append(ms(line.at - t0) - ms(ANSWER_LIMIT_S))
                    (restore_big if loaded else restore_small).append(ms(line.at - sent[0].at))
                if i == runs - 1:
                    self.remember_memory("right after a 64 MiB restore (bridge owns it)")
                if before is not None:
                    self.check_restore(before)
                if loaded:
                    held.append(self.probe_loan(probe, hold_ms))
                time.sleep(max(0.0, line.at + COOL_DOWN_S + 0.1 - harness.now()))
        finally:
            self.game.command("answer normal", "answer")
        self.table.series("game never answers, 64 MiB: trigger -> error line - 2 s", "ms", big, "save + restore")
        self.table.series("game never answers, short text: same", "ms", small)
        self.table.series("  64 MiB: 'Position demandée' status -> error line", "ms", restore_big, "restore")
        self.table.series("  short text: same", "ms", restore_small)
        self.table.series("  64 MiB: longest state-line gap around each", "ms", gaps[True], "save, restore")
        self.table.series("  short text: same", "ms", gaps[False])
        held = [loan for loan in held if loan]
        if big and small:
            self.table.single("  save + restore cost: median big - small", "ms",
                              statistics.median(big) - statistics.median(small),
                              floor=median([save + restore for save, restore in held]))
        if restore_big and restore_small:
            self.table.single("  restore cost: median big - small", "ms",
                              statistics.median(restore_big) - statistics.median(restore_small),
                              floor=median([restore for _, restore in held]))
        self.table.series("  floor: floor_probe.exe loan held %d ms, restore" % hold_ms, "ms",
                          [restore for _, restore in held], "open -> close, copies freed")
        self.table.series("  floor: the same loans, save", "ms", [save for save, _ in held])

    def probe_loan(self, probe, hold_ms=0):
        """The same 64 MiB clipboard lent by floor_probe.exe for hold_ms, the bridge disabled
        meanwhile so that it does not read the clipboard. Returns (save ms, restore ms) or None."""
        self.new_context(enabled=0)
        try:
            self.tool.command(BIG_FILL, "filled", timeout=120)
            mark = probe.mark()
            probe.send("loan %d" % hold_ms)
            line = probe.expect("loan", start=mark, timeout=60 + hold_ms / 1000.0)
            if line["loan"] and line["formats"] == 64 and line["bytes"] == 64 << 20:
                return line["save_ms"], line["restore_ms"]
            self.table.note("floor_probe.exe loan: %r" % line.raw)
            return None
        finally:
            self.new_context(delay=50)

    def check_restore(self, before):
        after = self.tool.command("dump", "dump", timeout=60)
        entries = lambda line: line.body.split(" ")[3:]  # after owner=, seq=, count=
        if entries(after) != entries(before):
            self.table.note("64 MiB clipboard not restored identically: before %s, after %s"
                            % (before.body[:120], after.body[:120]))
        else:
            progress("  restore checked: %s formats, identical sizes and hashes" % before.fields.get("count"))

    def memory_after_read(self):
        """Wine's user32 keeps the data that GetClipboardData returned: one more read may release it."""
        text = "Coordinates: x:1 y:2 z:99999"
        mark = self.bridge.mark()
        self.game.copy(harness.escape(text))
        try:
            self.bridge.expect(lambda l: l.kind == "text" and l["text"] == text, start=mark, timeout=5)
        except AssertionError:
            self.table.note("the passive text after the loans was not reported")
        self.remember_memory("after the game then copies a short text")

    def memory_rows(self):
        self.table.section("7. memory (VmRSS / VmHWM from /proc)")
        for when, bridge, server in self.memory:
            self.table.single("wine_bridge.exe VmRSS, %s" % when, "MiB", bridge["VmRSS"] / 1024.0)
            self.table.single("wine_bridge.exe VmHWM, %s" % when, "MiB", bridge["VmHWM"] / 1024.0)
            self.table.single("wineserver VmRSS, %s" % when, "MiB", server["VmRSS"] / 1024.0)

    # 7b. wineserver without the bridge
    def without_bridge(self):
        seconds = self.n["idle_s"]
        self.table.section("7. the same %.0f s with the bridge ended (game and tool still running)" % seconds)
        self.drop(self.bridge)
        self.bridge = None
        time.sleep(0.5)
        pids = {"wineserver": self.session.server.pid, "StarCitizen.exe (stand-in)": self.game.proc.pid}
        self.cpu_rows(measure_cpu(pids, seconds), ("wineserver",))


def run_step(table, name, step):
    progress("measuring: %s" % name)
    try:
        step()
    except Exception as error:  # one step's trouble must not cost the others' figures
        table.note("%s: not measured fully: %s" % (name, str(error).splitlines()[0][:300]))
        traceback.print_exc(file=sys.stderr)


def header(windows_dir, exe_dir, prefix, quick):
    bridge = os.path.join(exe_dir, "wine_bridge.exe")
    with open(bridge, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    built = datetime.datetime.fromtimestamp(os.path.getmtime(os.path.join(windows_dir, "wine_bridge.exe")))
    git = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%h %s"], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL).stdout.strip()
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"], capture_output=True,
                           text=True, stdin=subprocess.DEVNULL).stdout.split("\n")
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=harness.wine_env(prefix)).stdout.strip()
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    return "\n".join([
        "wine_bridge.exe benchmark (%s run), %s" % ("quick" if quick else "full",
                                                     datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")),
        "exe: %s (sha256 %s, built %s)" % (bridge_path_label(windows_dir), digest, built.strftime("%H:%M:%S")),
        "source tree: %s%s" % (git, "; src/ has uncommitted changes" if any(dirty) else ""),
        "Wine: %s" % wine,
        "%d CPUs; load average at start %s; prefix %s" % (os.cpu_count(), load, prefix),
    ])


def bridge_path_label(windows_dir):
    path = os.path.join(windows_dir, "wine_bridge.exe")
    return os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path


def copy_executables(windows_dir):
    exe_dir = tempfile.mkdtemp(prefix="bridge-bench-")
    os.makedirs(os.path.join(exe_dir, "tools"))
    os.makedirs(os.path.join(exe_dir, "bench"))
    for exe in EXES:
        source = os.path.join(windows_dir, exe)
        if not os.path.isfile(source):
            shutil.rmtree(exe_dir)
            raise SystemExit("%s is missing: build the windows preset first (scripts/setup.sh)" % source)
        shutil.copy2(source, os.path.join(exe_dir, exe))
    return exe_dir


def write_outputs(directory, title, table, bench):
    """The table as Markdown and the chart, in directory."""
    os.makedirs(directory, exist_ok=True)
    markdown = os.path.join(directory, "bench.md")
    with open(markdown, "w") as f:
        f.write(table.markdown(title.split("\n")))
    wine = re.search(r"wine-[0-9][^;,\n]*", title)  # the version that the header names
    chart, trouble = draw_chart(directory, "wine_bridge.exe and its floors; %s" % (wine.group(0) if wine else ""),
                                *bench.chart["passive"], bench.chart["macro"])
    progress("wrote %s" % markdown)
    progress("wrote %s" % chart if chart else "no chart: %s" % trouble)


def end_on_signal(number, _frame):
    raise SystemExit(128 + number)


def main():
    global harness
    parser = argparse.ArgumentParser(description="Figures of wine_bridge.exe under Wine (never pass/fail).")
    parser.add_argument("--quick", action="store_true", help="smaller n and shorter windows")
    parser.add_argument("--prefix", default=os.environ.get("BENCH_WINE_PREFIX")
                        or os.path.join(ROOT, "build", "bench", "wineprefix"))
    parser.add_argument("--windows-dir", default=os.environ.get("BRIDGE_WINDOWS_DIR")
                        or os.path.join(ROOT, "build", "windows"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench"),
                        help="where bench.md and bench.svg go (default build/bench)")
    args = parser.parse_args()
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, end_on_signal)
    prefix = os.path.abspath(args.prefix)
    windows_dir = os.path.abspath(args.windows_dir)

    exe_dir = copy_executables(windows_dir)
    session = None
    try:
        os.environ["BRIDGE_WINDOWS_DIR"] = exe_dir
        sys.path.insert(0, E2E)
        import harness as imported
        harness = imported

        progress("preparing the prefix %s (about 10 s the first time)" % prefix)
        if harness.prepare(prefix) != 0:
            raise SystemExit("could not prepare the Wine prefix %s" % prefix)
        title = header(windows_dir, exe_dir, prefix, args.quick)
        table = Table()
        session = harness.Session(prefix).start()
        bench = Bench(session, QUICK if args.quick else FULL, table)
        bench.start_tools()
        run_step(table, "start-up", bench.startup)
        run_step(table, "bridge with the game in front", bench.start_bridge)
        if bench.bridge is not None:
            steps = [("state line spacing", bench.spacing), ("idle cost", bench.idle),
                     ("passive capture", bench.passive), ("active, delay 50", lambda: bench.active(50)),
                     ("active, delay 10", lambda: bench.active(10)), ("hotkeys", bench.hotkeys),
                     ("clipboard loan", bench.loans), ("memory after a read", bench.memory_after_read),
                     ("memory", bench.memory_rows), ("without the bridge", bench.without_bridge)]
            for name, step in steps:
                run_step(table, name, step)
        with open("/proc/loadavg") as f:
            load = " ".join(f.read().split()[:3])
        title += "\nload average at end %s. Figures only: nothing here passes or fails." % load
        print(title)
        print()
        print(table.render())
        print()
        print("Goals (reported, never failed):")
        for text in table.goals():
            print("- " + text)
        if table.notes:
            print()
            print("Notes:")
            for text in table.notes:
                print("- " + text)
        write_outputs(os.path.abspath(args.out), title, table, bench)
        return 0
    finally:
        if session is not None:
            session.close()
        shutil.rmtree(exe_dir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
