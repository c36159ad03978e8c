#!/bin/sh
# From exec to the first frame on the screen, for the player and for the mpv command-line
# player, in interleaved rounds: two 1080p clips, hours old, lie in today's folder; the player
# starts with a home, settings and cache of its own (as on a new screen) and mpv with the newest
# clip. screen_sampler watches the screen's centre pixel; the time from just before exec to its
# first sample of a clip's colour is the first frame. The player waits 1 s before its first poll.
#
# Usage: bench/first_frame_bench.sh [--rounds N] [--build DIR]
# Files go to a folder under $TMPDIR (default /tmp); everything it starts and makes is gone when
# it ends.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
rounds=5
while [ $# -gt 0 ]; do
    case $1 in
        --rounds) rounds=$2; shift 2 ;;
        --build) build=$(cd "$2" && pwd); shift 2 ;;
        -h | --help) sed -n '/^# From exec/,/^# it ends/s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "usage: $0 [--rounds N] [--build DIR]" >&2; exit 2 ;;
    esac
done
player=$build/vornplayer
sampler=$build/bench/screen_sampler
for f in "$player" "$sampler"; do
    [ -x "$f" ] || { echo "first_frame_bench.sh: $f is missing: build first (cmake --build build)" >&2; exit 1; }
done
. "$(dirname "$0")/common.sh"
needs ffmpeg mpv perl

work=$(mktemp -d "${TMPDIR:-/tmp}/first-frame-bench.XXXXXX")
xvfb_pid=""
run_pid=""
sampler_pid=""
stop() {
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || true
    i=0
    while kill -0 "$1" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    status=$?
    trap - EXIT INT TERM
    stop "$sampler_pid"
    stop "$run_pid"
    stop "$xvfb_pid"
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start_xvfb "$work"
xvfb_pid=$xpid
display=$DISPLAY
until DISPLAY=$display "$sampler" --size >/dev/null 2>&1; do sleep 0.1; done

today=$(date -d '3 hours ago' +%Y%m%d)
day=$work/source/$today
mkdir -p "$day"
colours="d02020 20d020"
i=0
for c in $colours; do
    colour_clip "$day/clip$i.mp4" "$c" 5
    touch -d "@$(($(date +%s) - 5 * 3600 - i))" "$day/clip$i.mp4"
    i=$((i + 1))
done

# Writes the monotonic clock in nanoseconds to FILE, then becomes the command: the time just before exec.
timed='open(my $h, ">", shift) or die; printf $h "%d\n", clock_gettime(CLOCK_MONOTONIC) * 1e9; close($h); exec @ARGV or die'

# Milliseconds from exec to the first sample of a clip's colour; empty when none came.
first_frame_ms() {  # run folder
    t0=$(cat "$1/t0")
    awk -v t0="$t0" '!/^#/ && $3 != "-" { printf "%.0f\n", ($1 - t0) / 1e6; exit }' "$1/samples"
}

one_run() {  # label round command...
    label=$1
    run=$work/$1-$2
    shift 2
    mkdir -p "$run/home/Library/Logs/Vorn" "$run/config/Vorn" "$run/cache" "$run/runtime"
    chmod 700 "$run/runtime"
    printf '[General]\nprefTamrinVideosFolder=%s\nprefDailyDateFormat=yyyyMMdd\nprefRepeatListItemsCount=2\nprefNewMovieRepeatLoopCount=1\n' \
        "$work/source" >"$run/config/Vorn/VornPlayer.conf"
    DISPLAY=$display "$sampler" --colours "$(echo $colours | tr ' ' ,)" --seconds 0.2 --timeout 20 >"$run/samples" 2>/dev/null &
    sampler_pid=$!
    env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY -u VORNPLAYER_VIDEO_OUTPUT HOME="$run/home" \
        XDG_CONFIG_HOME="$run/config" XDG_CACHE_HOME="$run/cache" XDG_RUNTIME_DIR="$run/runtime" DISPLAY="$display" \
        QT_QPA_PLATFORM=xcb perl -MTime::HiRes=clock_gettime,CLOCK_MONOTONIC -e "$timed" "$run/t0" "$@" >"$run/out" 2>&1 &
    run_pid=$!
    wait "$sampler_pid" || true
    sampler_pid=""
    stop "$run_pid"
    run_pid=""
    ms=$(first_frame_ms "$run")
    echo "${ms:-none}" >>"$work/$label.ms"
    printf '%s' "${ms:-none}"
}

echo "X display $display; $(nproc) cores, load $(cut -d ' ' -f 1-3 /proc/loadavg); two 1080p clips 5 h old"
: >"$work/player.ms"
: >"$work/mpv.ms"
round=1
while [ $round -le "$rounds" ]; do
    printf 'round %d: player ' "$round"
    one_run player "$round" "$player"
    printf ' ms, mpv '
    one_run mpv "$round" mpv --no-config --vo=x11 --hwdec=no --no-audio --fs --osd-level=0 --no-osc --really-quiet \
        --loop-file=inf "$day/clip0.mp4"
    echo ' ms'
    round=$((round + 1))
done
median() { grep -v none "$1" | sort -n | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; else print "none" }'; }
echo "median exec -> first frame: player $(median "$work/player.ms") ms, mpv $(median "$work/mpv.ms") ms"
