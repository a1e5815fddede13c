"""Runs wine_bridge.exe, the stand-in game and the clipboard tool under Wine for the end-to-end tests.

A session owns one Xvfb and one wineserver ("wineserver -f -p", a child of ours) on a private Wine
prefix. Programs are started with pipes; a thread per stream reads their lines and stamps each with
its arrival time on CLOCK_MONOTONIC_RAW, the clock of Wine's QueryPerformanceCounter.
Teardown ends only what the session started, by PID: the programs, then the wineserver (SIGINT, on
which it ends its own Wine processes and saves the registry), then Xvfb. Should the test process die
first, the kernel sends those two signals itself (setpriv --pdeathsig).

Run "python3 harness.py prepare" once to create the prefix (wineboot -i).
Environment: BRIDGE_WINDOWS_DIR (the Windows build dir), BRIDGE_WINE_PREFIX (the prefix dir),
BRIDGE_WINE_MAJOR (the major version of the Wine that the run is meant for: a session refuses
to start under another one, so that a run never passes under the wrong Wine).
"""

import contextlib
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WINDOWS_DIR = os.environ.get("BRIDGE_WINDOWS_DIR") or os.path.join(ROOT, "build", "windows")
PREFIX = os.environ.get("BRIDGE_WINE_PREFIX") or os.path.join(ROOT, "build", "native", "wineprefix-wine8")
READY_MARK = ".e2e-ready"
WINE_MAJOR = int(os.environ.get("BRIDGE_WINE_MAJOR") or 0)

TIMEOUT = 15.0  # generous: a loaded CI machine must never fail a wait that would succeed
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


