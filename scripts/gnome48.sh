#!/usr/bin/env bash
# GNOME Shell 48 (GNOME on Wayland: Debian, Ubuntu, Fedora Workstation), for the tests of its witness
# (an extension of ours): from a Debian 13 root beside the machine's own system, with no change to it
# (scripts/debian_root.sh). The tests run gnome-shell headless inside, with a system bus and a
# session bus of their own; bridge-host and the Wine programs run outside.
#
#   scripts/gnome48.sh root        builds the root once, if it is missing (as root; needs the network)
#   scripts/gnome48.sh run CMD...  runs CMD inside the root, as root, in the current directory
#
# The root is build/gnome48-root (or $BRIDGE_GNOME48_ROOT).
set -euo pipefail
source "$(dirname "$0")/debian_root.sh"

NAME=gnome48
ROOT=${BRIDGE_GNOME48_ROOT:-$SOURCE/build/gnome48-root}
SUITE=trixie
COMPONENTS=main
PACKAGES="gnome-shell xwayland dbus-daemon dbus-user-session libglib2.0-bin x11-xserver-utils procps"
CHECK=usr/bin/gnome-shell
APT=apt-get
debian_root_main "$@"
