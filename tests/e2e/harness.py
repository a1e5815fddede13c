"""Runs wine_bridge.exe, the stand-in game and the clipboard tool under Wine for the end-to-end tests.

The session, its Wine programs and their line readers are in wine_session.py (re-exported here, so
that importers need only this module); here are the bridge's texts and lines, the programs' own
helpers (the bridge's focus pump and context, the tools' commands, the clipboard's dump), X's
clipboard as Linux programs see and own it (xclip), and the test case.

Run "python3 harness.py prepare" once to create the prefix (wineboot -i).
"""

import json
import os
import subprocess
import sys
import threading
import time
import unittest

import wine_session
from wine_session import (HERE, PREFIX, READY_MARK, ROOT, TIMEOUT, WINDOWS_DIR, WINE_MAJOR, Line,  # noqa: F401
                          Program, exe_path, matches, now, prepare, stop_process, wine_env)

FOCUS_PERIOD = 0.1
DEFAULT_ANSWER = "Coordinates: x:-12345.678 y:234.5 z:7.25"

# The bridge's own texts, byte for byte. An error from the chat's opening on ends with CHAT_SUFFIX.
RELEASE = "Rel\u00e2chez le raccourci\u2026"
REQUESTED = "Position demand\u00e9e\u2026"
CHAT_SUFFIX = " \u00b7 v\u00e9rifiez que le chat est ferm\u00e9"
NO_ANSWER = "Aucune nouvelle position re\u00e7ue"
COOL_DOWN = "Le relev\u00e9 pr\u00e9c\u00e9dent a expir\u00e9 \u00b7 patientez un instant avant de recommencer"
NOT_IN_FRONT = "Report annul\u00e9 : Star Citizen n\u2019est plus au premier plan"
KEYS_HELD = "Acquisition annulee : touches maintenues ou sequence expiree"
LOST_FRONT = "Acquisition interrompue : le jeu a perdu le premier plan"
TOO_BIG = "Presse-papiers trop volumineux (limite 64 Mo) \u00b7 copiez un texte court avant le report"
TYPING_HELD = "Acquisition interrompue : touche de saisie maintenue"
NO_PASTE = "Collage de commande Wine impossible"
ENTER_REFUSED = "Wine a refuse la touche Entree"
SUBMIT_REFUSED = "Wine a refuse la validation"
READY_LINE = b'{"bridge_ready":true}\r\n'


def state_line(foreground, hwnd=0, pid=0, busy=False, epoch=0):
    """The exact bytes of a state line."""
    return ('{"native_state":true,"foreground":%s,"hwnd":%d,"pid":%d,"busy":%s,"epoch":%d}\r\n'
            % (json.dumps(foreground), hwnd, pid, json.dumps(busy), epoch)).encode()


def status_line(text, epoch):
    """The exact bytes of a status line."""
    return ('{"status":"%s","epoch":%d}\r\n' % (text, epoch)).encode()


def error_line(message, epoch):
    """The exact bytes of an error line; message includes any suffix."""
    return ('{"error":"%s","epoch":%d}\r\n' % (message, epoch)).encode()


def action_line(name, epoch):
    """The exact bytes of a hotkey's action line."""
    return ('{"native_action":"%s","epoch":%d}\r\n' % (name, epoch)).encode()


def figure(name, value):
    """Prints a measured figure when BRIDGE_E2E_FIGURES is set."""
    if os.environ.get("BRIDGE_E2E_FIGURES"):
        print("figure: %s = %s" % (name, value), file=sys.stderr)


class Session(wine_session.Session):
    """A wine_session.Session that starts the bridge and the two tools."""

    def bridge(self):
        return self.start_program(Bridge, exe_path("wine_bridge.exe"))

    def game(self, *args):
        """The stand-in game, once ready. One that ended before its ready line is started once more,
        with a word on stderr: on KWin 6's XWayland, Wine's start of it ended so in 2 runs of 101,
        before the bridge or bridge-host had any part in it."""
        game = self.start_program(Tool, exe_path("tools", "StarCitizen.exe"), *args)
        try:
            return game.wait_ready()
        except AssertionError as failure:
            if not game.ended:
                raise
            print("the stand-in game ended before it was ready, started once more: %s" % failure, file=sys.stderr)
        return self.start_program(Tool, exe_path("tools", "StarCitizen.exe"), *args).wait_ready()

    def tool(self):
        return self.start_program(Tool, exe_path("tools", "clipboard_tool.exe")).wait_ready()


class BridgeLine(Line):
    """A JSON line of the bridge; kind is its first key (bridge_ready, native_state, text, ...)."""

    def __init__(self, raw, at):
        super().__init__(raw, at)
        try:
            self.data = json.loads(self.text)
            self.kind = next(iter(self.data))
        except (ValueError, StopIteration, TypeError):
            self.data, self.kind = None, None

    def __getitem__(self, key):
        return self.data[key]


