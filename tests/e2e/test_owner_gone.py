"""A clipboard whose owner is gone, under Wine: a Linux program copied and quit, and Wine goes on
listing its text, which nobody can give any more. On the host's word that X's clipboard has no
owner, the loan leaves those formats out and the position comes; without that word the bridge
keeps trying through stage 1 and gives up with the format's message, the clipboard untouched."""

import unittest

from harness import (DEFAULT_ANSWER, RELEASE, LinuxCopy, WineCase, error_line, status_line, wait_for,
                     x_clipboard)

EPOCH = 6
NO_FORMAT = "Format du presse-papiers non sauvegardable \u00b7 copiez un texte court avant le report"


class OwnerGone(WineCase):
    def copied_and_quit(self):
        self.session.stop_programs()
        self.game = self.session.game()
        self.tool = self.session.tool()
        since = self.tool.formats()[0]
        copy = LinuxCopy(self.session, b"copied in a browser, then closed")
        self.tool.wait_for_listing(since)
        copy.quit()
        wait_for(lambda: x_clipboard(self.session, "TARGETS") is None, "end of X's clipboard owner")
        before = self.tool.dump()
        self.assertIn("13:-:-", before.formats, "Wine lists a text that yields no data")
        self.bridge = self.session.bridge()
        self.bridge.expect("bridge_ready")
        self.bridge.focus_pump(True)
        self.bridge.context(EPOCH)
        self.bridge.state(True, start=self.bridge.mark())
        return before

    def test_the_formats_are_left_out_on_the_hosts_word_that_x_has_no_owner(self):
        for report in ("selection 0", "selection 1", None):
            with self.subTest(report=report):
                before = self.copied_and_quit()
                mark = self.bridge.mark()
                if report:
                    self.bridge.send(report)
                self.bridge.send("trigger")
                if report == "selection 0":
                    self.assertEqual(self.bridge.expect("text", start=mark)["text"], DEFAULT_ANSWER)
                    continue
                self.bridge.expect("error", start=mark)
                self.assertEqual(self.bridge.settle(mark), [status_line(RELEASE, EPOCH), error_line(NO_FORMAT, EPOCH)])
                self.assertEqual(self.tool.dump().formats, before.formats, "the clipboard was touched")


if __name__ == "__main__":
    unittest.main()
