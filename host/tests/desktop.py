"""The desktop that bridge-host's end-to-end tests run on, with the harness's session on its X display.

Kinds behind one interface:
- "bare": the session's own Xvfb with no window manager, the X input focus given straight, as
  gamescope gives it;
- "openbox": the session's own Xvfb with openbox, an EWMH window manager, on it;
- "sway": sway headless with XWayland, the Wine programs, xdotool and bridge-host all on XWayland's
  display, with a Wayland-native window (foot) to take the focus from the game;
- "kwin" and "kwin6" (kwin_desktop.py): KWin 5.27 and 6's virtual backend with XWayland, the same
  way;
- "gamescope" (gamescope.py).
The compositors run as nobody (sway refuses root, and KWin's session bus is its user's) with a HOME
and an XDG_RUNTIME_DIR of their own in a temporary folder; a script that the compositor starts lets
root's X clients in (xhost, as that user) and then announces XWayland's display. Everything a
desktop started is ended by PID on close, also when its start fails half-way.

Headless sway has no keyboard. Sway(keyboard=True) puts the tests' own on its seat (tools/
virtual_keyboard.c) as soon as sway is up, before any Wine program connects, for the desktop's whole
life: a keyboard whose keymap arrived later would make every Wine program with a Wayland connection
exit. Environment: BRIDGE_VIRTUAL_KEYBOARD, that program (default: the native build's).
"""

import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from harness import ROOT, TIMEOUT, Session, now, stop_process  # noqa: E402

COMPOSITOR_USER = "nobody"
X11_SOCKETS = "/tmp/.X11-unix"
FOCUS_OUT_PAUSE = 0.2  # for a Wine window's handling of FocusOut, a few ms when the machine is idle
VIRTUAL_KEYBOARD = os.environ.get("BRIDGE_VIRTUAL_KEYBOARD") or os.path.join(
    ROOT, "build", "native", "host", "tests", "tools", "virtual_keyboard")


class OnDisplay(Session):
    """A harness session whose Wine programs use an X display that runs already (XWayland's),
    instead of an Xvfb of its own."""

    def __init__(self, display):
        super().__init__()
        self.given_display = display

    def _start_xvfb(self):
        return self.given_display


class Bare:
    """The session's Xvfb with no window manager: the X input focus is given to a window straight, as
    gamescope gives it, with no _NET_ACTIVE_WINDOW and no WM_TAKE_FOCUS from anyone."""

    def __init__(self):
        self.session = None

    def start(self):
        self.session = Session().start()
        return self

    def settle(self, *titles):
        """Waits until the X windows of those titles are mapped."""
        for title in titles:
            mapped_window(self.session, title)

    def focus(self, title):
        return give_focus(self.session, title)

    def focus_native(self):
        raise unittest.SkipTest("Xvfb has no Wayland window")

    def close(self):
        if self.session:
            self.session.close()
        self.session = None


class Openbox(Bare):
    """openbox on the session's Xvfb; windows are activated through _NET_ACTIVE_WINDOW requests, and
    the newest mapped window keeps the focus."""

    openbox = None

    def start(self):
        super().start()
        try:
            self.openbox = start_openbox(self.session)
        except BaseException:
            self.close()
            raise
        return self

    def focus(self, title):
        return activate(self.session, title)

    def close(self):
        stop_process(self.openbox)
        self.openbox = None
        super().close()


def start_openbox(session):
    """openbox on the session's display, a child of ours; returns once it manages the screen."""
    with tempfile.TemporaryFile() as errors:
        openbox = subprocess.Popen(["setpriv", "--pdeathsig", "TERM", "openbox", "--sm-disable"], env=session.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors)
        deadline = now() + TIMEOUT
        while "window id" not in root_property(session, "_NET_SUPPORTING_WM_CHECK"):
            if now() > deadline or openbox.poll() is not None:
                stop_process(openbox)
                errors.seek(0)
                raise RuntimeError("openbox did not start (exit %s): %r" % (openbox.returncode, errors.read()[-500:]))
            time.sleep(0.1)
    return openbox


