"""A container for bridge-host to join: a bwrap sandbox made by an unprivileged user from the Debian 13
root (Wine 10.0), as Flatpak and Steam's runtime make theirs, with the stand-in game inside.

The sandbox has the root's /usr and /etc (with the /bin, /lib, /lib64 links), a /tmp of its own where
only the X socket of the test's display is bound (as X99, DISPLAY=:99.0, as Flatpak binds it), its own /dev and /proc, and two nested user
namespaces (--unshare-user, and --dev's) with a pid namespace. Inside, HOME is /home/player and the
game's prefix is /games/star citizen: two folders of the test's, owned by the user, at paths that
exist only inside. The stand-in game is bound read-only at /opt/game. The sandbox runs as nobody,
started by root with setpriv, and dies with its parent (--die-with-parent); its environment is only
what is given here.

The session's Xvfb has no access control, so nobody's X clients connect to it as root's do.

Given a Wayland socket (sway's, whose user is nobody too), the sandbox gets it as
$XDG_RUNTIME_DIR/wayland-0, and use_driver() then makes Wine's Wayland driver the prefix's.

Environment: BRIDGE_WINE10_ROOT, the Debian 13 root (default build/wine10-root, as scripts/wine10.sh)."""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from harness import ROOT, TIMEOUT, Tool, exe_path, now, stop_process  # noqa: E402
from host_harness import BridgeHost  # noqa: E402

WINE10_ROOT = os.environ.get("BRIDGE_WINE10_ROOT") or os.path.join(ROOT, "build", "wine10-root")
USER = "nobody"
HOME = "/home/player"
PREFIX = "/games/star citizen"
GAME = "/opt/game/StarCitizen.exe"
LOADER = "/usr/lib/wine/wine64"  # WINELOADER, as Debian's wine script sets it
GAME_NAME = "StarCitizen.exe"
RUNTIME_DIR = "/tmp/runtime"  # the XDG_RUNTIME_DIR of a sandbox that has a Wayland socket
INSIDE_DISPLAY = ":99.0"  # the display as the container names it (Flatpak's)


