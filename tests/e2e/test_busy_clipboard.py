"""A busy clipboard at the give-back under Wine: another program holds the clipboard open when an
acquisition ends, and once it lets go the user's clipboard comes back byte for byte."""

import unittest

from harness import CHAT_SUFFIX, LOST_FRONT, NO_ANSWER, RELEASE, REQUESTED, Hold, WineCase, error_line, figure, status_line

# Seven formats: the text with the three that Wine derives from it, and three custom ones.
USER_CLIPBOARD = "1x7 1x1000 1x65536 text user\\u00e9 text"
EPOCH = 5
HOLD_MS = 1000
# The bridge's deadline comes about 1.93 s after "Position demandée…": a hold from 1.5 s spans it.
TIMEOUT_HOLD_AFTER_MS = 1500
GIVE_BACK_S = 5.0  # the holder has let go: the give-back is due at the bridge's next tick


class BusyClipboard(WineCase):
    def prepare(self):
        self.session.stop_programs()
        self.game = self.session.game()
        self.tool = self.session.tool()
        self.bridge = self.session.bridge()
        self.bridge.expect("bridge_ready")
        self.bridge.focus_pump(True)
        self.tool.fill(USER_CLIPBOARD)
        self.before = self.tool.dump()
        self.game.command("answer never", "answer")
        self.bridge.context(EPOCH)
        self.bridge.state(True, start=self.bridge.mark())

    def end_while_held(self, ending, read):
        """Runs an acquisition to "Position demandée…" and ends it the given way while the tool
        holds the clipboard; returns the held and released lines and the line that marks the end."""
        mark = self.bridge.mark()
        self.bridge.send("trigger")
        self.bridge.expect(lambda l: l.kind == "status" and l["status"] == REQUESTED, start=mark)
        hold = Hold(self.tool, HOLD_MS, TIMEOUT_HOLD_AFTER_MS if ending == "timeout" else 0, read)
        held = hold.opened()
        after_held = self.bridge.mark()
        if ending == "cancel":
            self.bridge.send("cancel")
            end = self.bridge.expect(lambda l: l.kind == "native_state" and not l["busy"], start=after_held)
        else:
            if ending == "front_lost":
                self.tool.front()
            end = self.bridge.expect("error", start=after_held)
        return held, hold.closed(), end, mark

    def test_the_users_clipboard_comes_back_once_the_holder_lets_go(self):
        endings = {"timeout": [error_line(NO_ANSWER + CHAT_SUFFIX, EPOCH)],
                   "cancel": [],
                   "front_lost": [error_line(LOST_FRONT + CHAT_SUFFIX, EPOCH)]}
        for ending, end_lines in endings.items():
            for read in (False, True):
                with self.subTest(ending=ending, reads_while_holding=read):
                    self.prepare()
                    held, released, end, mark = self.end_while_held(ending, read)
                    self.assertLess(held.t, end.at, "the hold began before the acquisition ended")
                    self.assertLess(end.at, released.t, "the acquisition ended while the clipboard was held")
                    after = self.tool.dump_until(self.before.formats, GIVE_BACK_S)
                    self.assertEqual(after.formats, self.before.formats, "the user's clipboard is back byte for byte")
                    self.assertEqual(self.bridge.settle(mark),
                                     [status_line(RELEASE, EPOCH), status_line(REQUESTED, EPOCH)] + end_lines)
                    if read:
                        figure("sequence number around a CF_TEXT read of the command (before, after)",
                               (held.fields["seq"], held.fields["seq_after_read"]))
                        self.assertEqual(held.fields["read"], "14", "the holder read \"/showlocation\" as CF_TEXT")


if __name__ == "__main__":
    unittest.main()
