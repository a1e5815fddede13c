"""KWin as the tests' desktop (desktop.DESKTOPS["kwin"] and ["kwin6"]): its virtual backend with
XWayland, as an unprivileged user on a session bus of its own, with qmlscene (the machine's) as its
Wayland-native window (foot crashes under KWin's virtual backend). "kwin" is Debian 12's KWin 5.27;
"kwin6" is KWin 6.3 from the Debian 13 root (scripts/kwin6.sh), where kwin_wayland and its XWayland
run inside and the rest outside.

Environment: BRIDGE_KWIN6_ROOT, that root (default build/kwin6-root, as scripts/kwin6.sh)."""

import itertools
import json
import os
import shutil
import signal
import time

from desktop import DESKTOPS, FOCUS_OUT_PAUSE, Unprivileged, _children
from private_bus import PrivateBus
from harness import ROOT, now, stop_process

KWIN6_ROOT = os.environ.get("BRIDGE_KWIN6_ROOT") or os.path.join(ROOT, "build", "kwin6-root")

# KWin's calls to bridge-host refused, as if its script had stopped before its first report.
REFUSED_REPORTS = '  <policy user="{user}"><deny send_interface="org.bridgehost.Focus"/></policy>\n'

NATIVE_QML = 'import QtQuick 2.0\nRectangle { width: 300; height: 200; color: "steelblue" }\n'
KWIN_SOCKET = "wayland-bridge"


class Kwin(Unprivileged):
    """KWin's virtual backend with XWayland as an unprivileged user, on a session bus of its own;
    qmlscene as its Wayland-native window. Windows are activated through KWin's window runner
    (org.kde.krunner1 on /WindowsRunner), which finds them by caption."""

    folder_prefix, log_name = "bridge-kwin-", "kwin.log"
    native_caption = "qmlscene"
    script_path = "/%d"  # where KWin has a loaded script of that id
    kwin_binary = None  # the machine's
    kwin_launcher = []
    kwin_env = []

    def __init__(self):
        super().__init__()
        self.bus = None

    def _start_compositor(self):
        announce = self._prepare()
        self.bus = PrivateBus(self)
        self.bus_address = self.bus.address
        # Debian's kwin_wayland carries a file capability (cap_sys_resource) that a container may
        # refuse to exec; a plain copy has none.
        kwin = os.path.join(self.folder, "kwin_wayland")  # KWin 6 aborts under another name
        shutil.copy(self.kwin_binary or shutil.which("kwin_wayland") or "/usr/bin/kwin_wayland", kwin)
        # KWin runs the announcing script once XWayland is up: each argument of its own is a
        # program, which it splits at spaces into its arguments (none of ours hold a space). KWIN_COMPOSE=Q keeps it off software OpenGL.
        self.compositor = self._as_user(
            [kwin, "--virtual", "--xwayland", "--socket", KWIN_SOCKET, "--width", "1280", "--height", "800",
             "--no-lockscreen", "--no-global-shortcuts", "--no-kactivities", " ".join(announce)],
            self.base_env + ["DBUS_SESSION_BUS_ADDRESS=" + self.bus_address, "KWIN_COMPOSE=Q",
                             "LANG=C.UTF-8"] + self.kwin_env, "kwin.log", launcher=self.kwin_launcher)
        display = self._announcement()[0]
        # bridge-host writes KWin's script in XDG_RUNTIME_DIR, where KWin's user can read it.
        self.env = {"DISPLAY": display, "WAYLAND_DISPLAY": os.path.join(self.runtime, KWIN_SOCKET),
                    "DBUS_SESSION_BUS_ADDRESS": self.bus_address, "XDG_RUNTIME_DIR": self.runtime}
        return display

    def refuse_reports(self, refused=True):
        """From now on the bus refuses (or, with False, passes again) KWin's calls to bridge-host."""
        self.bus.reload(REFUSED_REPORTS.format(user=self.user.pw_name) if refused else "")

    def _start_native(self):
        qml = os.path.join(self.folder, "native.qml")
        with open(qml, "w") as f:
            f.write(NATIVE_QML)
        self.native = self._as_user(["qmlscene", qml], self.base_env + [
            "WAYLAND_DISPLAY=" + KWIN_SOCKET, "QT_QPA_PLATFORM=wayland", "QT_QUICK_BACKEND=software"], "qmlscene.log")
        self._window(self.native_caption)

    def call_kwin(self, path, interface, *args):
        """A method of KWin's called through busctl; its answer, or None when the call failed."""
        return self.bus.call("org.kde.KWin", path, interface, *args)

    def _runner(self, *args):
        return self.call_kwin("/WindowsRunner", "org.kde.krunner1", *args)

    def _window(self, caption):
        """The runner's id of the window with that caption, once KWin manages it."""
        def found():
            matches = (self._runner("Match", "s", caption) or [[]])[0]
            return next((match[0] for match in matches if match[1] == caption), None)
        return self._wait_for(found, "KWin has no window %r" % caption)

    def _activate(self, caption):
        window = self._window(caption)
        asked = now()
        if self._runner("Run", "ss", window, "") is None:
            raise AssertionError("KWin's runner could not activate %r; KWin's log: %s" % (caption, self.log_tail()))
        return asked

    def settle(self, *titles):
        """Waits until KWin manages the X windows of those titles, then gives the focus to qmlscene
        (as Sway.settle does, and for the same reasons)."""
        for title in titles:
            self._window(title)
        self.focus_native()
        time.sleep(FOCUS_OUT_PAUSE)

    def focus(self, title):
        """Makes KWin activate the window of that caption; returns when the request went out."""
        return self._activate(title)

    def focus_native(self):
        return self._activate(self.native_caption)

    def _stop_compositor(self):
        """XWayland first (KWin's child): KWin that has to end it itself may take 5 s."""
        if self.compositor and self.compositor.poll() is None:
            for pid in _children(self.compositor.pid):
                os.kill(pid, signal.SIGTERM)
        stop_process(self.compositor)
        if self.bus:
            self.bus.stop()
        self.bus = None


