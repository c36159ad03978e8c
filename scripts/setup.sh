#!/bin/sh
# Installs every Debian package that building, testing and running VornPlayer need,
# and only what is missing. Prints what it installs. Usage: scripts/setup.sh [--test]
set -eu

PACKAGES="build-essential cmake pkg-config
qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev qt6-qpa-plugins
qt6-httpserver-dev qt6-websockets-dev libsystemd-dev libx11-dev libxss-dev libxext-dev
libmpv-dev libicu-dev libplist-dev libplist++-dev libxxhash-dev
dbus dbus-bin xdg-utils fonts-dejavu-core
dpkg-dev file"
TEST_PACKAGES="googletest libgtest-dev xvfb xauth xdotool x11-utils libx11-dev ffmpeg mpv e2fsprogs util-linux mount libfuse3-dev fuse3
desktop-file-utils python3 python3-prometheus-client man-db systemd faketime prometheus
chromium chromium-driver python3-selenium debhelper lintian clang libclang-rt-14-dev"

wanted=$PACKAGES
[ "${1:-}" = "--test" ] && wanted="$PACKAGES $TEST_PACKAGES"

missing=""
for p in $wanted; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        "install ok installed") ;;
        *) missing="$missing $p" ;;
    esac
done

if [ -z "$missing" ]; then
    echo "setup: all needed packages are installed"
    exit 0
fi

echo "setup: installing:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "setup: run as root or install sudo" >&2; exit 1; }
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
echo "setup: done"
