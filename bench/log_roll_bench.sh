#!/bin/sh
# Starts the player on a log of 512 MiB beside an old log of a few MiB, and reports the peak
# memory of that start (maximum resident set size, from /usr/bin/time -v), how long the roll
# took, and whether the old log is byte for byte what the rolling rule gives: the last
# 10,485,761 bytes of the old log and the log together, from just past their first newline.
# Usage: bench/log_roll_bench.sh [path to vornplayer] [log size in MiB]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
player=${1:-$here/build/vornplayer}
mebibytes=${2:-512}
work=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

logs=$work/home/Library/Logs/Vorn
mkdir -p "$logs" "$work/config" "$work/run" "$work/videos"
chmod 700 "$work/run"
seq -f 'D [2026/01/01 00:00:00.000 +0000] line %.0f of the log, long enough to be a line' 1 100000000 |
    head -c $((mebibytes * 1048576)) > "$logs/VornPlayer.log"
seq -f 'D [2025/12/31 00:00:00.000 +0000] line %.0f of the old log' 1 80000 > "$logs/VornPlayer_old.log"
if [ $(($(stat -c %s "$logs/VornPlayer_old.log") + $(stat -c %s "$logs/VornPlayer.log"))) -le 10485760 ]; then
    cat "$logs/VornPlayer_old.log" "$logs/VornPlayer.log" > "$work/expected"
else
    cat "$logs/VornPlayer_old.log" "$logs/VornPlayer.log" | tail -c 10485761 | tail -n +2 > "$work/expected"
fi
printf 'log %s bytes, old log %s bytes\n' "$(stat -c %s "$logs/VornPlayer.log")" "$(stat -c %s "$logs/VornPlayer_old.log")"

start=$(date +%s%3N)
env HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen \
    VORNPLAYER_VIDEO_OUTPUT=null /usr/bin/time -v -o "$work/time.txt" \
    sh -c 'echo $$ > "$1"; exec "$2" -prefTamrinVideosFolder "$3"' sh "$work/pid" "$player" "$work/videos" \
    > /dev/null 2>&1 &
waited=0
until grep -q 'start polling' "$logs/VornPlayer.log" 2>/dev/null; do
    sleep 0.1
    waited=$((waited + 1))
    if [ "$waited" -ge 600 ]; then echo "the player did not get through its start in 60 s" >&2; exit 1; fi
done
end=$(date +%s%3N)
pid=$(cat "$work/pid")
kill -TERM "$pid"
wait
pid=""

printf 'start to the polling loop: %s ms\n' $((end - start))
grep 'Maximum resident set size' "$work/time.txt"
if cmp -s "$work/expected" "$logs/VornPlayer_old.log"; then
    printf 'old log: %s bytes, as the rule gives\n' "$(stat -c %s "$logs/VornPlayer_old.log")"
else
    echo "old log: DIFFERS from what the rule gives" >&2
    exit 1
fi
