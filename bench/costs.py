"""The benchmark's programs and what the bridge costs: start-up, state-line spacing, idle CPU and
context switches beside floor_probe.exe, memory, and the machine without the bridge. Bench (steps.py)
puts these steps together with the latencies and the clipboard loans."""

import time

import harness
from readings import measure_cpu, memory_kib, merge_cpu, ms
from report import median

SETTLE_S = 0.5  # after a program starts, before its figures count


class Costs:
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
