"""Active acquisition under Wine: "trigger" drives the stand-in game's chat, and the user's clipboard
is put back byte for byte whenever the bridge's own command is still on it at the end."""

import contextlib
import re
import time
import unittest

from harness import (CHAT_SUFFIX, COOL_DOWN, DEFAULT_ANSWER, KEYS_HELD, LOST_FRONT, NO_ANSWER, NOT_IN_FRONT, RELEASE,
                     REQUESTED, TIMEOUT, TOO_BIG, WineCase, error_line, figure, state_line, status_line)

USER_CLIPBOARD = "4x1000 1x7 text user\\u00e9 text"
ENTER, CTRL, V = 28, 29, 47
KEY_SEQUENCE = [("down", ENTER), ("up", ENTER), ("down", CTRL), ("down", V), ("up", V), ("up", CTRL),
                ("down", ENTER), ("up", ENTER)]
# name, index of the first and of the second event in KEY_SEQUENCE, nominal ms between them
HOLDS = [("Enter", 0, 1, 70), ("Ctrl before V", 2, 3, 10), ("V", 3, 4, 70), ("last Enter", 6, 7, 70)]
HOLD_TOLERANCE_MS = 3
MiB = 1 << 20
EPOCH = 4

TEXT_LINE = re.compile(rb'\{"text":"%s","wall_time":(\d+\.\d{6}),"latency_ms":(\d+),"macro_ms":(\d+),"epoch":%d\}\r\n'
                       % (re.escape(DEFAULT_ANSWER.encode()), EPOCH))

# The game's event that shows the stage reached: with a delay of 500 ms the bridge waits there.
AT_STAGE = {2: "key up %d" % ENTER, 3: "key up %d" % CTRL, 4: "ran /showlocation"}
# The ways in which the stand-in game can read keys (its --keys option).
KEY_WAYS = ["scan", "vk", "poll", "dinput", "raw"]


def statuses(stage):
    """The status lines of an acquisition that has reached the stage."""
    return [status_line(RELEASE, EPOCH)] + [status_line(REQUESTED, EPOCH)] * (stage == 4)


def key_events(lines):
    """(down|up, scan, the tick in ms at which it was sent) of the game's key lines for the keys that
    the bridge types; given the lines since a trigger, in which no one else types them, the bridge's."""
    events = []
    for line in lines:
        words = line.body.split(" ")
        if line.kind == "key" and int(words[1]) in (ENTER, CTRL, V):
            events.append((words[0], int(words[1]), int(line.fields["sent"])))
    return events


