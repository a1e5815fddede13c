"""What each fault of the soak does once "trigger" is sent: the methods during_<fault> of the soak
(soak.Soak takes them from here), given the mark of the game's log at the trigger, with the helpers
they share. They act on the soak's session, bridge, game, tool and RNG."""

import time

import harness
from harness import now
from soak_draws import USER_COPIES, junk_lines

COOL_DOWN = 2.1
NO_ANSWER_S = 2.0  # from the game's running of the command to the bridge's give-back
HOLD_LEAD_S = (0.015, 0.06)  # how long before the give-back a holder opens the clipboard
HOLD_MS = (50, 2000)


class Faults:
    def during_key_held(self, game_mark):
        if not self.hold_ms:  # pressed once the chat is open, while the bridge types
            self.game.expect(lambda l: l.text.startswith("chat open "), start=game_mark)
            self.press_shift()
        time.sleep((self.hold_ms or 300) / 1000.0)
        self.session.xdotool("keyup", "shift")

    def during_front_lost(self, _):
        time.sleep(self.rng.uniform(0, 1.0))
        self.tool.front()

    def during_user_copy(self, game_mark):
        self.game.expect(lambda l: l.text.startswith("chat open "), start=game_mark)
        time.sleep(self.rng.uniform(0, 0.6))
        text = self.rng.choice(USER_COPIES)
        self.user_copy = (self.copy_text(self.tool, text).t, text)

    def during_clipboard_held(self, game_mark):
        """Another program opens the clipboard just before the give-back that follows the game's
        silence and keeps it open for 50 ms to 2 s, reading CF_TEXT meanwhile or not."""
        ran = self.game.expect(lambda l: l.text.startswith("ran /showlocation "), start=game_mark)
        start = ran.t + NO_ANSWER_S - self.rng.uniform(*HOLD_LEAD_S)
        self.hold_ms = self.rng.randint(*HOLD_MS)
        self.hold = harness.Hold(self.tool, self.hold_ms, max(0, round((start - now()) * 1000)),
                                 self.rng.random() < 0.5)

    def hold_outcome(self, ends):
        """Once the holder has let go: whether its hold spanned the end of the acquisition."""
        held, released = self.hold.opened(), self.hold.closed(timeout=HOLD_MS[1] / 1000.0 + 5)
        across = bool(ends) and held.t < ends[0].at < released.t
        self.holds += 1
        self.holds_across += across
        return "; held %d ms %s" % (self.hold_ms, "across the give-back" if across else "not across the give-back")

    def during_cancel(self, _):
        time.sleep(self.rng.uniform(0, 1.5))
        self.bridge.send("cancel")

    def during_context(self, _):
        time.sleep(self.rng.uniform(0, 1.5))
        self.epoch += 1
        self.delay = self.rng.choice([10, 50, 50, 120, 250])
        self.bridge.send("context %d 1 %d" % (self.epoch, self.delay))
        self.bridge.epoch = self.epoch
        self.quiet_until = now() + COOL_DOWN

    def during_end_of_input(self, _):
        time.sleep(self.rng.uniform(0, 1.5))
        self.bridge.close_input()
        code = self.bridge.wait_exit()
        if code != 0:
            self.fail("the bridge exited with %d at the end of its input" % code)

    def press_shift(self):
        """Shift down on the game's window (it has the X focus), once Wine has taken the press."""
        pressed = self.game.mark()
        self.session.xdotool("keydown", "shift")
        try:
            self.game.expect(lambda l: l.text.startswith("key down 42 "), start=pressed)
        except AssertionError:
            self.session.xdotool("keyup", "shift")
            raise

    def send_junk(self):
        for line in junk_lines(self.rng):
            self.bridge.send(line)
