#!/usr/bin/env bash
# Figures of wine_bridge.exe under Wine (start-up, state lines, capture and hotkey latency, clipboard
# loan cost, idle CPU and memory): builds both sides with scripts/setup.sh, then runs bench/bench.py on
# its own virtual display and Wine prefix. The table goes to stdout, build output and progress to
# stderr.
#   scripts/bench.sh [--wine 8|10] [--quick] [--load N]
# --wine 8 (the default) is the machine's own Wine, prefix build/bench/wineprefix; --wine 10 is Wine
# 10.0 from the Debian 13 root of the tests (scripts/wine10.sh, built if missing), prefix
# build/bench/wineprefix-wine10. Other arguments go to bench.py: --quick for a smaller n, --load N for
# N busy processes spinning for the whole run (ended by PID after it; one per core saturates it).
set -euo pipefail
cd "$(dirname "$0")/.."
wine=8
if [ "${1:-}" = --wine ]; then
    wine=${2:-}
    shift 2 || true
fi
if [ "$wine" != 8 ] && [ "$wine" != 10 ]; then
    echo "bench.sh: --wine takes 8 (the machine's Wine) or 10 (Wine 10.0 from a Debian 13 root)" >&2
    exit 2
fi
scripts/setup.sh >&2
if [ "$wine" = 8 ]; then
    exec python3 bench/bench.py "$@"
fi
scripts/wine10.sh root
export BENCH_WINE_PREFIX=${BENCH_WINE_PREFIX:-$PWD/build/bench/wineprefix-wine10} BRIDGE_WINE_MAJOR=10
exec scripts/wine10.sh run python3 bench/bench.py "$@"
