"""bridge-host end to end: the real program on a desktop (openbox on the harness's own Xvfb, or that
Xvfb with no window manager), the bridge under Wine and the stand-in game, with the harness's
wineserver and prefix."""

import os
import signal
import statistics
import subprocess
import time
import unittest

from desktop import DesktopCase
from host_harness import HOST, BridgeHost
from harness import DEFAULT_ANSWER, PREFIX, TIMEOUT, figure, stop_process

USER_TEXT = "the player's own notes"


class HostCase(DesktopCase):
    """One desktop and session for the module (openbox on Xvfb here; a subclass with desktop = "sway"
    runs these tests under sway); each test runs its own bridge-host and programs, beside the game
    and the clipboard tool."""

    def setUp(self):
        self.game = self.session.game()
        self.tool = self.session.tool()
        self.screen.settle("StandInGame", "ClipboardTool")
        self.host = None

    def tearDown(self):
        if self.host:
            self.host.stop()
        self.session.stop_programs()

    def start_host(self, *options):
        self.host = BridgeHost(self.session, "--position", "ctrl+p", *options)
        self.started = self.host.expect(0, event="bridge", state="started")
        return self.host

    def game_in_front(self):
        mark = self.host.mark()
        self.activate("StandInGame")
        self.host.expect(mark, event="game", in_front=True)

    def assert_position(self, line, source="active"):
        self.assertEqual((line["source"], line["text"], line["x"], line["y"], line["z"]),
                         (source, DEFAULT_ANSWER, -12345.678, 234.5, 7.25))


class Host(HostCase):
    """bridge-host's scenarios on a desktop."""

    def test_focus_follows_the_active_window(self):
        self.start_host()
        self.game_in_front()
        mark = self.host.mark()
        activated = self.activate("ClipboardTool")
        left = self.host.expect(mark, event="game", in_front=False)
        figure("host on %s: another window activated to game in_front false, at most (ms)" % self.desktop,
               round((left.at - activated) * 1000, 1))
        mark = self.host.mark()
        activated = self.activate("StandInGame")
        back = self.host.expect(mark, event="game", in_front=True)
        figure("host on %s: the game activated to game in_front true, at most (ms)" % self.desktop,
               round((back.at - activated) * 1000, 1))

    def test_the_position_hotkey_on_the_game_prints_a_position(self):
        self.start_host()
        self.game_in_front()
        mark = self.host.mark()
        self.session.xdotool("key", "ctrl+p")
        self.assert_position(self.host.expect(mark, event="position"))

    def test_sigusr1_asks_for_a_position_and_once_prints_it_alone_and_exits(self):
        self.host = BridgeHost(self.session, "--once")
        self.activate("StandInGame")
        self.host.expect_error_line('{"event":"game","in_front":true}')
        self.host.signal(signal.SIGUSR1)
        self.assertEqual(self.host.wait_exit(), 0)
        self.assertEqual(len(self.host.lines), 1, self.host.lines)
        self.assert_position(self.host.lines[0])

    def test_a_bridge_killed_from_outside_is_started_again_and_works(self):
        self.start_host()
        os.kill(self.started["pid"], signal.SIGKILL)
        exited = self.host.expect(0, event="bridge", state="exited")
        self.assertEqual((exited["signal"], exited["restart_in_ms"]), (signal.SIGKILL, 1000))
        again = self.host.expect(self.host.lines.index(exited), event="bridge", state="started")
        self.assertEqual(again["epoch"], 2)
        self.game_in_front()
        mark = self.host.mark()
        self.host.signal(signal.SIGUSR1)
        self.assert_position(self.host.expect(mark, event="position"))

    def test_sigterm_during_an_acquisition_ends_cleanly_and_gives_the_clipboard_back(self):
        self.game.command("answer never", "answer")
        self.tool.copy(USER_TEXT)
        before = self.tool.dump()
        self.start_host()
        self.game_in_front()
        mark = self.host.mark()
        self.host.signal(signal.SIGUSR1)
        self.host.expect(mark, event="status", message="Position demandée…")
        self.host.signal(signal.SIGTERM)
        self.assertEqual(self.host.wait_exit(), 0)
        self.host.expect(mark, event="bridge", state="exited", code=0)
        self.assertEqual(self.tool.dump().formats, before.formats)
        self.assertEqual(self.tool.command("read", "read").body, "text " + USER_TEXT)

    def test_a_wayland_session_with_no_wayland_witness_says_so_once_and_follows_the_x_focus(self):
        self.host = BridgeHost(self.session, "--position", "ctrl+p", env={"WAYLAND_DISPLAY": "/nonexistent/wayland-0"})
        self.host.expect(0, event="bridge", state="started")
        self.game_in_front()
        said = [line for line in self.host.lines if line.event == "witness"]
        self.assertEqual([line["name"] for line in said], ["x"])
        self.assertIn('its XWayland mode (no "Graphics" value in HKCU\\Software\\Wine\\Drivers) works',
                      said[0]["message"])

    def test_a_bad_option_exits_2_with_its_message(self):
        cases = [(["--next", "ctrl+nope"], 'bridge-host: --next: unknown key name "nope" in "ctrl+nope"\n'),
                 (["--witness", "gnome"], "bridge-host: --witness: gnome not in {x,wlr,kwin,gnome-shell}\n"),
                 (["--delay", "501"], "bridge-host: --delay: Value 501 not in range 10 to 500\n"),
                 (["--survey", "ctrl+p"], "bridge-host: --survey and --position are both ctrl+p\n")]
        for options, message in cases:
            with self.subTest(options):
                result = subprocess.run([HOST, "--prefix", PREFIX, *options], env=self.session.env,
                                        capture_output=True, text=True, timeout=TIMEOUT)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", message))


class WithoutWindowManager(HostCase):
    """The X input focus given straight, as gamescope gives it: no window manager tells Wine that the
    game has it again, so bridge-host does. (test_gamescope.py runs the same under gamescope.)"""

    desktop = "bare"
    RETURNS = 5
    # s from the return to the request, as a player's: asked at once, under load, the bridge's last
    # state line could still show Wine's foreground from before Wine took in the focus's leaving
    PAUSE = 0.3

    def away(self):
        """Another program's window takes the focus; returns when that was asked."""
        if not getattr(self, "other", None):
            self.other = subprocess.Popen(["xmessage", "-title", "LinuxProgram", "a Linux program"],
                                          env=self.session.env, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(stop_process, self.other)
            self.screen.settle("LinuxProgram")
        return self.activate("LinuxProgram")

    def test_the_game_is_in_front_again_each_time_the_focus_returns_to_it(self):
        self.start_host()
        self.game_in_front()
        lost, back = [], []
        for turn in range(self.RETURNS):
            with self.subTest(turn=turn):
                mark = self.host.mark()
                asked = self.away()
                lost.append(self.host.expect(mark, event="game", in_front=False).at - asked)
                mark = self.host.mark()
                asked = self.activate("StandInGame")
                back.append(self.host.expect(mark, event="game", in_front=True).at - asked)
                time.sleep(self.PAUSE)
                mark = self.host.mark()
                self.host.signal(signal.SIGUSR1)
                self.assert_position(self.host.expect(mark, event="position"))
        for what, delays in (("false", lost), ("true", back)):
            figure("host on %s: the focus given to game in_front %s, median (ms)" % (self.desktop, what),
                   round(statistics.median(delays) * 1000, 1))


if __name__ == "__main__":
    unittest.main()
