#!/bin/sh
# Playback CPU and memory of the player (software rendering, under X) against the mpv
# command-line player with its X11 output, on the same 1080p30 H.264 clip looped, both windows
# as large as the screen. Rounds are interleaved (the player first in odd rounds, mpv first in
# even ones) so that other load on the machine falls on both alike.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    cat <<EOF
Usage: bench/playback_cpu_bench.sh [options]

Plays one 1920x1080 30 fps H.264 clip in a loop, in turn in the player (build/vornplayer,
VORNPLAYER_RENDER=software, the clip alone in its source folder) and in
  mpv --vo=x11 --no-config --loop=inf --hwdec=no --no-audio-display --ao=null --fs \\
      --no-osc --osd-level=0 --quiet
(no on-screen controller or text and no status line, as the player's own mpv has none), each
full screen on an X server of 1920x1080. Per round it prints the CPU time each program
used over the measuring window (utime+stime from /proc/<pid>/stat, in % of one core), its
resident memory at the end of the window (VmRSS), the X server's CPU over the same window
(where its process is known), and the ratio player/mpv; then the median of those ratios.

Options:
  --rounds N       interleaved rounds (default 3)
  --seconds S      measuring window of each run, in seconds (default 20)
  --warmup S       seconds between the first frame and the window (default 5)
  --menu-bar yes|no|both  the player's menu bar (default yes, as the player starts by default);
                   both: the player runs with it shown and hidden in every round, and the
                   median ratio shown/hidden is printed too
  --mpv-options "OPTIONS"  more options for mpv, after those above (e.g. the conversion the
                   player's software view uses: "--sws-allow-zimg=no --sws-fast=yes
                   --sws-scaler=bilinear")
  --render software|auto  VORNPLAYER_RENDER=software (default), or auto: the player chooses its
                   view itself (under Xvfb that is software too, after asking the OpenGL driver)
  --player PATH    the player to run (default build/vornplayer)
  --clip FILE      play this clip instead of making one with ffmpeg
  --display :N     use this running X server instead of starting Xvfb (its screen should be
                   1920x1080)
  --help           this text

mpv's X11 output uses shared memory only on the displays :0 to :9 (it takes any other for a
remote one); on a display numbered 10 or above, run as root, mpv sees the display as :1 in a
mount and network namespace of its own (unshare), so that it uses shared memory as the player does.

Needs mpv, ffmpeg and, without --display, Xvfb. Works in a folder of its own under \$TMPDIR
(default /tmp) and removes it, and every process it started, when it ends.
EOF
}

rounds=3
seconds=20
warmup=5
menubar=yes
mpv_extra=""
player=$here/build/vornplayer
render=software
clip=""
display=""
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) rounds=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --warmup) warmup=$2; shift 2 ;;
        --menu-bar) menubar=$2; shift 2 ;;
        --mpv-options) mpv_extra=$2; shift 2 ;;
        --render) render=$2; shift 2 ;;
        --player) player=$2; shift 2 ;;
        --clip) clip=$2; shift 2 ;;
        --display) display=$2; shift 2 ;;
        --help | -h) usage; exit 0 ;;
        *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
done
case "$menubar" in yes) menuflags=YES ;; no) menuflags=NO ;; both) menuflags="YES NO" ;;
    *) echo "--menu-bar takes yes, no or both" >&2; exit 2 ;; esac
