"""bridge-host following the game, end to end: started with no --wine, no --prefix, no WINEPREFIX and
no wine on its PATH, it joins the stand-in game in whatever prefix it runs, leaves it when it quits,
and joins it again elsewhere, and leaves at once a game that was killed and is not reaped yet; and the
wrapper form, which ends with its command's exit code and joins its command's game also on an X
display of its own, as gamescope gives one.

On the way, the user's clipboard is left as players leave it: copied in a Linux program that then
quit, or last written by a Wine session that has ended. Wine goes on listing those formats, which
nobody can give any more; a position must come all the same. A live Linux program's clipboard is
lent and comes back byte for byte.

The game runs first in "follow prefix", a hard-linked copy of the harness's prefix with a space in
its name and a wineserver of its own (a server belongs to a prefix directory), then in the
harness's own prefix. The desktop is the class's (desktop.DesktopCase): openbox here, sway in
test_wayland.py."""

import os
import signal
import subprocess
import tempfile
import unittest

from desktop import DesktopCase, give_focus
from host_harness import BridgeHost, alone_in_pid_namespace, prefix_copy
from harness import (CHAT_SUFFIX, DEFAULT_ANSWER, NO_ANSWER, PREFIX, TIMEOUT, LinuxCopy, Session, exe_path, figure,
                     now, stop_process, wait_for, x_clipboard)

alone_in_pid_namespace()  # bridge-host must find only this program's games

WAITING = {"event": "status", "message": "waiting for the game (StarCitizen.exe)"}
LOADER = "/usr/lib/wine/wine64"  # what Debian's wine runs a program with
LEAVE_LIMIT = 2.0  # s from a game's end to "left": the joined game is checked twice a second
USER_COPY = "naïve café – ✓ copied in Linux\n".encode()


def assert_unrenderable(test, tool):
    """What the bridge finds: Wine lists the text, which no X program can give any more."""
    wait_for(lambda: x_clipboard(test.session, "TARGETS") is None, "end of X's clipboard owner")
    test.assertIn("13:-:-", tool.dump().formats, "Wine lists a text that yields no data")


