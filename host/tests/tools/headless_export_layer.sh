#!/usr/bin/env bash
# Builds the tests' Vulkan layer for gamescope's headless backend (headless_export_layer.c) inside the
# gamescope root (scripts/gamescope.sh), against the Vulkan headers of the Vulkan that gamescope loads
# there, into DIR (default build/gamescope-layer) with its manifest. Then, inside the root:
#   VK_LAYER_PATH=DIR VK_INSTANCE_LAYERS=VK_LAYER_BRIDGE_headless_export gamescope --backend headless ...
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SOURCE=$(cd "$HERE/../../.." && pwd)
OUT=$(realpath -m "${1:-$SOURCE/build/gamescope-layer}")
case "$OUT" in "$SOURCE"/*) ;; *) echo "headless_export_layer: $OUT is not in $SOURCE, so not inside the root" >&2; exit 1 ;; esac
mkdir -p "$OUT"
"$SOURCE/scripts/gamescope.sh" run gcc -std=c11 -O2 -Wall -Wextra -Werror -fPIC -shared -fvisibility=hidden \
    -o "$OUT/libheadless_export_layer.so" "$HERE/headless_export_layer.c"
cp "$HERE/headless_export_layer.json" "$OUT/"