# KWin 6 has no window runner: a script activates the window of a caption, and says in KWin's log
# how many it found, after a token of its run.
ACTIVATE = """const found = workspace.windowList().filter(function (w) { return w.caption == %s; });
if (found.length > 0 && %s)
    workspace.activeWindow = found[0];
print("%s " + found.length);
"""


class Kwin6(Kwin):
    """KWin 6.3 from the Debian 13 root; windows are found and activated by scripts of the test's."""

    folder_prefix = "bridge-kwin6-"
    script_path = "/Scripting/Script%d"
    kwin_binary = os.path.join(KWIN6_ROOT, "usr", "bin", "kwin_wayland")
    kwin_launcher = [os.path.join(ROOT, "scripts", "kwin6.sh"), "run"]
    kwin_env = ["QT_LOGGING_RULES=kwin_scripting.debug=true"]  # the scripts' print() in KWin's log
    runs = itertools.count()

    def _start_compositor(self):
        if not os.path.exists(self.kwin_binary):
            raise RuntimeError("no KWin 6 in %s: build its root with scripts/kwin6.sh root" % KWIN6_ROOT)
        return super()._start_compositor()

    def _script(self, caption, activate):
        """Runs ACTIVATE in KWin; how many windows of that caption it found."""
        token = "bridge-test-%d" % next(self.runs)
        path = os.path.join(self.runtime, token + ".js")
        with open(path, "w") as f:
            f.write(ACTIVATE % (json.dumps(caption), "true" if activate else "false", token))
        os.chmod(path, 0o644)
        scripting = ("/Scripting", "org.kde.kwin.Scripting")
        [script] = self.call_kwin(*scripting, "loadScript", "ss", path, token) or [-1]
        try:
            if script < 0 or self.call_kwin(self.script_path % script, "org.kde.kwin.Script", "run") is None:
                raise AssertionError("KWin did not run a script; its log: %s" % self.log_tail())
            said = self._wait_for(lambda: self._said(token), "KWin's script printed nothing")
        finally:
            self.call_kwin(*scripting, "unloadScript", "s", token)
            os.unlink(path)
        return int(said)

    def _said(self, token):
        for line in reversed((self.log_tail() or "").splitlines()):
            if token + " " in line:
                return line.rsplit(" ", 1)[1]
        return None

    def _window(self, caption):
        return self._wait_for(lambda: self._script(caption, False) > 0, "KWin has no window %r" % caption)

    def _activate(self, caption):
        self._window(caption)
        asked = now()
        self._script(caption, True)
        return asked


DESKTOPS["kwin"] = Kwin
DESKTOPS["kwin6"] = Kwin6
