"""A faulted soak of wine_bridge.exe under Wine, against the stand-in game and clipboard_tool.

N acquisitions in a row, each with a fresh user clipboard (1 to 64 formats, up to 8 MiB in all, set
by clipboard_tool) and, most of the time, a fault drawn from a seeded RNG: the game answers late,
never or with an invalid text; it loses the foreground mid-way; a key is held; "cancel", "context"
or the end of input come mid-way (the bridge is then started again); the user copies something new
mid-way; another program holds the clipboard open from just before the give-back after the game's
silence, for 50 ms to 2 s; a passive capture follows; a burst of junk host lines. For stretches of
3 to 8 acquisitions a program between Wine and X's clipboard serves every copy again
(soak_intermediary.py, which also says what the clipboard must then hold). A load of busy
processes (one per core, as a game's threads) may run for the length of the soak. After each
acquisition every format of the clipboard is dumped and compared with what it must hold: the
user's clipboard as it was where the bridge's command was still on it (once a holder has let go),
else the newest content written over the command (by size and FNV-1a 64 of every byte, in
enumeration order). Each acquisition must end in exactly one "text" or "error" line, none after
cancel, context or end of input; every line of the bridge must be one JSON object with the keys of
its kind in order. At the end the bridge's VmRSS and handle count
are compared with their values after warm-up.

    python3 soak.py [--acquisitions N] [--seed S] [--load N] [--log FILE]

The prefix is BRIDGE_WINE_PREFIX (made at first use), the exes come from BRIDGE_WINDOWS_DIR, as
for the end-to-end tests. The last line is
"soak: N acquisitions with P busy processes, F faults, C clipboards compared (B bytes), L lines parsed,
K lost"; the exit code is 1 when K is not 0 or any other check failed. What the soak draws (its plan,
the clipboards, the junk lines) and the check of a line are in soak_draws.py, what each fault does
mid-way in soak_faults.py, the intermediary's stretches in soak_intermediary.py.
"""

import argparse
import collections
import os
import random
import sys
import time

import busy_load
import harness
from harness import (CHAT_SUFFIX, DEFAULT_ANSWER, ENTER_REFUSED, KEYS_HELD, LOST_FRONT, NO_ANSWER, NO_PASTE,
                     RELEASE, REQUESTED, SUBMIT_REFUSED, TYPING_HELD, escape, now)
from soak_draws import FAULTS, INVALID_ANSWERS, PASSIVE_TEXTS, USER_COPIES, check_line, plan, user_clipboard  # noqa: F401
from soak_faults import COOL_DOWN, Faults
from soak_intermediary import Stretches

# The faults (FAULTS) and the other draws are in soak_draws, what each fault does in soak_faults.
SILENT = ("cancel", "context", "end_of_input")  # faults after which no text or error line comes
GIVE_BACK_S = 5.0  # once the holder lets go, the user's clipboard is back within this

