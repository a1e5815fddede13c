"""GNOME Shell as the tests' desktop: headless, with XWayland, from a Debian root as nobody, on a system
bus and a session bus of its own; qmlscene (the machine's) is its Wayland-native window.
desktop.DESKTOPS["gnome"] is GNOME Shell 48 from the Debian 13 root (scripts/gnome48.sh),
["gnome43"] GNOME Shell 43 from the Debian 12 root (scripts/gnome43.sh), which takes the legacy
build of each extension (host/gnome-extension/legacy.cmake makes it from the ES module). The Wine
programs, xdotool and bridge-host run outside, as root, on its XWayland display, with the
Xauthority file that Mutter makes for its clients.

GNOME Shell takes no orders from outside, so the tests' own extension (tools/gnome-test-extension)
runs in it: it leaves the overview that the shell starts in, and activates windows by title. The
shell's settings are a key file in its XDG_CONFIG_HOME (GSETTINGS_BACKEND=keyfile), which
bridge-host's gsettings writes too, with the root's schemas.

Environment: BRIDGE_GNOME48_ROOT and BRIDGE_GNOME43_ROOT, those roots (default build/gnome48-root and
build/gnome43-root, as the scripts)."""

import glob
import os
import re
import shutil
import signal
import subprocess
import time

from desktop import DESKTOPS, FOCUS_OUT_PAUSE, Unprivileged, _children, _read, mapped_window
from harness import ROOT, TIMEOUT, now, stop_process
from private_bus import PrivateBus

GNOME48_ROOT = os.environ.get("BRIDGE_GNOME48_ROOT") or os.path.join(ROOT, "build", "gnome48-root")
GNOME43_ROOT = os.environ.get("BRIDGE_GNOME43_ROOT") or os.path.join(ROOT, "build", "gnome43-root")
LEGACY_BUILD = os.path.join(ROOT, "host", "gnome-extension", "legacy.cmake")
TEST_HAND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tools", "gnome-test-extension")
OUR_EXTENSION = os.path.join(ROOT, "host", "gnome-extension")
NATIVE_QML = 'import QtQuick 2.0\nRectangle { width: 300; height: 200; color: "steelblue" }\n'


def settings_list(uuids):
    return "[%s]" % ", ".join("'%s'" % uuid for uuid in uuids)


