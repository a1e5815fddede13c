"""The soak's intermediary: x_intermediary (tests/e2e/tools), a program between Wine and X's
clipboard that owns CLIPBOARD again after every copy and serves the same UTF-8 text, as gamescope,
clipboard persisters and managers do. The soak runs it for stretches of acquisitions (soak_draws
plans them), re-serving at once or a drawn delay later. Wine imports each re-serve under its X
clipboard bridge, a few ms to hundreds of ms later (only once the clipboard's owner handles
messages), and drops an import that finds the clipboard open: what the clipboard lists is then
either the copy or its import. Meanwhile the soak (soak.Soak takes these methods from here):

- copies with retries, since a copy may find the clipboard held by Wine's import;
- lends a text, which the intermediary serves again as plain text (the soak's texts have no lone LF,
  so Wine's import lists them byte for byte as the copy did), or formats without text, which it
  leaves with their owner;
- dumps the clipboard only once it has settled: no re-serve and no change for QUIET_S;
- accepts, byte for byte, the newest content written; or the user's latest content where the
  newest write was the game's answer (a command served again late makes the bridge give the user's
  content back over it: nothing of the user's is lost); or an older text of the acquisition that
  the intermediary itself served again after the newest write (it read the text before that write).
  The command is never accepted, nor anything else. Wine's X bridge now and then lists such a text
  and renders none of its formats, for seconds: then X's own clipboard is read, and the acquisition
  counts as unrendered when X serves an accepted text, as lost when it serves anything else.
"""

import time

from harness import XIntermediary, escape, now, x_clipboard
from soak_draws import USER_COPIES, user_clipboard

QUIET_S = 1.5  # Wine imported each re-serve within a few hundred ms of it in our runs
SETTLE_LIMIT_S = 30.0
RETRY_LIMIT_S = 10.0
DELAYS_MS = (0, 0, 0, 50, 150, 400)  # a stretch's re-serve delay
TEXT_CHANCE = 0.75  # a stretch's user copies a text, else formats without text


class Stretches:
    x = None  # the intermediary while a stretch runs

    def stretch_step(self, extras):
        """Starts the intermediary at a stretch's first acquisition, stops it after its last."""
        if "intermediary" in extras and not self.x:
            delay = self.rng.choice(DELAYS_MS)
            self.x = XIntermediary.start(self.session, delay)
            self.stretches.append(delay)
            self.say("     intermediary from here on, serving every copy again %d ms later" % delay)
            self.settle()
        elif "intermediary" not in extras and self.x:
            self.say("     intermediary stopped")
            self.stop_intermediary()
            self.settle()  # its going may make Wine import "no owner" still

    def stop_intermediary(self):
        if self.x:
            self.x.stop()
            self.session.programs.remove(self.x)
            self.x = None

    def retrying(self, action, *args):
        """A tool's command, tried again while the clipboard is refused or busy (held by Wine's
        import, which waits for the clipboard's owner)."""
        deadline = now() + RETRY_LIMIT_S
        while True:
            try:
                return action(*args)
            except AssertionError as error:
                if ("refused" not in str(error) and "busy" not in str(error)) or now() > deadline:
                    raise
                time.sleep(0.05)

    def copy_text(self, program, text):
        """program copies text; the reply line (its time is the copy's)."""
        return self.retrying(program.copy, escape(text)) if self.x else program.copy(escape(text))

    def clipboard_moment(self):
        return self.retrying(self.tool.formats)[0], self.x.mark() if self.x else 0

    def settle(self):
        """Until neither a re-serve nor a change of the clipboard has come for QUIET_S."""
        deadline = now() + SETTLE_LIMIT_S
        moment = self.clipboard_moment()
        while True:
            time.sleep(QUIET_S)
            later = self.clipboard_moment()
            if later == moment:
                return
            if now() > deadline:
                raise AssertionError("the clipboard did not settle within %.0f s" % SETTLE_LIMIT_S)
            moment = later

    def stretch_clipboard(self):
        """The user's clipboard in a stretch, settled: (its text or None, its bytes)."""
        if self.rng.random() < TEXT_CHANCE:
            text = self.rng.choice(USER_COPIES)
            self.copy_text(self.tool, text)
            total = len(text.encode())
        else:
            groups, total = user_clipboard(self.rng, text_chance=0)
            text = None
            self.retrying(self.tool.fill, groups)
        self.settle()
        return text, total

    def stretch_accepted(self, before, writes, trigger_mark):
        """The clipboards accepted after an acquisition under the intermediary (see above), each as
        the dump's formats: the newest write's first; their texts in accepted_texts."""
        self.accepted_texts = []

        def content(text):
            if text is not None:
                self.accepted_texts.append(text)
            return self.references[text] if text is not None else before.formats
        newest = max(writes) if writes else (0.0, self.user_text)
        users = self.user_copy[1] if self.user_copy else self.user_text
        accepted = [content(newest[1])]
        if writes and newest[1] != users:
            accepted.append(content(users))
        served = [l for l in self.x.since(trigger_mark) if l.at > newest[0] and l.text.startswith("reserved ")]
        older = [text for _, text in writes] + [self.user_text]
        for text in older:
            if served and text is not None and str(len(text.encode())) == served[-1].text.split()[1]:
                accepted.append(content(text))
        return accepted

    def unrendered(self, dump, texts):
        """Whether Wine lists formats that it renders none of, while X serves one of texts."""
        if not self.x or not dump.renders_nothing():
            return False
        served = x_clipboard(self.session, "UTF8_STRING")
        return bool(served) and served.decode("utf-8", "replace") in texts
