"""bridge-host end to end: the real program with openbox (so that _NET_ACTIVE_WINDOW is real), the
bridge under Wine and the stand-in game, on the harness's own Xvfb, wineserver and prefix.

Environment, besides the harness's: BRIDGE_HOST, the bridge-host executable."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from harness import (DEFAULT_ANSWER, PREFIX, ROOT, TIMEOUT, Session, exe_path, figure, now,  # noqa: E402
                     stop_process)

HOST = os.environ.get("BRIDGE_HOST") or os.path.join(ROOT, "build", "native", "host", "bridge-host")
USER_TEXT = "the player's own notes"


class HostLine:
    """One JSON line of bridge-host and when it arrived."""

    def __init__(self, raw, at):
        self.raw, self.at = raw, at
        self.data = json.loads(raw)
        self.event = self.data.get("event")

    def __getitem__(self, key):
        return self.data[key]

    def __repr__(self):
        return "<%.3f %s>" % (self.at, self.raw.strip())


class BridgeHost:
    """bridge-host as a child of ours, its stdout read line by line."""

    def __init__(self, session, *options):
        command = [HOST, "--bridge", exe_path("wine_bridge.exe"), "--prefix", PREFIX, *options]
        self.proc = subprocess.Popen(command, env=session.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.changed = threading.Condition()
        self.ended = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            line = HostLine(raw, now())
            with self.changed:
                self.lines.append(line)
                self.changed.notify_all()
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def mark(self):
        with self.changed:
            return len(self.lines)

    def expect(self, start, **fields):
        """The first line from start on whose fields have these values."""
        deadline = now() + TIMEOUT
        with self.changed:
            while True:
                for line in self.lines[start:]:
                    if all(line.data.get(key) == value for key, value in fields.items()):
                        return line
                if now() > deadline or self.ended:
                    raise AssertionError("bridge-host: no line with %r; lines %r" % (fields, self.lines[-8:]))
                self.changed.wait(0.5)

    def signal(self, sig):
        os.kill(self.proc.pid, sig)

    def wait_exit(self):
        code = self.proc.wait(TIMEOUT)
        with self.changed:
            self.changed.wait_for(lambda: self.ended, TIMEOUT)
        return code

    def stop(self):
        stop_process(self.proc)
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()


class Host(unittest.TestCase):
    """One session with openbox for the module; each test runs its own bridge-host and programs."""

    @classmethod
    def setUpClass(cls):
        cls.session = Session().start()
        cls.openbox = subprocess.Popen(["setpriv", "--pdeathsig", "TERM", "openbox", "--sm-disable"],
                                       env=cls.session.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        deadline = now() + TIMEOUT
        while "window id" not in cls.root_property("_NET_SUPPORTING_WM_CHECK"):
            if now() > deadline or cls.openbox.poll() is not None:
                cls.tearDownClass()
                raise RuntimeError("openbox did not start")
            time.sleep(0.1)

    @classmethod
    def tearDownClass(cls):
        stop_process(cls.openbox)
        cls.session.close()

    @classmethod
    def root_property(cls, name):
        return subprocess.run(["xprop", "-root", name], env=cls.session.env, capture_output=True, text=True,
                              timeout=TIMEOUT).stdout

    def setUp(self):
        self.game = self.session.game()
        self.tool = self.session.tool()
        self.host = None

    def tearDown(self):
        if self.host:
            self.host.stop()
        self.session.stop_programs()

    def start_host(self, *options):
        self.host = BridgeHost(self.session, "--position", "ctrl+p", *options)
        self.started = self.host.expect(0, event="bridge", state="started")
        return self.host

    def activate(self, title):
        """Makes openbox activate the window of that title; returns when the request went out."""
        xid = self.session.xdotool("search", "--name", "^%s$" % title).split()[-1]
        asked = now()
        self.session.xdotool("windowactivate", "--sync", xid)
        return asked

    def game_in_front(self):
        mark = self.host.mark()
        self.activate("StandInGame")
        self.host.expect(mark, event="game", in_front=True)

    def assert_position(self, line, source="active"):
        self.assertEqual((line["source"], line["text"], line["x"], line["y"], line["z"]),
                         (source, DEFAULT_ANSWER, -12345.678, 234.5, 7.25))

    def test_focus_follows_the_active_window(self):
        self.start_host()
        self.game_in_front()
        mark = self.host.mark()
        activated = self.activate("ClipboardTool")
        left = self.host.expect(mark, event="game", in_front=False)
        figure("host: xdotool windowactivate of another window to game in_front false, at most (ms)", round((left.at - activated) * 1000, 1))
        mark = self.host.mark()
        activated = self.activate("StandInGame")
        back = self.host.expect(mark, event="game", in_front=True)
        figure("host: xdotool windowactivate of the game to game in_front true, at most (ms)", round((back.at - activated) * 1000, 1))

    def test_the_position_hotkey_on_the_game_prints_a_position(self):
        self.start_host()
        self.game_in_front()
        mark = self.host.mark()
        self.session.xdotool("key", "ctrl+p")
        self.assert_position(self.host.expect(mark, event="position"))

    def test_sigusr1_asks_for_a_position_and_once_exits_after_it(self):
        self.start_host("--once")
        self.game_in_front()
        mark = self.host.mark()
        self.host.signal(signal.SIGUSR1)
        self.assert_position(self.host.expect(mark, event="position"))
        self.assertEqual(self.host.wait_exit(), 0)

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

    def test_a_bad_option_exits_2_with_its_message(self):
        cases = [(["--next", "ctrl+nope"], 'bridge-host: --next: unknown key name "nope" in "ctrl+nope"\n'),
                 (["--delay", "501"], "bridge-host: --delay: Value 501 not in range 10 to 500\n"),
                 (["--survey", "ctrl+p"], "bridge-host: --survey and --position are both ctrl+p\n")]
        for options, message in cases:
            with self.subTest(options):
                result = subprocess.run([HOST, "--prefix", PREFIX, *options], env=self.session.env,
                                        capture_output=True, text=True, timeout=TIMEOUT)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", message))


if __name__ == "__main__":
    unittest.main()
