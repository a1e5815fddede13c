"""bridge-host inside gamescope (gamescope.py: -e, headless, from the Debian sid root), the game and
bridge-host on gamescope's XWayland as Steam's Gaming Mode puts them: gamescope gives the focus with
no _NET_ACTIVE_WINDOW and no WM_TAKE_FOCUS, and its window manager takes X's CLIPBOARD over from
every client that sets it, serving the same text again."""

import signal
import time
import unittest

import gamescope  # noqa: F401  (the "gamescope" desktop)
import test_host
from harness import CHAT_SUFFIX, NO_ANSWER, wait_for
from host_harness import copies_reported

PACE = 1.0  # s between two of the game's copies or requests, as a player's are seconds apart
USER_TEXT = "the player's own notes, lent under gamescope"


class InsideGamescope(test_host.WithoutWindowManager):
    desktop = "gamescope"
    PAUSE = PACE

    def away(self):
        return self.screen.focus_native()  # Steam's UI, as the Steam button does

    def test_positions_by_signal(self):
        self.start_host()
        self.game_in_front()
        for turn in range(3):
            with self.subTest(turn=turn):
                time.sleep(PACE)
                mark = self.host.mark()
                self.host.signal(signal.SIGUSR1)
                self.assert_position(self.host.expect(mark, event="position"))

    def test_the_games_own_copies_are_reported_passively(self):
        texts = ["Coordinates: x:%d.5 y:-2 z:3" % turn for turn in range(5)]
        self.start_host()
        self.game_in_front()
        self.assertEqual(copies_reported(self.game, self.host, texts, PACE), [("passive", text) for text in texts])

    def test_the_users_text_comes_back_after_an_unanswered_acquisition(self):
        self.game.command("answer never", "answer")
        self.tool.copy(USER_TEXT)
        self.start_host()
        self.game_in_front()
        mark = self.host.mark()
        self.host.signal(signal.SIGUSR1)
        self.host.expect(mark, event="error", message=NO_ANSWER + CHAT_SUFFIX)
        wait_for(lambda: self.tool.command("read", "read").body == "text " + USER_TEXT, "the user's text back")


if __name__ == "__main__":
    unittest.main()