def process_state(pid):
    """The state letter in /proc/PID/stat (Z: a zombie, ended and not reaped)."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rpartition(")")[2].split()[0]


class Follow(DesktopCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.other = Session(prefix_copy("follow prefix")).start(display=False)
        except BaseException:
            super().tearDownClass()
            raise
        cls.other.display = cls.session.display
        cls.other.env["DISPLAY"] = cls.session.display

    @classmethod
    def tearDownClass(cls):
        cls.other.close()
        super().tearDownClass()

    def setUp(self):
        self.empty_path = tempfile.TemporaryDirectory()
        self.host = None

    def tearDown(self):
        if self.host:
            self.host.stop()
        self.session.stop_programs()
        self.other.stop_programs()
        self.empty_path.cleanup()

    def start_host(self, *options):
        """bridge-host with nothing that names a Wine: no options, no WINEPREFIX, no wine on PATH."""
        self.host = BridgeHost(self.session, *options, prefix=None,
                               env={"WINEPREFIX": None, "PATH": self.empty_path.name})
        return self.host

    def expect_join(self, mark, session, game):
        joined = self.host.expect(mark, event="follow", state="joined")
        figure("game start to joined (s)", "%.1f" % (joined.at - game.started))
        self.assertEqual((joined["pid"], joined["prefix"], joined["loader"]), (game.proc.pid, session.prefix, LOADER))
        return self.host.expect(self.host.lines.index(joined), event="bridge", state="started")

    def position(self, started, ask):
        """Brings the game in front (it may be already, since the bridge started) and asks."""
        self.activate("StandInGame")
        self.wait_front(started)
        mark = self.host.mark()
        ask()
        self.assertEqual(self.host.expect(mark, event="position")["text"], DEFAULT_ANSWER)

    def in_front(self, started):
        states = [line["in_front"] for line in self.host.lines[self.host.lines.index(started):] if line.event == "game"]
        return bool(states) and states[-1]

    def wait_front(self, started, expected=True):
        with self.host.changed:
            self.assertTrue(self.host.changed.wait_for(lambda: self.in_front(started) == expected, TIMEOUT),
                            self.host.lines[-5:])

    def desktop_window(self, name):
        """An X window on the desktop, that name its title and its WM_CLASS instance."""
        window = subprocess.Popen(["xmessage", "-name", name, "-title", name, name], env=self.session.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, window)

    def test_joins_the_game_restarts_its_bridge_leaves_it_when_it_quits_or_is_killed_and_joins_it_elsewhere(self):
        launcher = self.other.tool()  # the game's Wine runs before the bridge: its launcher, say
        since = launcher.formats()[0]
        copied = LinuxCopy(self.session, USER_COPY)  # a browser that copied, then was closed
        launcher.wait_for_listing(since)
        copied.quit()
        assert_unrenderable(self, launcher)
        host = self.start_host()
        host.expect(0, **WAITING)
        game = self.other.game()
        first = self.expect_join(0, self.other, game)
        mark = host.mark()
        os.kill(first["pid"], signal.SIGKILL)  # a bridge that ends while the game runs comes back
        host.expect(mark, event="bridge", state="exited", signal=signal.SIGKILL, restart_in_ms=1000)
        again = host.expect(mark, event="bridge", state="started", epoch=2)
        self.position(again, lambda: host.signal(signal.SIGUSR1))

        # The next game's Wine lists the answer, owned by this session, which then ends.
        next_tool = self.session.tool()
        next_tool.wait_for_listing(None)
        mark = host.mark()
        launcher.stop()
        game.stop()
        host.expect(mark, event="follow", state="left", pid=game.proc.pid)
        exited = host.expect(mark, event="bridge", state="exited", epoch=again["epoch"])
        self.assertEqual((exited["code"], "restart_in_ms" in exited.data), (0, False))
        host.expect(mark, **WAITING)
        assert_unrenderable(self, next_tool)

        mark = host.mark()
        game = self.session.game()
        second = self.expect_join(mark, self.session, game)
        between = host.lines[host.lines.index(exited) + 1:]
        self.assertEqual([line.data for line in between if line.event == "bridge"], [second.data],
                         "only the second game's bridge started after the first one's")
        self.assertEqual([line.data for line in between if line.event == "error"], [],
                         "no bridge, nothing for X to disagree with")
        self.position(second, lambda: self.session.xdotool("key", "ctrl+p"))

        since = next_tool.formats()[0]
        copied = LinuxCopy(self.session, USER_COPY)  # alive: its clipboard is lent and given back
        next_tool.wait_for_listing(since)
        game.command("answer never", "answer")
        mark = host.mark()
        host.signal(signal.SIGUSR1)
        host.expect(mark, event="error", message=NO_ANSWER + CHAT_SUFFIX)
        wait_for(lambda: x_clipboard(self.session, "UTF8_STRING") == USER_COPY, "user's copy back on X's clipboard")
        copied.quit()

        # Killed, and left unreaped (Popen reaps only on wait or poll): a zombie keeps the game's name.
        mark = host.mark()
        killed = now()
        os.kill(game.proc.pid, signal.SIGKILL)
        left = host.expect(mark, event="follow", state="left", pid=game.proc.pid)
        self.assertLess(left.at - killed, LEAVE_LIMIT)
        waiting = host.expect(mark, **WAITING)
        self.assertEqual(process_state(game.proc.pid), "Z", "left while a zombie, not once reaped")
        between = host.lines[mark:host.lines.index(waiting)]
        self.assertEqual([line.data for line in between if line.event in ("follow", "error")], [left.data],
                         "the zombie is neither joined again nor reported")
        game.proc.wait(TIMEOUT)
        host.signal(signal.SIGTERM)
        self.assertEqual(host.wait_exit(), 0)

    def test_the_wrapper_follows_the_game_of_its_command_and_ends_with_its_exit_code(self):
        release = os.path.join(self.empty_path.name, "release")
        game = exe_path("tools", "StarCitizen.exe")
        # The game reads its input until the end: the loop holds it open until the test says. The
        # command has bridge-host's environment, so it names its Wine and prefix itself.
        script = 'while [ ! -e "$1" ]; do /bin/sleep 0.1; done | WINEPREFIX="$3" /usr/bin/wine "$2"; exit 7'
        host = self.start_host("--", "/bin/sh", "-c", script, "sh", release, game, PREFIX)
        joined = host.expect(0, event="follow", state="joined")
        self.assertEqual(joined["prefix"], PREFIX)
        started = host.expect(0, event="bridge", state="started")
        open(release, "w").close()
        host.expect(0, event="command", state="exited", code=7)
        self.assertEqual(host.wait_exit(), 7)
        exited = host.expect(0, event="bridge", state="exited", epoch=started["epoch"])
        self.assertEqual((exited["code"], "restart_in_ms" in exited.data), (0, False))

    def test_the_wrappers_game_on_a_display_of_its_own_is_joined_and_witnessed_there(self):
        # As gamescope runs it: on an X server of its own, with no window manager, in a Wine session
        # of its own; bridge-host stays on the desktop's display.
        release = os.path.join(self.empty_path.name, "release")
        own = Session(prefix_copy("gamescope prefix")).start()
        self.addCleanup(own.close)
        script = ('while [ ! -e "$1" ]; do /bin/sleep 0.1; done | DISPLAY="$2" WINEPREFIX="$3" /usr/bin/wine "$4"')
        host = self.start_host("--", "/bin/sh", "-c", script, "sh", release, own.display, own.prefix,
                               exe_path("tools", "StarCitizen.exe"))
        self.assertEqual(host.expect(0, event="follow", state="joined")["prefix"], own.prefix)
        host.expect(0, event="witness", name="x", message="the game's own X display " + own.display)
        started = host.expect(0, event="bridge", state="started")
        give_focus(own, "StandInGame")
        self.wait_front(started)
        # Nested on the desktop, gamescope shows its display in a window there, of class "gamescope".
        # Once that window has been active, leaving it for another leaves the game, and coming back
        # brings it in front. An xmessage can name only its instance, which X's witness reads, and not
        # its class, which is what Wayland compositors give as an X window's app id.
        if self.desktop == "openbox":
            self.leave_and_return_to_the_nested_window(started)
        mark = host.mark()
        host.signal(signal.SIGUSR1)
        self.assertEqual(host.expect(mark, event="position")["text"], DEFAULT_ANSWER)
        open(release, "w").close()
        self.assertEqual(host.wait_exit(), 0)

    def leave_and_return_to_the_nested_window(self, started):
        for name in ("gamescope", "LinuxProgram"):
            self.desktop_window(name)
        for name, in_front in (("gamescope", True), ("LinuxProgram", False), ("gamescope", True)):
            self.activate(name)
            self.wait_front(started, in_front)

    def test_sigterm_to_the_wrapper_goes_on_to_the_command(self):
        host = self.start_host("--", "/bin/sleep", "60")
        host.expect(0, **WAITING)
        host.signal(signal.SIGTERM)
        host.expect(0, event="command", state="exited", code=128 + signal.SIGTERM)
        self.assertEqual(host.wait_exit(), 128 + signal.SIGTERM)


if __name__ == "__main__":
    unittest.main()
