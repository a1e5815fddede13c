"""The benchmark's latencies: passive capture, active acquisitions (macro_ms beside its floor) and
hotkeys, each beside what a probe of ours or the fixed waits take for the same work."""

import os
import subprocess
import time

import harness
from readings import Capture, XTest, ms
from report import median

COOL_DOWN_S = 2.0
KEY_HOLDS_MS = 220  # Enter 70, Ctrl+V 10 + 70, Enter 70; the context delay comes twice between them
HOTKEY = (2, 80, "ctrl+p")  # MOD_CONTROL, VK P, and the same for xdotool


class Latencies:
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
