"""What the soak (soak.py) draws and checks, apart from running it: the plan of faults, the user's
clipboards, the game's invalid answers and the user's copies, bursts of junk host lines, and the
check that a line of the bridge is one JSON object with the keys of its kind."""

import json

from harness import escape

# The keys of each kind of line, in their order.
LINE_KEYS = {
    "bridge_ready": ["bridge_ready"],
    "native_state": ["native_state", "foreground", "hwnd", "pid", "busy", "epoch"],
    "native_action": ["native_action", "epoch"],
    "status": ["status", "epoch"],
    "error": ["error", "epoch"],
    "text": ["text", "wall_time", "latency_ms", "macro_ms", "epoch"],
}

# Faults of an acquisition (at most one) with their weights; "junk" and "passive" come on top, and
# "intermediary" for stretches of acquisitions (soak_intermediary.py).
FAULTS = {"late": 1, "never": 1, "invalid": 1, "front_lost": 1, "key_held": 1, "cancel": 1,
          "context": 1, "end_of_input": 0.25, "user_copy": 1, "clipboard_held": 1}
FAULT_CHANCE = 0.75
EXTRA_CHANCE = 0.15
STRETCH_CHANCE = 0.05  # an intermediary stretch begins at an acquisition outside one
STRETCH_LENGTH = (3, 8)

INVALID_ANSWERS = ["Coordinates: x:1,5 y:2 z:3", 'Coordinates: x:"1" y:2 z:3', "Coordinates: x:1\\ y:2",
                   "Coordinates: x:1 y:2 z:3 \u00e9", "coordinates: x:1 y:2 z:3", "Coordonnees: x:1"]
USER_COPIES = ["user's new copy", "Coordinates: x:9 y:9 z:9", "\u00e9t\u00e9 \u2014 copi\u00e9", "x" * 3000]
PASSIVE_TEXTS = ["Coordinates: x:%d.5 y:-%d z:7\r\nZone: Stanton" % (i, i) for i in range(16)]
MAX_FORMATS = 64  # a text counts four: itself, its locale and the two 8-bit texts that Wine derives

COMMAND_WORDS = (b"focus", b"context", b"bind", b"trigger", b"cancel")
NEAR_MISSES = [b"context 1 1 9", b"context 2 1 501", b"context 3 1", b"context", b"contexts 1 1 50",
               b"bind 4 0 0", b"bind 0 16 0", b"bind 0 0 256", b"bind -1 0 0", b"bind 0 0", b"binder 1 2 3",
               b" trigger", b"Trigger", b"TRIGGER", b"\ttrigger", b" cancel", b"Cancel", b"focus", b"focusx",
               b"focus x", b"", b"\r", b"{\"json\":true}", b"\x00trigger", b"\x00cancel", b"\x1a", b"\x1a\x1a\r"]


def junk_is_harmless(data):
    """Whether none of the pieces that the bridge's reader makes of data (lines cut every 255 bytes,
    counted with or without the CR of a CR LF) begins with a command word."""
    for form in (data, data.replace(b"\r\n", b"\n")):
        for line in form.split(b"\n"):
            for start in range(0, max(len(line), 1), 255):
                if line[start:start + 255].startswith(COMMAND_WORDS):
                    return False
    return True


def junk_lines(rng):
    """A burst of 1 to 40 lines that are no command: near misses and random bytes of any length."""
    alphabet = bytes(range(256)).replace(b"\n", b"")
    burst, size = [], rng.randint(1, 40)
    while len(burst) < size:
        if rng.random() < 0.3:
            line = rng.choice(NEAR_MISSES)
        else:
            line = bytes(rng.choice(alphabet) for _ in range(rng.choice([rng.randint(0, 40), rng.randint(200, 800)])))
        line += rng.choice([b"\n", b"\r\n"])
        if junk_is_harmless(line):
            burst.append(line)
    return burst


def user_clipboard(rng, text_chance=0.3):
    """clipboard_tool fill groups: 1 to 64 formats of at least 1 byte, 8 MiB at most in all
    (log-uniform), sometimes with a text; now and then an empty clipboard."""
    if rng.random() < 0.03:
        return "", 0
    text = rng.random() < text_chance
    formats = rng.randint(1, MAX_FORMATS - 4 * text)
    total = max(formats, int(2 ** rng.uniform(0, 23)))  # below 8 MiB
    cuts = sorted(rng.sample(range(1, total), formats - 1)) if formats > 1 else []
    sizes = [b - a for a, b in zip([0] + cuts, cuts + [total])]
    groups = " ".join("1x%d" % size for size in sizes)
    if text:
        groups += " text " + escape(rng.choice(USER_COPIES))
    return groups, total


def plan(rng, count):
    """The faults of every acquisition, drawn before anything else, so that a seed gives one plan;
    then the stretches of acquisitions under the intermediary."""
    faults = []
    for _ in range(count):
        fault = rng.choices(list(FAULTS), weights=list(FAULTS.values()))[0] if rng.random() < FAULT_CHANCE else None
        faults.append((fault, [e for e in ("junk", "passive") if rng.random() < EXTRA_CHANCE]))
    index = 0
    while index < count:
        if rng.random() < STRETCH_CHANCE:
            length = rng.randint(*STRETCH_LENGTH)
            for _, extras in faults[index:index + length]:
                extras.append("intermediary")
            index += length
        index += 1  # at least one acquisition without it between two stretches
    return faults


def check_line(line):
    """'' if the bridge's line is one JSON object with exactly the keys of its kind, in order."""
    if not line.raw.endswith(b"\r\n") or line.raw.count(b"\n") != 1:
        return "not one CR LF line"
    try:
        pairs = json.loads(line.raw.decode("utf-8"), object_pairs_hook=lambda p: p)
    except ValueError as error:
        return "no JSON: %s" % error
    if not isinstance(pairs, list) or not pairs:
        return "no JSON object"
    keys = [key for key, _ in pairs]
    if LINE_KEYS.get(keys[0]) != keys:
        return "keys %s" % keys
    return ""
