#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12, as root), then builds both sides:
# build/windows (wine_bridge.exe and its tools, cross-built) and build/native (bridge-host and the
# tests). The fuzz targets are built by scripts/fuzz.sh (build/fuzz), the Debian roots (the second
# Wine, GNOME Shell 48 and 43, KWin 6, gamescope) by the tests that need them (scripts/*.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake ninja-build g++ python3 libgtest-dev libgmock-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    wine wine64 xvfb xdotool xclip
    # the Debian roots: Wine 10.0, GNOME Shell 48 and 43, KWin 6, gamescope (scripts/wine10.sh, gnome48.sh, gnome43.sh, kwin6.sh, gamescope.sh)
    debootstrap
    bubblewrap  # the containers that bridge-host joins in its tests, made as Flatpak and Steam make them
    gnuplot-nox  # the benchmark's chart
    pkg-config libxcb1-dev libxcb-ewmh-dev libxcb-icccm4-dev nlohmann-json3-dev libcli11-dev dpkg-dev
    libxcb-res0-dev  # X-Resource: the X windows of the game's Wine desktop process, which bridge-host wakes
    libwayland-dev  # libwayland-client and wayland-scanner: the wlroots compositors' focus witness
    libsystemd-dev  # sd-bus: KWin's and GNOME Shell's focus witnesses
    libglib2.0-bin  # gsettings, which bridge-host runs to turn its GNOME Shell extension on
    openbox x11-utils  # bridge-host's libraries; a window manager and xprop for its tests
    systemd  # systemd-analyze, which checks bridge-host's user unit
    sway xwayland foot x11-xserver-utils  # the Wayland desktop of its tests: compositor, XWayland, a native window, xhost
    kwin-wayland dbus-daemon qmlscene qtwayland5  # KWin's, with a session bus of its own and a native Qt window
    libxkbcommon-dev xkb-data  # the keymap of the tests' virtual keyboard under sway
    wl-clipboard  # a Wayland program's copy and paste (wl-copy, wl-paste) beside the tests' clipboard persister
    clang libclang-rt-14-dev  # the fuzz targets (scripts/fuzz.sh): libFuzzer and the sanitizers' runtimes
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Other installs may hold dpkg's lock for a while: wait for it rather than fail.
    apt-get -o DPkg::Lock::Timeout=900 update -qq
    apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset native >/dev/null
cmake --build --preset native