def root_property(session, name):
    return subprocess.run(["xprop", "-root", name], env=session.env, capture_output=True, text=True,
                          timeout=TIMEOUT).stdout


def mapped_window(session, title):
    """The newest mapped X window of that title, once there is one. A Wine program says it is ready
    before X has mapped its window, and a game is joined as soon as its process runs."""
    try:
        found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^%s$" % title],
                               env=session.env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        raise AssertionError("no mapped X window named %r on %s within %.0f s" % (title, session.display, TIMEOUT))
    if found.returncode != 0:
        raise AssertionError("xdotool search for %r: exit %d, %s" % (title, found.returncode, found.stderr))
    return found.stdout.split()[-1]


def give_focus(session, title):
    """Gives the X input focus straight to the newest X window of that title, once it is mapped, as
    gamescope gives it; returns when the request went out."""
    xid = mapped_window(session, title)
    asked = now()
    session.xdotool("windowfocus", "--sync", xid)
    return asked


def activate(session, title):
    """Makes the window manager activate the newest X window of that title (a _NET_ACTIVE_WINDOW
    request) once it is mapped; returns when the request went out."""
    xid = mapped_window(session, title)
    asked = now()
    session.xdotool("windowactivate", "--sync", xid)
    return asked


SWAY_CONFIG = """xwayland force
output HEADLESS-1 resolution 1280x800
exec {announce}
"""

# Run by the compositor as its user once XWayland is up, with its DISPLAY (XWayland's), WAYLAND_DISPLAY and
# SWAYSOCK. They are written after xhost, and whole (a rename), so that none is read before root may
# connect.
ANNOUNCE = """#!/bin/sh
xhost +si:localuser:root >/dev/null || exit 1
printf '%s\\n' "$DISPLAY" "$WAYLAND_DISPLAY" "$SWAYSOCK" > "$1.part" && mv "$1.part" "$1"
"""


class Unprivileged:
    """A compositor as an unprivileged user, in a temporary folder of its own, with the harness's
    session on its XWayland; a subclass starts the compositor (self.compositor, whose log is
    log_name) and its Wayland-native window (self.native)."""

    folder_prefix = log_name = None
    launcher = []  # what runs the compositor's command (as root), if it comes from a Debian root
    path = "/usr/bin:/bin"  # where its commands are

    def __init__(self):
        self.session = self.compositor = self.native = None
        self.folder = None
        self.logs = []

    def start(self):
        try:
            self.folder = tempfile.mkdtemp(prefix=self.folder_prefix)
            self.user = pwd.getpwnam(COMPOSITOR_USER)
            display = self._start_compositor()
            self.session = OnDisplay(display).start()
            self.session.env.update(self.env)
            self._start_native()
        except BaseException:
            self.close()
            raise
        return self

    def _prepare(self):
        """The X sockets' folder, the user's HOME and XDG_RUNTIME_DIR, and the announcing script;
        returns the command that announces into the file self.announced."""
        if not os.path.isdir(X11_SOCKETS):
            os.mkdir(X11_SOCKETS)
            os.chmod(X11_SOCKETS, 0o1777)  # as a system's boot makes it, not owned by the compositor's user
        os.chmod(self.folder, 0o755)
        home = self._private_dir("home", 0o700)
        self.runtime = self._private_dir("runtime", 0o700)
        self.announced = os.path.join(self._private_dir("announce", 0o755), "display")
        announce = os.path.join(self.folder, "announce.sh")
        with open(announce, "w") as f:
            f.write(ANNOUNCE)
        os.chmod(announce, 0o755)
        self.base_env = ["HOME=" + home, "XDG_RUNTIME_DIR=" + self.runtime, "PATH=" + self.path]
        return [announce, self.announced]

    def _private_dir(self, name, mode):
        path = os.path.join(self.folder, name)
        os.mkdir(path, mode)
        os.chown(path, self.user.pw_uid, self.user.pw_gid)
        return path

    def _as_user(self, command, env, log, piped=False, launcher=None):
        """A child of ours that runs command as the unprivileged user, its output in a log file (its
        errors only, when piped: then its stdin and stdout are pipes of ours); through launcher, if
        given, else the class's."""
        out = open(os.path.join(self.folder, log), "wb")
        self.logs.append(out)
        launcher = self.launcher if launcher is None else launcher
        return subprocess.Popen(launcher + ["setpriv", "--pdeathsig", "TERM", "--reuid", str(self.user.pw_uid),
                                 "--regid", str(self.user.pw_gid), "--clear-groups", "env", "-i", *env, *command],
                                stdin=subprocess.PIPE if piped else subprocess.DEVNULL,
                                stdout=subprocess.PIPE if piped else out, stderr=out,
                                text=piped, bufsize=1 if piped else -1)

    def _announcement(self):
        """What the announcing script wrote: XWayland's display, WAYLAND_DISPLAY and SWAYSOCK."""
        said = self._wait_for(lambda: _read(self.announced), "the compositor did not announce XWayland's display")
        return (said.split("\n") + ["", ""])[:3]

    def _wait_for(self, found, failure):
        deadline = now() + TIMEOUT
        while True:
            value = found()
            if value:
                return value
            if now() > deadline or self.compositor.poll() is not None:
                raise RuntimeError("%s; its log: %s" % (failure, self.log_tail()))
            time.sleep(0.05)

    def log_tail(self):
        for out in self.logs:
            out.flush()
        return (_read(os.path.join(self.folder, self.log_name)) or "")[-2000:]

    def close(self):
        stop_process(self.native)
        if self.session:
            self.session.close()
        self._stop_compositor()
        for out in self.logs:
            out.close()
        if self.folder:
            shutil.rmtree(self.folder, ignore_errors=True)
        self.session = self.compositor = self.native = self.folder = None
        self.logs = []

    def _stop_compositor(self):
        stop_process(self.compositor)


