#!/usr/bin/env bash
# The main job: builds everything, then shows the bridge at work against the stand-in game on a
# private virtual display and Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec python3 scripts/demo.py
