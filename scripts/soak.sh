#!/usr/bin/env bash
# A faulted soak of wine_bridge.exe under the machine's Wine: N acquisitions in a row (default 500)
# against the stand-in game, faults drawn from a seeded RNG (a random seed unless given; it is
# printed first), stretches of them under a program that serves every copy again through X
# (x_intermediary, from build/native/tests/e2e unless BRIDGE_E2E_TOOLS says otherwise), the user's
# clipboard checked byte for byte after each one, the bridge's memory and
# handles compared at the end with their values after warm-up. Builds both sides with
# scripts/setup.sh, then runs tests/e2e/soak.py on its own virtual display and Wine prefix
# (build/soak/wineprefix). With --load P, P busy processes (one per core, as a game's threads) spin
# for the length of the soak and are ended by PID after it. Its last line: "soak: N acquisitions with
# P busy processes, F faults, C clipboards compared (B bytes), L lines parsed, K lost"; it exits 1
# when anything was lost or failed.
#   scripts/soak.sh [--acquisitions N] [--seed S] [--load P] [--log FILE]
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: scripts/soak.sh [--acquisitions N] [--seed S] [--load P] [--log FILE]" >&2
    echo "  N: acquisitions, a whole number of at least 1 (default 500); S: the RNG's seed, a whole number" >&2
    echo "  P: busy processes for the length of the soak, a whole number (default 0; one per core loads it all)" >&2
    exit 2
}

args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --acquisitions|--seed|--load)
            [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || usage
            [ "$1" != --acquisitions ] || [ "$2" -ge 1 ] || usage
            args+=("$1" "$2")
            shift 2
            ;;
        --log)
            [ $# -ge 2 ] && [ -n "$2" ] || usage
            args+=("$1" "$(realpath -m "$2")")
            shift 2
            ;;
        *) usage ;;
    esac
done

scripts/setup.sh >&2
export BRIDGE_WINE_PREFIX=${BRIDGE_WINE_PREFIX:-$PWD/build/soak/wineprefix} PYTHONDONTWRITEBYTECODE=1
export BRIDGE_E2E_TOOLS=${BRIDGE_E2E_TOOLS:-$PWD/build/native/tests/e2e}
cd tests/e2e
exec python3 soak.py "${args[@]}"