class Sandbox:
    """The folders of one container's user (its home and the game's prefix) and the commands that run
    programs in the container; the display is the X display whose socket it gets."""

    def __init__(self, display, wayland=None):
        if not os.path.isfile(os.path.join(WINE10_ROOT, "usr", "bin", "wine")):
            raise RuntimeError("no Wine 10 root in %s: build it with scripts/wine10.sh root" % WINE10_ROOT)
        self.user = pwd.getpwnam(USER)
        self.display = display
        self.wayland = wayland
        # As Flatpak does, the display's socket is X99 inside, whatever its number outside.
        self.env = {"PATH": "/usr/bin:/bin", "HOME": HOME, "DISPLAY": INSIDE_DISPLAY, "WINEPREFIX": PREFIX,
                    "WINEDEBUG": "-all", "WINEARCH": "win64", "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}
        if wayland:
            self.env.update(XDG_RUNTIME_DIR=RUNTIME_DIR, WAYLAND_DISPLAY="wayland-0")
        self.folder = tempfile.mkdtemp(prefix="bridge-container-")
        os.chmod(self.folder, 0o755)
        self.home = self._owned("home")
        self.prefix = self._owned("prefix")

    def _owned(self, name):
        path = os.path.join(self.folder, name)
        os.mkdir(path, 0o700)
        os.chown(path, self.user.pw_uid, self.user.pw_gid)
        return path

    def runner(self):
        """The command words that run a program as the container's user (and end it with us)."""
        return [shutil.which("setpriv"), "--pdeathsig", "KILL", "--reuid", str(self.user.pw_uid), "--regid",
                str(self.user.pw_gid), "--clear-groups"]

    def command(self, *inner, env=None):
        """bwrap's command line that runs inner in the container, with more variables (env) in its
        environment; run it as the user."""
        x_socket = "/tmp/.X11-unix/X" + self.display.lstrip(":").split(".")[0]
        command = [shutil.which("bwrap"), "--unshare-user", "--unshare-pid", "--die-with-parent", "--clearenv",
                   "--ro-bind", os.path.join(WINE10_ROOT, "usr"), "/usr",
                   "--ro-bind", os.path.join(WINE10_ROOT, "etc"), "/etc",
                   "--symlink", "usr/bin", "/bin", "--symlink", "usr/lib", "/lib", "--symlink", "usr/lib64", "/lib64",
                   "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp",
                   "--bind", x_socket, "/tmp/.X11-unix/X" + INSIDE_DISPLAY.lstrip(":").split(".")[0],
                   "--bind", self.home, HOME, "--bind", self.prefix, PREFIX,
                   "--ro-bind", exe_path("tools", GAME_NAME), GAME, "--chdir", HOME]
        if self.wayland:
            command += ["--perms", "0700", "--dir", RUNTIME_DIR, "--bind", self.wayland, RUNTIME_DIR + "/wayland-0"]
        for key, value in sorted(dict(self.env, **(env or {})).items()):
            command += ["--setenv", key, value]
        return command + list(inner)

    def make_prefix(self):
        """A fresh prefix for the user, made by Wine 10's wineboot in the container (the wineserver
        saves the registry before the container ends); returns the seconds it took."""
        started = now()
        self._run("wineboot -i && wineserver -w")
        if not os.path.isfile(os.path.join(self.prefix, "system.reg")):
            raise RuntimeError("wineboot in the container left no registry")
        return now() - started

    def host(self, session, *options):
        """bridge-host as the container's user, outside, with nothing that names a Wine (no WINEPREFIX,
        no wine on its PATH)."""
        empty = os.path.join(self.folder, "empty")
        os.makedirs(empty, 0o755, exist_ok=True)
        return BridgeHost(session, *options, prefix=None, runner=self.runner(),
                          env={"WINEPREFIX": None, "PATH": empty, "HOME": self.home, "XDG_RUNTIME_DIR": None})

    def use_driver(self, driver):
        """Makes that graphics driver of Wine's ("wayland", "x11") the prefix's, as a player does."""
        self._run(r"wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d %s /f && wineserver -w" % driver)

    def _run(self, script):
        done = subprocess.run(self.runner() + self.command("sh", "-c", script),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            raise RuntimeError("%s in the container: exit %d, %s" % (script, done.returncode, done.stderr[-2000:]))

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)


class Game(Tool):
    """The stand-in game in a container of its own; proc is the container's (bwrap's outer process)."""

    def __init__(self, sandbox, env=None):
        self.env = env
        super().__init__(sandbox, GAME)

    def _launch(self, sandbox, exe, args):
        return subprocess.Popen(sandbox.runner() + sandbox.command("wine", exe, *args, env=self.env),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)



def game_pid(ancestor, name=GAME_NAME):
    """The pid, as seen from here, of the one process of that name (StarCitizen.exe, or the bridge's
    wine_bridge.exe) among the descendants of ancestor (a container's outer process, or bridge-host)."""
    found = [pid for pid in descendants(ancestor) if comm(pid) == name]
    if len(found) != 1:
        raise AssertionError("%d processes named %s under pid %d" % (len(found), name, ancestor))
    return found[0]


def pid_inside(pid):
    """The pid of that process in its own pid namespace (the last of NSpid)."""
    with open("/proc/%d/status" % pid) as f:
        return int(next(line for line in f if line.startswith("NSpid:")).split()[-1])


def comm(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return None


def parents():
    """pid -> parent pid of every process now."""
    found = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    found[int(entry)] = int(f.read().rpartition(")")[2].split()[1])
            except OSError:
                pass
    return found


def descendants(pid):
    tree = parents()
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        children = [child for child, of in tree.items() if of == parent]
        found += children
        todo += children
    return found


def processes_naming(user, word):
    """The pids of that user's processes whose command line has word in it."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            if not entry.isdigit() or os.stat("/proc/" + entry).st_uid != user.pw_uid:
                continue
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if word.encode() in f.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


class Unenterable:
    """A process named StarCitizen.exe (a copy of sleep) in a mount namespace that root made
    (unshare --mount), run as the user on the display: one the user cannot enter."""

    def __init__(self, sandbox):
        folder = os.path.join(sandbox.folder, "unenterable")
        os.mkdir(folder, 0o755)
        exe = os.path.join(folder, GAME_NAME)
        shutil.copy(shutil.which("sleep"), exe)
        os.chmod(exe, 0o755)
        self.proc = subprocess.Popen(["unshare", "--mount", *sandbox.runner(), exe, "600"],
                                     env={"DISPLAY": sandbox.display, "PATH": "/usr/bin:/bin"},
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = now() + TIMEOUT
        while comm(self.proc.pid) != GAME_NAME:
            if now() > deadline or self.proc.poll() is not None:
                raise RuntimeError("the process in root's mount namespace did not start")
            time.sleep(0.02)
        if os.readlink("/proc/%d/ns/mnt" % self.proc.pid) == os.readlink("/proc/self/ns/mnt"):
            raise RuntimeError("unshare --mount gave no mount namespace of its own")

    def stop(self):
        stop_process(self.proc)


class WaylandDriverGame(unittest.TestCase):
    """A test class with a Wayland desktop (open_desktop()) and, on it, the stand-in game under Wine
    10's Wayland driver in a sandbox (cls.sandbox, cls.game), for the class; cls.prefix_seconds is
    the time that wineboot and the driver's setting took."""

    @classmethod
    def open_desktop(cls):
        raise NotImplementedError

    @classmethod
    def wait_for_game_window(cls):
        """Returns once the desktop shows the game's window."""
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        cls.screen = cls.open_desktop()
        cls.sandbox = cls.game = None
        try:
            cls.sandbox = Sandbox(cls.screen.session.display, wayland=cls.screen.env["WAYLAND_DISPLAY"])
            started = now()
            cls.sandbox.make_prefix()
            cls.sandbox.use_driver("wayland")
            cls.prefix_seconds = now() - started
            cls.game = Game(cls.sandbox)
            cls.game.wait_ready()
            cls.wait_for_game_window()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.game:
            cls.game.stop()
        if cls.sandbox:
            cls.sandbox.close()
        cls.screen.close()