class ToolLine(Line):
    """A log line of a tool: "<kind> <body> <t>", t in ms of the shared monotonic clock."""

    def __init__(self, raw, at):
        super().__init__(raw, at)
        words = self.text.split(" ")
        self.kind = words[0]
        try:
            self.t = float(words[-1]) / 1000.0
            self.body = self.text[len(self.kind) + 1:len(self.text) - len(words[-1]) - 1]
        except ValueError:
            self.t, self.body = None, self.text[len(self.kind) + 1:]
        self.fields = dict(w.split("=", 1) for w in self.body.split(" ") if "=" in w)


class Bridge(Program):
    """wine_bridge.exe, with a pump that repeats "focus 1" every 100 ms while it is on."""

    line_kind = BridgeLine

    def __init__(self, session, exe, *args):
        super().__init__(session, exe, *args)
        self.pumping = threading.Event()
        self.pump_lock = threading.Lock()
        self.last_focus = None
        self.epoch = 0
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        while self.proc.poll() is None:
            self.pumping.wait(0.5)
            with self.pump_lock:
                if not self.pumping.is_set():
                    continue
                try:
                    self.last_focus = self.send("focus 1")
                except (OSError, ValueError):
                    return
            time.sleep(FOCUS_PERIOD)

    def focus_pump(self, on):
        """Starts or stops the focus reports; returns when the last report was written."""
        with self.pump_lock:
            if on:
                self.pumping.set()
            else:
                self.pumping.clear()
            return self.last_focus

    def context(self, epoch, enabled=1, delay=50):
        """Sends "context" and waits until a state line shows its epoch, which must be a new one:
        only then does the line prove that the bridge has taken the command."""
        if epoch == self.epoch:
            raise ValueError("context needs a new epoch, not %d again" % epoch)
        mark = self.mark()
        self.send("context %d %d %d" % (epoch, enabled, delay))
        self.epoch = epoch
        return self.expect(lambda l: l.kind == "native_state" and l["epoch"] == epoch, start=mark)

    def enable(self, epoch=1):
        """Once ready: enabled with the epoch, focus reports flowing, the game seen in front."""
        self.expect("bridge_ready")
        self.context(epoch)
        self.focus_pump(True)
        self.state(True)
        return self

    def state(self, foreground, start=None, timeout=TIMEOUT):
        """The next state line whose foreground is as given."""
        return self.expect(lambda l: l.kind == "native_state" and l["foreground"] == foreground,
                           timeout=timeout, start=start)

    def settle(self, mark, states=2):
        """Waits for that many state lines after the lines now read, which proves that the commands
        and hotkeys sent so far were handled (posted messages go before WM_TIMER); returns the raw
        bytes of every other line since mark."""
        for _ in range(states):
            self.expect("native_state", start=self.mark())
        return [line.raw for line in self.since(mark, lambda l: l.kind != "native_state")]


class Tool(Program):
    """The stand-in game or the clipboard tool: a command gets one reply line (or an error line)."""

    line_kind = ToolLine

    def wait_ready(self):
        ready = self.ready = self.expect("ready")
        self.hwnd = int(ready.fields["hwnd"])
        self.pid = int(ready.fields["pid"])
        return self

    def command(self, line, reply, timeout=TIMEOUT):
        mark = self.mark()
        self.send(line)
        got = self.expect(lambda l: l.kind in (reply, "error"), timeout=timeout, start=mark)
        if got.kind == "error":
            raise AssertionError("%s %r: %s" % (self.name, line, got.text))
        return got

    def front(self):
        return self.command("front", "front")

    def copy(self, escaped_text):
        return self.command("copy " + escaped_text, "copied")

    def fill(self, groups):
        """clipboard_tool: "fill <count>x<bytes> ... [text <t>]"."""
        return self.command("fill " + groups, "filled", timeout=2 * TIMEOUT)

    def dump(self):
        """clipboard_tool: what the clipboard holds, as a Dump; retried while another process
        (the bridge restoring a large clipboard, say) keeps the clipboard open."""
        deadline = now() + TIMEOUT
        while True:
            mark = self.mark()
            self.send("dump")
            got = self.expect(lambda l: l.kind in ("dump", "error"), timeout=2 * TIMEOUT, start=mark)
            if got.kind == "dump":
                return Dump(got)
            if "busy" not in got.text or now() > deadline:
                raise AssertionError("%s dump: %s" % (self.name, got.text))

    def formats(self):
        """clipboard_tool: the clipboard's sequence number and its formats, none of them read."""
        got = self.command("formats", "formats")
        return int(got.fields["seq"]), [int(w) for w in got.body.split(" ") if "=" not in w]

    def wait_for_listing(self, since):
        """clipboard_tool: until Wine lists Unicode text under a sequence number other than since."""
        wait_for(lambda: (lambda seq, formats: seq != since and 13 in formats)(*self.formats()), "listing in Wine")

    def dump_until(self, formats, timeout=TIMEOUT):
        """Dumps until the clipboard holds exactly formats or the time runs out; the last Dump."""
        deadline = now() + timeout
        while True:
            dump = self.dump()
            if dump.formats == formats or now() > deadline:
                return dump
            time.sleep(0.05)