def now():
    """Seconds of CLOCK_MONOTONIC_RAW: Wine's QueryPerformanceCounter counts the same clock."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


def wine_env(prefix, display=None):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win64",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    if display:
        env["DISPLAY"] = display
    return env


def stop_process(proc, sig=signal.SIGTERM, grace=10.0):
    """Ends one child of ours by its PID: sig first, SIGKILL if it lingers."""
    if proc is None or proc.poll() is not None:
        return
    try:
        os.kill(proc.pid, sig)
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait(grace)
    except ProcessLookupError:
        pass


class Session:
    """One Xvfb and one wineserver on the private prefix, for the life of a test module."""

    def __init__(self, prefix=PREFIX):
        self.prefix = prefix
        self.xvfb = self.server = self.display = None
        self.programs = []

    def start(self, display=True):
        try:
            if display:
                self.display = self._start_xvfb()
            self.env = wine_env(self.prefix, self.display)
            self.wine, self.wine_major = self._wine_version()
            self._start_server()
        except BaseException:
            self.close()
            raise
        return self

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        try:
            self.xvfb = subprocess.Popen(
                ["setpriv", "--pdeathsig", "TERM", "Xvfb", "-displayfd", str(write_end),
                 "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = None
            number = b""
            deadline = now() + TIMEOUT
            while not number.endswith(b"\n") and now() < deadline:
                if select.select([read_end], [], [], 0.5)[0]:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        break
                    number += chunk
            if not number.endswith(b"\n"):
                raise RuntimeError("Xvfb did not report a display number")
            return ":" + number.decode().strip()
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)

    def _wine_version(self):
        """What "wine --version" says (e.g. "wine-10.0 (Debian 10.0~repack-6)") and its major number."""
        said = subprocess.run(["wine", "--version"], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=TIMEOUT).stdout.strip()
        found = re.match(r"wine-(\d+)\.", said)
        if not found:
            raise RuntimeError("wine --version said %r" % said)
        major = int(found.group(1))
        if WINE_MAJOR and major != WINE_MAJOR:
            raise RuntimeError("this run is meant for Wine %d, but wine --version says %s" % (WINE_MAJOR, said))
        return said, major

    def _server_listening(self):
        """Whether a wineserver answers on this prefix's socket (its place is in prefix/wineserver)."""
        try:
            with open(os.path.join(self.prefix, "wineserver")) as f:
                tmp_dir = f.read().strip()
            st = os.stat(self.prefix)
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                probe.connect(os.path.join("/tmp", tmp_dir, "server-%x-%x" % (st.st_dev, st.st_ino), "socket"))
            return True
        except OSError:
            return False

    def _start_server(self):
        os.makedirs(self.prefix, exist_ok=True)
        if self._server_listening():
            raise RuntimeError("a wineserver already runs on %s; end it with WINEPREFIX=%s wineserver -k"
                               % (self.prefix, self.prefix))
        self.server = subprocess.Popen(["setpriv", "--pdeathsig", "INT", "wineserver", "-f", "-p"], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = now() + TIMEOUT
        while now() < deadline:
            if self.server.poll() is not None:
                error = self.server.stderr.read().decode(errors="replace")
                raise RuntimeError("wineserver ended at once: %s" % error)
            if self._server_listening():
                return
            time.sleep(0.05)
        raise RuntimeError("wineserver did not open its socket")

    def run(self, *args, timeout=300):
        """Runs a Wine command to its end (wineboot, for instance)."""
        return subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout).returncode

    def xdotool(self, *args):
        """Runs xdotool on the session's display; returns its output."""
        if not self.display:
            raise RuntimeError("the session has no display")
        result = subprocess.run(["xdotool", *args], env=self.env, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=TIMEOUT)
        if result.returncode != 0:
            raise AssertionError("xdotool %s: exit %d, %s" % (" ".join(args), result.returncode, result.stderr))
        return result.stdout

    def focus_x_window(self, title):
        """Gives the X input focus to the newest window of that title, so that X key events reach
        it (with no window manager the focus otherwise stays PointerRoot); returns its xid."""
        xid = self.xdotool("search", "--name", "^%s$" % title).split()[-1]
        self.xdotool("windowfocus", "--sync", xid)
        return xid

    @contextlib.contextmanager
    def key_held(self, key):
        """Holds an X key (xdotool name) down for the with-block; the X focus must be on a Wine window."""
        self.xdotool("keydown", key)
        try:
            yield
        finally:
            self.xdotool("keyup", key)

    def start_program(self, kind, exe, *args):
        program = kind(self, exe, *args)
        self.programs.append(program)
        return program

    def bridge(self):
        return self.start_program(Bridge, exe_path("wine_bridge.exe"))

    def game(self, *args):
        return self.start_program(Tool, exe_path("tools", "StarCitizen.exe"), *args).wait_ready()

    def tool(self):
        return self.start_program(Tool, exe_path("tools", "clipboard_tool.exe")).wait_ready()

    def stop_programs(self):
        for program in reversed(self.programs):
            program.stop()
        self.programs = []

    def close(self):
        self.stop_programs()
        stop_process(self.server, signal.SIGINT)
        if self.server:
            self.server.stderr.close()
        stop_process(self.xvfb)
        self.server = self.xvfb = None


def exe_path(*parts):
    path = os.path.join(WINDOWS_DIR, *parts)
    if not os.path.isfile(path):
        raise RuntimeError("%s is missing: build the windows preset first" % path)
    return path


class Line:
    """One line a program wrote: its bytes with the line end, and when it arrived."""

    def __init__(self, raw, at):
        self.raw = raw
        self.at = at
        self.text = raw.decode("utf-8", errors="replace").rstrip("\r\n")

    def __repr__(self):
        return "<%.3f %r>" % (self.at, self.raw)


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


