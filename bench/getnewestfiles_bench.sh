#!/bin/sh
# Times the newest-files script on folders of 100 to 100,000 video files against the
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
for n in 100 1000 10000 100000; do
    dir=$work/f$n
    mkdir "$dir"
    # Distinct modification times, the newest last; a few other files beside them.
    perl -e 'my ($d, $n) = @ARGV; for my $i (0 .. $n - 1) { my $f = "$d/clip $i.mp4"; open(my $h, ">", $f) or die;
             close($h); utime(1700000000 + $i, 1700000000 + $i, $f) or die }' "$dir" "$n"
    : > "$dir/notes.txt"
    ours=$(median_ms "$script" "$dir" 10 '*')
    naive=$(median_ms sh -c 'cd "$1" && ls -t | head -n 10' sh "$dir")
    printf '%-8s %15s ms %15s ms   %s\n' "$n" "$ours" "$naive" "$(awk -v a="$ours" -v b="$naive" 'BEGIN { if (b > 0) printf "%.2fx", a / b }')"
done
