#!/usr/bin/env bash
# Every test: the unit tests against our Win32 double, then the end-to-end tests under Wine on a
# private virtual display and Wine prefix, under the machine's Wine 8.0 (e2e_wine8_*) and again under
# Wine 10.0 from a Debian 13 root (e2e_wine10_*; scripts/wine10.sh builds it on the first run, which
# needs the network); then a short run of each fuzz target (scripts/fuzz.sh, about a minute each).
# Arguments go to ctest: -L wine8 or -L wine10 runs one Wine's tests only.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
ctest --preset native "$@"
scripts/fuzz.sh
