"""bridge-host with a game under Wine's own Wayland driver, end to end: sway headless with the tests'
keyboard on its seat (desktop.Sway), the stand-in game under Wine 10.0 in a bwrap container that
nobody made from the Debian 13 root (container.py), with sway's Wayland socket and "Graphics"=
"wayland" in its prefix. The game's window is then a native xdg_shell toplevel, with no X window at
all, and only the wlroots compositors' witness (wlr-foreign-toplevel) can tell that it has the
focus: Wine's foreground stays on the game when foot takes the keyboard. bridge-host runs outside,
as nobody, with no options.

BRIDGE_FOCUS_ROUNDS sets the number of switches between foot and the game (3 by default; 20 for the
figures of the README); BRIDGE_E2E_FIGURES prints the focus latencies and the time from each trigger
to its position."""

import os
import signal
import time
import unittest

from container import GAME_NAME, WaylandDriverGame, game_pid
from desktop import Sway
from harness import DEFAULT_ANSWER, NOT_IN_FRONT, RELEASE, REQUESTED, figure, now, wait_for
from host_harness import alone_in_pid_namespace

alone_in_pid_namespace()  # bridge-host must find only this program's games

ROUNDS = int(os.environ.get("BRIDGE_FOCUS_ROUNDS", "3"))
STATE_PERIOD = 0.15  # the bridge's state lines: "in front" comes with the first one after the focus
QUIET = 2.0  # s in which a signal while foot is focused must bring no acquisition
APP_ID = GAME_NAME.lower()  # as Wine's Wayland driver names the game's toplevel


def milliseconds(times):
    ms = sorted(round(t * 1000, 1) for t in times)
    return "median %s max %s" % (ms[len(ms) // 2], ms[-1]), ms


class WaylandDriver(WaylandDriverGame):
    @classmethod
    def open_desktop(cls):
        return Sway(keyboard=True).start()

    @classmethod
    def wait_for_game_window(cls):
        figure("wineboot and the Wayland driver in the container (s)", "%.1f" % cls.prefix_seconds)
        wait_for(lambda: cls.game_windows(), "the game's window in sway's tree")

    @classmethod
    def game_windows(cls):
        """sway's windows that are the game's, by Wayland app id or X class."""
        return [window for window in cls.screen.windows()
                if APP_ID in ((window.get("app_id") or "").lower(),
                              (window.get("window_properties") or {}).get("class", "").lower())]

    def in_front(self, mark, focus, expected):
        """Focuses a window and returns the time from that request to bridge-host's game event."""
        asked = focus()
        return self.host.expect(mark, event="game", in_front=expected).at - asked

    def test_the_game_is_followed_through_the_wlr_witness_and_positions_come_only_while_it_is_in_front(self):
        # The case is real: the game's only window is a native Wayland one, from the game's process.
        windows = self.game_windows()
        self.assertEqual([(w["app_id"], w["shell"], w["pid"]) for w in windows],
                         [(APP_ID, "xdg_shell", game_pid(self.game.proc.pid))], windows)

        self.host = host = self.sandbox.host(self.screen.session)
        self.addCleanup(host.stop)
        self.assertEqual(host.expect(0, event="witness").data, {"event": "witness", "name": "wlr-foreign-toplevel"})
        host.expect(0, event="follow", state="joined")
        bridge = host.expect(0, event="bridge", state="started")

        focus_game = lambda: self.screen.focus_app(APP_ID)  # noqa: E731
        self.in_front(host.lines.index(bridge), focus_game, True)
        hidden, shown = [], []
        for turn in range(ROUNDS):
            hidden.append(self.in_front(host.mark(), self.screen.focus_native, False))
            # Each "in front" comes with a state line: without a pause, every focus would fall at the
            # same phase of their period and the figures would all be its worst case.
            time.sleep(turn * STATE_PERIOD / ROUNDS)
            shown.append(self.in_front(host.mark(), focus_game, True))
        for what, times in (("foot focused to game in_front false", hidden),
                            ("the game focused to game in_front true", shown)):
            figure("Wayland-driver game on sway, wlr witness: %s (ms), %s" % (what, milliseconds(times)[0]),
                   milliseconds(times)[1])

        # The hotkey, typed on the seat's keyboard into the focused game; then the signal.
        for source, ask in (("ctrl+p", lambda: self.screen.keys("key ctrl+p")),
                            ("SIGUSR1", lambda: host.signal(signal.SIGUSR1))):
            mark = host.mark()
            asked = now()
            ask()
            position = host.expect(mark, event="position")
            self.assertEqual(position["text"], DEFAULT_ANSWER)
            figure("Wayland-driver game on sway: %s to position (ms)" % source, round((position.at - asked) * 1000))

        # Behind foot, the game still has Wine's foreground, but the bridge has bridge-host's word that
        # it is not in front: a signal is refused at once, and nothing is typed into the game.
        self.in_front(host.mark(), self.screen.focus_native, False)
        mark = host.mark()
        signalled = now()
        host.signal(signal.SIGUSR1)
        host.expect(mark, event="error", message=NOT_IN_FRONT)
        time.sleep(max(0, signalled + QUIET - now()))
        asked = [line for line in host.lines[mark:]
                 if line.event == "position" or (line.event == "status" and line["message"] in (REQUESTED, RELEASE))]
        self.assertEqual(asked, [], host.lines[mark:])

        host.signal(signal.SIGTERM)
        self.assertEqual(host.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
