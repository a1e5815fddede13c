"""bridge-host inside gamescope (gamescope.py: -e, headless, from the Debian sid root), the game and
bridge-host on gamescope's XWayland as Steam's Gaming Mode puts them: gamescope gives the focus with
no _NET_ACTIVE_WINDOW and no WM_TAKE_FOCUS, and its window manager takes X's CLIPBOARD over from
every client that sets it, serving the same text again. And bridge-host around gamescope, on a
desktop of its own, its command's game on gamescope's display."""

import os
import signal
import tempfile
import time
import unittest

import gamescope  # noqa: F401  (the "gamescope" desktop)
import test_host
from desktop import DesktopCase
from harness import CHAT_SUFFIX, DEFAULT_ANSWER, NO_ANSWER, PREFIX, Session, exe_path, wait_for
from host_harness import BridgeHost, copies_reported, prefix_copy

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


class AroundGamescope(DesktopCase):
    """`bridge-host -- gamescope -- %command%`: bridge-host on the desktop (an Xvfb of its own here),
    its command's game on gamescope's XWayland display. The command starts the game there itself, as
    gamescope's child would be; bridge-host joins it and takes its witness from that display."""

    desktop = "gamescope"

    def test_the_commands_game_on_gamescopes_display_is_joined_and_gives_a_position(self):
        desktop = Session(prefix_copy("desktop prefix")).start()
        self.addCleanup(desktop.close)
        release = os.path.join(tempfile.mkdtemp(), "release")
        script = 'while [ ! -e "$1" ]; do /bin/sleep 0.1; done | DISPLAY="$2" WINEPREFIX="$3" /usr/bin/wine "$4"'
        host = BridgeHost(desktop, "--", "/bin/sh", "-c", script, "sh", release, self.session.display, PREFIX,
                          exe_path("tools", "StarCitizen.exe"), prefix=None, env={"WINEPREFIX": None})
        self.addCleanup(host.stop)
        self.assertEqual(host.expect(0, event="follow", state="joined")["prefix"], PREFIX)
        host.expect(0, event="witness", name="x", message="the game's own X display " + self.session.display)
        host.expect(0, event="bridge", state="started")
        self.screen.settle("StandInGame")
        mark = host.mark()
        self.activate("StandInGame")
        host.expect(mark, event="game", in_front=True)
        mark = host.mark()
        host.signal(signal.SIGUSR1)
        self.assertEqual(host.expect(mark, event="position")["text"], DEFAULT_ANSWER)
        open(release, "w").close()
        self.assertEqual(host.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