class Sway(Unprivileged):
    """sway headless with XWayland, as an unprivileged user; foot as its Wayland-native window; with
    keyboard, the tests' keyboard on its seat (keys())."""

    folder_prefix, log_name = "bridge-sway-", "sway.log"

    def __init__(self, keyboard=False):
        super().__init__()
        self.with_keyboard = keyboard
        self.keyboard = None

    def _start_compositor(self):
        announce = self._prepare()
        config = os.path.join(self.folder, "sway.conf")
        with open(config, "w") as f:
            f.write(SWAY_CONFIG.format(announce=" ".join(announce)))
        self.compositor = self._as_user(["sway", "-c", config],
                                        self.base_env + ["WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                                                         "WLR_RENDERER=pixman"], "sway.log")
        display, wayland, sway_socket = self._announcement()
        self.env = {"DISPLAY": display, "WAYLAND_DISPLAY": os.path.join(self.runtime, wayland),
                    "SWAYSOCK": sway_socket}
        if self.with_keyboard:
            self._start_keyboard()
        return display

    def _start_keyboard(self):
        self.keyboard = self._as_user([VIRTUAL_KEYBOARD],
                                      self.base_env + ["WAYLAND_DISPLAY=" + self.env["WAYLAND_DISPLAY"]],
                                      "keyboard.log", piped=True)
        self._keyboard_reply("ready")

    def _keyboard_reply(self, expected):
        reply = self.keyboard.stdout.readline().strip()  # each command is answered in milliseconds
        if reply != expected:
            raise AssertionError("the virtual keyboard answered %r; its log: %s"
                                 % (reply, _read(os.path.join(self.folder, "keyboard.log"))))

    def keys(self, command):
        """Types on the tests' keyboard ("key ctrl+p", "type text"); returns once sway has the events."""
        self.keyboard.stdin.write(command + "\n")
        self._keyboard_reply("ok")

    def _stop_compositor(self):
        stop_process(self.keyboard)
        if self.keyboard:
            self.keyboard.stdin.close()
            self.keyboard.stdout.close()
        self.keyboard = None
        super()._stop_compositor()

    def _start_native(self):
        """foot with WAYLAND_DISPLAY and no DISPLAY, before any game: a new window takes sway's focus."""
        self.native = self._as_user(["foot", "--app-id", "foot", "cat"],
                                    self.base_env + ["WAYLAND_DISPLAY=" + self.env["WAYLAND_DISPLAY"]], "foot.log")
        self._when_mapped('[app_id="^foot$"]', "nop")

    def _when_mapped(self, criteria, command):
        """Runs a command on the window that criteria select, retried until sway has mapped it;
        returns when the request that succeeded went out."""
        deadline = now() + TIMEOUT
        while True:
            asked = now()
            result = subprocess.run(["swaymsg", "-s", self.env["SWAYSOCK"], criteria + " " + command],
                                    stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=TIMEOUT)
            if result.returncode == 0:
                return asked
            if now() > deadline or self.compositor.poll() is not None:
                raise AssertionError("swaymsg could not %s %s: %s%s; sway's log: %s"
                                     % (command, criteria, result.stdout, result.stderr, self.log_tail()))
            time.sleep(0.05)

    def settle(self, *titles):
        """Waits until sway has mapped the X windows of those titles, then leaves the focus on foot.
        A Wine window is mapped some time after its program said it was ready, and sway focuses a
        window as it maps it: a focus asked for before then would be taken away again. And under
        sway a Wine window that takes the focus straight from another Wine window is now and then
        left without Wine's foreground (the one losing it resets Wine's foreground as the other sets
        it): tests start from a Wayland window, once the Wine window has handled losing the focus."""
        for title in titles:
            self._when_mapped('[title="^%s$"]' % title, "nop")
        self.focus_native()
        time.sleep(FOCUS_OUT_PAUSE)

    def focus(self, title):
        """Makes sway focus the X window of that title; returns when the request went out."""
        return self._when_mapped('[title="^%s$"]' % title, "focus")

    def focus_native(self):
        """Makes sway focus foot, a Wayland window; returns when the request went out."""
        return self.focus_app("foot")

    def focus_app(self, app_id):
        """Makes sway focus the Wayland window of that app id; returns when the request went out."""
        return self._when_mapped('[app_id="^%s$"]' % app_id, "focus")

    def windows(self):
        """Every window in sway's tree, as sway describes it (app_id, shell, pid, name...)."""
        tree = json.loads(subprocess.run(["swaymsg", "-s", self.env["SWAYSOCK"], "-t", "get_tree"],
                                         stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                         timeout=TIMEOUT, check=True).stdout)
        found, todo = [], [tree]
        while todo:
            node = todo.pop()
            if node.get("pid"):
                found.append(node)
            todo += node.get("nodes", []) + node.get("floating_nodes", [])
        return found


def _children(pid):
    """The PIDs of a process's children, from /proc."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(child) for child in f.read().split()]
    except OSError:
        return []


def _read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


DESKTOPS = {"bare": Bare, "openbox": Openbox, "sway": Sway}  # kwin_desktop.py and gamescope.py add theirs


def open_desktop(kind):
    if kind not in DESKTOPS:
        raise ValueError("no desktop %r; there are %s" % (kind, ", ".join(DESKTOPS)))
    return DESKTOPS[kind]().start()


class DesktopCase(unittest.TestCase):
    """A test class with one desktop and its session for the class: cls.desktop names its kind
    (a subclass that sets desktop = "sway" runs the same tests under sway), cls.session is the
    harness session on its display."""

    desktop = "openbox"

    @classmethod
    def setUpClass(cls):
        cls.screen = open_desktop(cls.desktop)
        cls.session = cls.screen.session
        print("%s on %s under %s" % (cls.__name__, cls.desktop, cls.session.wine), file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.screen.close()

    def activate(self, title):
        """Gives that X window the desktop's focus; returns when the request went out."""
        return self.screen.focus(title)
