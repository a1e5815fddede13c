"""Figures of wine_bridge.exe under Wine, against the stand-in game: start-up, state-line spacing,
passive and active capture latency, hotkey latency, the cost of a 64 MiB clipboard loan, and the
bridge's idle CPU and memory.

It prints figures (median, p90, min, max, n) and never passes or fails on timing. One session of
tests/e2e/harness.py (its own Xvfb and "wineserver -f -p", ended by PID) runs on a private prefix,
build/bench/wineprefix by default, so that it never meets the end-to-end tests' wineserver. The
executables are copied to a temporary directory first, so a rebuild during the run changes nothing.
With --load N, N busy processes (tests/e2e/busy_load.py) spin for the whole run, as a game's threads
keep every core busy, and are ended by PID after it; the header says so.

The steps are in steps.py (costs.py, latency.py, loans.py), the readings of /proc and the X key
presses in readings.py, the table and the chart in report.py; this file runs them and prints.

Times are arrival times of lines on the host side (CLOCK_MONOTONIC_RAW, which is also the clock of
Wine's QueryPerformanceCounter and so of the tools' log stamps). p90 is the nearest-rank value.

usage: bench.py [--quick] [--load N] [--prefix DIR] [--windows-dir DIR] [--out DIR]
environment: BRIDGE_WINDOWS_DIR (default build/windows), BENCH_WINE_PREFIX (default build/bench/wineprefix)
"""

import argparse
import datetime
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import traceback

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from report import Table, draw_chart, progress  # noqa: E402 (after the line above)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
E2E = os.path.join(ROOT, "tests", "e2e")
EXES = ("wine_bridge.exe", os.path.join("tools", "StarCitizen.exe"), os.path.join("tools", "clipboard_tool.exe"),
        os.path.join("bench", "floor_probe.exe"), os.path.join("bench", "start_probe.exe"))

# rounds: how many times the bridge and its floor probe take turns in the idle and passive figures
FULL = dict(starts=10, spacing_s=5.0, idle_s=12.0, passive=30, active=15, hotkeys=15, loans=5, rounds=6)
QUICK = dict(starts=4, spacing_s=2.5, idle_s=4.0, passive=10, active=5, hotkeys=5, loans=2, rounds=2)

harness = None  # tests/e2e/harness.py, imported once the executables' directory is known


def run_step(table, name, step):
    progress("measuring: %s" % name)
    try:
        step()
    except Exception as error:  # one step's trouble must not cost the others' figures
        table.note("%s: not measured fully: %s" % (name, str(error).splitlines()[0][:300]))
        traceback.print_exc(file=sys.stderr)


