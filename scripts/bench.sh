#!/usr/bin/env bash
# Figures of wine_bridge.exe under Wine (start-up, state lines, capture and hotkey latency, clipboard
# loan cost, idle CPU and memory): builds both sides with scripts/setup.sh, then runs bench/bench.py on
# its own virtual display and Wine prefix (build/bench/wineprefix). The table goes to stdout, build
# output and progress to stderr. Arguments go to bench.py: --quick for a smaller n.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
exec python3 bench/bench.py "$@"
