#!/usr/bin/env python3
"""Writes the seed inputs of both fuzz targets into this directory (run it after changing them).

host_input_fuzz: the reader's bytes from the front, the choices from the back, last byte first:
first the user's clipboard, then the world (bit 0: the host sends "selection" lines; bit 1: an
intermediary serves every copy again from the start, its delay in the bits above), then per turn an
event, its argument and the length of the next piece of input (0: another turn first).
coordinates_fuzz: one byte, 1 for the active path, then the block.
"""
import os

TIME, FOCUS, FRONT, GAME, USER, KEY, HOTKEY, FAILURE, INTERMEDIARY = range(9)
GAME_WINDOW, OTHER_WINDOW = 0, 2
X_OWNER_QUITS = 5  # a FAILURE
SELECTION_HOST = 1  # the world: the host sends "selection" lines
UTF8_TARGET, TEXT_PLAIN_TARGET = 1, 2


def from_x_gone():
    """The user's clipboard: imported from an X program that has gone (only the locale renders)."""
    return 8


def late(step):
    """The user's clipboard: formats rendered step * 62.5 ms late (step 0 to 24), by the X bridge when
    step is odd, else by a program of Wine."""
    return 9 + 10 * step


def delay_step(delay_ms):
    """The intermediary's delay as the world draws it: step * step * 1.2 ms."""
    return min(63, round((delay_ms / 1.2) ** 0.5))


def intermediary(delay_ms, target=0):
    """The argument of an INTERMEDIARY event that starts it: its delay, the X target it serves too."""
    return delay_step(delay_ms) | target << 6


def served_from_start(delay_ms):
    """The world: a host that sends "selection" lines and an intermediary from the start."""
    return SELECTION_HOST | 2 | delay_step(delay_ms) << 2


def host_input(user, turns, world=SELECTION_HOST):
    """turns: (event, argument, next piece of input as bytes)."""
    stream, choices = b"", [user, world]
    for event, argument, piece in turns:
        choices += [event, argument, len(piece)]
        stream += piece
    return stream + bytes(reversed(choices))


def typed(*lines):
    """Each host line as its own piece, with a few milliseconds between them."""
    return [(TIME, 1, line) for line in lines]


