"""Passive capture under Wine: coordinates texts that the game writes to the clipboard by itself."""

import itertools
import re
import time
import unittest

from harness import DEFAULT_ANSWER, WineCase, escape, figure, now

QUIET = 0.5  # time given to a clipboard change that must not be reported before the next one
INVALID_TEXTS = {
    "comma": "Coordinates: x:1,5 y:2 z:3",
    "quotation mark": 'Coordinates: x:"1" y:2 z:3',
    "backslash": "Coordinates: x:1\\ y:2 z:3",
    "accented letter": "Coordinates: x:1 y:2 z:3 \u00e9",
    "lower-case prefix": "coordinates: x:1 y:2 z:3",
}
markers = itertools.count(1)


class PassiveCapture(WineCase):
    def setUp(self):
        self.game = self.session.game()
        self.tool = self.session.tool()
        self.bridge = None

    def start_bridge(self):
        self.bridge = self.session.bridge().enable()

    def assert_text_line(self, line, text):
        """Byte-exact but for wall_time, which must be within a second of our clock."""
        wall = re.search(rb'"wall_time":(\d+\.\d{6}),', line.raw)
        self.assertIsNotNone(wall, line.raw)
        expected = '{"text":"%s","wall_time":%s,"latency_ms":0,"macro_ms":0,"epoch":%d}\r\n' % (
            escape(text), wall.group(1).decode(), self.bridge.epoch)
        self.assertEqual(line.raw, expected.encode())
        self.assertLess(abs(float(wall.group(1)) - time.time()), 1.0)

    def assert_reported(self, text):
        copied = self.game.copy(escape(text))
        line = self.bridge.expect("text")
        self.assert_text_line(line, text)
        return copied, line

    def assert_nothing_reported(self):
        """What came before was not reported: the next text line is a fresh text of the game's."""
        time.sleep(QUIET)
        self.assert_reported("Coordinates: x:1 y:2 z:%d" % next(markers))

    def test_game_text_is_reported_once_byte_exact(self):
        self.start_bridge()
        copied, line = self.assert_reported(DEFAULT_ANSWER)
        self.assert_nothing_reported()
        figure("passive latency, game's clipboard write to text line (ms)", round((line.at - copied.t) * 1000, 2))

    def test_same_text_within_5_s_is_not_reported_a_different_one_is(self):
        self.start_bridge()
        self.assert_reported(DEFAULT_ANSWER)
        self.game.copy(escape(DEFAULT_ANSWER))
        self.assert_nothing_reported()

    def test_same_text_is_reported_again_after_5_s(self):
        self.start_bridge()
        _, first = self.assert_reported(DEFAULT_ANSWER)
        time.sleep(max(0.0, first.at + 5.2 - now()))
        self.assert_reported(DEFAULT_ANSWER)

    def test_text_written_by_another_program_is_not_reported(self):
        self.start_bridge()
        self.tool.copy(escape(DEFAULT_ANSWER))
        self.assert_nothing_reported()

    def test_nothing_is_reported_while_disabled(self):
        self.start_bridge()
        self.bridge.context(2, enabled=0)
        self.game.copy(escape(DEFAULT_ANSWER))
        time.sleep(QUIET)
        self.bridge.context(3, enabled=1)
        self.assert_nothing_reported()

    def test_nothing_is_reported_while_another_program_is_in_front(self):
        self.start_bridge()
        mark = self.bridge.mark()
        self.tool.front()
        self.bridge.state(False, start=mark)
        self.game.copy(escape(DEFAULT_ANSWER))
        time.sleep(QUIET)
        mark = self.bridge.mark()
        self.game.front()
        self.bridge.state(True, start=mark)
        self.assert_nothing_reported()

    def test_nothing_is_reported_without_fresh_focus_reports(self):
        self.start_bridge()
        mark = self.bridge.mark()
        self.bridge.focus_pump(False)
        self.bridge.state(False, start=mark)
        self.game.copy(escape(DEFAULT_ANSWER))
        time.sleep(QUIET)
        mark = self.bridge.mark()
        self.bridge.focus_pump(True)
        self.bridge.state(True, start=mark)
        self.assert_nothing_reported()

    def test_invalid_texts_are_not_reported(self):
        self.start_bridge()
        for name, text in INVALID_TEXTS.items():
            with self.subTest(name):
                self.game.copy(escape(text))
                self.assert_nothing_reported()

    def test_text_on_the_clipboard_before_start_is_not_reported(self):
        self.game.copy(escape(DEFAULT_ANSWER))
        self.start_bridge()
        self.assert_nothing_reported()

    def test_text_blocks_at_the_edges_are_read_as_wine_leaves_them(self):
        """Wine 8 takes a text block shorter than one character and Wine 10 refuses it; either way
        nothing is reported. An unterminated text gets a NUL in its last character from both Wines,
        so the bridge sees, and reports, the text less that character."""
        self.start_bridge()
        mark = self.game.mark()
        self.game.send("copy-sized 1 C")
        taken = self.game.expect(lambda l: l.kind in ("copied", "error"), start=mark).kind == "copied"
        self.assertEqual(taken, self.session.wine_major < 10, "a 1-byte text block under %s" % self.session.wine)
        self.assert_nothing_reported()
        text = "Coordinates: x:1 y:2 z:34"
        self.game.command("copy-sized %d %s" % (2 * len(text), escape(text)), "copied")
        self.assert_text_line(self.bridge.expect("text"), text[:-1])

    def test_cr_lf_and_tab_come_out_as_escapes(self):
        self.start_bridge()
        line = self.assert_reported("Coordinates: x:1\r\ny:2\tz:3")[1]
        self.assertIn(rb'"text":"Coordinates: x:1\r\ny:2\tz:3"', line.raw)


if __name__ == "__main__":
    unittest.main()
