"""A clipboard whose owner is gone, under Wine: a Linux program copied and quit, and Wine goes on
listing its text, which nobody can give any more. Those formats fail at once, so the loan leaves
them out and the position comes, with or without the host's word that X's clipboard has no owner;
on the host's word that it has one, or with an owner that is alive but does not answer (stopped),
the bridge keeps trying through stage 1 and gives up with the format's message, the clipboard
untouched."""

import os
import signal
import unittest

from harness import (DEFAULT_ANSWER, RELEASE, LinuxCopy, WineCase, error_line, status_line, wait_for,
                     x_clipboard)

EPOCH = 6
NO_FORMAT = "Format du presse-papiers non sauvegardable \u00b7 copiez un texte court avant le report"


class OwnerGone(WineCase):
    def copied_and_quit(self, stopped=False):
        """A Linux program copied, then quit (or was stopped: alive, but silent)."""
        self.session.stop_programs()
        self.game = self.session.game()
        self.tool = self.session.tool()
        since = self.tool.formats()[0]
        self.copy = LinuxCopy(self.session, b"copied in a browser, then closed")
        self.tool.wait_for_listing(since)
        if stopped:
            os.kill(self.copy.proc.pid, signal.SIGSTOP)
            self.addCleanup(self.copy.quit)
            self.addCleanup(os.kill, self.copy.proc.pid, signal.SIGCONT)
        else:
            self.copy.quit()
            wait_for(lambda: x_clipboard(self.session, "TARGETS") is None, "end of X's clipboard owner")
        before = self.tool.dump()
        self.assertIn("13:-:-", before.formats, "Wine lists a text that yields no data")
        self.bridge = self.session.bridge()
        self.bridge.expect("bridge_ready")
        self.bridge.focus_pump(True)
        self.bridge.context(EPOCH)
        self.bridge.state(True, start=self.bridge.mark())
        return before

    def test_the_formats_are_left_out_when_nobody_can_give_them(self):
        for report, stopped in (("selection 0", False), (None, False), ("selection 1", False), (None, True)):
            with self.subTest(report=report, stopped=stopped):
                before = self.copied_and_quit(stopped)
                mark = self.bridge.mark()
                if report:
                    self.bridge.send(report)
                self.bridge.send("trigger")
                if report != "selection 1" and not stopped:
                    self.assertEqual(self.bridge.expect("text", start=mark)["text"], DEFAULT_ANSWER)
                    continue
                self.bridge.expect("error", start=mark)
                self.assertEqual(self.bridge.settle(mark), [status_line(RELEASE, EPOCH), error_line(NO_FORMAT, EPOCH)])
                self.assertEqual(self.tool.dump().formats, before.formats, "the clipboard was touched")


if __name__ == "__main__":
    unittest.main()
