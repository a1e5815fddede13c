"""The bridge's spine under Wine: start-up lines, context, the state line's view of the game, input."""

import unittest

from harness import READY_LINE, TIMEOUT, WineCase, figure, state_line

BAD_LINES = [
    b"garbage\n",
    b"x" * 300 + b"\n",
    b"context 99999999999 1 50\n",
    b"context 4 1\n",
    b"context 4 1 9\n",
    b" context 4 1 50\n",
    b"bind 4 0 65\n",
    b"Trigger\n",
    b"focus\n",
    b"\n",
    b"\xff\xfe\x01binary\x7f\n",
    b"abc\x1adef\n",  # Ctrl+Z: the end of input for a text-mode reader
]


class Spine(WineCase):
    def setUp(self):
        self.bridge = self.session.bridge()

    def game_in_front(self, epoch=7):
        game = self.session.game()
        self.assertEqual(game.ready.fields["front"], "1", "the game takes the foreground at start")
        self.bridge.context(epoch)
        self.bridge.focus_pump(True)
        line = self.bridge.state(True)
        self.assertEqual(line.raw, state_line(True, game.hwnd, game.pid, epoch=epoch))
        return game

    def test_ready_line_comes_first_byte_exact_then_a_state_line_at_once(self):
        ready = self.bridge.expect()
        self.assertEqual(ready.raw, READY_LINE)
        state = self.bridge.expect()
        self.assertEqual(state.raw, state_line(False))
        self.assertLess(state.at - ready.at, 1.0, "the first tick prints a state line")
        figure("ready line after start (s)", round(ready.at - self.bridge.started, 3))
        figure("first state line after ready (ms)", round((state.at - ready.at) * 1000, 1))

    def test_context_sets_the_epoch_of_the_state_lines_that_follow(self):
        self.bridge.expect("bridge_ready")
        mark = self.bridge.mark()
        self.bridge.send("context 7 1 50")
        first = self.bridge.expect(lambda l: l.kind == "native_state" and l["epoch"] == 7, start=mark)
        self.assertEqual(first.raw, state_line(False, epoch=7))
        for _ in range(3):
            self.assertEqual(self.bridge.expect("native_state").raw, state_line(False, epoch=7))
        epochs = [l["epoch"] for l in self.bridge.since(mark)]
        self.assertEqual(epochs, sorted(epochs), "no old epoch after the new one")
        self.assertEqual(self.bridge.since(mark, lambda l: l.kind != "native_state"), [], "context prints nothing")

    def test_game_in_front_with_fresh_focus_reports_shows_its_window_and_pid(self):
        self.game_in_front()
        states = [self.bridge.expect("native_state") for _ in range(6)]
        self.assertEqual({l["foreground"] for l in states}, {True})
        gaps = [(b.at - a.at) * 1000 for a, b in zip(states, states[1:])]
        figure("state line spacing (ms, median)", round(sorted(gaps)[len(gaps) // 2], 1))

    def test_foreground_turns_false_about_300_ms_after_focus_reports_stop(self):
        game = self.game_in_front()
        mark = self.bridge.mark()
        last = self.bridge.focus_pump(False)
        hidden = self.bridge.state(False, start=mark)
        self.assertEqual(hidden.raw, state_line(False, epoch=7))
        for line in self.bridge.since(mark):
            if line.at < last + 0.25:
                self.assertEqual(line.raw, state_line(True, game.hwnd, game.pid, epoch=7), "a fresh report counts")
        self.assertLess(hidden.at - last, 2.0)
        figure("foreground false after the last focus report (ms)", round((hidden.at - last) * 1000, 1))

    def test_focus_0_turns_foreground_false_at_once(self):
        self.game_in_front()
        # Proof that "focus 0" acted, not staleness: a false line that arrives before the positive
        # report just before it could have gone stale (300 ms, less the tick clock's 16 ms steps).
        # A busy machine may delay one state line past that, so the attempt is repeated.
        for _ in range(3):
            self.bridge.focus_pump(True)
            self.bridge.state(True, start=self.bridge.mark())
            self.bridge.focus_pump(False)
            mark = self.bridge.mark()
            last = self.bridge.send("focus 1")
            sent = self.bridge.send("focus 0")
            hidden = self.bridge.state(False, start=mark)
            self.assertEqual(hidden.raw, state_line(False, epoch=7))
            if hidden.at - last < 0.27:
                figure("foreground false after focus 0 (ms)", round((hidden.at - sent) * 1000, 1))
                return
        self.fail("foreground went false only once the last report was stale")

    def test_another_program_in_front_hides_the_game(self):
        game = self.game_in_front()
        tool = self.session.tool()
        mark = self.bridge.mark()
        self.assertEqual(tool.front().body, "1")
        self.assertEqual(self.bridge.state(False, start=mark).raw, state_line(False, epoch=7))
        mark = self.bridge.mark()
        game.front()
        self.assertEqual(self.bridge.state(True, start=mark).raw, state_line(True, game.hwnd, game.pid, epoch=7))

    def test_end_of_input_ends_the_bridge_with_exit_code_0(self):
        self.bridge.expect("bridge_ready")
        self.bridge.close_input()
        self.assertEqual(self.bridge.wait_exit(TIMEOUT), 0)

    def test_bad_lines_print_nothing_and_do_not_stop_the_bridge(self):
        self.bridge.expect("bridge_ready")
        mark = self.bridge.mark()
        for line in BAD_LINES:
            self.bridge.send(line)
        self.bridge.send(b"context 5 1 50\r\n")
        self.bridge.expect(lambda l: l.kind == "native_state" and l["epoch"] == 5, start=mark)
        self.assertEqual(self.bridge.since(mark, lambda l: l.kind != "native_state"), [])
        self.assertIsNone(self.bridge.proc.poll())


if __name__ == "__main__":
    unittest.main()
