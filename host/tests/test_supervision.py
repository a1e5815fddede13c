"""bridge-host's supervision of the bridge, with fake_wine.py in the place of Wine (lines and exits on
demand), and its focus watch on an X server with no window manager, where the X input focus is
followed. The harness's session gives the display (and a wineserver for the stand-in game)."""

import json
import os
import signal
import tempfile
import time
import unittest

from host_harness import BridgeHost
from harness import TIMEOUT, Session, now

FAKE_WINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_wine.py")
READY = '{"bridge_ready":true}'
TEXT = '{"text":"Coordinates: x:1 y:-2.5","wall_time":1796734512.123456,"latency_ms":0,"macro_ms":0,"epoch":{epoch}}'
POSITION = {"event": "position", "source": "passive", "text": "Coordinates: x:1 y:-2.5", "x": 1.0, "y": -2.5,
            "wall_time": 1796734512.123456, "latency_ms": 0, "macro_ms": 0}
BINDS = ["bind 0 2 80", "bind 1 2 102", "bind 2 2 100", "bind 3 2 101"]  # ctrl+p and the keypad defaults


class Supervision(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = Session().start()

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.host = None

    def tearDown(self):
        if self.host:
            self.host.stop()
        self.session.stop_programs()
        self.folder.cleanup()

    def start_host(self, *runs, options=()):
        env = {"FAKE_BRIDGE_DIR": self.folder.name, "FAKE_BRIDGE_PLAN": json.dumps(runs)}
        self.host = BridgeHost(self.session, "--wine", FAKE_WINE, *options, env=env)
        return self.host

    def input_of(self, run):
        """The lines that run number run of the fake bridge has read so far."""
        try:
            with open(os.path.join(self.folder.name, "input-%d" % run)) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_input(self, run, line, start=0):
        """Waits until that run has read that line at or after index start; returns its index."""
        deadline = now() + TIMEOUT
        while now() < deadline:
            lines = self.input_of(run)
            if line in lines[start:]:
                return lines.index(line, start)
            time.sleep(0.05)
        raise AssertionError("run %d never read %r; it read %r" % (run, line, self.input_of(run)[-5:]))

    def events(self):
        """Every line printed so far, less the bridge's pid."""
        with self.host.changed:
            return [{k: v for k, v in line.data.items() if k != "pid"} for line in self.host.lines]

    def test_only_strict_lines_of_the_current_epoch_are_acted_on_and_exits_are_explained_and_restarted(self):
        log = os.path.join(self.folder.name, "positions.log")
        with open(log, "w") as f:
            f.write("kept\n")
        host = self.start_host(
            {"print": [READY,
                       '{"native_state":true,"foreground":true,"hwnd":1,"pid":2,"busy":false,"epoch":0}',
                       '{"status":"of no context yet","epoch":0}',
                       '{"native_action":"next","epoch":{epoch}}',
                       '{"native_action":"next"',
                       '{"native_action":"position","epoch":{epoch},"extra":1}',
                       '{"status":"Position demandée…","epoch":{epoch}}'],
             "exit": 2},
            {"print": [READY], "exit": 3},
            {"print": [READY, '{"native_action":"position","epoch":2}', TEXT, '{"status":"done","epoch":{epoch}}']},
            options=("--log", log))
        host.expect(0, event="status", message="done")
        host.signal(signal.SIGTERM)
        self.assertEqual(host.wait_exit(), 0)
        self.assertEqual(self.events(), [
            {"event": "witness", "name": "x"},  # Xvfb alone: no WAYLAND_DISPLAY
            {"event": "bridge", "state": "started", "epoch": 1},
            {"event": "action", "action": "next"},
            {"event": "error", "message": "unreadable line from the bridge", "line": '{"native_action":"next"'},
            {"event": "error", "message": "unreadable line from the bridge",
             "line": '{"native_action":"position","epoch":1,"extra":1}'},
            {"event": "status", "message": "Position demandée…"},
            {"event": "bridge", "state": "exited", "epoch": 1, "code": 2,
             "meaning": "could not create its window or clipboard listener", "restart_in_ms": 1000},
            {"event": "bridge", "state": "started", "epoch": 2},
            {"event": "bridge", "state": "exited", "epoch": 2, "code": 3,
             "meaning": "could not start its input reader", "restart_in_ms": 2000},
            {"event": "bridge", "state": "started", "epoch": 3},
            POSITION,
            {"event": "status", "message": "done"},
            {"event": "bridge", "state": "exited", "epoch": 3, "code": 0, "meaning": "ended"},
        ])
        for run in (1, 2, 3):
            self.assertEqual(self.input_of(run)[:5], ["context %d 1 50" % run] + BINDS)
        self.assertNotIn("trigger", self.input_of(3))  # the position hotkey of epoch 2 came too late
        with open(log) as f:
            self.assertEqual(f.read(), "kept\n" + json.dumps(POSITION, separators=(",", ":")) + "\n")

    def test_a_bridge_that_stays_after_the_end_of_its_input_is_killed_5_s_later(self):
        host = self.start_host({"print": [READY], "hang": True})
        host.expect(0, event="bridge", state="started")
        host.signal(signal.SIGINT)
        self.assertEqual(host.wait_exit(), 0)
        self.assertEqual(self.events()[-1], {"event": "bridge", "state": "exited", "epoch": 1, "signal": 9})

    def test_without_a_window_manager_the_x_input_focus_is_followed(self):
        self.session.game()
        self.session.tool()
        self.start_host({"print": [READY]}).expect(0, event="bridge", state="started")
        self.session.focus_x_window("StandInGame")
        gained = self.wait_input(1, "focus 1")
        self.wait_input(1, "focus 1", gained + 1)  # repeated while the game keeps the focus
        self.session.focus_x_window("ClipboardTool")
        lost = self.wait_input(1, "focus 0", gained)
        self.assertNotIn("focus 1", self.input_of(1)[lost:lost + 3])


if __name__ == "__main__":
    unittest.main()
