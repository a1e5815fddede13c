"""A program between Wine and X's clipboard, as gamescope and clipboard persisters are: it takes
CLIPBOARD over after every copy and serves the same UTF-8 text again, which Wine imports anew under
its X clipboard bridge. Positions still come, by trigger and passively; the user's text comes back
byte for byte; a Linux copy made during an acquisition stays.

Under this traffic Wine's X bridge (Wine 8 and 10 alike) now and then answers no message for
seconds: a read of what it lists then fails, and an acquisition meanwhile ends with an error line.
So every acquisition must end with exactly one line, every text reported must be the game's own, the
user's clipboard must never be lost, and positions must come; how many of ROUNDS came is printed.
Nothing reads the clipboard while Wine may be importing: Wine drops an import that finds the
clipboard open, and X's clipboard then stays ahead of Windows' until the next copy.

The user's clipboard is asserted on both sides: byte for byte on the Windows clipboard, which the
bridge owns, and as the text X's clipboard serves, once Wine's X bridge has followed. Wine's X bridge
was seen asleep after an import, deaf to every window message (it renders nothing, and the bridge
cannot tell what it holds) until its next X event: 20 and 33 s in a row, until the test's next copy.
Whatever the bridge does, the user's clipboard then waits on the desktop's next X event; the test
makes one (the intermediary takes its own text over again), prints how often it had to, and asserts
that the bridge gave the user's text back once Wine woke."""

import sys
import time

from harness import DEFAULT_ANSWER, REQUESTED, LinuxCopy, WineCase, XIntermediary, escape, x_clipboard

EPOCH = 8
ROUNDS = 10
SETTLE = 0.5  # for Wine to import what the intermediary serves again
LATE = 7.0  # past the bridge's watch for a command served late, and the write-again at its end served again
WAKES = 3  # Wine's X bridge, deaf again after each import of the bridge's give-back, woken this often at most
WAKE_SETTLES = 2.0  # for the woken bridge to answer, and ours to give back what Wine imported meanwhile
X_SETTLES = 10.0  # for Wine's X bridge, silent for seconds under this traffic, to serve what went back
ENDS_WITHIN = 10.0  # an acquisition ends by then, whatever Wine's X bridge does
COPY_TRIES = 3
COPY_WAIT = 3.0  # for the intermediary to serve a Linux copy again
USER_TEXT = "user text \u00e9 \u2019"
COPIED_MEANWHILE = "copied in a Linux program meanwhile"
REQUESTED_LINE = {"status": REQUESTED, "epoch": EPOCH}


