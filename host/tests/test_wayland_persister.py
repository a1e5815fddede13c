"""bridge-host on sway with a clipboard persister (tools/wayland_persister.c) on its Wayland seat, as
players on wlroots desktops have one: every copy, Wine's included, is taken over at once, sway's X
window manager then owns CLIPBOARD for X clients, and Wine imports the same text again under its X
clipboard bridge. Positions must still come, actively and passively, and the user's clipboard must be
given back, or left alone when the user copied something newer meanwhile.

Three things of the platform (Wine 8, sway 1.7 with wlroots 0.15) shape the test; each was measured
here without the bridge too:
- sway's X window manager takes a selection from X clients, and serves one to them, only while an X
  window has the focus: the game is in front whenever the X side is written or read, and after the
  game has lost the focus to a Wayland window, what the bridge gives back reaches X but not the
  Wayland side;
- Wine's X clipboard bridge does not always keep up: now and then it answers the first request for a
  clipboard it has just taken on X only once another X request comes to it, and a copy made while it
  imports the one before is lost to that import. A player's copies are seconds apart: the test leaves
  PACE between two of them, and reads X's side whenever it waits for the clipboard to settle, as any
  Linux program that looks at the clipboard does;
- so not every copy of Wine's is taken over. Each test asks only that the persister took over some of
  them, which is what makes it one under a persister.

Environment, besides the host tests': BRIDGE_WAYLAND_PERSISTER, the persister (default: the native
build's); BRIDGE_PERSISTER_DESKTOP, "sway" (the default) or "kwin", whose XWayland bridge the
persister's copies cross."""

import os
import signal
import subprocess
import time

import kwin_desktop  # noqa: F401 (the kwin desktops)
from desktop import DesktopCase
from harness import (CHAT_SUFFIX, DEFAULT_ANSWER, LOST_FRONT, NO_ANSWER, OWNER_ANSWER, REQUESTED, ROOT, TIMEOUT,
                     Line, LinuxCopy, Program, now, stop_process, wait_for, x_clipboard)
from host_harness import BridgeHost, copies_reported

PERSISTER = os.environ.get("BRIDGE_WAYLAND_PERSISTER") or os.path.join(
    ROOT, "build", "native", "host", "tests", "tools", "wayland_persister")
ROUNDS = 10
PACE = 1.0  # s between two of Wine's copies (Wine's X bridge takes one back within about 0.1 s)
POLL = 0.25  # s between two looks at the clipboard while it settles
QUIET = 1.0  # s after bridge-host's exit in which the clipboard must stay as it is
COOL_DOWN = 2.0  # s in which the bridge refuses a new acquisition after one that got no answer
COMMAND = b"/showlocation"
# The user's texts: lengths unlike each other's and the command's, so that the persister's "reserved
# <bytes>" says whose text it took over, and what a conversion could spoil (a line end, a tab, letters
# beyond ASCII and beyond Latin-1).
USER_TEXT = "the player's notes:\n\tStanton \u00e9t\u00e9 \u65e5\u672c".encode()
NEWER_TEXT = "copied meanwhile in a Linux program: \u00fc \u2192 \u03a9".encode()


class PersisterLine(Line):
    """"ready", or "reserved <bytes>": kind is the first word, size the number."""

    def __init__(self, raw, at):
        super().__init__(raw, at)
        self.kind, _, size = self.text.partition(" ")
        self.size = int(size) if size.isdigit() else None