class Gnome(Unprivileged):
    """gnome-shell --wayland --headless; windows activated by the tests' extension."""

    folder_prefix, log_name = "bridge-gnome-", "gnome-shell.log"
    root = GNOME48_ROOT
    launcher = [os.path.join(ROOT, "scripts", "gnome48.sh"), "run"]
    legacy = False  # whether the shell takes the legacy build of extensions (GNOME 43 and 44)
    native_caption = "qmlscene"
    ours_installed = False  # a subclass starts the shell with our extension installed and turned on

    def __init__(self):
        super().__init__()
        self.system_bus = self.bus = None
        self.shells = 0

    def _start_compositor(self):
        if not os.path.exists(os.path.join(self.root, "usr", "bin", "gnome-shell")):
            raise RuntimeError("no GNOME Shell in %s: build its root with %s root" % (self.root, self.launcher[0]))
        self._prepare()
        self.config = self._private_dir("config", 0o755)
        self.data = os.path.join(self.folder, "home", ".local", "share")
        self.extensions = os.path.join(self.data, "gnome-shell", "extensions")
        self._install(TEST_HAND, "test-hand@bridge-host")
        enabled = ["test-hand@bridge-host"]
        if self.ours_installed:
            self._install(OUR_EXTENSION, "focus-witness@bridge-host")
            enabled.append("focus-witness@bridge-host")
        self.write_settings("[org/gnome/shell]\nenabled-extensions=%s\nwelcome-dialog-last-shown-version='999'\n"
                            % settings_list(enabled))
        self.system_bus = PrivateBus(self, "system", "system")
        self.bus = PrivateBus(self)
        self.bus_address = self.bus.address
        return self._start_shell()

    def _install(self, source, uuid):
        target = os.path.join(self.extensions, uuid)
        if self.legacy:
            subprocess.run(["cmake", "-DSOURCE=" + source, "-DTARGET=" + target, "-P", LEGACY_BUILD], check=True,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        else:
            shutil.copytree(source, target)
        for path in [self.folder + "/home/.local", self.data, os.path.dirname(self.extensions), self.extensions,
                     target] + glob.glob(target + "/*"):
            os.chown(path, self.user.pw_uid, self.user.pw_gid)

    def write_settings(self, text):
        folder = os.path.join(self.config, "glib-2.0", "settings")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "keyfile"), "w") as f:
            f.write(text)
        for path in [os.path.dirname(folder), folder, os.path.join(folder, "keyfile")]:
            os.chown(path, self.user.pw_uid, self.user.pw_gid)

    def settings(self):
        return _read(os.path.join(self.config, "glib-2.0", "settings", "keyfile")) or ""

    def gsettings(self, *args):
        """gsettings (the machine's, with the root's schemas) as the shell's user, as the user's own
        tools change a setting."""
        subprocess.run(["setpriv", "--reuid", str(self.user.pw_uid), "--regid", str(self.user.pw_gid),
                        "--clear-groups", "env", "-i", "PATH=/usr/bin:/bin", "GSETTINGS_BACKEND=keyfile",
                        "XDG_CONFIG_HOME=" + self.config, "GSETTINGS_SCHEMA_DIR=" + self.env["GSETTINGS_SCHEMA_DIR"],
                        "gsettings", *args], check=True, stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=TIMEOUT)

    def _start_shell(self):
        """gnome-shell, and the environment of its session once XWayland's display is announced."""
        # A shell that ended within a minute of its start leaves this, and the next one then loads
        # no extension: it takes that end for a crash of an extension's.
        try:
            os.unlink(os.path.join(self.runtime, "gnome-shell-disable-extensions"))
        except FileNotFoundError:
            pass
        self.shells += 1
        self.log_name = "gnome-shell-%d.log" % self.shells
        self.compositor = self._as_user(
            ["gnome-shell", "--wayland", "--headless", "--virtual-monitor", "1280x800"],
            self.base_env + ["DBUS_SESSION_BUS_ADDRESS=" + self.bus.address,
                             "DBUS_SYSTEM_BUS_ADDRESS=" + self.system_bus.address,
                             "GSETTINGS_BACKEND=keyfile", "XDG_CONFIG_HOME=" + self.config,
                             "XDG_DATA_HOME=" + self.data, "LANG=C.UTF-8"], self.log_name)
        said = self._wait_for(lambda: re.search(r"Using public X11 display (:\d+)", self.log_tail() or ""),
                              "GNOME Shell did not start XWayland")
        display = said.group(1)
        authority = self._wait_for(lambda: glob.glob(os.path.join(self.runtime, ".mutter-Xwaylandauth.*")),
                                   "Mutter made no Xauthority file")[0]
        self._wait_for(lambda: self.activate_window("") is not None, "the tests' extension does not answer")
        self.env = {"DISPLAY": display, "XAUTHORITY": authority,
                    "WAYLAND_DISPLAY": os.path.join(self.runtime, "wayland-0"),
                    "DBUS_SESSION_BUS_ADDRESS": self.bus.address, "XDG_RUNTIME_DIR": self.runtime,
                    "GSETTINGS_BACKEND": "keyfile", "XDG_CONFIG_HOME": self.config, "XDG_DATA_HOME": self.data,
                    "GSETTINGS_SCHEMA_DIR": os.path.join(self.root, "usr", "share", "glib-2.0", "schemas")}
        return display

    def restart_shell(self):
        """Ends the shell (the windows on its XWayland with it) and starts it again, as a new login
        does; the session then runs on its new display."""
        self.session.stop_programs()
        stop_process(self.native)
        self._stop_shell()
        # What bridge-host wrote (as root here) becomes the user's, as it is when both are the user.
        for top in (self.config, self.data):
            for folder, _, files in os.walk(top):
                for path in [folder] + [os.path.join(folder, name) for name in files]:
                    os.chown(path, self.user.pw_uid, self.user.pw_gid)
        self._start_shell()
        self.session.env.update(self.env)
        self._start_native()

    def activate_window(self, title):
        """The tests' extension activates the window of that title: True, False when there is none,
        None when it does not answer."""
        answer = self.bus.call("org.gnome.Shell", "/org/bridgehost/Test", "org.bridgehost.Test", "Activate", "s",
                               title)
        return None if answer is None else answer[0]

    def _start_native(self):
        qml = os.path.join(self.folder, "native.qml")
        with open(qml, "w") as f:
            f.write(NATIVE_QML)
        self.native = self._as_user(["qmlscene", qml], self.base_env + [
            "WAYLAND_DISPLAY=wayland-0", "QT_QPA_PLATFORM=wayland", "QT_QUICK_BACKEND=software"],
            "qmlscene.log", launcher=[])
        self._wait_for(lambda: self.activate_window(self.native_caption), "GNOME Shell has no qmlscene window")

    def settle(self, *titles):
        for title in titles:
            mapped_window(self.session, title)
        self.focus_native()
        time.sleep(FOCUS_OUT_PAUSE)

    def focus(self, title):
        asked = now()
        if not self.activate_window(title):
            raise AssertionError("GNOME Shell has no window %r; its log: %s" % (title, self.log_tail()))
        return asked

    def focus_native(self):
        return self.focus(self.native_caption)

    def _stop_shell(self):
        """XWayland first (the shell's child): the shell that has to end it itself may take a while."""
        if self.compositor and self.compositor.poll() is None:
            for pid in _children(self.compositor.pid):
                for child in [pid] + _children(pid):
                    os.kill(child, signal.SIGTERM)
        stop_process(self.compositor)
        for authority in glob.glob(os.path.join(self.runtime, ".mutter-Xwaylandauth.*")):
            os.unlink(authority)  # the next shell makes its own

    def _stop_compositor(self):
        self._stop_shell()
        for bus in (self.bus, self.system_bus):
            if bus:
                bus.stop()
        self.bus = self.system_bus = None


class GnomeWithOurs(Gnome):
    """The same, started with our extension installed and turned on, as after bridge-host's install
    and a new login."""

    ours_installed = True


class Gnome43(Gnome):
    """GNOME Shell 43.9 (Debian 12's), with the legacy build of each extension."""

    folder_prefix = "bridge-gnome43-"
    root = GNOME43_ROOT
    launcher = [os.path.join(ROOT, "scripts", "gnome43.sh"), "run"]
    legacy = True


class Gnome43WithOurs(Gnome43):
    ours_installed = True


DESKTOPS["gnome"] = Gnome
DESKTOPS["gnome-ours"] = GnomeWithOurs
DESKTOPS["gnome43"] = Gnome43
DESKTOPS["gnome43-ours"] = Gnome43WithOurs
