#!/usr/bin/env bash
# Every test: the unit tests against our Win32 double, then the end-to-end tests under Wine on a
# private virtual display and Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
ctest --preset native "$@"
