#!/bin/sh
# How often an idle player wakes up and how many threads it makes, against a paused mpv: the
# player holds the last picture of its clip after its source folder has gone away, mpv holds
# the same clip paused. One program at a time, rounds interleaved.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    cat <<EOF
Usage: bench/idle_wakeups_bench.sh [options]

Plays a short clip in the player (build/vornplayer, VORNPLAYER_RENDER=software, menu bar
shown, no local copies), then moves its source folder away, so that the player holds the last picture and looks
for the folder every 2 s; and opens the same clip in
  mpv --vo=x11 --no-config --pause --keep-open=yes --hwdec=no --ao=null --no-osc --osd-level=0 --quiet
Each program is left alone for the settling time, then measured over the window:
  wakeups/s    context switches of all its threads (perf stat, which also counts threads
               that end in the window; without perf, the switches of the threads seen in
               /proc/<pid>/task every 0.2 s)
  threads/min  threads created (perf's sched:sched_process_fork; without perf, thread ids
               seen in /proc/<pid>/task that were not there at the start)
  cpu %        utime+stime from /proc/<pid>/stat, in % of one core
  threads      threads alive at the end
and the player's busiest threads by name (switches in the window, from /proc/<pid>/task).

Options:
  --rounds N       interleaved rounds (default 1)
  --seconds S      measuring window, in seconds (default 60)
  --settle S       seconds between the picture standing still and the window (default 10)
  --player PATH    the player to run (default build/vornplayer)
  --display :N     use this running X server instead of starting Xvfb
  --help           this text

Needs mpv, ffmpeg and, without --display, Xvfb; perf (run as root or with
perf_event_paranoid <= 1) for exact counts. Works in a folder of its own under \$TMPDIR
(default /tmp) and removes it, and every process it started, when it ends.
EOF
}

rounds=1
seconds=60
settle=10
player=$here/build/vornplayer
display=""
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) rounds=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --settle) settle=$2; shift 2 ;;
        --player) player=$2; shift 2 ;;
        --display) display=$2; shift 2 ;;
        --help | -h) usage; exit 0 ;;
        *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
done
. "$(dirname "$0")/common.sh"
needs mpv ffmpeg
[ -x "$player" ] || { echo "no player at $player (build it first)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/idle-wakeups-bench.XXXXXX")
xpid=""
running=""
cleanup() {
    for p in $running $xpid; do kill "$p" 2>/dev/null || true; done
    for p in $running $xpid; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

use_perf=no
if command -v perf >/dev/null 2>&1 &&
    perf stat -x, -e context-switches,sched:sched_process_fork -- true >/dev/null 2>&1; then
    use_perf=yes
fi



# One line per thread: id, name, switches so far.
threads_of() {  # pid
    for t in /proc/"$1"/task/*; do
        [ -r "$t/status" ] || continue
        awk -v id="${t##*/}" '/^Name:/ { name = $2 } /ctxt_switches:/ { n += $2 }
            END { if (name != "") print id, name, n }' "$t/status" 2>/dev/null || true
    done
}