def header(windows_dir, exe_dir, prefix, quick, load):
    bridge = os.path.join(exe_dir, "wine_bridge.exe")
    with open(bridge, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    built = datetime.datetime.fromtimestamp(os.path.getmtime(os.path.join(windows_dir, "wine_bridge.exe")))
    git = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%h %s"], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL).stdout.strip()
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"], capture_output=True,
                           text=True, stdin=subprocess.DEVNULL).stdout.split("\n")
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=harness.wine_env(prefix)).stdout.strip()
    with open("/proc/loadavg") as f:
        average = " ".join(f.read().split()[:3])
    return "\n".join([
        "wine_bridge.exe benchmark (%s run), %s" % ("quick" if quick else "full",
                                                     datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")),
        "exe: %s (sha256 %s, built %s)" % (bridge_path_label(windows_dir), digest, built.strftime("%H:%M:%S")),
        "source tree: %s%s" % (git, "; src/ has uncommitted changes" if any(dirty) else ""),
        "Wine: %s" % wine,
        "%d CPUs; load average at start %s; prefix %s" % (os.cpu_count(), average, prefix),
        "load: %s for the whole run%s" % (load.describe(), " (spinning at normal priority, as a game's threads)"
                                          if load.count else ""),
    ])


def bridge_path_label(windows_dir):
    path = os.path.join(windows_dir, "wine_bridge.exe")
    return os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path


def copy_executables(windows_dir):
    exe_dir = tempfile.mkdtemp(prefix="bridge-bench-")
    os.makedirs(os.path.join(exe_dir, "tools"))
    os.makedirs(os.path.join(exe_dir, "bench"))
    for exe in EXES:
        source = os.path.join(windows_dir, exe)
        if not os.path.isfile(source):
            shutil.rmtree(exe_dir)
            raise SystemExit("%s is missing: build the windows preset first (scripts/setup.sh)" % source)
        shutil.copy2(source, os.path.join(exe_dir, exe))
    return exe_dir


def write_outputs(directory, title, table, bench):
    """The table as Markdown and the chart, in directory."""
    os.makedirs(directory, exist_ok=True)
    markdown = os.path.join(directory, "bench.md")
    with open(markdown, "w") as f:
        f.write(table.markdown(title.split("\n")))
    wine = re.search(r"wine-[0-9][^;,\n]*", title)  # the version that the header names
    chart, trouble = draw_chart(directory, "wine_bridge.exe and its floors; %s" % (wine.group(0) if wine else ""),
                                *bench.chart["passive"], bench.chart["macro"])
    progress("wrote %s" % markdown)
    progress("wrote %s" % chart if chart else "no chart: %s" % trouble)


def end_on_signal(number, _frame):
    raise SystemExit(128 + number)


def main():
    global harness
    parser = argparse.ArgumentParser(description="Figures of wine_bridge.exe under Wine (never pass/fail).")
    parser.add_argument("--quick", action="store_true", help="smaller n and shorter windows")
    parser.add_argument("--load", type=int, default=0, metavar="N",
                        help="busy processes spinning for the whole run (one per core saturates the machine)")
    parser.add_argument("--prefix", default=os.environ.get("BENCH_WINE_PREFIX")
                        or os.path.join(ROOT, "build", "bench", "wineprefix"))
    parser.add_argument("--windows-dir", default=os.environ.get("BRIDGE_WINDOWS_DIR")
                        or os.path.join(ROOT, "build", "windows"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench"),
                        help="where bench.md and bench.svg go (default build/bench)")
    args = parser.parse_args()
    if args.load < 0:
        parser.error("--load must be 0 or more")
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, end_on_signal)
    prefix = os.path.abspath(args.prefix)
    windows_dir = os.path.abspath(args.windows_dir)

    exe_dir = copy_executables(windows_dir)
    session = load = None
    try:
        os.environ["BRIDGE_WINDOWS_DIR"] = exe_dir
        sys.path.insert(0, E2E)
        import busy_load
        import harness as imported
        import steps
        harness = imported

        progress("preparing the prefix %s (about 10 s the first time)" % prefix)
        if harness.prepare(prefix) != 0:
            raise SystemExit("could not prepare the Wine prefix %s" % prefix)
        load = busy_load.Load(args.load).start()
        title = header(windows_dir, exe_dir, prefix, args.quick, load)
        table = Table()
        session = harness.Session(prefix).start()
        bench = steps.Bench(session, QUICK if args.quick else FULL, table)
        bench.start_tools()
        run_step(table, "start-up", bench.startup)
        run_step(table, "bridge with the game in front", bench.start_bridge)
        if bench.bridge is not None:
            measurements = [("state line spacing", bench.spacing), ("idle cost", bench.idle),
                     ("passive capture", bench.passive), ("active, delay 50", lambda: bench.active(50)),
                     ("active, delay 10", lambda: bench.active(10)), ("hotkeys", bench.hotkeys),
                     ("clipboard loan", bench.loans), ("memory after a read", bench.memory_after_read),
                     ("memory", bench.memory_rows), ("without the bridge", bench.without_bridge)]
            for name, step in measurements:
                run_step(table, name, step)
        if load.running() != load.count:
            table.note("only %d of the %s spun to the end" % (load.running(), load.describe()))
        with open("/proc/loadavg") as f:
            average = " ".join(f.read().split()[:3])
        title += "\nload average at end %s. Figures only: nothing here passes or fails." % average
        print(title)
        print()
        print(table.render())
        print()
        print("Goals (reported, never failed):")
        for text in table.goals():
            print("- " + text)
        if table.notes:
            print()
            print("Notes:")
            for text in table.notes:
                print("- " + text)
        write_outputs(os.path.abspath(args.out), title, table, bench)
        return 0
    finally:
        if session is not None:
            session.close()
        if load is not None:
            load.stop()
        shutil.rmtree(exe_dir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
