"""bridge-host end to end under GNOME Shell 48 (headless, with XWayland; gnome_desktop.py): our
extension installed by bridge-host and loaded by the shell's next start; its witness following the
game (an X client) and qmlscene (a Wayland window) with a signal from anyone else refused; and
the X witness on Mutter 48 beside it. The figures as in test_wayland.py."""

import os
import subprocess
import signal
import time
import unittest

import gnome_desktop  # the gnome desktops
import test_host
from container import GAME_NAME, WaylandDriverGame, game_pid
from desktop import DesktopCase
from harness import DEFAULT_ANSWER
from host_harness import BridgeHost, alone_in_pid_namespace
from test_wayland import NativeFocus

alone_in_pid_namespace()  # bridge-host must find only this program's games

UUID = "focus-witness@bridge-host"
FLICKER = 0.5  # s: what a forged signal would do comes within ms


class ExtensionInstall(DesktopCase):
    desktop = "gnome"

    def witness(self, name):
        """The witness event of a bridge-host that runs only for it."""
        host = BridgeHost(self.session)
        self.addCleanup(host.stop)
        line = host.expect(0, event="witness", name=name)
        host.stop()
        return line.data.get("message", "")

    def extension_state(self):
        info = self.screen.bus.call("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Extensions",
                                    "GetExtensionInfo", "s", UUID)
        return info[0].get("state", {}).get("data") if info else None

    def test_bridge_host_installs_its_extension_which_the_next_login_runs(self):
        folder = os.path.join(self.screen.extensions, UUID)
        message = self.witness("x")
        self.assertIn("the GNOME Shell extension %s is installed now in %s: GNOME Shell loads it at the next "
                      "login (log out and in again)" % (UUID, folder), message)
        self.assertEqual(sorted(os.listdir(folder)), ["extension.js", "metadata.json"])
        self.assertIn("'%s'" % UUID, self.screen.settings())
        self.assertIn("is installed: GNOME Shell loads it at the next login", self.witness("x"))  # said again

        self.screen.restart_shell()
        self.assertEqual(self.witness("gnome-shell"), "")

        # Every user extension turned off: the shell stops ours at once.
        self.screen.gsettings("set", "org.gnome.shell", "disable-user-extensions", "true")
        deadline = time.monotonic() + 10
        while self.extension_state() == 1 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertIn("is installed, but user extensions are turned off", self.witness("x"))


class HostUnderGnome(NativeFocus, test_host.HostCase):
    desktop = "gnome-ours"
    witnesses = [((), "gnome-shell"), (("--witness", "x"), "x")]

    def test_a_position_comes_and_a_signal_from_another_than_gnome_shell_is_refused(self):
        self.start_host()
        self.host.expect(0, event="witness", name="gnome-shell")
        self.game_in_front()
        mark = self.host.mark()
        self.host.signal(signal.SIGUSR1)
        self.assert_position(self.host.expect(mark, event="position"))
        mark = self.host.mark()
        forged = subprocess.run(["busctl", "--address=" + self.screen.bus.address, "emit", "/org/bridgehost/FocusWitness",
                                 "org.bridgehost.FocusWitness", "FocusChanged", "sub", "other", "1", "false"],
                                capture_output=True, text=True)
        self.assertEqual(forged.returncode, 0, forged.stderr)
        time.sleep(FLICKER)
        self.assertEqual([line for line in self.host.lines[mark:] if line.event == "game"], [])


class WaylandDriverGameUnderGnome(WaylandDriverGame):
    """The stand-in game under Wine 10's Wayland driver in a container: a Wayland toplevel, no X
    window; bridge-host outside, as the container's user, with no options."""

    @classmethod
    def open_desktop(cls):
        return gnome_desktop.GnomeWithOurs().start()

    @classmethod
    def wait_for_game_window(cls):
        cls.screen._wait_for(lambda: cls.screen.activate_window("StandInGame"), "no game window in GNOME Shell")

    def test_the_game_is_followed_through_the_extension_and_a_position_comes(self):
        self.screen.focus("StandInGame")
        focused = self.screen.bus.call("org.gnome.Shell", "/org/bridgehost/FocusWitness",
                                       "org.bridgehost.FocusWitness", "Focused")
        self.assertEqual(focused, [GAME_NAME.lower(), game_pid(self.game.proc.pid), True])  # a Wayland client
        host = self.sandbox.host(self.screen.session)
        self.addCleanup(host.stop)
        self.assertEqual(host.expect(0, event="witness").data, {"event": "witness", "name": "gnome-shell"})
        host.expect(0, event="follow", state="joined")
        host.expect(0, event="game", in_front=True)
        for focus, in_front in ((self.screen.focus_native, False), (lambda: self.screen.focus("StandInGame"), True)):
            mark = host.mark()
            focus()
            host.expect(mark, event="game", in_front=in_front)
        mark = host.mark()
        host.signal(signal.SIGUSR1)
        self.assertEqual(host.expect(mark, event="position")["text"], DEFAULT_ANSWER)


if __name__ == "__main__":
    unittest.main()
