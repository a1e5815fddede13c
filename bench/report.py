"""The benchmark's table and chart.

Rows of figures stand under section headings. A row may have a floor: what the platform alone takes
for the same work, measured in the same run by a probe of ours (or set by fixed waits), and then the
ratio of the row's median to it. The table is rendered as text and as Markdown, followed by the
goals, which are reported and never fail: every ratio at most 1.2, macro_ms within 15 ms of its
floor. The chart (gnuplot, chart.gp) shows the distributions of macro_ms and of the passive latency
beside their floors.
"""

import math
import os
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RATIO_GOAL = 1.2
MARGIN_GOAL_MS = 15.0
HEAD = ("figure", "unit", "median", "p90", "min", "max", "n", "floor", "ratio", "")


def progress(text):
    print(text, file=sys.stderr, flush=True)


def fmt(value):
    if isinstance(value, int):
        return str(value)
    if abs(value) >= 100:
        return "%.1f" % value
    return "%.2f" % value


def median(values):
    return statistics.median(values) if values else None


class Table:
    """Rows of figures under section headings, and notes on anything odd seen on the way."""

    def __init__(self):
        self.rows = []
        self.notes = []

    def section(self, title):
        self.rows.append({"section": title})

    def series(self, label, unit, values, note="", floor=None, margin_goal=False):
        """A distribution. floor: a number, or None; margin_goal: the median must also stay within
        MARGIN_GOAL_MS of the floor."""
        self.rows.append(dict(label=label, unit=unit, values=list(values), note=note, floor=floor,
                              margin_goal=margin_goal))

    def single(self, label, unit, value, note="", floor=None):
        self.rows.append(dict(label=label, unit=unit, value=value, note=note, floor=floor, margin_goal=False))

    def note(self, text):
        self.notes.append(text)
        progress("  note: " + text)

    @staticmethod
    def center(row):
        return median(row["values"]) if "values" in row else row["value"]

    @staticmethod
    def ratio(row):
        center, floor = Table.center(row), row["floor"]
        if center is None or not floor or floor <= 0:
            return None
        return center / floor

    def cells(self, row):
        if "values" in row:
            s = sorted(row["values"])
            if s:
                stats = (fmt(statistics.median(s)), fmt(s[max(0, math.ceil(0.9 * len(s)) - 1)]), fmt(s[0]),
                         fmt(s[-1]), str(len(s)))
            else:
                stats = ("-", "-", "-", "-", "0")
        else:
            stats = (fmt(row["value"]) if row["value"] is not None else "-", "", "", "", "1")
        ratio = self.ratio(row)
        floor = fmt(row["floor"]) if row["floor"] is not None else ""
        return (row["label"], row["unit"]) + stats + (floor, "%.2f" % ratio if ratio is not None else "",
                                                      row["note"])

    def render(self):
        body = [self.cells(row) if "section" not in row else row for row in self.rows]
        figures = [HEAD] + [b for b in body if not isinstance(b, dict)]
        widths = [max(len(cells[i]) for cells in figures) for i in range(9)]
        lines = [text_line(HEAD, widths), text_line(tuple("-" * w for w in widths) + ("",), widths)]
        for cells in body:
            lines.append("[%s]" % cells["section"] if isinstance(cells, dict) else text_line(cells, widths))
        return "\n".join(lines)

    def markdown(self, title_lines):
        lines = ["# " + title_lines[0], ""] + ["- " + line for line in title_lines[1:]] + [""]
        lines += ["| " + " | ".join(HEAD[:9] + ("note",)) + " |", "|" + "---|" * 2 + "---:|" * 7 + "---|"]
        for row in self.rows:
            if "section" in row:
                lines.append("| **%s** |%s" % (row["section"], " |" * 9))
            else:
                lines.append("| " + " | ".join(c.replace("|", "\\|") for c in self.cells(row)) + " |")
        lines += ["", "## Goals (reported, never failed)", ""] + ["- " + g for g in self.goals()]
        if self.notes:
            lines += ["", "## Notes", ""] + ["- " + n for n in self.notes]
        return "\n".join(lines) + "\n"

    def goals(self):
        """One line per row with a floor: its ratio against RATIO_GOAL, and the margin where asked."""
        out, section = [], ""
        for row in self.rows:
            if "section" in row:
                section = row["section"].split(" (")[0].split(";")[0]
                continue
            ratio = self.ratio(row)
            if ratio is None:
                continue
            verdict = "met" if ratio <= RATIO_GOAL else "ABOVE"
            text = "%s, %s: ratio %.2f (goal <= %.1f) %s" % (section, row["label"].strip(), ratio, RATIO_GOAL,
                                                              verdict)
            if row["margin_goal"]:
                margin = self.center(row) - row["floor"]
                text += "; median - floor %+.1f ms (goal <= %.0f) %s" % (
                    margin, MARGIN_GOAL_MS, "met" if margin <= MARGIN_GOAL_MS else "ABOVE")
            out.append(text)
        return out


def text_line(cells, widths):
    left = [cells[0].ljust(widths[0]), cells[1].ljust(widths[1])]
    right = [cells[i].rjust(widths[i]) for i in range(2, 9)]
    return ("  ".join(left + right) + ("  " + cells[9] if cells[9] else "")).rstrip()


def write_points(path, values, x):
    """One point per line, "x value", with a small fixed spread in x so that equal values stay visible."""
    with open(path, "w") as f:
        for i, value in enumerate(values):
            f.write("%.3f %.3f\n" % (x + 0.05 * ((i * 7) % 9 - 4), value))


def draw_chart(directory, title, passive, passive_floor, macro):
    """Draws directory/bench.svg with gnuplot: passive latency of the bridge and of the probe, and
    macro_ms at two context delays ({delay: (values, floor)}, both measured) against their floors.
    Returns (path, None), or (None, the reason)."""
    if not shutil.which("gnuplot"):
        return None, "gnuplot not found (scripts/setup.sh installs gnuplot-nox)"
    if not passive or not passive_floor or len(macro) < 2 or not all(v and f for v, f in macro.values()):
        return None, "a distribution or floor of the chart was not measured"
    data = os.path.join(directory, "chart")
    os.makedirs(data, exist_ok=True)
    write_points(os.path.join(data, "passive_bridge.dat"), passive, 1)
    write_points(os.path.join(data, "passive_floor.dat"), passive_floor, 2)
    settings = []
    for i, delay in enumerate(sorted(macro, reverse=True)[:2], 1):
        values, floor = macro[delay]
        write_points(os.path.join(data, "macro_%d.dat" % i), values, 1)
        low = min([floor] + values) - 5
        high = max([floor + MARGIN_GOAL_MS] + values) + 5
        settings += ["delay%d=%d" % (i, delay), "floor%d=%.3f" % (i, floor), "low%d=%.1f" % (i, low),
                     "high%d=%.1f" % (i, high)]
    svg = os.path.join(directory, "bench.svg")
    settings = "; ".join(['data="%s"' % data, 'out="%s"' % svg, 'heading="%s"' % title.replace('"', "'"),
                          "margin=%.1f" % MARGIN_GOAL_MS] + settings)
    result = subprocess.run(["gnuplot", "-e", settings, os.path.join(HERE, "chart.gp")], capture_output=True,
                            text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        return None, "gnuplot failed: %s" % result.stderr.strip()[-300:]
    return svg, None