class Persister(Program):
    """wayland_persister as a child of ours, on the session's Wayland display."""

    line_kind = PersisterLine

    def _launch(self, session, exe, args):
        return subprocess.Popen([exe], env=dict(os.environ, WAYLAND_DISPLAY=session.env["WAYLAND_DISPLAY"]),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def sizes_since(self, mark):
        return [line.size for line in self.since(mark, "reserved")]


def wl_copy(session, data):
    """A Wayland program's copy; it serves the selection until the persister takes it over."""
    proc = subprocess.Popen(["wl-copy", "--foreground"], env=session.env, stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    proc.stdin.write(data)
    proc.stdin.close()
    return proc


def x_copy(session, data):
    """An X program's copy on XWayland (xclip); it serves CLIPBOARD until the persister takes it over."""
    return LinuxCopy(session, data).proc


def wayland_clipboard(session):
    """What the Wayland seat's selection gives as text, as x_clipboard tells X's: None with no
    selection, False when its owner did not answer (sway serves an X owner's selection through X)."""
    try:
        got = subprocess.run(["wl-paste", "--no-newline"], env=session.env, stdin=subprocess.DEVNULL,
                             capture_output=True, timeout=OWNER_ANSWER)
    except subprocess.TimeoutExpired:
        return False
    return got.stdout if got.returncode == 0 else None


def as_wine_reads(text):
    """The clipboard tool's "read" of a UTF-8 text imported from X: Wine's CR LF line ends, and the
    tools' escapes (\\\\ \\r \\n \\t, \\uXXXX beyond ASCII)."""
    named = {"\\": "\\\\", "\r": "\\r", "\n": "\\n", "\t": "\\t"}
    return "text " + "".join(named.get(c) or (c if " " <= c < "\x7f" else "\\u%04X" % ord(c))
                             for c in text.decode().replace("\n", "\r\n"))


class UnderPersister(DesktopCase):
    desktop = os.environ.get("BRIDGE_PERSISTER_DESKTOP", "sway")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.persister = cls.session.start_program(Persister, PERSISTER)
            cls.persister.expect("ready")
            cls.session.programs.remove(cls.persister)  # it outlives each test's programs
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "persister", None):
            cls.persister.stop()
        super().tearDownClass()

    def setUp(self):
        self.copiers = []
        self.game = self.session.game()
        self.tool = self.session.tool()
        self.screen.settle("StandInGame", "ClipboardTool")
        self.host = None

    def tearDown(self):
        if self.host:
            self.host.stop()
        for copier in self.copiers:
            stop_process(copier)
        self.session.stop_programs()

    def start_host(self):
        """A new bridge-host (the last one stopped), once the game is in front."""
        if self.host:
            self.host.stop()
        self.host = BridgeHost(self.session)
        self.host.expect(0, event="bridge", state="started")
        self.activate("StandInGame")
        self.host.expect(0, event="game", in_front=True)  # a new bridge-host: its first word on it

    def user_copies(self, copy, text):
        """A Linux program copies text; returns once Wine has imported it (the persister may still
        be taking it over: the copy is the user's either way)."""
        self.copiers.append(copy(self.session, text))
        try:
            wait_for(lambda: self.wine_reads() == as_wine_reads(text), "the copy in Wine")
        except AssertionError:
            self.fail("Wine never took the copy %r in; %s" % (text, self.held()))

    def wine_reads(self):
        """The clipboard tool's "read"; None while another program holds the clipboard open (Wine's
        X bridge does, while an X owner is slow to answer it)."""
        try:
            return self.tool.command("read", "read").body
        except AssertionError as error:
            if "clipboard busy" not in str(error):
                raise
            return None

    def clipboards(self, sides):
        """What each side's clipboard gives as UTF-8 text: X's (XWayland's) and the Wayland seat's."""
        read = {"X": lambda: x_clipboard(self.session, "UTF8_STRING"),
                "Wayland": lambda: wayland_clipboard(self.session)}
        return {side: read[side]() for side in sides}

    def ask_position(self):
        """SIGUSR1 to bridge-host; returns its mark from before. A failed turn leaves the game's chat
        open, and the player closes it when told: so does the test first."""
        if self.game.command("state", "state").fields["chat"] == "1":
            self.session.xdotool("key", "Escape")
        mark = self.host.mark()
        self.host.signal(signal.SIGUSR1)
        return mark

    def outcome(self, mark, event, message=None):
        """bridge-host's first line since mark of that event (and message), unless an error line
        comes first: then the test fails with it and with what the clipboard holds."""
        ends = lambda line: (line.event == "error" or
                             (line.event == event and message in (None, line.data.get("message"))))
        wait_for(lambda: any(ends(line) for line in self.host.lines[mark:]), "a %s or an error line" % event)
        line = next(line for line in self.host.lines[mark:] if ends(line))
        if line.event == "error" and event != "error":
            held = self.held()
            time.sleep(COOL_DOWN)  # so that the next turn is one of its own, not refused
            self.fail("%s; %s" % (line.raw.strip(), held))
        return line

    def held(self):
        """What the clipboard holds, as Wine, X and Wayland give it: for a failure's message."""
        return "the clipboard: Wine %s, %r" % (self.wine_reads(), self.clipboards(("X", "Wayland")))

    def assert_took_over_some(self, mark, *texts):
        """The persister took over one of these texts of Wine's, at least, since mark."""
        self.assertTrue({len(text) for text in texts} & set(self.persister.sizes_since(mark)),
                        "the persister took none of Wine's copies over")

    def test_positions_asked_in_a_row_each_come(self):
        self.start_host()
        taken = self.persister.mark()
        for turn in range(ROUNDS):
            with self.subTest(turn=turn):
                line = self.outcome(self.ask_position(), "position")
                self.assertEqual((line["source"], line["text"]), ("active", DEFAULT_ANSWER))
            time.sleep(PACE)
        self.assert_took_over_some(taken, COMMAND, DEFAULT_ANSWER)

    def test_each_of_the_games_own_copies_is_reported(self):
        texts = ["Coordinates: x:%d.5 y:-2 z:3" % turn for turn in range(ROUNDS)]
        self.start_host()
        taken = self.persister.mark()
        self.assertEqual(copies_reported(self.game, self.host, texts, PACE), [("passive", text) for text in texts])
        self.assert_took_over_some(taken, *texts)

    # (how an acquisition that brings no position ends, the Linux program that copies while the
    # game's answer is awaited or None). It ends as the game never answers, as the player turns to a
    # Wayland window, or as bridge-host is stopped; bridge-host is stopped after each, so that what
    # the clipboard holds afterwards is what the bridge left for good.
    CASES = [("no answer", None), ("focus lost", None), ("stopped", None),
             ("no answer", wl_copy), ("no answer", x_copy), ("stopped", wl_copy)]

    def test_the_users_clipboard_is_given_back_unless_the_user_copied_meanwhile(self):
        taken = self.persister.mark()
        for ending, copy in self.CASES:
            with self.subTest(ending=ending, copy=copy and copy.__name__):
                self.start_host()
                self.user_copies(wl_copy, USER_TEXT)
                self.game.command("answer never", "answer")
                asked = self.ask_position()
                self.outcome(asked, "status", REQUESTED)  # the command ran
                expected = USER_TEXT
                if copy:
                    self.user_copies(copy, NEWER_TEXT)
                    expected = NEWER_TEXT
                if ending == "no answer":
                    self.host.expect(asked, event="error", message=NO_ANSWER + CHAT_SUFFIX)
                elif ending == "focus lost":
                    self.screen.focus_native()
                    self.host.expect(asked, event="error", message=LOST_FRONT + CHAT_SUFFIX)
                    self.activate("StandInGame")
                self.host.signal(signal.SIGTERM)
                self.assertEqual(self.host.wait_exit(), 0, self.host.errors[-5:])
                # sway takes no selection from X while a Wayland window has the focus: what the
                # bridge gave back then is on X's side only (back in the game, the player pastes it
                # there), and the Wayland side keeps what sway left on it.
                sides = ("X",) if ending == "focus lost" else ("X", "Wayland")
                settled, deadline = dict.fromkeys(sides, expected), now() + TIMEOUT
                while self.clipboards(sides) != settled and now() < deadline:
                    time.sleep(POLL)
                time.sleep(QUIET)
                self.assertEqual(self.clipboards(sides), settled, self.held())
        self.assert_took_over_some(taken, COMMAND)
