"""bridge-host end to end under KWin 5.27 and KWin 6 (its virtual backend, with XWayland): the game is an X client,
and qmlscene, a Wayland-native window, takes the focus from it and gives it back, followed by the
witness that bridge-host chooses there (a script of ours in KWin) and by the X one (XWayland's
_NET_ACTIVE_WINDOW). The figures as in test_wayland.py (BRIDGE_FOCUS_ROUNDS, BRIDGE_E2E_FIGURES,
BRIDGE_IDLE_SECONDS)."""

import os
import signal
import subprocess
import time
import unittest

import kwin_desktop  # noqa: F401 (the kwin desktops)
import test_host
from host_harness import BridgeHost
from test_wayland import NativeFocus

PLUGIN = "bridge-host-focus-0"  # the script's name in KWin while one bridge-host runs
SERVICE = "org.bridgehost.Focus.Slot0"  # the bus name that it calls
# Reports as KWin sends them on a switch ("no window" first), from a script of the test's own in KWin.
REPORTS = """var report = function (pid, resourceClass) {
    callDBus("%s", "/Focus", "org.bridgehost.Focus", "activated", pid, resourceClass, "");
};
var pause = function (ms) {  // KWin's scripts have no timers: a busy wait, in KWin itself
    for (var until = Date.now() + ms; Date.now() < until;) {}
};
%%s""" % SERVICE
FLICKER = 0.5  # s: the events of a flicker come within ms of each other


class HostUnderKwin(NativeFocus, test_host.HostCase):
    desktop = "kwin"
    witnesses = [((), "kwin"), (("--witness", "x"), "x")]

    def script_loaded(self):
        return self.screen.call_kwin("/Scripting", "org.kde.kwin.Scripting", "isScriptLoaded", "s", PLUGIN)

    def run_script(self, text):
        """Has KWin run a script of ours (at the object where KWin 5 has it), unloaded after the test."""
        name = "bridge-host-test-%d" % len(self._cleanups)
        path = os.path.join(self.screen.runtime, name + ".js")
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o644)
        scripting = ("/Scripting", "org.kde.kwin.Scripting")
        [script] = self.screen.call_kwin(*scripting, "loadScript", "ss", path, name)
        self.addCleanup(self.screen.call_kwin, *scripting, "unloadScript", "s", name)
        self.assertIsNotNone(self.screen.call_kwin(self.screen.script_path % script, "org.kde.kwin.Script", "run"),
                             script)

    def test_no_window_reported_just_before_the_game_again_keeps_it_in_front(self):
        self.start_host()
        self.game_in_front()
        mark = self.host.mark()
        # Without the wait for what follows "no window", the game would be out of front, and back
        # with the bridge's next state line: before the second script. The pause makes sure that
        # the two reports are not read at once.
        self.run_script(REPORTS % 'report("", ""); pause(3); report("42", "starcitizen.exe");')
        time.sleep(FLICKER)
        self.run_script(REPORTS % 'report("43", "other");')
        self.host.expect(mark, event="game", in_front=False)
        time.sleep(FLICKER)
        self.assertEqual([line["in_front"] for line in self.host.lines[mark:] if line.event == "game"], [False])
        mark = self.host.mark()
        self.run_script(REPORTS % 'report("42", "starcitizen.exe");')
        self.host.expect(mark, event="game", in_front=True)
        mark = self.host.mark()
        self.run_script(REPORTS % 'report("", "");')
        self.host.expect(mark, event="game", in_front=False)  # "no window" with nothing after it is a loss

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

    def test_a_script_that_never_reports_leaves_the_x_witness_and_says_so(self):
        self.screen.refuse_reports()
        self.addCleanup(self.screen.refuse_reports, False)
        asked = BridgeHost(self.session, "--witness", "kwin")  # asked for: no other will do
        self.addCleanup(asked.stop)
        self.assertEqual(asked.wait_exit(), 2)
        self.assertIn("did not run", "".join(asked.errors))
        self.start_host()
        witness = self.host.expect(0, event="witness", name="x")
        self.assertIn("the kwin witness did not start: KWin's script of bridge-host did not run (no report within 2 s; "
                      "KWin has it loaded", witness["message"])
        self.assertEqual(self.script_loaded(), [False])
        self.game_in_front()


class HostUnderKwin6(HostUnderKwin):
    desktop = "kwin6"


if __name__ == "__main__":
    unittest.main()
