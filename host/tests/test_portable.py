"""The portable archive (preset portable, then cpack) as a player of another distribution gets it:
unpacked into a home's ~/.local as the README says, its user unit checked by systemd-analyze against
that home, and bridge-host run on an Xvfb of ours inside the Debian 13 root with none of its
libraries there: libxcb and every library beside it, libstdc++ and libgcc are hidden under /dev/null
(it needs glibc, libwayland-client and libsystemd only, which every system it is for has),
and the network is the sandbox's own, so X is reached only through the socket bound in.

Environment: BRIDGE_PORTABLE_DIR (the portable build dir), BRIDGE_WINE10_ROOT (the Debian 13 root).
"""

import glob
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from harness import ROOT, TIMEOUT, Session, now, stop_process  # noqa: E402

BUILD = os.environ.get("BRIDGE_PORTABLE_DIR") or os.path.join(ROOT, "build", "portable")
OTHER_ROOT = os.environ.get("BRIDGE_WINE10_ROOT") or os.path.join(ROOT, "build", "wine10-root")
LIB_DIR = "/usr/lib/x86_64-linux-gnu"
HIDDEN = re.compile(r"lib(xcb|X11-xcb|Xau|Xdmcp|bsd|md|stdc\+\+|gcc_s)[-.]")
GLIBC = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
DESKTOP = {"libwayland-client.so.0", "libsystemd.so.0"}  # every systemd Wayland desktop's own
HOME_INSIDE = "/home/player"
WAITING = {"event": "status", "message": "waiting for the game (StarCitizen.exe)"}


def read_line(fd, deadline):
    """One line from fd, b"" at its end or at the deadline."""
    data = b""
    while not data.endswith(b"\n") and now() < deadline:
        if select.select([fd], [], [], 0.2)[0]:
            chunk = os.read(fd, 1)
            if not chunk:
                break
            data += chunk
    return data


class PortableArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        archives = glob.glob(os.path.join(BUILD, "bridge-host-*-Linux.tar.gz"))
        if len(archives) != 1:
            raise RuntimeError("expected one archive in %s, found %s" % (BUILD, archives))
        cls.archive = archives[0]
        cls.tmp = tempfile.mkdtemp(prefix="bridge-portable-")
        cls.home = os.path.join(cls.tmp, "home")
        cls.local = os.path.join(cls.home, ".local")
        os.makedirs(cls.local)
        subprocess.run(["tar", "-xzf", cls.archive, "-C", cls.local, "--strip-components=1"], check=True)
        cls.program = os.path.join(cls.local, "bin", "bridge-host")
        print("archive %s: %d bytes; bridge-host %d bytes" % (
            os.path.basename(cls.archive), os.path.getsize(cls.archive), os.path.getsize(cls.program)))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_needs_the_base_systems_libraries_only(self):
        dynamic = subprocess.run(["readelf", "-d", self.program], capture_output=True, text=True, check=True).stdout
        needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic))
        versions = subprocess.run(["readelf", "-V", self.program], capture_output=True, text=True, check=True).stdout
        newest = max(set(re.findall(r"GLIBC_([0-9.]+)", versions)), key=lambda v: tuple(map(int, v.split("."))))
        print("bridge-host needs %s (GLIBC_%s at most)" % (" ".join(sorted(needed)), newest))
        self.assertIn("libc.so.6", needed)
        self.assertLessEqual(needed, GLIBC | DESKTOP)
        self.assertNotRegex(dynamic, r"\((RPATH|RUNPATH)\)")

    def test_unit_starts_the_unpacked_program(self):
        unit = os.path.join(self.local, "share", "systemd", "user", "bridge-host.service")
        self.assertTrue(os.path.isfile(os.path.join(self.local, "share", "bridge-host", "wine_bridge.exe")))
        runtime = os.path.join(self.tmp, "run")
        os.mkdir(runtime, 0o700)
        # %h is HOME: verify finds the ExecStart program only where the README's line unpacked it.
        env = dict(os.environ, HOME=self.home, XDG_RUNTIME_DIR=runtime)
        verify = subprocess.run(["systemd-analyze", "--user", "verify", "--man=no", unit], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
        with open(unit) as f:
            self.assertIn("\nExecStart=%h/.local/bin/bridge-host ", f.read())

    def sandbox(self, display, info_fd):
        """bwrap's command: the other root's /usr and /etc, its X libraries and C++ runtime hidden."""
        hidden = [name for name in os.listdir(OTHER_ROOT + LIB_DIR)
                  if HIDDEN.match(name) and not os.path.islink(OTHER_ROOT + LIB_DIR + "/" + name)]
        self.assertIn("libxcb.so.1.1.0", hidden)  # the root has them: hiding them is what is tested
        socket = "/tmp/.X11-unix/X" + display.lstrip(":")
        command = ["bwrap", "--die-with-parent", "--unshare-net", "--unshare-ipc",
                   "--ro-bind", OTHER_ROOT + "/usr", "/usr", "--ro-bind", OTHER_ROOT + "/etc", "/etc"]
        for link in ("bin", "sbin", "lib", "lib64"):
            command += ["--symlink", "usr/" + link, "/" + link]
        for name in hidden:
            command += ["--ro-bind", "/dev/null", LIB_DIR + "/" + name]
        command += ["--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--ro-bind", socket, socket,
                    "--bind", self.home, HOME_INSIDE, "--clearenv", "--setenv", "HOME", HOME_INSIDE,
                    "--setenv", "DISPLAY", display, "--setenv", "PATH", "/usr/bin", "--info-fd", str(info_fd),
                    HOME_INSIDE + "/.local/bin/bridge-host"]
        return command

    def test_runs_in_a_root_without_its_libraries(self):
        xvfb = Session()
        display = xvfb._start_xvfb()
        self.addCleanup(stop_process, xvfb.xvfb)
        errors = tempfile.TemporaryFile()
        self.addCleanup(errors.close)
        info_read, info_write = os.pipe()
        out_read, out_write = os.pipe()
        self.addCleanup(os.close, info_read)
        self.addCleanup(os.close, out_read)
        started = now()
        try:
            proc = subprocess.Popen(self.sandbox(display, info_write), stdin=subprocess.DEVNULL, stdout=out_write,
                                    stderr=errors, pass_fds=(info_write,))
        finally:
            os.close(info_write)
            os.close(out_write)
        self.addCleanup(stop_process, proc)
        deadline = now() + TIMEOUT

        def said():
            errors.seek(0)
            return errors.read().decode(errors="replace")

        witness, waiting = (json.loads(read_line(out_read, deadline) or b"null") for _ in range(2))
        self.assertEqual((witness, waiting), ({"event": "witness", "name": "x"}, WAITING), said())
        print("waiting %.0f ms after the sandbox's start" % ((now() - started) * 1000))
        info = b""  # bwrap's JSON, written and closed before bridge-host starts
        while now() < deadline and select.select([info_read], [], [], 0.2)[0]:
            chunk = os.read(info_read, 4096)
            if not chunk:
                break
            info += chunk
        os.kill(json.loads(info)["child-pid"], signal.SIGTERM)  # bwrap's child, bridge-host itself
        self.assertEqual(proc.wait(TIMEOUT), 0, said())

if __name__ == "__main__":
    unittest.main()
