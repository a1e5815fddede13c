#!/usr/bin/env bash
# KWin 6 (KDE Plasma 6's compositor: SteamOS's desktop mode, Bazzite, Fedora KDE, Kubuntu), for the
# tests beside KWin 5.27 of Debian 12: from a Debian 13 root beside the machine's own system, with no
# change to it (scripts/debian_root.sh). The tests run kwin_wayland and its XWayland inside; the
# session bus, bridge-host and the tests' Wayland window run outside.
#
#   scripts/kwin6.sh root        builds the root once, if it is missing (as root; needs the network)
#   scripts/kwin6.sh run CMD...  runs CMD inside the root, as root, in the current directory
#
# The root is build/kwin6-root (or $BRIDGE_KWIN6_ROOT).
set -euo pipefail
source "$(dirname "$0")/debian_root.sh"

NAME=kwin6
ROOT=${BRIDGE_KWIN6_ROOT:-$SOURCE/build/kwin6-root}
SUITE=trixie
COMPONENTS=main
PACKAGES="kwin-wayland xwayland x11-xserver-utils procps"
CHECK=usr/bin/kwin_wayland
APT=apt-get
debian_root_main "$@"
