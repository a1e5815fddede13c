"""gamescope as the tests' desktop (desktop.DESKTOPS["gamescope"]): Valve's compositor as Steam's
Gaming Mode runs it (-e), headless, from the Debian sid root (scripts/gamescope.sh) as nobody, with
the tests' Vulkan layer (tools/headless_export_layer.c) that lets it run on lavapipe. The Wine
programs, xdotool and bridge-host run outside, as root, on its XWayland display.

With -e, gamescope focuses only windows that carry STEAM_GAME, and among them the app that
GAMESCOPECTRL_BASELAYER_APPID on the root names first, as Steam moves the focus. An xmessage stands
in for Steam's own UI (app 769); the game's window is given an app id of its own. XTEST keys do not
reach gamescope's clients (its XWayland routes input through libei), so nothing here types.

Environment: BRIDGE_GAMESCOPE_LAYER, the folder with the built layer and its manifest (default:
build/gamescope-layer)."""

import os
import signal
import subprocess

from desktop import DESKTOPS, Unprivileged, _children, mapped_window
from harness import ROOT, TIMEOUT, now, stop_process

LAYER = os.environ.get("BRIDGE_GAMESCOPE_LAYER") or os.path.join(ROOT, "build", "gamescope-layer")
STEAM_UI = ("SteamUI", 769)  # Steam's own app id
APP_IDS = dict([STEAM_UI, ("StandInGame", 4242)])


class Gamescope(Unprivileged):
    """gamescope -e headless; windows are focused by app id, as Steam focuses them."""

    folder_prefix, log_name = "bridge-gamescope-", "gamescope.log"
    launcher = [os.path.join(ROOT, "scripts", "gamescope.sh"), "run"]
    path = "/usr/games:/usr/bin:/bin"  # Debian puts gamescope in /usr/games

    def _start_compositor(self):
        announce = " ".join(self._prepare())
        self.compositor = self._as_user(
            ["gamescope", "--backend", "headless", "-W", "1280", "-H", "800", "-e", "--",
             "sh", "-c", "%s && exec sleep infinity" % announce],
            self.base_env + ["VK_LAYER_PATH=" + LAYER,
                             "VK_INSTANCE_LAYERS=VK_LAYER_BRIDGE_headless_export"], self.log_name)
        display = self._announcement()[0]
        self.env = {"DISPLAY": display}
        return display

    def _start_native(self):
        """Steam's UI, an X window here, focused first."""
        self.native = subprocess.Popen(["xmessage", "-title", STEAM_UI[0], "Steam"], env=self.session.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.settle(STEAM_UI[0])
        self.focus(STEAM_UI[0])

    def settle(self, *titles):
        """Waits until the X windows of those titles are mapped, and marks those that have an app id
        as Steam marks its games' windows."""
        for title in titles:
            xid = mapped_window(self.session, title)
            if title in APP_IDS:
                self._xprop("-id", xid, "-f", "STEAM_GAME", "32c", "-set", "STEAM_GAME", str(APP_IDS[title]))

    def focus(self, title):
        """Gives that window's app the focus, as Steam does; returns when the request went out."""
        asked = now()
        self._xprop("-root", "-f", "GAMESCOPECTRL_BASELAYER_APPID", "32c", "-set",
                    "GAMESCOPECTRL_BASELAYER_APPID", str(APP_IDS[title]))
        return asked

    def focus_native(self):
        return self.focus(STEAM_UI[0])

    def _xprop(self, *args):
        subprocess.run(["xprop", *args], env=self.session.env, check=True, timeout=TIMEOUT,
                       stdin=subprocess.DEVNULL, capture_output=True)

    def _stop_compositor(self):
        """gamescope itself first (the launcher's child, by exec): killed with the launcher, it would
        leave its X socket and lock file behind."""
        if self.compositor and self.compositor.poll() is None:
            for pid in _children(self.compositor.pid):
                os.kill(pid, signal.SIGTERM)
        stop_process(self.compositor)


DESKTOPS["gamescope"] = Gamescope