class Acquisition(WineCase):
    def prepare(self, groups=USER_CLIPBOARD, enabled=1, delay=50, answer="normal", keys="scan"):
        """Fresh programs, the game reading keys the given way, the user's clipboard (its dump kept in
        self.before), the context and the game's answer; returns once the bridge sees the game in
        front again (a large fill stalls Wine)."""
        self.session.stop_programs()
        self.game = self.session.game("--keys=" + keys)
        self.assertEqual(self.game.since(0, lambda l: l.kind in ("keys", "error"))[0].body, keys)
        self.tool = self.session.tool()
        self.bridge = self.session.bridge()
        self.bridge.expect("bridge_ready")
        self.bridge.focus_pump(True)
        self.tool.fill(groups)
        self.before = self.tool.dump()
        self.game.command("answer " + answer, "answer")
        self.bridge.context(EPOCH, enabled, delay)
        self.bridge.state(True, start=self.bridge.mark())

    def trigger(self):
        self.bridge_mark, self.game_mark = self.bridge.mark(), self.game.mark()
        return self.bridge.send("trigger")

    def lines(self):
        """The bridge's lines since the trigger but its state lines, as raw bytes."""
        return [l.raw for l in self.bridge.since(self.bridge_mark, lambda l: l.kind != "native_state")]

    def expect_lines(self, *expected, settle=2):
        """Waits for as many lines as expected (state lines aside) since the trigger, then for a few
        state lines more, and compares them all with the expected ones."""
        try:
            self.bridge.expect(lambda _: len(self.lines()) >= len(expected), start=self.bridge_mark)
        except AssertionError:
            self.assertEqual(self.lines(), list(expected))
            raise
        self.assertEqual(self.bridge.settle(self.bridge_mark, settle), list(expected))

    def wait_game(self, text):
        return self.game.expect(lambda l: l.text.startswith(text + " "), start=self.game_mark)

    @contextlib.contextmanager
    def shift_held(self):
        """Shift held on the game's X window for the with-block, once Wine has taken the press."""
        self.session.focus_x_window("StandInGame")
        mark = self.game.mark()
        with self.session.key_held("shift"):
            self.game.expect(lambda l: l.text.startswith("key down 42 16 "), start=mark)
            yield

    def wait_key_events(self, count):
        self.game.expect(lambda l: len(key_events(self.game.since(self.game_mark))) >= count, start=self.game_mark)
        return key_events(self.game.since(self.game_mark))

    def assert_restored(self):
        after = self.tool.dump()
        self.assertEqual(after.formats, self.before.formats, "the user's clipboard is back byte for byte")
        return after

    def assert_untouched(self):
        after = self.assert_restored()
        self.assertEqual((after.seq, after.owner), (self.before.seq, self.before.owner),
                         "the clipboard was never written")

    def stop_mid_way(self, stage, stop):
        """Runs an acquisition up to the stage, stops it there and checks that it ended silently:
        no line, no further key for the game, the user's clipboard back."""
        self.prepare(delay=500, answer="never")
        self.trigger()
        self.wait_game(AT_STAGE[stage])
        stop()
        after_stop = self.game.mark()
        self.expect_lines(*statuses(stage), settle=5)
        # The release of a key pressed before the stop may reach the game's log after it.
        self.assertEqual([e for e in key_events(self.game.since(after_stop)) if e[0] == "down"], [],
                         "no key pressed after the stop")
        self.assert_restored()

    def test_trigger_types_the_chat_command_and_reports_the_answer(self):
        self.prepare()
        sent = self.trigger()
        self.bridge.send("trigger")
        text = self.bridge.expect("text", start=self.bridge_mark)
        match = TEXT_LINE.fullmatch(text.raw)
        self.assertIsNotNone(match, text.raw)
        wall, latency, macro = match.groups()
        self.assertGreaterEqual(int(macro), 320)
        self.assertLess(abs(float(wall) - time.time()), 5.0)
        self.assertEqual(self.lines(), [status_line(RELEASE, EPOCH), status_line(REQUESTED, EPOCH), text.raw])

        busy = self.bridge.since(self.bridge_mark, lambda l: l.kind == "native_state" and l.at < text.at)
        self.assertTrue(busy, "a state line comes during the acquisition")
        self.assertEqual({l.raw for l in busy}, {state_line(True, self.game.hwnd, self.game.pid, True, EPOCH)})
        idle = self.bridge.expect("native_state", start=self.bridge.mark())
        self.assertEqual(idle.raw, state_line(True, self.game.hwnd, self.game.pid, False, EPOCH))

        events = self.wait_key_events(len(KEY_SEQUENCE))
        self.assertEqual([(kind, scan) for kind, scan, _ in events], KEY_SEQUENCE)
        t = [tick for _, _, tick in events]
        holds = {name: t[second] - t[first] for name, first, second, _ in HOLDS}
        for name, _, _, nominal in HOLDS:
            self.assertGreaterEqual(holds[name], nominal - HOLD_TOLERANCE_MS, name)
        figure("key holds by the events' send ticks (ms)", holds)
        self.assertEqual([l.text.rsplit(" ", 1)[0] for l in self.game.since(self.game_mark)
                          if l.kind in ("pasted", "ran")], ["pasted /showlocation", "ran /showlocation"])

        after = self.tool.dump()
        self.assertEqual(after.owner, self.game.pid, "the game's answer stays on the clipboard")
        self.assertEqual(self.tool.command("read", "read").body, "text " + DEFAULT_ANSWER)
        figure("macro_ms", int(macro))
        figure("latency_ms", int(latency))
        figure("trigger to text line (ms)", round((text.at - sent) * 1000, 1))

    def test_an_acquisition_goes_through_each_way_a_game_reads_keys(self):
        for way in KEY_WAYS:
            with self.subTest(keys=way):
                self.prepare(keys=way)
                self.trigger()
                end = self.bridge.expect(lambda l: l.kind in ("text", "error"), start=self.bridge_mark)
                self.assertIsNotNone(TEXT_LINE.fullmatch(end.raw), "%s; the game logged %s" % (
                    self.lines(), [l.text for l in self.game.since(self.game_mark)]))
                self.assertEqual(self.lines(), [status_line(RELEASE, EPOCH), status_line(REQUESTED, EPOCH), end.raw])
                self.assertEqual([l.text.rsplit(" ", 1)[0] for l in self.game.since(self.game_mark)
                                  if l.kind in ("pasted", "ran")], ["pasted /showlocation", "ran /showlocation"])
                keys = self.game.since(self.game_mark, "key")
                self.assertEqual({l.fields["via"] for l in keys}, {way})
                self.assertEqual([scan for kind, scan, _ in key_events(keys) if kind == "down"], [ENTER, CTRL, V, ENTER])
                after = self.tool.dump()
                self.assertEqual(after.owner, self.game.pid, "the clipboard is the game's answer, not our command")
                self.assertEqual(self.tool.command("read", "read").body, "text " + DEFAULT_ANSWER)

    def test_no_answer_fails_after_2_s_restores_the_clipboard_and_starts_a_cool_down(self):
        self.prepare(answer="never")
        self.trigger()
        failed = self.bridge.expect(lambda l: l.kind == "error", start=self.bridge_mark)
        self.assertEqual(failed.raw, error_line(NO_ANSWER + CHAT_SUFFIX, EPOCH))
        self.assertGreaterEqual(failed.at - self.wait_game("ran /showlocation").t, 2.0 - 0.02)
        self.assert_restored()
        self.bridge.send("trigger")
        self.expect_lines(status_line(RELEASE, EPOCH), status_line(REQUESTED, EPOCH),
                          error_line(NO_ANSWER + CHAT_SUFFIX, EPOCH), error_line(COOL_DOWN, EPOCH))

    def test_trigger_with_another_program_in_front_is_refused(self):
        self.prepare()
        mark = self.bridge.mark()
        self.tool.front()
        self.bridge.state(False, start=mark)
        self.trigger()
        self.expect_lines(error_line(NOT_IN_FRONT, EPOCH))
        self.assert_untouched()

    def test_trigger_while_disabled_does_nothing(self):
        self.prepare(enabled=0)
        self.trigger()
        self.assertEqual(self.bridge.settle(self.bridge_mark, 3), [])
        self.assertEqual({l["busy"] for l in self.bridge.since(self.bridge_mark)}, {False})
        self.assert_untouched()

    def test_a_key_held_for_1_s_after_trigger_cancels_without_touching_the_clipboard(self):
        self.prepare()
        with self.shift_held():
            sent = self.trigger()
            self.expect_lines(status_line(RELEASE, EPOCH), error_line(KEYS_HELD, EPOCH))
        self.assertGreaterEqual(self.bridge.since(self.bridge_mark, "error")[0].at - sent, 1.0 - 0.02)
        self.assertEqual(key_events(self.game.since(self.game_mark)), [], "no key was typed")
        self.assert_untouched()

    def test_the_game_losing_the_foreground_fails_once_and_restores_the_clipboard(self):
        for stage, suffix, next_refusal in [(1, "", NOT_IN_FRONT), (2, CHAT_SUFFIX, NOT_IN_FRONT),
                                            (3, CHAT_SUFFIX, NOT_IN_FRONT), (4, CHAT_SUFFIX, COOL_DOWN)]:
            with self.subTest(stage=stage):
                self.prepare(delay=500, answer="never")
                if stage == 1:
                    with self.shift_held():
                        self.trigger()
                        self.bridge.expect(lambda l: l.kind == "status", start=self.bridge_mark)
                        self.tool.front()
                        self.bridge.expect("error", start=self.bridge_mark)
                else:
                    self.trigger()
                    self.wait_game(AT_STAGE[stage])
                    self.tool.front()
                self.expect_lines(*statuses(stage), error_line(LOST_FRONT + suffix, EPOCH))
                self.assert_restored()
                self.trigger()
                self.expect_lines(error_line(next_refusal, EPOCH))

    def test_cancel_mid_way_ends_silently_restores_the_clipboard_and_starts_no_cool_down(self):
        for stage in (2, 3):
            with self.subTest(stage=stage):
                self.stop_mid_way(stage, lambda: self.bridge.send("cancel"))
                self.trigger()
                self.bridge.expect(lambda l: l.kind == "status", start=self.bridge_mark)
                self.bridge.send("cancel")
                self.assertEqual(self.bridge.settle(self.bridge_mark), [status_line(RELEASE, EPOCH)])
                self.assert_restored()

    def test_context_mid_way_ends_silently_restores_the_clipboard_and_starts_a_cool_down(self):
        for stage in (2, 4):
            with self.subTest(stage=stage):
                self.stop_mid_way(stage, lambda: self.bridge.context(EPOCH + 1))
                self.trigger()
                self.expect_lines(error_line(COOL_DOWN, EPOCH + 1))

    def test_end_of_input_mid_way_exits_0_and_restores_the_clipboard(self):
        self.prepare(delay=500)
        self.trigger()
        self.wait_game(AT_STAGE[2])
        self.bridge.close_input()
        self.assertEqual(self.bridge.wait_exit(TIMEOUT), 0)
        self.assertEqual(self.lines(), [status_line(RELEASE, EPOCH)])
        self.assert_restored()

    def test_clipboard_at_the_limits_is_restored_and_beyond_them_refused(self):
        for groups, formats, fits in [
                ("64x100", 64, True),
                ("60x100 text user text", 64, True),
                ("65x100", 65, False),
                ("61x100 text user text", 65, False),
                ("1x%d 1x%d" % (32 * MiB, 32 * MiB), 2, True),
                ("1x%d 1x%d" % (32 * MiB, 32 * MiB + 1), 2, False)]:
            with self.subTest(groups=groups):
                self.prepare(groups, answer="never")
                self.assertEqual(len(self.before.formats), formats)
                self.trigger()
                if not fits:
                    self.expect_lines(status_line(RELEASE, EPOCH), error_line(TOO_BIG, EPOCH))
                    self.assert_untouched()
                    continue
                self.expect_lines(status_line(RELEASE, EPOCH), status_line(REQUESTED, EPOCH),
                                  error_line(NO_ANSWER + CHAT_SUFFIX, EPOCH))
                self.assert_restored()
                if formats == 2:
                    status, _, failed = self.bridge.since(self.bridge_mark, lambda l: l.kind != "native_state")
                    first_enter, last_enter = [l.t for l in self.game.since(self.game_mark)
                                               if l.text.startswith("key down %d " % ENTER)]
                    figure("64 MiB save: status line to first Enter (ms)", round((first_enter - status.at) * 1000))
                    figure("64 MiB restore: 2 s deadline to error line (ms)",
                           round((failed.at - last_enter - 2.0) * 1000))


if __name__ == "__main__":
    unittest.main()
