"""The benchmark's clipboard loans: the cost of saving and giving back a clipboard at the snapshot's
limits (64 formats, 64 MiB), beside floor_probe.exe doing the same work."""

import statistics
import time

import harness
from latency import COOL_DOWN_S
from readings import ms
from report import median, progress

BIG_FILL = "fill 64x1048576"  # 64 formats of 1 MiB: exactly the snapshot's limits (64 formats, 64 MiB)
ANSWER_LIMIT_S = 2.0
ENTER_HOLD_MS = 70
STATUS_SENT = "Position demandée…"


class Loans:
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
