#!/bin/sh
# The Debian package as Debian's tools see it. debian/ (debhelper, dh) packages the build tree
# given as $2 through dpkg-buildpackage, so that the test needs no second build of the player;
# lintian then reports no error and no warning. As root, the package is installed with apt-get,
# run, removed and purged, and nothing of it may be left. Whatever happens, a package this test
# installed is purged again. Skipped (77) with the reason where tools or root are missing.
# Usage: debian_package_test.sh <source dir> <build dir>
set -u
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
SKIP=77

for tool in dpkg-buildpackage dh lintian; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed (debhelper, lintian)"; exit $SKIP; }
done

work=$(mktemp -d /tmp/vorn-tests-deb-XXXXXX)
installed_by_us=0
player_pid=""
if [ -f "$build/install_manifest.txt" ]; then cp -p "$build/install_manifest.txt" "$work/manifest"; fi
cleanup() {
    [ -n "$player_pid" ] && kill "$player_pid" 2>/dev/null && wait "$player_pid" 2>/dev/null
    if [ "$installed_by_us" = 1 ]; then
        apt-get purge -y -q vornplayer >/dev/null 2>&1 || dpkg --purge vornplayer >/dev/null 2>&1
    fi
    if [ -f "$work/manifest" ]; then cp -p "$work/manifest" "$build/install_manifest.txt"; else rm -f "$build/install_manifest.txt"; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() { echo "FAIL: $*" >&2; exit 1; }

# --- build: debian/ from the sources, the program from the build tree
mkdir -p "$work/vornplayer-1.0.0"
cp -a "$src/debian" "$src/LICENSE" "$src/README.md" "$work/vornplayer-1.0.0/"
( cd "$work/vornplayer-1.0.0" && VORN_PREBUILT_DIR="$build" dpkg-buildpackage -b -us -uc ) >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log" >&2; fail "dpkg-buildpackage"; }
deb="$work/vornplayer_1.0.0_amd64.deb"
[ -f "$deb" ] || fail "dpkg-buildpackage made no $deb"

# --- lintian: no error, no warning
# lintian leaves files of its own in TMPDIR: they go with the work folder.
mkdir -p "$work/tmp"
TMPDIR="$work/tmp" lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1
if grep -q '^[EW]: ' "$work/lintian.txt"; then
    cat "$work/lintian.txt" >&2
    fail "lintian reports errors or warnings"
fi
echo "lintian: $(grep -c '^[EW]: ' "$work/lintian.txt") errors and warnings"
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
! grep -q '^\./etc/' "$work/contents" || fail "the package puts files into /etc: $(grep '^\./etc/' "$work/contents")"
for f in ./usr/share/doc/vornplayer/copyright ./usr/share/doc/vornplayer/changelog.gz ./usr/lib/systemd/user/vornplayer.service \
         ./usr/share/vornplayer/autostart/org.vorn.VornPlayer.desktop; do
    grep -qxF "$f" "$work/contents" || fail "the package lacks $f"
done

# --- install, run, remove, purge
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: not root, so the package was built and checked but not installed"; exit $SKIP; fi
command -v apt-get >/dev/null 2>&1 || { echo "SKIP: no apt-get to install the package with"; exit $SKIP; }
# One such test at a time on the machine (other checkouts run it too): each holds a lock on the
# package database's folder from here to its end.
command -v flock >/dev/null 2>&1 && { exec 9</var/lib/dpkg; flock -w 900 9 || fail "another package test held the lock for 15 min"; }
if dpkg-query -W -f='${db:Status-Status}' vornplayer 2>/dev/null | grep -qx installed; then
    echo "SKIP: vornplayer is installed on this machine, and the test leaves it alone"
    exit $SKIP
fi
installed_by_us=1
apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=120 "$deb" >"$work/install.log" 2>&1 ||
    { tail -20 "$work/install.log" >&2; fail "apt-get install"; }
dpkg -L vornplayer >"$work/files"
[ "$(/usr/bin/vornplayer --version)" = "VornPlayer 1.0.0" ] || fail "the installed program fails --version"
for f in /etc/xdg/autostart/org.vorn.VornPlayer.desktop /etc/systemd/user/graphical-session.target.wants/vornplayer.service; do
    [ ! -e "$f" ] || fail "installing starts the player for every user: $f"
done

# It runs: its log says it launched.
home="$work/home"
mkdir -p "$home/Library/Logs/Vorn" "$work/run" && chmod 700 "$work/run"
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen \
    VORNPLAYER_VIDEO_OUTPUT=null DBUS_SESSION_BUS_ADDRESS= /usr/bin/vornplayer >"$work/player.out" 2>&1 &
player_pid=$!
tries=0
until grep -q '] infoDictioanry = {' "$home/Library/Logs/Vorn/VornPlayer.log" 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -lt 300 ] || fail "the installed player did not launch: $(cat "$work/player.out")"
    kill -0 "$player_pid" 2>/dev/null || fail "the installed player ended: $(cat "$work/player.out")"
    sleep 0.1
done
kill -TERM "$player_pid"
wait "$player_pid" || fail "the installed player did not quit cleanly"
player_pid=""

apt-get remove -y -q -o DPkg::Lock::Timeout=120 vornplayer >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; fail "apt-get remove"; }
[ ! -e /usr/bin/vornplayer ] || fail "apt-get remove left /usr/bin/vornplayer"
apt-get purge -y -q -o DPkg::Lock::Timeout=120 vornplayer >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "apt-get purge"; }
installed_by_us=0
status=$(dpkg-query -W -f='${db:Status-Status}' vornplayer 2>/dev/null || echo not-installed)
[ "$status" = "not-installed" ] || fail "after purge dpkg says: $status"
left=""
while read -r f; do
    if [ -e "$f" ] && [ ! -d "$f" ]; then left="$left $f"; fi
    if [ -d "$f" ] && [ -z "$(ls -A "$f" 2>/dev/null)" ] && echo "$f" | grep -q vornplayer; then left="$left $f/"; fi
done <"$work/files"
[ -z "$left" ] || fail "purge left:$left"
[ ! -e /etc/systemd/user/graphical-session.target.wants/vornplayer.service ] || fail "purge left the unit's link"
echo "debian package: built with debhelper, lintian clean, installed, ran, removed and purged without a trace"
