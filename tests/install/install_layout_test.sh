#!/bin/sh
# The installed layout (cmake --install into a temporary prefix) and the Debian package (cpack),
# both made from the build tree given as $1 into a temporary folder removed at the end. Both
# write install_manifest.txt into the build tree; it is put back as it was.
set -u
build=$(cd "$1" && pwd)
work=$(mktemp -d)
status=0

if [ -f "$build/install_manifest.txt" ]; then cp -p "$build/install_manifest.txt" "$work/manifest"; fi
cleanup() {
    if [ -f "$work/manifest" ]; then cp -p "$work/manifest" "$build/install_manifest.txt"; else rm -f "$build/install_manifest.txt"; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; status=1; }
has_line() { grep -qxF "$2" "$1" || fail "$1 has no line '$2'"; }

# --- cmake --install
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "cmake --install"; }
for f in bin/vornplayer libexec/vornplayer/getnewestfiles.sh libexec/vornplayer/vornplayer-opengl-probe \
         share/vornplayer/Info.plist \
         share/vornplayer/FactoryDefault.plist lib/systemd/user/vornplayer.service \
         share/vornplayer/autostart/org.vorn.VornPlayer.desktop share/applications/org.vorn.VornPlayer.desktop \
         share/vornplayer/prometheus/vornplayer.rules.yml \
         share/icons/hicolor/scalable/apps/org.vorn.VornPlayer.svg share/man/man1/vornplayer.1.gz; do
    [ -f "$prefix/$f" ] || fail "not installed: $f"
done

unit="$prefix/lib/systemd/user/vornplayer.service"
if [ -f "$unit" ]; then
    has_line "$unit" "Type=notify"
    has_line "$unit" "WatchdogSec=30s"
    has_line "$unit" "Restart=always"
    has_line "$unit" "ExecStartPre=/bin/mkdir -p %h/Library/Logs/Vorn"
    has_line "$unit" "ExecStart=$prefix/bin/vornplayer"
    has_line "$unit" "WantedBy=graphical-session.target"
    complaints=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify failed"
    [ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"
fi
for entry in "$prefix/share/applications/org.vorn.VornPlayer.desktop" "$prefix/share/vornplayer/autostart/org.vorn.VornPlayer.desktop"; do
    [ -f "$entry" ] || continue
    complaints=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate failed on $entry"
    [ -z "$complaints" ] || fail "desktop-file-validate: $complaints"
    has_line "$entry" "Icon=org.vorn.VornPlayer"
done
grep -q '<svg ' "$prefix/share/icons/hicolor/scalable/apps/org.vorn.VornPlayer.svg" || fail "the icon is not an SVG picture"
manual="$prefix/share/man/man1/vornplayer.1.gz"
if [ -f "$manual" ]; then
    gzip -t "$manual" || fail "the manual page is not gzip"
    warnings=$(man --warnings -l "$manual" 2>&1 >"$work/manual.txt")
    [ -z "$warnings" ] || fail "man: $warnings"
    for word in "--status" "prefStatusListenAddress" "systemctl --user enable --now vornplayer" "EXIT STATUS"; do
        grep -qF -- "$word" "$work/manual.txt" || fail "the manual page does not mention $word"
    done
fi
version=$("$prefix/bin/vornplayer" --version) || fail "the installed program fails --version"
[ "$version" = "VornPlayer 1.0.0" ] || fail "installed --version says '$version'"

# --- cpack -G DEB
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb="$work/package/vornplayer_1.0.0_amd64.deb"
if [ -f "$deb" ]; then
    depends=$(dpkg-deb -f "$deb" Depends)
    for package in libmpv2 libqt6core6 libqt6gui6 libqt6widgets6 libqt6httpserver6 libicu72 libplist3 libsystemd0 \
                   libxss1 libxext6 xdg-utils; do
        echo "$depends" | tr ',' '\n' | grep -q "^ *$package\( \|$\)" || fail "Depends lacks $package: $depends"
    done
    dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
    for f in ./usr/bin/vornplayer ./usr/lib/systemd/user/vornplayer.service ./usr/share/vornplayer/autostart/org.vorn.VornPlayer.desktop \
             ./usr/share/applications/org.vorn.VornPlayer.desktop ./usr/share/icons/hicolor/scalable/apps/org.vorn.VornPlayer.svg \
             ./usr/share/man/man1/vornplayer.1.gz ./usr/libexec/vornplayer/getnewestfiles.sh \
             ./usr/libexec/vornplayer/vornplayer-opengl-probe ./usr/share/vornplayer/Info.plist; do
        grep -qxF "$f" "$work/contents" || fail "the package lacks $f"
    done
    ! grep -q '^\./etc/' "$work/contents" || fail "the package puts files into /etc: $(grep '^\./etc/' "$work/contents")"
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/systemd/user/vornplayer.service >"$work/packaged.service"
    has_line "$work/packaged.service" "ExecStart=/usr/bin/vornplayer"
else
    fail "cpack made no $deb"
fi

[ $status -eq 0 ] && echo "installed layout and package: all checks passed"
exit $status