KEY_HOLDS_MS = 220  # Enter, Ctrl+V and Enter held: the least macro_ms but for the two delays
WARM_UP = 10


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for row in f:
            if row.startswith("VmRSS:"):
                return int(row.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


class Failed(Exception):
    pass


class Soak(Faults, Stretches):
    def __init__(self, acquisitions=500, seed=None, out=sys.stdout, log=None, load=0, intermediary=True):
        self.count = acquisitions
        self.with_intermediary = intermediary
        self.load = busy_load.Load(load)
        self.seed = seed if seed is not None else random.SystemRandom().randrange(1 << 32)
        self.rng = random.Random(self.seed)
        self.out, self.log = out, log
        self.faults = collections.Counter()
        self.compared = self.bytes = self.parsed = self.lost = 0
        self.reports = self.reports_due = 0  # text and error lines of the whole run, and those due
        self.failures = []
        self.references = {}
        self.epoch = 0
        self.delay = 50
        self.quiet_until = 0.0
        self.instances = []  # per bridge: [acquisitions, (rss, handles) after warm-up, at its end]
        self.passive_at = {}
        self.index = 0
        self.hold = None
        self.holds = self.holds_across = 0
        self.stretches = []  # the re-serve delay of each stretch under the intermediary
        self.user_text = None  # the text that the user's clipboard holds in a stretch, if any
        self.under_x = self.not_newest = 0  # clipboards compared under it; those accepted but not the newest
        self.unrendered_listings = 0  # under it, listed by Wine's X bridge with no format rendered

    def say(self, text):
        print(text, file=self.out, flush=True)
        if self.log:
            self.log.write(text + "\n")
            self.log.flush()

    # Programs.

    def start(self):
        self.game = self.session.game()
        self.tool = self.session.tool()
        for text in [DEFAULT_ANSWER] + INVALID_ANSWERS + USER_COPIES + PASSIVE_TEXTS:
            self.tool.copy(escape(text))
            self.references[text] = self.tool.dump().formats
        self.start_bridge()

    def start_bridge(self):
        if getattr(self, "bridge", None):
            self.parse_new_lines()
        self.bridge = self.session.bridge()
        self.bridge_read = 0
        self.epoch += 1
        self.bridge.epoch = self.epoch - 1
        self.bridge.expect("bridge_ready")
        self.bridge.context(self.epoch, 1, self.delay)
        self.bridge.focus_pump(True)
        self.instances.append([0, None, None])

    def sample(self):
        handles = self.tool.command("handles wine_bridge.exe", "handles")
        return vm_rss_kib(self.bridge.proc.pid), int(handles.fields["count"])

    def parse_new_lines(self):
        for line in self.bridge.since(self.bridge_read):
            self.parsed += 1
            self.reports += line.kind in ("text", "error")
            problem = check_line(line)
            if problem:
                self.fail("bridge line %r: %s" % (line.raw, problem))
        self.bridge_read = len(self.bridge.lines)

    def fail(self, what):
        self.failures.append("acquisition %d: %s" % (self.index, what))
        self.say("  FAILED: " + what)

    # One acquisition.

    def ready_game(self):
        """The game in front with its chat closed (a fault may leave it open, as a player would
        close it), and the bridge seeing it in front."""
        mark = self.bridge.mark()
        if self.game.front().body != "1":
            raise Failed("the game cannot take the foreground")
        if self.game.command("state", "state").fields["chat"] == "1":
            self.session.focus_x_window("StandInGame")
            closed = self.game.mark()
            self.session.xdotool("key", "Escape")
            self.game.expect("chat", start=closed)
        self.bridge.state(True, start=mark)

    def acquire(self, fault, answer, junk):
        """Runs one acquisition with its fault; returns its lines (state lines aside) and the mark of
        the game's log at the trigger."""
        self.game.command("answer " + answer, "answer")
        if fault == "key_held":
            self.hold_ms = self.rng.choice([self.rng.randint(100, 600), self.rng.randint(1200, 1600), 0])
            self.session.focus_x_window("StandInGame")
            if self.hold_ms:
                self.press_shift()
        game_mark, mark = self.game.mark(), self.bridge.mark()
        if junk == "before":
            self.send_junk()
        self.bridge.send("trigger")
        if junk == "during":
            self.send_junk()
        if fault:
            getattr(self, "during_" + fault, lambda _: None)(game_mark)
        if fault in ("cancel", "context"):
            after = self.bridge.mark()
            self.bridge.expect(lambda l: l.kind == "native_state" and not l["busy"], start=after)
        elif fault != "end_of_input":
            self.bridge.expect(lambda l: l.kind in ("text", "error"), start=mark, timeout=10)
        if fault != "end_of_input":
            self.bridge.settle(mark)
        return self.bridge.since(mark, lambda l: l.kind != "native_state"), game_mark

    def expected_end(self, fault, answer, late_ms):
        """The messages that may end this acquisition ("text" for the game's answer)."""
        if fault in SILENT:
            return set()
        if fault in ("never", "invalid", "clipboard_held") or (fault == "late" and late_ms > 2000):
            return {NO_ANSWER + CHAT_SUFFIX}
        if fault == "front_lost":
            # The keys' own check of the foreground, right before a key, may be the one that sees
            # the loss: after a long clipboard save, for instance.
            return {LOST_FRONT, LOST_FRONT + CHAT_SUFFIX, ENTER_REFUSED, NO_PASTE + CHAT_SUFFIX,
                    SUBMIT_REFUSED + CHAT_SUFFIX}
        if fault == "key_held" and self.hold_ms > 1000:
            return {KEYS_HELD}
        if fault == "key_held" and not self.hold_ms:
            return {TYPING_HELD + CHAT_SUFFIX, "text"}  # "text" when the press comes after the last Enter
        if fault == "user_copy":
            # At stage 4 a coordinates text completes the acquisition whoever wrote it.
            copied_coordinates = self.user_copy and self.user_copy[1].startswith("Coordinates:")
            answered = {"text"} if answer == "normal" or copied_coordinates else set()
            return {NO_PASTE + CHAT_SUFFIX, NO_ANSWER + CHAT_SUFFIX} | answered
        return {"text"}

    def run_one(self, fault, extras):
        answer, answer_text, late_ms = "never", DEFAULT_ANSWER, 0
        if fault == "late":
            late_ms = self.rng.choice([self.rng.randint(50, 1500), self.rng.randint(2300, 3000)])
            answer = "late %d" % late_ms
        elif fault == "invalid":
            answer_text = self.rng.choice(INVALID_ANSWERS)
            answer = "text " + escape(answer_text)
        elif fault in (None, "key_held") or (fault == "user_copy" and self.rng.random() < 0.5):
            answer = "normal"
        self.user_copy = self.hold = None
        self.stretch_step(extras)
        self.ready_game()
        self.wait_quiet()
        if self.x:
            self.user_text, total = self.stretch_clipboard()
        else:
            self.user_text = None
            groups, total = user_clipboard(self.rng)
            self.tool.fill(groups)
        before = self.tool.dump()
        x_mark = self.x.mark() if self.x else 0
        junk = self.rng.choice(["before", "during"]) if "junk" in extras else None
        if fault == "end_of_input":
            self.end_instance()
        lines, game_mark = self.acquire(fault, answer, junk)

        ends = [l for l in lines if l.kind in ("text", "error")]
        self.reports_due += fault not in SILENT
        allowed = self.expected_end(fault, answer, late_ms)
        said = ["text" if l.kind == "text" else l["error"] for l in ends]
        statuses = [l["status"] if l.kind == "status" else l.raw for l in lines if l.kind not in ("text", "error")]
        if statuses not in ([RELEASE], [RELEASE, REQUESTED]):
            self.fail("lines %s besides the end" % statuses)
        if len(ends) != (0 if fault in SILENT else 1) or not set(said) <= allowed:
            self.fail("ended with %s, expected %s" % (said, sorted(allowed) or "no line"))
        reportable = {DEFAULT_ANSWER} | ({self.user_copy[1]} if self.user_copy else set())
        for l in ends:
            if l.kind == "text" and (l["text"] not in reportable or l["macro_ms"] < KEY_HOLDS_MS + 2 * self.delay or l["epoch"] != self.epoch):
                self.fail("reported %r" % l.raw)
        held = self.hold_outcome(ends) if self.hold else ""
        requested = any(l.kind == "status" and l["status"] == REQUESTED for l in lines)
        if ends and ends[0].kind == "error" and (requested or said[0] == SUBMIT_REFUSED + CHAT_SUFFIX):
            self.quiet_until = max(self.quiet_until, ends[0].at + COOL_DOWN)

        # The newest write over the clipboard since the trigger, if any, must be what it holds.
        if self.game.since(game_mark, lambda l: l.text.startswith("ran /showlocation ")) and answer != "never":
            self.game.expect("answered", start=game_mark, timeout=late_ms / 1000.0 + 5)
        writes = [(l.t, answer_text) for l in self.game.since(game_mark, "answered")]
        if self.user_copy:
            writes.append(self.user_copy)
        what = "the newest content" if writes else "the user's clipboard"
        if self.x:
            self.settle()
            accepted = self.stretch_accepted(before, writes, x_mark)
            after = self.compare(accepted[0], what, also=accepted[1:], texts=self.accepted_texts)
        else:
            expected = self.references[max(writes)[1]] if writes else before.formats
            after = self.compare(expected, what, bool(self.hold))
        if fault == "key_held" and self.hold_ms > 1000 and after.seq != before.seq:
            self.fail("the clipboard was written though a key was held")

        if fault == "end_of_input":
            self.start_bridge()
        if "passive" in extras:
            self.passive()
        return "%s; %d formats, %d bytes%s" % (", ".join(said) or "silent", len(before.formats), total, held)

    def compare(self, expected, what, give_back_waits=False, also=(), texts=()):
        """Dumps the clipboard and counts it lost unless it holds expected (or, under the
        intermediary, one of also, or formats that Wine renders none of while X serves one of
        texts); after a busy clipboard the give-back comes at the bridge's next tick, so the dump
        may then wait for it."""
        after = self.tool.dump_until(expected, GIVE_BACK_S) if give_back_waits else self.tool.dump()
        self.compared += 1
        self.bytes += sum(int(f.split(":")[1]) for f in expected if f.split(":")[1] != "-")
        if self.x:
            self.under_x += 1
            self.not_newest += after.formats != expected and after.formats in also
        if after.formats != expected and after.formats not in also and self.unrendered(after, texts):
            self.unrendered_listings += 1
            self.say("  Wine's X bridge lists %d formats and renders none; X serves %s" % (len(after.formats), what))
        elif after.formats != expected and after.formats not in also:
            self.lost += 1
            self.fail("%s is not on the clipboard: %d formats %s... instead of %d formats %s..."
                      % (what, len(after.formats), after.formats[:3], len(expected), expected[:3]))
        return after

    def passive(self):
        self.ready_game()
        self.wait_quiet()
        text = min(PASSIVE_TEXTS, key=lambda t: self.passive_at.get(t, 0))
        self.passive_at[text] = now()
        self.reports_due += 1
        mark = self.bridge.mark()
        self.copy_text(self.game, text)
        line = self.bridge.expect(lambda l: l.kind in ("text", "error"), start=mark, timeout=5)
        if line.kind != "text" or (line["text"], line["latency_ms"], line["macro_ms"]) != (text, 0, 0):
            self.fail("passive capture gave %r" % line.raw)
        if self.x:
            self.settle()
        self.compare(self.references[text], "the game's passive text", texts=[text])

    def wait_quiet(self):
        time.sleep(max(0.0, self.quiet_until - now()))

    def end_instance(self):
        instance = self.instances[-1]
        if instance[1] is not None and self.bridge.proc.poll() is None:
            instance[2] = self.sample()

    # The run.

    def run(self):
        self.say("soak: seed %d, %d acquisitions, %s" % (self.seed, self.count, self.load.describe()))
        with self.load:
            self.run_session()
            if self.load.running() != self.load.count:
                self.fail("only %d of the %s ran to the end" % (self.load.running(), self.load.describe()))
        return self.summary()

    def run_session(self):
        self.session = harness.Session().start()
        try:
            self.start()
            self.say("soak: under %s" % self.session.wine)
            for self.index, (fault, extras) in enumerate(plan(self.rng, self.count), 1):
                if not self.with_intermediary:
                    extras = [extra for extra in extras if extra != "intermediary"]
                self.faults.update(([fault] if fault else []) + extras)
                try:
                    outcome = self.run_one(fault, extras)
                except Exception as error:  # noqa: B902 - recorded, then the soak goes on
                    self.fail("%s: %s" % (type(error).__name__, error))
                    outcome = "broken"
                    self.recover()
                self.parse_new_lines()
                instance = self.instances[-1]
                instance[0] += 1
                if instance[0] == WARM_UP:
                    instance[1] = self.sample()
                rss = vm_rss_kib(self.bridge.proc.pid) if self.bridge.proc.poll() is None else 0
                self.say("%4d %-12s %-14s %s; VmRSS %d KiB" % (self.index, fault or "-", "+".join(extras) or "",
                                                              outcome, rss))
            self.end_instance()
            self.parse_new_lines()
            if self.reports != self.reports_due and not self.failures:
                self.fail("%d text and error lines in all, %d due" % (self.reports, self.reports_due))
        finally:
            self.session.close()

    def recover(self):
        """After a broken acquisition: fresh programs, so that one failure does not cascade."""
        self.parse_new_lines()
        self.session.stop_programs()
        self.x = None
        self.game = self.session.game()
        self.tool = self.session.tool()
        self.quiet_until = 0
        self.start_bridge()

    def summary(self):
        counted = [i for i in self.instances if i[1] and i[2]]
        if counted:
            longest = max(counted, key=lambda i: i[0])
            (rss0, handles0), (rss1, handles1) = longest[1], longest[2]
            self.say("memory: VmRSS %d KiB after warm-up, %d KiB at the end; handles %d after warm-up, %d at "
                     "the end (the longest-lived bridge: %d acquisitions; %d bridges in all)"
                     % (rss0, rss1, handles0, handles1, longest[0], len(self.instances)))
            self.memory = (rss0, rss1, handles0, handles1)
        else:
            self.memory = None
            self.say("memory: no bridge lived past its warm-up of %d acquisitions" % WARM_UP)
        self.say("faults by kind: " + ", ".join("%s %d" % kv for kv in sorted(self.faults.items())))
        if self.holds:
            self.say("clipboard holds: %d of %d spanned the give-back" % (self.holds_across, self.holds))
        if self.stretches:
            self.say("intermediary: %d stretches (re-serve delays %s ms), %d clipboards compared under it, %d of them "
                     "not the newest write but the user's content or an older text served again, %d listed by Wine "
                     "with no format rendered while X served what was due"
                     % (len(self.stretches), sorted(set(self.stretches)), self.under_x, self.not_newest,
                        self.unrendered_listings))
        for failure in self.failures:
            self.say("failure: " + failure)
        self.say("soak: %d acquisitions with %s, %d faults, %d clipboards compared (%d bytes), %d lines parsed, "
                 "%d lost" % (self.count, self.load.describe(), sum(self.faults.values()), self.compared, self.bytes,
                              self.parsed, self.lost))
        return not self.failures and self.lost == 0


def main():
    parser = argparse.ArgumentParser(description="A faulted soak of wine_bridge.exe under Wine.")
    parser.add_argument("--acquisitions", type=int, default=500, metavar="N")
    parser.add_argument("--seed", type=int, metavar="S")
    parser.add_argument("--load", type=int, default=0, metavar="N", help="busy processes, one per core")
    parser.add_argument("--log", metavar="FILE")
    args = parser.parse_args()
    if args.acquisitions < 1:
        parser.error("--acquisitions must be at least 1")
    if args.load < 0:
        parser.error("--load must be 0 or more")
    if harness.prepare() != 0:
        return 1
    with open(args.log, "a") if args.log else open(os.devnull, "w") as log:
        return 0 if Soak(args.acquisitions, args.seed, log=log, load=args.load).run() else 1


if __name__ == "__main__":
    sys.exit(main())
