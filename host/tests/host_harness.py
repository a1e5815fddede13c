"""bridge-host under test: the program as a child of ours with its JSON lines read as they come; the
desktops it runs on are in desktop.py. Used by the end-to-end tests and the demo.

Environment, besides the harness's: BRIDGE_HOST, the bridge-host executable."""

import json
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from harness import PREFIX, ROOT, TIMEOUT, escape, exe_path, now, stop_process  # noqa: E402
from wine_session import trace  # noqa: E402
from desktop import activate, start_openbox  # noqa: E402,F401 (openbox on a session, as the demo runs it)

HOST = os.environ.get("BRIDGE_HOST") or os.path.join(ROOT, "build", "native", "host", "bridge-host")


def prefix_copy(name):
    """The harness's prefix hard-linked under that name; the registry files are copied, as the copy's
    wineserver writes them."""
    copy = os.path.join(os.path.dirname(PREFIX), name)
    if not os.path.isdir(copy):
        subprocess.run(["cp", "-al", PREFIX, copy + ".part"], check=True)
        for name in os.listdir(PREFIX):
            if name.endswith(".reg"):
                shutil.copy2(os.path.join(PREFIX, name), os.path.join(copy + ".part", name + ".new"))
                os.replace(os.path.join(copy + ".part", name + ".new"), os.path.join(copy + ".part", name))
        os.rename(copy + ".part", copy)
    return copy


def copies_reported(game, host, texts, pace):
    """The game copies each text, pace apart; once bridge-host has reported the last, the (source,
    text) of every position it printed meanwhile."""
    mark = host.mark()
    for text in texts:
        game.copy(escape(text))
        time.sleep(pace)
    host.expect(mark, event="position", text=texts[-1])
    return [(line["source"], line["text"]) for line in host.lines[mark:] if line.event == "position"]


def alone_in_pid_namespace():
    """Runs this test program again, whole, as the first process of a pid namespace of its own with a
    /proc of its own, unless it is that already. bridge-host looks through /proc for any process of
    its user named StarCitizen.exe: there it finds only the games that this program started, never
    those of another test run or session of the same user (nobody, in the container tests). Xvfb,
    the wineserver and the desktop come along, so the pids that bridge-host reports are the ones the
    tests know. What the harness leaves running ends with the namespace (--kill-child: also when
    ctest kills unshare). Called by a test module as it is imported, before it starts anything."""
    if os.getpid() == 1:
        return
    sys.stdout.flush()
    sys.stderr.flush()
    os.execvp("unshare", ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child",
                          sys.executable, *sys.orig_argv[1:]])


class HostLine:
    """One JSON line of bridge-host and when it arrived."""

    def __init__(self, raw, at):
        self.raw, self.at = raw, at
        try:
            self.data = json.loads(raw)
        except ValueError:
            self.data = {"unparsed": raw}  # shown in a failure's message; matches no expectation
        self.event = self.data.get("event")

    def __getitem__(self, key):
        return self.data[key]

    def __repr__(self):
        return "<%.3f %s>" % (self.at, self.raw.strip())


class BridgeHost:
    """bridge-host as a child of ours, its stdout read line by line."""

    def __init__(self, session, *options, env=None, prefix=PREFIX, runner=()):
        """prefix None gives no --prefix; an env value None removes that variable; runner is the
        command that runs bridge-host (setpriv, as another user), if any."""
        self.command = [*runner, HOST, "--bridge", exe_path("wine_bridge.exe"),
                        *(["--prefix", prefix] if prefix else []), *options]
        env = {key: value for key, value in dict(session.env, **(env or {})).items() if value is not None}
        self.proc = subprocess.Popen(self.command, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.errors = []  # stderr, read so that Wine's complaints can never fill the pipe
        self.changed = threading.Condition()
        self.ended = False
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._read_errors, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            line = HostLine(raw, now())
            trace("bridge-host event", raw)
            with self.changed:
                self.lines.append(line)
                self.changed.notify_all()
        self.proc.stdout.close()
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def _read_errors(self):
        for line in self.proc.stderr:
            self.errors.append(line)
            trace("bridge-host", line)
        self.proc.stderr.close()

    def mark(self):
        with self.changed:
            return len(self.lines)

    def expect(self, start, **fields):
        """The first line from start on whose fields have these values."""
        deadline = now() + TIMEOUT
        with self.changed:
            while True:
                for line in self.lines[start:]:
                    if all(line.data.get(key) == value for key, value in fields.items()):
                        return line
                if now() > deadline or self.ended:
                    raise AssertionError("bridge-host: no line with %r; lines %r; stderr %r"
                                         % (fields, self.lines[-8:], self.errors[-5:]))
                self.changed.wait(0.5)

    def expect_error_line(self, text):
        """Waits for a line on stderr (where --once puts every event but the position)."""
        deadline = now() + TIMEOUT
        while text + "\n" not in self.errors:
            if now() > deadline or self.proc.poll() is not None:
                raise AssertionError("bridge-host: no %r on stderr; it has %r" % (text, self.errors[-8:]))
            time.sleep(0.05)

    def signal(self, sig):
        os.kill(self.proc.pid, sig)

    def wait_exit(self):
        code = self.proc.wait(TIMEOUT)
        with self.changed:
            self.changed.wait_for(lambda: self.ended, TIMEOUT)
        return code

    def stop(self):
        """SIGTERM (a clean stop), SIGKILL if it lingers; the readers close the pipes at their end."""
        stop_process(self.proc)
