# The Debian roots that the tests run programs from, beside the machine's own system and with no
# change to it: sourced by scripts/wine10.sh (Debian 13, Wine 10.0) and scripts/gamescope.sh (sid,
# gamescope). The script that sources it sets NAME (its messages' prefix), ROOT, SUITE, COMPONENTS,
# PACKAGES, CHECK (a file that only a complete root has) and APT (apt-get and its options), then
# calls debian_root_main "$@".
#
# A root is built under a temporary name and renamed only when complete, so an interrupted build is
# never taken for a good root. Every mount (the root's /dev, /proc, /sys, the machine's /tmp and the
# source tree at its own path) is made in a private mount namespace that ends with the command:
# nothing stays mounted, and the root can be deleted like any directory once no command runs in it.
# /tmp is the machine's own so that an X server inside (Xvfb, gamescope's XWayland) picks a display
# number that none outside holds, and its socket in /tmp/.X11-unix is the machine's programs' too.

SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

fail() {
    echo "$NAME: $*" >&2
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
        [ -e "$ROOT/$CHECK" ] || fail "$ROOT exists but has no $CHECK: delete it to rebuild"
        return 0
    fi
    [ "$(id -u)" = 0 ] || fail "building the Debian $SUITE root needs root (debootstrap, chroot)"
    command -v debootstrap >/dev/null || fail "debootstrap is missing: run scripts/setup.sh"
    mkdir -p "$(dirname "$ROOT")"
    exec 9>"$ROOT.lock"
    flock 9  # one build at a time; a second run waits, then finds the root
    [ -e "$ROOT" ] && return 0

    local partial="$ROOT.partial" log="$ROOT.log"
    remove_partial "$partial"
    echo "$NAME: building the Debian $SUITE root in $ROOT (a few minutes; log $log)" >&2
    if ! unshare --mount --kill-child sh -c '
            set -e
            debootstrap --variant=minbase "$2" "$1"
            echo "deb http://deb.debian.org/debian $2 $3" >"$1/etc/apt/sources.list"
            mount --rbind /dev "$1/dev"
            mount -t proc proc "$1/proc"
            mount --rbind /sys "$1/sys"
            chroot "$1" sh -c "$5 update && DEBIAN_FRONTEND=noninteractive \
                $5 install -y --no-install-recommends $4 && $5 clean"
        ' sh "$partial" "$SUITE" "$COMPONENTS" "$PACKAGES" "$APT" >"$log" 2>&1; then
        remove_partial "$partial"
        fail "cannot build the Debian $SUITE root (no network to the Debian mirror?): see $log"
    fi
    [ -e "$partial/$CHECK" ] || fail "the Debian $SUITE root has no $CHECK after its build: see $log"
    mv "$partial" "$ROOT"
}

run_in_root() {
    [ $# -gt 0 ] || fail "run needs a command"
    [ -e "$ROOT/$CHECK" ] || fail "no Debian $SUITE root in $ROOT: build it with $0 root"
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

debian_root_main() {
    case "${1:-}" in
        root) build_root ;;
        run) shift; run_in_root "$@" ;;
        *) fail "usage: $0 root | run CMD..." ;;
    esac
}
