#!/usr/bin/env bash
# gamescope, Valve's compositor that Steam puts around a game, for the tests: from a Debian sid root
# (Debian 12 has no gamescope) beside the machine's own system, with no change to it
# (scripts/debian_root.sh). It runs headless there, with no GPU and no DRM device, drawing with
# lavapipe, Mesa's Vulkan on the CPU; the tests' Vulkan layer (host/tests/tools/
# headless_export_layer.c, built inside by headless_export_layer.sh) lets its headless backend start.
#
#   scripts/gamescope.sh root        builds the root once, if it is missing (as root; needs the network)
#   scripts/gamescope.sh run CMD...  runs CMD inside the root, as root, in the current directory
#
# The root is build/gamescope-root (or $BRIDGE_GAMESCOPE_ROOT). gamescope is in sid's contrib, and
# in /usr/games. sid's Release file on the mirror may be past its Valid-Until date, so apt is told
# not to check it. gcc and the Vulkan headers build the layer inside, against the Vulkan that
# gamescope loads.
set -euo pipefail
source "$(dirname "$0")/debian_root.sh"

NAME=gamescope
ROOT=${BRIDGE_GAMESCOPE_ROOT:-$SOURCE/build/gamescope-root}
SUITE=sid
COMPONENTS="main contrib"
PACKAGES="gamescope mesa-vulkan-drivers xwayland xdotool x11-utils x11-xserver-utils libvulkan1 \
python3 procps gcc libc6-dev libvulkan-dev"
CHECK=usr/games/gamescope
APT="apt-get -o Acquire::Check-Valid-Until=false"
debian_root_main "$@"