SEEDS = {
    "acquisition": host_input(1, [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"")]
                              + typed(b"context 7 1 10\n", b"bind 0 2 80\n", b"trigger\n")
                              + [(TIME, 2, b""), (TIME, 3, b""), (TIME, 3, b""), (GAME, 1, b""),
                                 (TIME, 40, b"focus 1\r\ncancel\n")]),
    "no_answer_then_passive": host_input(2, [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"context -1 1 20\n"),
                                             (TIME, 1, b"trigger\n"), (TIME, 2, b""), (TIME, 6, b""),
                                             (TIME, 6, b""), (TIME, 250, b""), (TIME, 255, b""), (USER, 1, b""),
                                             (TIME, 255, b""), (TIME, 255, b""), (GAME, 0, b""), (TIME, 9, b"")]),
    "user_copies_mid_way": host_input(2, [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"context 5 1 20\n"),
                                          (TIME, 1, b"trigger\n"), (TIME, 2, b""), (USER, 7, b""),
                                          (TIME, 10, b""), (GAME, 0, b""), (TIME, 200, b"")]),
    "context_mid_way_and_hotkeys": host_input(1, [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"context 2 1 500\n"),
                                                  (HOTKEY, 0, b"trigger now\n"), (KEY, 6, b""), (TIME, 50, b""),
                                                  (KEY, 6, b""), (TIME, 2, b""), (HOTKEY, 1, b"context 3 1 10\n"),
                                                  (TIME, 1, b"bind 3 15 255\n"), (TIME, 1, b"")]),
    "failures": host_input(1, [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"context 4 1 10\n"),
                               (FAILURE, 0, b"trigger\n"), (TIME, 2, b""), (FAILURE, 2, b"trigger\n"),
                               (TIME, 2, b""), (FAILURE, 1, b"trigger\n"), (TIME, 2, b""), (TIME, 3, b""),
                               (FRONT, OTHER_WINDOW, b""), (TIME, 3, b"")]),
    "x_owner_gone": host_input(from_x_gone(), [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"")]
                               + typed(b"context 8 1 10\n", b"selection 0\n", b"trigger\n")
                               + [(TIME, 2, b""), (TIME, 3, b""), (TIME, 3, b"cancel\n"), (TIME, 2, b""),
                                  (TIME, 1, b"trigger\n"), (TIME, 2, b""), (TIME, 3, b"")]),
    "late_formats": host_input(late(3), [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"")]
                               + typed(b"context 9 1 10\n", b"selection 1\n", b"trigger\n")
                               + [(TIME, 25, b""), (TIME, 25, b""), (TIME, 25, b""), (TIME, 25, b""),
                                  (TIME, 25, b""), (TIME, 2, b""), (TIME, 3, b"cancel\n"), (TIME, 1, b"")]),
    "stale_report_then_x_owner_quits": host_input(from_x_gone(), [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"")]
                                                  + typed(b"context 10 1 10\n", b"selection 0\n")
                                                  + [(USER, late(23), b"trigger\n"), (TIME, 50, b""),
                                                     (FAILURE, X_OWNER_QUITS, b"selection 0\n"), (TIME, 1, b""),
                                                     (TIME, 2, b""), (TIME, 3, b"cancel\n"), (TIME, 1, b"")]),
    # Under an intermediary: the command served again at once, the paste and the game's answer.
    "served_again": host_input(1, [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"")]
                               + typed(b"context 11 1 10\n", b"trigger\n")
                               + [(TIME, 2, b""), (TIME, 3, b""), (TIME, 3, b""), (TIME, 5, b""), (GAME, 0, b""),
                                  (TIME, 40, b""), (TIME, 250, b"")], served_from_start(0)),
    # The command served again 600 ms later, after the game has answered: the user's content goes back.
    "served_late": host_input(2, [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"")]
                              + typed(b"context 12 1 10\n", b"trigger\n")
                              + [(TIME, 2, b""), (TIME, 3, b""), (TIME, 3, b""), (GAME, 0, b""), (TIME, 100, b""),
                                 (TIME, 250, b""), (TIME, 250, b"")], served_from_start(600)),
    # An intermediary with a UTF-8 target of its own starts mid-way, then quits while it holds the
    # user's text; the host, which sends no "selection" lines, triggers again.
    "intermediary_comes_and_goes": host_input(1, [(FOCUS, 1, b""), (FRONT, GAME_WINDOW, b"context 13 1 10\n"),
                                                  (INTERMEDIARY, intermediary(150, UTF8_TARGET), b"trigger\n"),
                                                  (TIME, 50, b""), (TIME, 3, b""), (TIME, 3, b""), (TIME, 250, b""),
                                                  (INTERMEDIARY, 0, b"selection 1\ntrigger\n"), (TIME, 2, b""),
                                                  (TIME, 3, b""), (TIME, 250, b"cancel\n"), (TIME, 1, b"")], 0),
    "junk_lines": host_input(0, [(TIME, 0, b"\x00\x01\xff focus\r\n"), (TIME, 0, b"x" * 200),
                                 (TIME, 0, b"y" * 100 + b"context 1 1 50\n"), (TIME, 0, b"focus 99999999999\n"),
                                 (TIME, 0, b"bind -1 0 0\ncontext 1 1\n\r\n\n"), (TIME, 0, b"cance"),
                                 (TIME, 0, b"l\n\x1a\ntrigger")]),
}

COORDINATES = {
    "passive": b"\0" + "Coordinates: x:1 y:2 z:3\0".encode("utf-16-le"),
    "active_escaped": b"\1" + "Coordinates:\r\nx:1\ty:-2.5 z:+3\0".encode("utf-16-le"),
    "lower_case_prefix": b"\0" + "coordinates: x:1\0".encode("utf-16-le"),
    "unterminated": b"\1" + "Coordinates: x:1".encode("utf-16-le"),
    "odd_size": b"\0" + "Coordinates:\0".encode("utf-16-le") + b"\x7f",
    "longest": b"\1" + ("Coordinates:" + "9" * 4082 + "\0").encode("utf-16-le") + b"\x7f",
}

here = os.path.dirname(os.path.abspath(__file__))
for target, seeds in (("host_input_fuzz", SEEDS), ("coordinates_fuzz", COORDINATES)):
    for name, data in seeds.items():
        with open(os.path.join(here, target, name), "wb") as seed:
            seed.write(data)