# Watches the process over the window: sets wakeups (per second), created (threads per
# minute), cpu and alive; writes the busiest threads to $work/busiest.
measure() {  # pid
    pid=$1
    threads_of "$pid" > "$work/t0"
    cp "$work/t0" "$work/seen"
    c0=$(cpu_ticks "$pid")
    t0=$(date +%s%N)
    perf_pid=""
    if [ "$use_perf" = yes ]; then
        perf stat -x, -o "$work/perf" -e context-switches,sched:sched_process_fork -p "$pid" -- sleep "$seconds" &
        perf_pid=$!
    fi
    end=$(($(date +%s) + seconds))
    while [ "$(date +%s)" -lt "$end" ]; do
        threads_of "$pid" >> "$work/seen"
        sleep 0.2
    done
    if [ -n "$perf_pid" ]; then wait "$perf_pid"; fi
    threads_of "$pid" >> "$work/seen"
    t1=$(date +%s%N)
    c1=$(cpu_ticks "$pid")
    alive=$(ls "/proc/$pid/task" | wc -l)
    elapsed=$(awk -v t=$((t1 - t0)) 'BEGIN { print t / 1e9 }')
    cpu=$(awk -v c=$((c1 - c0)) -v s="$elapsed" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", 100 * c / hz / s }')
    # Per thread: the last count seen minus the count at the start (0 for a thread made since).
    awk 'NR == FNR { start[$1] = $3; next } { last[$1] = $3; name[$1] = $2 }
         END { for (id in last) { d = last[id] - (id in start ? start[id] : 0); n[name[id]] += d; if (!(id in start)) made++; total += d }
               for (k in n) if (n[k] > 0) print n[k], k; print total, "TOTAL"; print made + 0, "MADE" }' \
        "$work/t0" "$work/seen" | sort -rn > "$work/pertask"
    if [ "$use_perf" = yes ]; then
        switches=$(awk -F, '$3 == "context-switches" { print $1 }' "$work/perf")
        forks=$(awk -F, '$3 == "sched:sched_process_fork" { print $1 }' "$work/perf")
    else
        switches=$(awk '$2 == "TOTAL" { print $1 }' "$work/pertask")
        forks=$(awk '$2 == "MADE" { print $1 }' "$work/pertask")
    fi
    wakeups=$(awk -v n="$switches" -v s="$elapsed" 'BEGIN { printf "%.2f", n / s }')
    created=$(awk -v n="$forks" -v s="$elapsed" 'BEGIN { printf "%.1f", n * 60 / s }')
    grep -v ' TOTAL$\| MADE$' "$work/pertask" | head -8 |
        awk -v s="$elapsed" '{ printf "    %-18s %6.2f/s\n", $2, $1 / s }' > "$work/busiest"
}

stop() {  # pid
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    running=""
}

if [ -n "$display" ]; then
    DISPLAY=$display
else
    start_xvfb "$work"
fi
export DISPLAY

mkdir -p "$work/clips" "$work/home/Library/Logs/Vorn" "$work/config" "$work/run"
chmod 700 "$work/run"
ffmpeg -loglevel error -f lavfi -i "testsrc2=size=1280x720:rate=30" -t 2 -an \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p "$work/clips/clip.mp4"

run_player() {
    rm -rf "$work/source" "$work/source-away"
    mkdir -p "$work/source/day"
    cp "$work/clips/clip.mp4" "$work/source/day/clip.mp4"
    touch -d '1 minute ago' "$work/source/day/clip.mp4"
    log=$work/home/Library/Logs/Vorn/VornPlayer.log
    rm -f "$log"
    env -u DBUS_SESSION_BUS_ADDRESS -u VORNPLAYER_VIDEO_OUTPUT -u NOTIFY_SOCKET -u WATCHDOG_USEC \
        HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb \
        VORNPLAYER_RENDER=software \
        "$player" -prefTamrinVideosFolder "$work/source" -prefDailyDateFormat "'day'" \
        -prefDoShowMenuBar YES -prefLocalCopiesMaxBytes 0 > "$work/player.out" 2>&1 &
    running=$!
    if ! wait_for 60 "$log" "first av item"; then
        echo "the player did not start playing in 60 s; its output:" >&2
        cat "$work/player.out" >&2
        exit 1
    fi
    mv "$work/source" "$work/source-away"
    if ! wait_for 30 "$log" "source folder unavailable since"; then
        echo "the player did not see its source folder go within 30 s" >&2
        exit 1
    fi
    sleep "$settle"
    measure "$running"
    stop "$running"
}

run_mpv() {
    env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$work/run" \
        mpv --vo=x11 --no-config --pause --keep-open=yes --hwdec=no --ao=null --no-osc --osd-level=0 \
        --quiet "$work/clips/clip.mp4" > "$work/mpv.out" 2>&1 &
    running=$!
    if ! wait_for 60 "$work/mpv.out" "VO: \[x11\]"; then
        echo "mpv did not start in 60 s; its output:" >&2
        cat "$work/mpv.out" >&2
        exit 1
    fi
    sleep "$settle"
    measure "$running"
    stop "$running"
}

counts=/proc
if [ "$use_perf" = yes ]; then counts=perf; fi
echo "screen $DISPLAY; $rounds rounds: ${settle} s settling, ${seconds} s measured; counts from $counts"
printf '%-6s %-11s %10s %12s %8s %8s\n' round program wakeups/s threads/min "cpu %" threads
round=1
while [ $round -le "$rounds" ]; do
    if [ $((round % 2)) -eq 1 ]; then order="player mpv"; else order="mpv player"; fi
    for program in $order; do
        if [ "$program" = player ]; then
            run_player
            printf '%-6s %-11s %10s %12s %8s %8s\n' "$round" vornplayer "$wakeups" "$created" "$cpu" "$alive"
            cp "$work/busiest" "$work/player-busiest"
        else
            run_mpv
            printf '%-6s %-11s %10s %12s %8s %8s\n' "$round" "mpv paused" "$wakeups" "$created" "$cpu" "$alive"
        fi
    done
    round=$((round + 1))
done
echo "the player's busiest threads in the last round (switches per second, by thread name):"
cat "$work/player-busiest"
