#!/bin/sh
# Times the newest-files script on folders of 100, 1,000 and 10,000 video files against the
# naive `ls -t | head -n N`, asking for the 10 newest. Median of 15 runs, in milliseconds.
# Usage: bench/getnewestfiles_bench.sh [path to getnewestfiles.sh]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
script=${1:-$here/build/libexec/vornplayer/getnewestfiles.sh}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now_ms() { date +%s%3N; }

median_ms() {  # command...
    runs=""
    i=0
    while [ $i -lt 15 ]; do
        start=$(now_ms)
        "$@" >/dev/null
        end=$(now_ms)
        runs="$runs $((end - start))"
        i=$((i + 1))
    done
    printf '%s\n' $runs | sort -n | sed -n 8p
}

printf '%-8s %18s %18s\n' files "getnewestfiles.sh" "ls -t | head"
for n in 100 1000 10000; do
    dir=$work/f$n
    mkdir "$dir"
    i=0
    # Distinct modification times, the newest last; a few other files beside them.
    while [ $i -lt "$n" ]; do
        : > "$dir/clip $i.mp4"
        i=$((i + 1))
    done
    ( cd "$dir" && i=0 && for f in *.mp4; do touch -d "@$((1700000000 + i))" "$f"; i=$((i + 1)); done )
    : > "$dir/notes.txt"
    ours=$(median_ms "$script" "$dir" 10 '*')
    naive=$(median_ms sh -c 'cd "$1" && ls -t | head -n 10' sh "$dir")
    printf '%-8s %15s ms %15s ms\n' "$n" "$ours" "$naive"
done
