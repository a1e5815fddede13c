"""bridge-host end to end under KWin (its virtual backend, with XWayland): the game is an X client,
and qmlscene, a Wayland-native window, takes the focus from it and gives it back, followed by the
witness that bridge-host chooses there (a script of ours in KWin) and by the X one (XWayland's
_NET_ACTIVE_WINDOW). The figures as in test_wayland.py (BRIDGE_FOCUS_ROUNDS, BRIDGE_E2E_FIGURES,
BRIDGE_IDLE_SECONDS)."""

import os
import signal
import subprocess
import unittest

import test_host
from test_wayland import NativeFocus

PLUGIN = "bridge-host-focus-0"  # the script's name in KWin while one bridge-host runs
SERVICE = "org.bridgehost.Focus.Slot0"  # the bus name that it calls


class HostUnderKwin(NativeFocus, test_host.HostCase):
    desktop = "kwin"
    witnesses = [((), "kwin"), (("--witness", "x"), "x")]

    def script_loaded(self):
        return self.screen.call_kwin("/Scripting", "org.kde.kwin.Scripting", "isScriptLoaded", "s", PLUGIN)

    def test_a_killed_host_leaves_its_script_that_the_next_one_replaces_and_unloads(self):
        self.start_host("--witness", "kwin")
        self.host.expect(0, event="witness", name="kwin")
        self.game_in_front()
        os.kill(self.host.proc.pid, signal.SIGKILL)
        self.host.wait_exit()
        self.assertEqual(self.script_loaded(), [True])
        self.start_host()
        self.game_in_front()
        mark = self.host.mark()
        self.screen.focus_native()
        self.host.expect(mark, event="game", in_front=False)
        self.host.stop()
        self.assertEqual(self.host.proc.returncode, 0)
        self.assertEqual(self.script_loaded(), [False])

    def test_a_report_from_another_than_kwin_is_refused(self):
        self.start_host()
        self.host.expect(0, event="witness", name="kwin")
        forged = subprocess.run(["busctl", "--address=" + self.screen.bus_address, "call", SERVICE, "/Focus",
                                 "org.bridgehost.Focus", "activated", "sss", str(self.game.proc.pid),
                                 "starcitizen.exe", "StandInGame"], capture_output=True, text=True)
        self.assertNotEqual(forged.returncode, 0)
        self.assertIn("Access denied", forged.stderr)  # busctl's words for the AccessDenied error
        self.game_in_front()  # and KWin's own reports still count


if __name__ == "__main__":
    unittest.main()