class Program:
    """A Wine program of ours with piped stdin and stdout."""

    line_kind = Line

    def __init__(self, session, exe, *args):
        self.name = os.path.basename(exe)
        self.proc = subprocess.Popen(["wine", exe, *args], env=session.env, cwd=os.path.dirname(exe),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.errors = []
        self.cursor = 0
        self.changed = threading.Condition()
        self.write_lock = threading.Lock()
        self.started = now()
        self.ended = False
        threading.Thread(target=self._read, args=(self.proc.stdout, self.lines, True), daemon=True).start()
        threading.Thread(target=self._read, args=(self.proc.stderr, self.errors, False), daemon=True).start()

    def _read(self, stream, into, main):
        for raw in iter(stream.readline, b""):
            line = self.line_kind(raw, now()) if main else raw
            with self.changed:
                into.append(line)
                self.changed.notify_all()
        stream.close()
        if main:
            with self.changed:
                self.ended = True
                self.changed.notify_all()

    def send(self, line):
        """Writes one line; a str gets its LF, bytes are written as they are."""
        data = line if isinstance(line, bytes) else line.encode() + b"\n"
        with self.write_lock:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        return now()

    def close_input(self):
        with self.write_lock:
            if not self.proc.stdin.closed:
                self.proc.stdin.close()

    def mark(self):
        with self.changed:
            return len(self.lines)

    def since(self, mark, match=None):
        with self.changed:
            return [line for line in self.lines[mark:] if matches(line, match)]

    def expect(self, match=None, timeout=TIMEOUT, start=None):
        """The first line from the cursor (or start) on that matches; the cursor moves past it."""
        deadline = now() + timeout
        with self.changed:
            index = self.cursor if start is None else start
            while True:
                while index < len(self.lines):
                    line = self.lines[index]
                    index += 1
                    if matches(line, match):
                        self.cursor = index
                        return line
                remaining = deadline - now()
                if remaining <= 0 or (self.ended and index >= len(self.lines)):
                    raise AssertionError("%s: no line matching %r within %.1f s; last lines %r; stderr %r"
                                         % (self.name, match, timeout, self.lines[-5:], self.errors[-5:]))
                self.changed.wait(remaining)

    def wait_exit(self, timeout=TIMEOUT):
        """The exit code, once the program has ended and its last line has been read."""
        code = self.proc.wait(timeout)
        with self.changed:
            self.changed.wait_for(lambda: self.ended, timeout)
        return code

    def stop(self):
        """End of input first (a clean exit), then our own PID if it does not go."""
        try:
            self.close_input()
        except OSError:
            pass
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            stop_process(self.proc, signal.SIGKILL)


def matches(line, match):
    if match is None:
        return True
    if callable(match):
        return match(line)
    return line.kind == match


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


class Dump:
    """The clipboard as clipboard_tool dumped it: owner pid, sequence number and, in enumeration
    order, "<format>:<size>:<fnv1a64>" per format."""

    def __init__(self, line):
        self.owner = int(line.fields["owner"])
        self.seq = int(line.fields["seq"])
        self.formats = [w for w in line.body.split(" ") if "=" not in w]

    def __repr__(self):
        return "<clipboard owner=%d seq=%d %s>" % (self.owner, self.seq, " ".join(self.formats))


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


def prepare(prefix=PREFIX):
    """Creates the private prefix once; later runs find it ready."""
    if os.path.exists(os.path.join(prefix, READY_MARK)):
        return 0
    if os.path.exists(prefix):
        if os.listdir(prefix) and not os.path.exists(os.path.join(prefix, "drive_c")):
            print("%s is not a Wine prefix: refusing to replace it" % prefix, file=sys.stderr)
            return 1
        shutil.rmtree(prefix)
    session = Session(prefix).start(display=False)
    try:
        code = session.run("wineboot", "-i")
    finally:
        session.close()
    if code != 0:
        print("wineboot -i failed with %d" % code, file=sys.stderr)
        return 1
    with open(os.path.join(prefix, READY_MARK), "w") as f:
        f.write("prepared by tests/e2e/harness.py\n")
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["prepare"]:
        sys.exit(prepare())
    print("usage: harness.py prepare", file=sys.stderr)
    sys.exit(2)
