#!/usr/bin/env bash
# Wine 10.0, the second Wine we test on, from a Debian 13 root beside the machine's own Wine
# (Debian 12's 8.0), with no change to the machine's own system.
#
#   scripts/wine10.sh root        builds the root once, if it is missing (as root; needs the network)
#   scripts/wine10.sh run CMD...  runs CMD inside the root, as root, in the current directory
#
# The root is build/wine10-root (or $BRIDGE_WINE10_ROOT). It is built under a temporary name and
# renamed only when complete, so an interrupted build is never taken for a good root. Every mount
# (the root's /dev, /proc, /sys, the machine's /tmp and this source tree at its own path) is made
# in a private mount namespace that ends with the command: nothing stays mounted, and the root can
# be deleted like any directory once no command runs in it. /tmp is the machine's own so that the
# Xvfb of a run inside picks a display number that no Xvfb outside holds.
set -euo pipefail

SOURCE=$(cd "$(dirname "$0")/.." && pwd)
ROOT=${BRIDGE_WINE10_ROOT:-$SOURCE/build/wine10-root}
PACKAGES="wine wine64 xvfb xdotool xclip python3 procps git gnuplot-nox"

fail() {
    echo "wine10: $*" >&2
    exit 1
}

# Whether any mount of this namespace lies under the directory $1.
mounted_under() {
    local dir
    dir=$(realpath -m "$1")
    awk -v dir="$dir" '$5 == dir || index($5, dir "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mountinfo
}

# Deletes a leftover partial root, never across a mount point.
remove_partial() {
    [ -e "$1" ] || return 0
    mounted_under "$1" && fail "$1 has something mounted inside: leaving it alone (umount it first)"
    rm -rf --one-file-system "$1"
}

build_root() {
    if [ -e "$ROOT" ]; then
        [ -x "$ROOT/usr/bin/wine" ] || fail "$ROOT exists but is no Wine 10 root: delete it to rebuild"
        return 0
    fi
    [ "$(id -u)" = 0 ] || fail "building the Debian 13 root needs root (debootstrap, chroot)"
    command -v debootstrap >/dev/null || fail "debootstrap is missing: run scripts/setup.sh"
    mkdir -p "$(dirname "$ROOT")"
    exec 9>"$ROOT.lock"
    flock 9  # one build at a time; a second run waits, then finds the root
    [ -e "$ROOT" ] && return 0

    local partial="$ROOT.partial" log="$ROOT.log"
    remove_partial "$partial"
    echo "wine10: building the Debian 13 root with Wine 10.0 in $ROOT (about 2 minutes, 1.8 GB; log $log)" >&2
    if ! unshare --mount --kill-child sh -c '
            set -e
            debootstrap --variant=minbase trixie "$1"
            mount --rbind /dev "$1/dev"
            mount -t proc proc "$1/proc"
            mount --rbind /sys "$1/sys"
            chroot "$1" sh -c "apt-get update && DEBIAN_FRONTEND=noninteractive \
                apt-get install -y --no-install-recommends $2 && apt-get clean"
        ' sh "$partial" "$PACKAGES" >"$log" 2>&1; then
        remove_partial "$partial"
        fail "cannot build the Debian 13 root, so nothing runs under Wine 10.0 (no network to the Debian mirror?): see $log"
    fi
    [ -x "$partial/usr/bin/wine" ] || fail "the Debian 13 root has no wine after its build: see $log"
    mv "$partial" "$ROOT"
}

run_in_root() {
    [ $# -gt 0 ] || fail "run needs a command"
    [ -x "$ROOT/usr/bin/wine" ] || fail "no Wine 10 root in $ROOT: build it with scripts/wine10.sh root"
    # The source tree, and a worktree's git directory outside it, keep their own paths inside.
    local binds=("$SOURCE") common
    common=$(git -C "$SOURCE" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
    case "$common" in "" | "$SOURCE"/*) ;; *) binds+=("$common") ;; esac
    exec unshare --mount --kill-child sh -c '
        set -e
        root=$1 dir=$2 count=$3
        shift 3
        mount --rbind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --bind /tmp "$root/tmp"
        while [ "$count" -gt 0 ]; do
            mkdir -p "$root$1"
            mount --bind "$1" "$root$1"
            shift
            count=$((count - 1))
        done
        exec chroot "$root" sh -c "cd \"\$0\" && exec \"\$@\"" "$dir" "$@"
    ' sh "$ROOT" "$PWD" "${#binds[@]}" "${binds[@]}" "$@"
}

case "${1:-}" in
    root) build_root ;;
    run) shift; run_in_root "$@" ;;
    *) fail "usage: scripts/wine10.sh root | run CMD..." ;;
esac
