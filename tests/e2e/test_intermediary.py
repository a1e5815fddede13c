"""A program between Wine and X's clipboard, as gamescope and clipboard persisters are: it takes
CLIPBOARD over after every copy and serves the same UTF-8 text again, which Wine imports anew under
its X clipboard bridge. The bridge still gets positions (by trigger and passively), and gives the
user's text back to Windows programs byte for byte.

Run by hand (BRIDGE_WINE_PREFIX as for the end-to-end tests): python3 -m unittest intermediary_check.
It is not among the test command's tests yet: on a machine whose cores are saturated, Wine's X
clipboard bridge drops an import whenever the clipboard is open at that moment, the host's focus
reports go stale, and a turn now and then ends in an error line (never with the user's text lost)."""

import os
import signal
import subprocess
import time
import unittest

from harness import CHAT_SUFFIX, DEFAULT_ANSWER, NO_ANSWER, NO_PASTE, TIMEOUT, LinuxCopy, WineCase, escape, x_env

EPOCH = 8
ROUNDS = 10
SETTLE = 0.5  # for Wine to import what the intermediary serves again
LATE = 5.5  # past the watch for a command served late
USER_TEXT = "user text \u00e9 \u2019"


class XIntermediary:
    """A loop that reads CLIPBOARD's UTF-8 text whenever another client owns it, then owns it again
    with that text (a fresh xclip each time, which waits until another client takes it over)."""

    LOOP = ('while :; do t=$(xclip -selection clipboard -o -t UTF8_STRING 2>/dev/null); '
            'printf %s "$t" | xclip -selection clipboard -i -quiet -t UTF8_STRING >/dev/null 2>&1; done')

    def __init__(self, session):
        # A process group of its own, ended as one: the loop and the xclip it runs at that moment.
        self.proc = subprocess.Popen(["sh", "-c", self.LOOP], env=x_env(session), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def stop(self):
        os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait(TIMEOUT)


class Intermediary(WineCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.intermediary = XIntermediary(cls.session)

    @classmethod
    def tearDownClass(cls):
        cls.intermediary.stop()
        super().tearDownClass()

    def setUp(self):
        self.game = self.session.game()
        self.tool = self.session.tool()
        self.bridge = self.session.bridge().enable(EPOCH)

    def user_copies(self, text):
        """The user copies text in a Linux program, which the intermediary serves again; returns the
        clipboard once Wine has had the time to import that (Wine drops an import when somebody has
        the clipboard open then, so nothing here reads it meanwhile)."""
        copy = LinuxCopy(self.session, text.encode())  # it ends when the intermediary takes the text over
        self.addCleanup(copy.quit)
        time.sleep(SETTLE)
        return self.tool.dump()

    def outcome(self, mark):
        line = self.bridge.expect(lambda l: l.kind in ("text", "error"), start=mark)
        return line.data.get("text") or line.data.get("error")

    def test_positions_come_by_trigger_and_passively(self):
        triggered, copied = [], []
        for turn in range(ROUNDS):
            self.user_copies("%s %d" % (USER_TEXT, turn))
            mark = self.bridge.mark()
            self.bridge.send("trigger")
            triggered.append(self.outcome(mark))
            time.sleep(SETTLE)
        for turn in range(ROUNDS):  # distinct texts: the same one within 5 s counts once
            mark = self.bridge.mark()
            self.game.copy(escape("Coordinates: x:%d y:2 z:3" % turn))
            copied.append(self.outcome(mark))
            time.sleep(SETTLE)
        self.assertEqual(triggered, [DEFAULT_ANSWER] * ROUNDS)
        self.assertEqual(copied, ["Coordinates: x:%d y:2 z:3" % turn for turn in range(ROUNDS)])

    def test_the_users_text_comes_back_byte_for_byte(self):
        self.game.command("answer never", "answer")
        for end in ("no answer", "cancel"):
            with self.subTest(end=end):
                before = self.user_copies(USER_TEXT)
                mark, game_mark = self.bridge.mark(), self.game.mark()
                self.bridge.send("trigger")
                self.game.expect(lambda l: l.text.startswith("chat open "), start=game_mark)
                if end == "cancel":
                    self.bridge.send("cancel")
                else:  # a late serve of the user's own copy may have taken the command's place
                    self.assertIn(self.outcome(mark), (NO_ANSWER + CHAT_SUFFIX, NO_PASTE + CHAT_SUFFIX))
                time.sleep(LATE)  # the give-back served again, or the command served late and given back
                self.assertEqual(self.tool.dump().formats, before.formats)


if __name__ == "__main__":
    unittest.main()
