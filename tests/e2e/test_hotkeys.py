"""Hotkeys under Wine: real X key presses on the stand-in game's window fire the bridge's bindings.

A press that fires a hotkey never reaches the game as a key down of its letter, only as the key up;
that is how a test knows that a press was taken as a hotkey even when the bridge reports nothing."""

import time
import unittest

from harness import WineCase, action_line, figure

REFUSED = '{"error":"Raccourci refuse par Wine (erreur %d)","epoch":%d}\r\n'
CTRL_P = ("ctrl+p", 80)
SLOTS = [
    (0, 2, "ctrl+p", 80, "position"),
    (1, 1, "alt+n", 78, "next"),
    (2, 4, "shift+b", 66, "previous"),
    (3, 6, "ctrl+shift+s", 83, "survey"),
]
HOLD_S = 1.5  # beyond the X server's auto-repeat delay (660 ms), then about 25 repeats a second
OUT_OF_RANGE = ["bind 4 2 80", "bind 0 16 80", "bind 0 2 256", "bind -1 2 80", "bind 0 -1 80", "bind 0 2 -5"]


def key_of(line):
    """(down|up, virtual key) of a key line of the game."""
    words = line.body.split(" ")
    return words[0], int(words[2])


class Hotkeys(WineCase):
    def setUp(self):
        self.game = self.session.game()
        self.bridge = self.session.bridge().enable()
        self.session.focus_x_window("StandInGame")

    def bind(self, *lines):
        """Sends bind lines and returns the lines that the bridge printed for them."""
        mark = self.bridge.mark()
        for line in lines:
            self.bridge.send(line)
        return self.bridge.settle(mark)

    def press(self, combination):
        """Presses keys+letter on the game's window; returns whether Wine took it as a hotkey and
        the bridge's lines for it."""
        keys, vk = combination
        game_mark, bridge_mark = self.game.mark(), self.bridge.mark()
        self.session.xdotool("key", "--delay", "0", keys)
        self.game.expect(lambda l: l.kind == "key" and key_of(l) == ("up", vk), start=game_mark)
        letter_down = self.game.since(game_mark, lambda l: l.kind == "key" and key_of(l) == ("down", vk))
        lines = self.bridge.settle(bridge_mark)
        # For the latency figure: the press's first key event in the game, and the action lines.
        self.last_press = (self.game.since(game_mark, "key")[0], self.bridge.since(bridge_mark, "native_action"))
        return not letter_down, lines

    def assert_fires(self, combination, name):
        self.assertEqual(self.press(combination), (True, [action_line(name, self.bridge.epoch)]))

    def assert_silent(self, combination, taken=True):
        self.assertEqual(self.press(combination), (taken, []))

    def test_each_slot_reports_its_action_when_its_combination_is_pressed(self):
        binds = ["bind %d %d %d" % (slot, modifiers, vk) for slot, modifiers, _, vk, _ in SLOTS]
        self.assertEqual(self.bind(*binds), [])
        for _, _, keys, vk, name in SLOTS:
            with self.subTest(name):
                self.assert_fires((keys, vk), name)
        first_key, actions = self.last_press
        figure("hotkey: first key event in the game to action line (ms)",
               round((actions[0].at - first_key.t) * 1000, 1))

    def test_a_press_while_disabled_is_not_reported(self):
        self.bind("bind 0 2 80")
        self.bridge.context(2, enabled=0)
        self.assert_silent(CTRL_P)
        self.bridge.context(3, enabled=1)
        self.assert_fires(CTRL_P, "position")

    def test_a_press_without_fresh_focus_reports_is_not_reported(self):
        self.bind("bind 0 2 80")
        mark = self.bridge.mark()
        self.bridge.focus_pump(False)
        self.bridge.state(False, start=mark)
        self.assert_silent(CTRL_P)
        mark = self.bridge.mark()
        self.bridge.focus_pump(True)
        self.bridge.state(True, start=mark)
        self.assert_fires(CTRL_P, "position")

    def test_binding_key_0_unbinds_the_slot(self):
        self.bind("bind 0 2 80")
        self.assert_fires(CTRL_P, "position")
        self.assertEqual(self.bind("bind 0 0 0"), [])
        self.assert_silent(CTRL_P, taken=False)

    def test_out_of_range_binds_print_nothing_and_keep_the_earlier_binding(self):
        self.bind("bind 0 2 80")
        for line in OUT_OF_RANGE:
            with self.subTest(line):
                self.assertEqual(self.bind(line), [])
                self.assert_fires(CTRL_P, "position")

    def test_a_combination_taken_by_another_slot_is_refused_with_wine_error_1409(self):
        self.assertEqual(self.bind("bind 0 2 80", "bind 1 2 80"), [(REFUSED % (1409, 1)).encode()])
        self.assert_fires(CTRL_P, "position")

    def test_a_held_hotkey_is_reported_once_and_again_after_its_release(self):
        self.bind("bind 0 2 80")
        game_mark = self.game.mark()
        with self.session.key_held("p"):  # X repeats a held key, as a keyboard does
            self.game.expect(lambda _: len(self.game.since(game_mark, lambda l: l.kind == "key" and key_of(l) == (
                "down", 80))) >= 3, start=game_mark)
        game_mark, bridge_mark = self.game.mark(), self.bridge.mark()
        with self.session.key_held("ctrl+p"):
            time.sleep(HOLD_S)
        self.game.expect(lambda l: l.kind == "key" and key_of(l) == ("up", 80), start=game_mark)
        self.assertEqual(self.bridge.settle(bridge_mark), [action_line("position", self.bridge.epoch)])
        self.assert_fires(CTRL_P, "position")


if __name__ == "__main__":
    unittest.main()
