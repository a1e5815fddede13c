"""A D-Bus daemon of a compositor's own (kwin_desktop.py, gnome_desktop.py): run as the compositor's
unprivileged user from the machine, on a socket in its XDG_RUNTIME_DIR. Root may connect too:
bridge-host and the tests run as root, beside Wine's root-owned prefix, and talk over it."""

import json
import os
import subprocess
import time

from harness import TIMEOUT, now, stop_process

CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>{kind}</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="root"/>
    <allow user="{user}"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
{extra}</busconfig>
"""


class PrivateBus:
    """A session (or system) bus of desktop's user: desktop is an Unprivileged that has prepared its
    folders."""

    def __init__(self, desktop, kind="session", name="bus"):
        self.desktop, self.kind = desktop, kind
        self.socket = os.path.join(desktop.runtime, name)
        self.config = os.path.join(desktop.folder, name + ".conf")
        self.address = "unix:path=" + self.socket
        self._write_config()
        self.process = desktop._as_user(["dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + self.config],
                                        desktop.base_env, name + ".log", launcher=[])
        deadline = now() + TIMEOUT
        while not os.path.exists(self.socket):
            if now() > deadline or self.process.poll() is not None:
                raise RuntimeError("dbus-daemon did not start; see %s.log in %s" % (name, desktop.folder))
            time.sleep(0.02)

    def _write_config(self, extra=""):
        with open(self.config, "w") as f:
            f.write(CONFIG.format(kind=self.kind, socket=self.socket, user=self.desktop.user.pw_name, extra=extra))

    def reload(self, extra=""):
        """Takes extra rules (XML, after the default policy) from now on, or none."""
        self._write_config(extra)
        self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReloadConfig")

    def call(self, destination, path, interface, method, *args):
        """A method called through busctl; its answer, or None when the call failed."""
        result = subprocess.run(["busctl", "--address=" + self.address, "--json=short", "call", destination, path,
                                 interface, method, *args],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=TIMEOUT)
        if result.returncode != 0:
            return None
        return json.loads(result.stdout)["data"] if result.stdout.strip() else []

    def stop(self):
        stop_process(self.process)
