"""bridge-host joining a game that runs in a container, end to end: the stand-in game under Wine 10.0
in a bwrap sandbox that nobody made from the Debian 13 root (container.py), its prefix at a path that
exists only inside, and bridge-host outside, as nobody too, with nothing that names a Wine (no
options, no WINEPREFIX, no wine on its PATH). It joins the game and names the container; positions
come by SIGUSR1 and by the hotkey; once the game has quit, the bridge has left nothing running. The
wrapper form runs the container as Steam's launch options do under Steam's runtime
(container=pressure-vessel). A StarCitizen.exe in a mount namespace that root made cannot be entered:
bridge-host says so once and starts nothing.

The desktop is openbox on the session's Xvfb (desktop.DesktopCase); the prefix is made once for the
class by wineboot in the container. BRIDGE_E2E_FIGURES=1 prints the time that takes and the time
from each game's start to its join."""

import os
import signal
import time

from container import GAME, LOADER, PREFIX, Game, Sandbox, Unenterable, game_pid, pid_inside, processes_naming
from desktop import DesktopCase
from harness import DEFAULT_ANSWER, TIMEOUT, figure, now, wait_for
from host_harness import alone_in_pid_namespace

alone_in_pid_namespace()  # bridge-host must find only this program's games

WAITING = {"event": "status", "message": "waiting for the game (StarCitizen.exe)"}
QUIET = 2.5  # s in which a game that cannot be entered is not reported again


def bridge_copies(tmp):
    """The copies of the bridge in a container's /tmp (tmp: seen through /proc/PID/root)."""
    return sorted(os.path.join(folder, name) for folder in os.listdir(tmp) if folder.startswith("bridge-host-")
                  for name in os.listdir(os.path.join(tmp, folder)))


class Container(DesktopCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.sandbox = Sandbox(cls.session.display)
            figure("wineboot in the container (s)", "%.1f" % cls.sandbox.make_prefix())
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "sandbox", None):
            cls.sandbox.close()
        super().tearDownClass()

    def start_host(self, *options):
        """bridge-host as the container's user, with nothing that names a Wine."""
        host = self.sandbox.host(self.session, *options)
        self.addCleanup(host.stop)
        return host

    def expect_join(self, host, started, ancestor, kind):
        """The join of the game under ancestor, in a container of that kind; its bridge's start."""
        joined = host.expect(0, event="follow", state="joined")
        figure("game start to joined (s)", "%.1f" % (joined.at - started))
        pid = game_pid(ancestor)
        self.assertEqual(joined.data, {"event": "follow", "state": "joined", "pid": pid, "prefix": PREFIX,
                                       "loader": LOADER, "container": {"kind": kind, "pid": pid_inside(pid)}})
        return host.expect(host.lines.index(joined), event="bridge", state="started")

    def position(self, host, started, ask):
        """Brings the game in front, waits until the bridge sees it there, and asks."""
        self.activate("StandInGame")

        def in_front():
            states = [line["in_front"] for line in host.lines[host.lines.index(started):] if line.event == "game"]
            return bool(states) and states[-1]
        with host.changed:
            self.assertTrue(host.changed.wait_for(in_front, TIMEOUT), host.lines[-5:])
        mark = host.mark()
        ask()
        self.assertEqual(host.expect(mark, event="position")["text"], DEFAULT_ANSWER)

    def leftovers(self, host):
        """Processes of the user that name the bridge, besides bridge-host itself."""
        return [pid for pid in processes_naming(self.sandbox.user, "wine_bridge.exe") if pid != host.proc.pid]

    def test_joins_the_game_in_its_container_and_leaves_nothing_running_when_it_quits(self):
        host = self.start_host()
        host.expect(0, **WAITING)
        started = now()
        game = Game(self.sandbox)
        self.addCleanup(game.stop)
        game.wait_ready()
        bridge = self.expect_join(host, started, game.proc.pid, "plain")
        pid = game_pid(game.proc.pid)
        self.position(host, bridge, lambda: host.signal(signal.SIGUSR1))

        # A bridge that ends while the game runs comes back, from a copy of its own in the container's
        # /tmp: the copy of the one that ended is gone.
        tmp = "/proc/%d/root/tmp" % pid
        first = bridge_copies(tmp)
        self.assertEqual(len(first), 1, first)
        mark = host.mark()
        os.kill(game_pid(host.proc.pid, "wine_bridge.exe"), signal.SIGKILL)
        host.expect(mark, event="bridge", state="exited", signal=signal.SIGKILL, restart_in_ms=1000)
        bridge = host.expect(mark, event="bridge", state="started", epoch=2)
        wait_for(lambda: len(bridge_copies(tmp)) == 1 and bridge_copies(tmp) != first, "one copy, the new bridge's")
        self.position(host, bridge, lambda: self.session.xdotool("key", "ctrl+p"))

        mark = host.mark()
        game.command("quit", "bye")
        self.assertEqual(game.proc.wait(TIMEOUT), 0, "the container ends with its game")
        host.expect(mark, event="follow", state="left", pid=pid)
        exited = host.expect(mark, event="bridge", state="exited", epoch=bridge["epoch"])
        self.assertNotIn("restart_in_ms", exited.data, host.lines[mark:])
        host.expect(mark, **WAITING)
        wait_for(lambda: not self.leftovers(host), "end of every process of the bridge")
        host.signal(signal.SIGTERM)
        self.assertEqual(host.wait_exit(), 0)
        self.assertEqual([line.data for line in host.lines[mark:] if line.event == "bridge"], [exited.data],
                         "no bridge started after the game quit")

    def test_the_wrapper_around_steams_runtime_joins_its_game_and_ends_with_its_exit_code(self):
        # The game reads its input until the end: the loop holds it open until the release file is there.
        script = 'while [ ! -e "$HOME/release" ]; do sleep 0.1; done | wine "$1"; exit 7'
        started = now()
        host = self.start_host("--", *self.sandbox.command("sh", "-c", script, "sh", GAME,
                                                           env={"container": "pressure-vessel"}))
        bridge = self.expect_join(host, started, host.proc.pid, "steam-runtime")
        self.position(host, bridge, lambda: host.signal(signal.SIGUSR1))
        open(os.path.join(self.sandbox.home, "release"), "w").close()
        self.addCleanup(os.remove, os.path.join(self.sandbox.home, "release"))
        host.expect(0, event="command", state="exited", code=7)
        self.assertEqual(host.wait_exit(), 7)
        self.assertEqual(self.leftovers(host), [])

    def test_a_game_in_a_mount_namespace_of_roots_is_reported_once_and_not_joined(self):
        fake = Unenterable(self.sandbox)
        self.addCleanup(fake.stop)
        host = self.start_host()
        error = host.expect(0, event="error")
        for part in ("StarCitizen.exe (pid %d)" % fake.proc.pid, "cannot enter", "setns", "Operation not permitted"):
            self.assertIn(part, error["message"])
        time.sleep(QUIET)
        self.assertEqual([line.data for line in host.lines if line.event in ("error", "follow", "bridge")],
                         [error.data], "reported once, neither joined nor bridged")


if __name__ == "__main__":
    import unittest
    unittest.main()