. "$(dirname "$0")/common.sh"
needs mpv ffmpeg
[ -x "$player" ] || { echo "no player at $player (build it first)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/playback-cpu-bench.XXXXXX")
xpid=""
running=""
cleanup() {
    for p in $running $xpid; do
        kill "$p" 2>/dev/null || true
    done
    for p in $running $xpid; do
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Seconds since the epoch, in nanoseconds.
now_ns() { date +%s%N; }

# CPU ticks (utime + stime) of a process so far: fields 14 and 15 of /proc/<pid>/stat, counted
# after the command name, which may hold spaces.

rss_mib() {
    awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"
}


ticks_per_second=$(getconf CLK_TCK)
mpv_options="--vo=x11 --no-config --loop=inf --hwdec=no --no-audio-display --ao=null --fs --no-osc --osd-level=0 --quiet $mpv_extra"

# Measures the process after the warm-up: sets cpu (in % of one core), xcpu and rss.
measure() {  # pid
    sleep "$warmup"
    t0=$(now_ns)
    c0=$(cpu_ticks "$1")
    x0=0
    if [ -n "$xserver" ]; then x0=$(cpu_ticks "$xserver"); fi
    sleep "$seconds"
    c1=$(cpu_ticks "$1")
    x1=0
    if [ -n "$xserver" ]; then x1=$(cpu_ticks "$xserver"); fi
    t1=$(now_ns)
    rss=$(rss_mib "$1")
    cpu=$(awk -v c=$((c1 - c0)) -v t=$((t1 - t0)) -v hz="$ticks_per_second" 'BEGIN { printf "%.1f", 100 * c / hz / (t / 1e9) }')
    xcpu=-
    if [ -n "$xserver" ]; then
        xcpu=$(awk -v c=$((x1 - x0)) -v t=$((t1 - t0)) -v hz="$ticks_per_second" 'BEGIN { printf "%.1f", 100 * c / hz / (t / 1e9) }')
    fi
}

stop() {  # pid
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    running=""
}

# The X server.
if [ -n "$display" ]; then
    DISPLAY=$display
    lock=/tmp/.X$(echo "$display" | sed 's/^:\([0-9]*\).*/\1/')-lock
    xserver=$(tr -d ' \n' < "$lock" 2>/dev/null || true)
    if [ -n "$xserver" ] && [ ! -r "/proc/$xserver/stat" ]; then xserver=""; fi
else
    start_xvfb "$work"
    xserver=$xpid
fi
export DISPLAY

# The clip, alone in today's folder of the player's source folder ("day", by the date format
# given below), modified a while ago so that it counts as complete at once.
mkdir -p "$work/source/day" "$work/home/Library/Logs/Vorn" "$work/config" "$work/run"
chmod 700 "$work/run"
if [ -n "$clip" ]; then
    cp "$clip" "$work/source/day/clip.mp4"
else
    echo "making a 20 s 1080p30 H.264 clip..."
    ffmpeg -loglevel error -f lavfi -i "testsrc2=size=1920x1080:rate=30" -t 20 -an \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p "$work/source/day/clip.mp4"
fi
touch -d '1 minute ago' "$work/source/day/clip.mp4"

run_player() {  # YES or NO: the menu bar
    menuflag=$1
    log=$work/home/Library/Logs/Vorn/VornPlayer.log
    rm -f "$log"
    env -u DBUS_SESSION_BUS_ADDRESS -u VORNPLAYER_VIDEO_OUTPUT HOME="$work/home" \
        XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb \
        VORNPLAYER_RENDER=$render \
        "$player" -prefTamrinVideosFolder "$work/source" -prefDailyDateFormat "'day'" \
        -prefDoShowMenuBar "$menuflag" > "$work/player.out" 2>&1 &
    running=$!
    if ! wait_for 60 "$log" "first av item"; then
        echo "the player did not start playing in 60 s; its output:" >&2
        cat "$work/player.out" >&2
        exit 1
    fi
    measure "$running"
    stop "$running"
}

run_mpv() {
    if [ -n "$mpv_alias" ]; then
        # A mount and network namespace of mpv's own, where the display's socket is also X1 (and
        # no other server's abstract socket of that number can answer).
        env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$work/run" DISPLAY=:1 \
            unshare --mount --net sh -c 'mount --bind /tmp/.X11-unix "$1/xorig" &&
                mount --bind "$1/xalias" /tmp/.X11-unix && shift && exec "$@"' sh "$work" \
            mpv $mpv_options "$work/source/day/clip.mp4" > "$work/mpv.out" 2>&1 &
    else
        env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$work/run" \
            mpv $mpv_options "$work/source/day/clip.mp4" > "$work/mpv.out" 2>&1 &
    fi
    running=$!
    if ! wait_for 60 "$work/mpv.out" "VO: \[x11\]"; then
        echo "mpv did not start playing in 60 s; its output:" >&2
        cat "$work/mpv.out" >&2
        exit 1
    fi
    if grep -q "Shared memory not supported" "$work/mpv.out"; then mpv_shm=no; else mpv_shm=yes; fi
    measure "$running"
    stop "$running"
}

# mpv's X11 output uses shared memory only on displays it takes for local, :0 to :9; on any
# other it sends every frame through the X socket, which is not the reference we want. As
# root, mpv can see such a display as :1 in namespaces of its own.
mpv_alias=""
number=$(echo "$DISPLAY" | sed -n 's/^:\([0-9]*\).*/\1/p')
if [ -n "$number" ] && [ "$number" -ge 10 ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null 2>&1 &&
    unshare --mount --net true 2>/dev/null; then
    mkdir "$work/xorig" "$work/xalias"
    ln -s "$work/xorig/X$number" "$work/xalias/X1"
    mpv_alias=yes
fi

if [ -n "$mpv_alias" ]; then echo "mpv sees display $DISPLAY as :1 (in namespaces of its own), so that it uses shared memory"; fi
echo "screen $DISPLAY; menu bar of the player: $menubar; $rounds rounds: ${warmup} s warm-up, ${seconds} s measured"
echo "mpv $mpv_options"
printf '%-6s %-11s %8s %9s %14s\n' round program "cpu %" "rss MiB" "X server cpu %"
ratios=""
shown_ratios=""
mpv_without_shm=""
round=1
while [ $round -le "$rounds" ]; do
    if [ $((round % 2)) -eq 1 ]; then order="player mpv"; else order="mpv player"; fi
    for program in $order; do
        if [ "$program" = player ]; then
            for flag in $menuflags; do
                run_player "$flag"
                pcpu=$cpu
                if [ "$flag" = YES ]; then shown=$cpu; label="vornplayer"; else hidden=$cpu; label="(no menu)"; fi
                if [ "$menubar" = both ] && [ "$flag" = NO ]; then pcpu=$shown; fi
                printf '%-6s %-11s %8s %9s %14s\n' "$round" "$label" "$cpu" "$rss" "$xcpu"
            done
            if [ "$menubar" = both ]; then
                shown_ratios="$shown_ratios $(awk -v a="$shown" -v b="$hidden" 'BEGIN { printf "%.3f", a / b }')"
            fi
        else
            run_mpv
            mcpu=$cpu
            if [ "$mpv_shm" = no ]; then mpv_without_shm=yes; fi
            printf '%-6s %-11s %8s %9s %14s\n' "$round" "mpv x11" "$cpu" "$rss" "$xcpu"
        fi
    done
    ratio=$(awk -v p="$pcpu" -v m="$mcpu" 'BEGIN { printf "%.3f", p / m }')
    printf '%-6s %-11s %8s\n' "$round" "player/mpv" "$ratio"
    ratios="$ratios $ratio"
    round=$((round + 1))
done
median=$(printf '%s\n' $ratios | sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
echo "median of the per-round cpu ratios player/mpv: $median"
if [ "$menubar" = both ]; then
    shown_median=$(printf '%s\n' $shown_ratios | sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
    echo "median of the per-round cpu ratios menu bar shown/hidden: $shown_median (player/mpv: with the menu bar shown)"
fi
if [ -n "$mpv_without_shm" ]; then
    echo "note: mpv's X11 output did not use shared memory (display $DISPLAY is :10 or above and mpv"
    echo "could not be given an alias :1 here): it sent each frame through the X socket, which costs it more"
fi