class Hold:
    """A hold of the clipboard by clipboard_tool ("hold"): its two lines, "held" once the tool has
    opened the clipboard and "released" once it has closed it, each with its time (t)."""

    def __init__(self, tool, ms, after=0, read=False):
        self.tool = tool
        self.mark = tool.mark()
        tool.send("hold %d%s%s" % (ms, " after %d" % after if after else "", " read" if read else ""))

    def opened(self, timeout=TIMEOUT):
        return self._line("held", timeout)

    def closed(self, timeout=TIMEOUT):
        return self._line("released", timeout)

    def _line(self, kind, timeout):
        got = self.tool.expect(lambda l: l.kind in (kind, "error"), timeout=timeout, start=self.mark)
        if got.kind == "error":
            raise AssertionError("%s hold: %s" % (self.tool.name, got.text))
        return got


class Dump:
    """The clipboard as clipboard_tool dumped it: owner pid, sequence number and, in enumeration
    order, "<format>:<size>:<fnv1a64>" per format."""

    def __init__(self, line):
        self.owner = int(line.fields["owner"])
        self.seq = int(line.fields["seq"])
        self.formats = [w for w in line.body.split(" ") if "=" not in w]

    def __repr__(self):
        return "<clipboard owner=%d seq=%d %s>" % (self.owner, self.seq, " ".join(self.formats))

    def renders_nothing(self):
        """Whether formats are listed and none gives data (Wine's X bridge, silent or ownerless)."""
        return bool(self.formats) and all(f.endswith(":-:-") for f in self.formats)


# ---- X's clipboard, seen and owned by Linux programs

OWNER_ANSWER = 2.0  # s for X's clipboard owner to answer a request, when it is there

class LinuxCopy:
    """xclip as a Linux program that copied: it owns X's clipboard until it quits or loses it."""

    def __init__(self, session, data):
        self.proc = subprocess.Popen(["xclip", "-selection", "clipboard", "-i", "-quiet"], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=x_env(session))
        self.proc.stdin.write(data)
        self.proc.stdin.close()

    def quit(self):
        stop_process(self.proc)


TOOLS_DIR = os.environ.get("BRIDGE_E2E_TOOLS") or os.path.join(ROOT, "build", "native", "tests", "e2e")


class XIntermediary(Program):
    """x_intermediary (tools/x_intermediary.c) on the session's display: a program between Wine and X's
    clipboard, as gamescope is, that owns CLIPBOARD again with the same UTF-8 text after every copy.
    Its lines are "ready" and "reserved <bytes>"."""

    def _launch(self, session, exe, args):
        return subprocess.Popen([exe, *args], env=x_env(session), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    @classmethod
    def start(cls, session, delay_ms=0):
        path = os.path.join(TOOLS_DIR, "x_intermediary")
        if not os.access(path, os.X_OK):
            raise RuntimeError("%s is missing: build the native preset first" % path)
        program = session.start_program(cls, path, *(["--delay", str(delay_ms)] if delay_ms else []))
        program.expect(lambda l: l.text == "ready")
        return program


def x_env(session):
    return dict(os.environ, DISPLAY=session.display)


def x_clipboard(session, target):
    """What X's clipboard gives for target, or None while it has no owner (or not that target);
    False when the owner did not answer: one that goes away in the middle of a request (a Wine
    session ending) leaves xclip waiting for ever."""
    try:
        got = subprocess.run(["xclip", "-selection", "clipboard", "-o", "-t", target], env=x_env(session),
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=OWNER_ANSWER)
    except subprocess.TimeoutExpired:
        return False
    return got.stdout if got.returncode == 0 else None


def wait_for(found, what):
    deadline = now() + TIMEOUT
    while not found():
        if now() > deadline:
            raise AssertionError("no %s within %.0f s" % (what, TIMEOUT))
        time.sleep(0.05)


def escape(text):
    """A text in the escaped form that the tools take: \\\\ \\r \\n \\t, the rest as UTF-8."""
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


class WineCase(unittest.TestCase):
    """One session for the test class; the programs that a test starts end with the test."""

    @classmethod
    def setUpClass(cls):
        cls.session = Session().start()
        print("%s under %s" % (cls.__name__, cls.session.wine), file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    def tearDown(self):
        self.session.stop_programs()


if __name__ == "__main__":
    if sys.argv[1:] == ["prepare"]:
        sys.exit(prepare())
    print("usage: harness.py prepare", file=sys.stderr)
    sys.exit(2)
