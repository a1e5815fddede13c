#!/usr/bin/env bash
# GNOME Shell 43 (Debian 12's; GNOME 44 of Ubuntu 23.04 takes the same extension format), for the
# tests of its witness through the legacy build of our extension: from a Debian 12 root beside the
# machine's own system, with no change to it (scripts/debian_root.sh), as scripts/gnome48.sh makes
# GNOME Shell 48's. The tests run gnome-shell headless inside, with a system bus and a session bus
# of their own; bridge-host and the Wine programs run outside.
#
#   scripts/gnome43.sh root        builds the root once, if it is missing (as root; needs the network)
#   scripts/gnome43.sh run CMD...  runs CMD inside the root, as root, in the current directory
#
# The root is build/gnome43-root (or $BRIDGE_GNOME43_ROOT).
set -euo pipefail
source "$(dirname "$0")/debian_root.sh"

NAME=gnome43
ROOT=${BRIDGE_GNOME43_ROOT:-$SOURCE/build/gnome43-root}
SUITE=bookworm
COMPONENTS=main
PACKAGES="gnome-shell xwayland dbus-daemon dbus-user-session libglib2.0-bin x11-xserver-utils procps"
CHECK=usr/bin/gnome-shell
APT=apt-get
debian_root_main "$@"
