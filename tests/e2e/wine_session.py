"""The process and session plumbing of the end-to-end tests: Xvfb, the wineserver, Wine programs.

A session owns one Xvfb and one wineserver ("wineserver -f -p", a child of ours) on a private Wine
prefix. Programs are started with pipes; a thread per stream reads their lines and stamps each with
its arrival time on CLOCK_MONOTONIC_RAW, the clock of Wine's QueryPerformanceCounter.
Teardown ends only what the session started, by PID: the programs, then the wineserver (SIGINT, on
which it ends its own Wine processes and saves the registry), then Xvfb. Should the test process die
first, the kernel sends those two signals itself (setpriv --pdeathsig).

Environment: BRIDGE_WINDOWS_DIR (the Windows build dir), BRIDGE_WINE_PREFIX (the prefix dir),
BRIDGE_WINE_MAJOR (the major version of the Wine that the run is meant for: a session refuses
to start under another one, so that a run never passes under the wrong Wine).
The bridge's and the tools' lines, and the test case, are in harness.py.
"""

import contextlib
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

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WINDOWS_DIR = os.environ.get("BRIDGE_WINDOWS_DIR") or os.path.join(ROOT, "build", "windows")
PREFIX = os.environ.get("BRIDGE_WINE_PREFIX") or os.path.join(ROOT, "build", "native", "wineprefix-wine8")
READY_MARK = ".e2e-ready"
WINE_MAJOR = int(os.environ.get("BRIDGE_WINE_MAJOR") or 0)

# A look inside Wine, when a test fails now and then: BRIDGE_WINEDEBUG is the WINEDEBUG of every Wine
# program of the tests (else "-all"), and BRIDGE_TRACE names a file that gets, time-stamped in one
# stream, what each of them and bridge-host print on stderr, and bridge-host's events.
TRACE = open(os.environ["BRIDGE_TRACE"], "ab", buffering=0) if os.environ.get("BRIDGE_TRACE") else None


def trace(source, raw):
    if TRACE:
        TRACE.write(b"%.3f %s: %s" % (now(), source.encode(), raw if isinstance(raw, bytes) else raw.encode()))


TIMEOUT = 15.0  # generous: a loaded CI machine must never fail a wait that would succeed


def now():
    """Seconds of CLOCK_MONOTONIC_RAW: Wine's QueryPerformanceCounter counts the same clock."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


def wine_env(prefix, display=None):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.update(WINEPREFIX=prefix, WINEDEBUG=os.environ.get("BRIDGE_WINEDEBUG", "-all"), WINEARCH="win64",
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


class Program:
    """A Wine program of ours with piped stdin and stdout."""

    line_kind = Line

    def __init__(self, session, exe, *args):
        self.name = os.path.basename(exe)
        self.proc = self._launch(session, exe, args)
        self.lines = []
        self.errors = []
        self.cursor = 0
        self.changed = threading.Condition()
        self.write_lock = threading.Lock()
        self.started = now()
        self.ended = False
        threading.Thread(target=self._read, args=(self.proc.stdout, self.lines, True), daemon=True).start()
        threading.Thread(target=self._read, args=(self.proc.stderr, self.errors, False), daemon=True).start()

    def _launch(self, session, exe, args):
        """The program's process, its three streams piped: the session's wine, in the exe's directory."""
        return subprocess.Popen(["wine", exe, *args], env=session.env, cwd=os.path.dirname(exe),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def _read(self, stream, into, main):
        for raw in iter(stream.readline, b""):
            line = self.line_kind(raw, now()) if main else raw
            if not main:
                trace(self.name, raw)
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
        f.write("prepared by tests/e2e/wine_session.py\n")
    return 0
