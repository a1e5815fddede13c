#!/usr/bin/env bash
# Wine 10.0, the second Wine we test on, from a Debian 13 root beside the machine's own Wine
# (Debian 12's 8.0), with no change to the machine's own system (scripts/debian_root.sh).
#
#   scripts/wine10.sh root        builds the root once, if it is missing (as root; needs the network)
#   scripts/wine10.sh run CMD...  runs CMD inside the root, as root, in the current directory
#
# The root is build/wine10-root (or $BRIDGE_WINE10_ROOT), about 1.8 GB.
set -euo pipefail
source "$(dirname "$0")/debian_root.sh"

NAME=wine10
ROOT=${BRIDGE_WINE10_ROOT:-$SOURCE/build/wine10-root}
SUITE=trixie
COMPONENTS=main
PACKAGES="wine wine64 xvfb xdotool xclip python3 procps git gnuplot-nox"
CHECK=usr/bin/wine
APT=apt-get
debian_root_main "$@"