class Intermediary(WineCase):
    def setUp(self):
        self.x = XIntermediary.start(self.session)
        self.game = self.session.game()
        self.tool = self.session.tool()
        self.bridge = self.session.bridge().enable(EPOCH)

    def linux_copy(self, text):
        """The user copies text in a Linux program; returns once the intermediary serves it again
        and Wine has had the time to import that. xclip now and then loses CLIPBOARD before anybody
        asked it for its text, and quits: the user copies again."""
        served = "reserved %d" % len(text.encode())
        for _ in range(COPY_TRIES):
            mark = self.x.mark()
            copy = LinuxCopy(self.session, text.encode())  # it ends when the intermediary takes the text over
            self.addCleanup(copy.quit)
            try:
                self.x.expect(lambda l: l.text == served, start=mark, timeout=COPY_WAIT)
                break
            except AssertionError:
                if copy.proc.poll() is None:
                    raise
        else:
            self.fail("the intermediary never served %r again" % text)
        time.sleep(SETTLE)

    def assert_x_serves(self, expected):
        """X's clipboard serves expected, now or within X_SETTLES: Wine's X bridge, silent for a
        while, may take X's clipboard back with what went back only once it answers again."""
        deadline = time.monotonic() + X_SETTLES
        while (served := x_clipboard(self.session, "UTF8_STRING")) != expected and time.monotonic() < deadline:
            time.sleep(SETTLE)
        self.assertEqual(served, expected)

    def wake_while_deaf(self):
        """Wakes Wine's X bridge with an X event while it renders none of what it lists; how often
        it had to."""
        for wakes in range(WAKES):
            if not self.tool.dump().renders_nothing():
                return wakes
            mark = self.x.mark()
            self.x.send("wake")
            self.x.expect(lambda l: l.text == "woken", start=mark)
            time.sleep(WAKE_SETTLES)
        return WAKES

    def assert_holds(self, expected, text):
        """The clipboard holds expected (a dump's formats) for Windows programs, or, while Wine's X
        bridge renders none of what it lists, text is what X's clipboard serves."""
        dump = self.tool.dump()
        if dump.renders_nothing():
            self.assertEqual(x_clipboard(self.session, "UTF8_STRING"), text.encode())
        else:
            self.assertEqual(dump.formats, expected)

    def outcome(self, mark, within=ENDS_WITHIN):
        """The one text or error line since mark, as (kind, text), once within has passed at most
        and the bridge has settled; (None, None) when none came."""
        try:
            self.bridge.expect(lambda l: l.kind in ("text", "error"), start=mark, timeout=within)
        except AssertionError:
            return None, None
        time.sleep(SETTLE)
        ends = [l for l in self.bridge.lines[mark:] if l.kind in ("text", "error")]
        self.assertEqual(1, len(ends), ends)
        return ends[0].kind, ends[0][ends[0].kind]

    def passive_copy(self, text):
        """The game copies text; None when Wine refused the game the clipboard meanwhile."""
        mark = self.bridge.mark()
        try:
            self.game.copy(escape(text))
        except AssertionError:
            return None
        return self.outcome(mark, within=3.0)[1]

    def test_positions_come_by_trigger_and_passively(self):
        triggered, copied = [], []
        for turn in range(ROUNDS):
            self.linux_copy("%s %d" % (USER_TEXT, turn))
            mark = self.bridge.mark()
            self.bridge.send("trigger")
            triggered.append(self.outcome(mark))
        # Distinct texts: the same one within 5 s counts once.
        answers = ["Coordinates: x:%d y:2 z:3" % turn for turn in range(ROUNDS)]
        copied = [self.passive_copy(answer) for answer in answers]
        positions = triggered.count(("text", DEFAULT_ANSWER))
        print("positions under an intermediary: %d of %d by trigger, %d of %d passively"
              % (positions, ROUNDS, sum(got == answer for got, answer in zip(copied, answers)), ROUNDS),
              file=sys.stderr)
        for kind, text in triggered:
            self.assertTrue(kind == "error" or text == DEFAULT_ANSWER, (kind, text))
        for got, answer in zip(copied, answers):
            self.assertIn(got, (answer, None))
        self.assertTrue(positions and set(answers) & set(copied))

    def test_the_users_clipboard_survives_unanswered_acquisitions(self):
        self.game.command("answer never", "answer")
        self.linux_copy(COPIED_MEANWHILE)
        meanwhile = self.tool.dump().formats
        ends = (("no answer", None), ("cancel", None), ("cancel", COPIED_MEANWHILE))
        woken = 0
        for end, copied in ends:
            with self.subTest(end=end, copied_meanwhile=bool(copied)):
                self.linux_copy(USER_TEXT)
                before = self.tool.dump().formats
                mark = self.bridge.mark()
                self.bridge.send("trigger")
                asked = self.bridge.expect(lambda l: l.kind == "error" or l.data == REQUESTED_LINE, start=mark,
                                           timeout=ENDS_WITHIN)
                if copied:
                    self.linux_copy(copied)
                if end == "cancel":
                    self.bridge.send("cancel")
                elif asked.kind != "error":
                    self.assertEqual("error", self.outcome(mark)[0])
                time.sleep(LATE)  # the give-back served again, or the command served late and given back
                woken += self.wake_while_deaf()
                self.assert_x_serves((copied or USER_TEXT).encode())
                self.assert_holds(meanwhile if copied else before, copied or USER_TEXT)
        print("Wine's X bridge, deaf, woken %d times in %d ends" % (woken, len(ends)), file=sys.stderr)
