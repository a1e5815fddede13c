"""bridge-host end to end on a Wayland desktop: sway, headless, with XWayland, where the game is an X
client among Wayland-native windows. The scenarios of test_host.py and test_follow.py run there as
they are, with the witness that bridge-host chooses there (sway's wlr-foreign-toplevel list), and a
native Wayland window (foot) takes the focus from the game and gives it back, followed by that
witness and by the X one (XWayland's _NET_ACTIVE_WINDOW).

BRIDGE_FOCUS_ROUNDS sets the number of switches (3 by default; 20 for the figures of the README),
BRIDGE_E2E_FIGURES prints the latencies and each witness's idle CPU."""

import os
import time
import unittest

import test_follow
import test_host
from harness import figure
from host_harness import alone_in_pid_namespace

alone_in_pid_namespace()  # bridge-host must find only this program's games

ROUNDS = int(os.environ.get("BRIDGE_FOCUS_ROUNDS", "3"))
STATE_PERIOD = 0.15  # the bridge's state lines: "in front" comes with the first one after the focus
IDLE = float(os.environ.get("BRIDGE_IDLE_SECONDS", "0"))  # a pause measured for CPU, with figures only
# What bridge-host chooses under sway, and what --witness x gives.
WITNESSES = [((), "wlr-foreign-toplevel"), (("--witness", "x"), "x")]


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class NativeFocus:
    """A Wayland-native window takes the focus from the game and gives it back, followed by each of
    the witnesses (their options, and the name that the witness event gives); mixed into a
    test_host.HostCase on a Wayland desktop."""

    witnesses = WITNESSES

    def test_a_wayland_window_in_front_hides_the_game_until_the_game_is_focused_again(self):
        for options, name in self.witnesses:
            with self.subTest(witness=name):
                self.start_host(*options)
                self.host.expect(0, event="witness", name=name)
                self.switch_focus(name)
                self.host.stop()

    def switch_focus(self, witness):
        self.game_in_front()
        hidden, shown = [], []
        for turn in range(ROUNDS):
            mark = self.host.mark()
            asked = self.screen.focus_native()
            hidden.append(self.host.expect(mark, event="game", in_front=False).at - asked)
            # Each "in front" came with a state line: without a pause, every focus would fall at the
            # same phase of their period and the figures would all be its worst case.
            time.sleep(turn * STATE_PERIOD / ROUNDS)
            mark = self.host.mark()
            asked = self.activate("StandInGame")
            shown.append(self.host.expect(mark, event="game", in_front=True).at - asked)
        for what, times in (("the native window focused to game in_front false", hidden),
                            ("the game focused to game in_front true", shown)):
            ms = sorted(round(t * 1000, 1) for t in times)
            figure("host on %s, %s witness: %s (ms), median %s max %s"
                   % (self.desktop, witness, what, ms[len(ms) // 2], ms[-1]), ms)
        if IDLE and os.environ.get("BRIDGE_E2E_FIGURES"):
            self.screen.focus_native()
            time.sleep(1)
            before = cpu_seconds(self.host.proc.pid)
            time.sleep(IDLE)
            used = cpu_seconds(self.host.proc.pid) - before
            figure("host on %s, %s witness: idle CPU over %g s, the native window focused (%% of a core)"
                   % (self.desktop, witness, IDLE), round(100 * used / IDLE, 3))


class HostUnderSway(NativeFocus, test_host.Host):
    desktop = "sway"

    @unittest.skip("under sway, a Wine window that takes the focus straight from another Wine window is "
                   "now and then left without Wine's foreground (a race between the two in Wine); the "
                   "game's focus from and to a Wayland window is tested below")
    def test_focus_follows_the_active_window(self):
        pass


class FollowUnderSway(test_follow.Follow):
    desktop = "sway"


if __name__ == "__main__":
    unittest.main()
