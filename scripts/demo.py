"""The bridge at work: wine_bridge.exe against the stand-in game on a private virtual display.

First plays the host's part in a short script (context, focus reports, a hotkey binding, the
player's hotkey press, "trigger", a passive capture, a game that never answers, once more while
another program holds the clipboard open) and shows every
line the bridge prints as it comes. State lines are shown when they change.

Then the real host, bridge-host, with a window manager (openbox), run as a player does, with no
options and before the game: the game started and joined, activated, the hotkey pressed and the
position printed, a position asked for by a signal, the focus taken away, and a clean stop.
"""

import os
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "host", "tests"))
import harness  # noqa: E402
import host_harness  # noqa: E402

CTRL_P = (2, 80)  # MOD_CONTROL, virtual key P
COOL_DOWN_S = 2.1  # after a game that did not answer, the bridge refuses triggers for 2 s


def show(who, text):
    print("%8.3f  %-6s %s" % (time.monotonic() - START, who, text), flush=True)


def echo(program, who, worth_showing, describe):
    """Prints a program's lines as they arrive, those that worth_showing lets through, as describe
    words them."""
    shown = 0
    while True:
        with program.changed:
            while shown >= len(program.lines) and not program.ended:
                program.changed.wait(0.5)
            fresh, shown = program.lines[shown:], len(program.lines)
            if not fresh and program.ended:
                return
        for line in fresh:
            if worth_showing(line):
                show(who, describe(line))


def bridge_filter():
    """Every bridge line, but a state line only when its fields change."""
    last_state = {}

    def worth_showing(line):
        if line.kind != "native_state":
            return True
        changed = line.data != last_state.get("state")
        last_state["state"] = line.data
        return changed
    return worth_showing


def game_event(line):
    """A tool's log line without its times."""
    if line.t is None:
        return line.text
    return line.kind + " " + " ".join(word for word in line.body.split(" ") if not word.startswith("sent="))


GAME_EVENTS = ("key", "chat", "pasted", "ran", "answered")  # the game's log, less its replies to us


def host(bridge, line):
    show("host", line)
    bridge.send(line)


def step(title):
    time.sleep(0.3)
    print("\n-- %s" % title, flush=True)


def press_ctrl_p(session):
    env = dict(os.environ, DISPLAY=session.display)
    xid = subprocess.run(["xdotool", "search", "--name", "StandInGame"], env=env, capture_output=True,
                         text=True, check=True).stdout.split()[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", xid, "key", "ctrl+p"], env=env, check=True)


def run(session):
    game = session.game()
    tool = session.tool()
    bridge = session.bridge()
    threading.Thread(target=echo, args=(bridge, "bridge", bridge_filter(), lambda line: line.text), daemon=True).start()
    threading.Thread(target=echo, args=(game, "game", lambda line: line.kind in GAME_EVENTS,
                                                  game_event), daemon=True).start()
    bridge.expect("bridge_ready")

    step("The host enables the bridge and reports that the game has the focus")
    host(bridge, "context 1 1 50")
    bridge.focus_pump(True)
    show("host", "focus 1 (repeated every 100 ms from now on)")
    bridge.state(True)

    step("The host binds Ctrl+P to the position action; the player presses it in the game")
    host(bridge, "bind 0 %d %d" % CTRL_P)
    time.sleep(0.3)
    show("player", "Ctrl+P")
    press_ctrl_p(session)
    bridge.expect("native_action")

    step("The host answers with trigger; the bridge types /showlocation into the game")
    tool.copy("the player's own clipboard")
    show("clip", "holds: the player's own clipboard")
    host(bridge, "trigger")
    bridge.expect("text")
    show("clip", "holds: " + tool.command("read", "read").body)

    step("The player types /showlocation in the game: a passive capture")
    game.copy("Coordinates: x:-100.5 y:42 z:7")
    bridge.expect(lambda line: line.kind == "text" and "x:-100.5" in line.text)

    step("A game that never answers: the bridge gives up and puts the player's clipboard back")
    game.command("answer never", "answer")
    tool.copy("notes the player must not lose")
    show("clip", "holds: notes the player must not lose")
    mark = bridge.mark()
    host(bridge, "trigger")
    bridge.expect("error", start=mark)
    show("clip", "holds: " + tool.command("read", "read").body)

    step("The same while another program holds the clipboard open: the give-back waits for it")
    time.sleep(COOL_DOWN_S)
    tool.copy("notes held open by another program")
    show("clip", "holds: notes held open by another program")
    mark = bridge.mark()
    host(bridge, "trigger")
    bridge.expect(lambda line: line.kind == "status" and line["status"] == harness.REQUESTED, start=mark)
    hold = harness.Hold(tool, 1000, 1500)
    hold.opened()
    show("other", "opens the clipboard, and keeps it open for 1 s")
    bridge.expect("error", start=mark)
    show("clip", "holds: " + tool.command("read", "read").body)
    hold.closed()
    show("other", "lets go of the clipboard")
    time.sleep(0.1)  # the bridge gives it back at its next tick
    show("clip", "holds: " + tool.command("read", "read").body)

    step("End of the host's input: the bridge shuts down")
    bridge.focus_pump(False)
    bridge.close_input()
    show("bridge", "exit code %d" % bridge.wait_exit())


def run_host(session):
    print("\n== bridge-host, the Linux side, with a window manager", flush=True)
    openbox = host_harness.start_openbox(session)
    try:
        session.tool()
        step("The player runs bridge-host, with no options, before the game")
        host = host_harness.BridgeHost(session, "--position", "ctrl+p", prefix=None, env={"WINEPREFIX": None})
        show("shell", " ".join(os.path.relpath(word) if os.path.isabs(word) else word for word in host.command))
        threading.Thread(target=echo, args=(host, "b-host", lambda line: True,
                                                 lambda line: line.raw.rstrip("\n")), daemon=True).start()
        host.expect(0, event="status")

        step("The game starts: bridge-host finds it and joins its Wine")
        show("shell", "WINEPREFIX=%s wine StarCitizen.exe" % os.path.relpath(session.prefix))
        session.game()
        host.expect(0, event="bridge", state="started")

        step("The player brings the game to the front (openbox sets _NET_ACTIVE_WINDOW)")
        host_harness.activate(session, "StandInGame")
        host.expect(0, event="game", in_front=True)

        step("The player presses Ctrl+P in the game: bridge-host asks the bridge, the position is printed")
        mark = host.mark()
        show("player", "Ctrl+P")
        session.xdotool("key", "ctrl+p")
        host.expect(mark, event="position")

        step("A desktop shortcut asks for a position: pkill -USR1 bridge-host")
        mark = host.mark()
        show("shell", "kill -USR1 %d" % host.proc.pid)
        host.signal(signal.SIGUSR1)
        host.expect(mark, event="position")

        step("The player switches to another window")
        mark = host.mark()
        host_harness.activate(session, "ClipboardTool")
        host.expect(mark, event="game", in_front=False)

        step("SIGTERM: bridge-host closes the bridge's input and waits for it")
        show("shell", "kill -TERM %d" % host.proc.pid)
        host.signal(signal.SIGTERM)
        show("shell", "bridge-host exit code %d" % host.wait_exit())
        host.stop()
    finally:
        session.stop_programs()
        harness.stop_process(openbox)


def main():
    if harness.prepare() != 0:
        return 1
    session = harness.Session().start()
    try:
        run(session)
        session.stop_programs()
        run_host(session)
    finally:
        session.close()
    return 0


START = time.monotonic()
if __name__ == "__main__":
    sys.exit(main())
