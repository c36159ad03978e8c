#!/bin/sh
# The local copier's throughput beside cp on the same file: a file of random bytes (1 GiB, or
# --mib N) is copied in turn by the copier's own code with no rate bound (local_copy_bench),
# by cp, and by cp followed by sync of the copy (the copier syncs each copy before it counts),
# --rounds times (default 3), interleaved; the medians and the ratios are printed. The file and
# its copies lie in one folder under $TMPDIR (default /tmp), so all three write to one disk
# from a source in the page cache. For the hold at item changes while a 1 GiB copy runs, see
# bench/transition_hold_bench.sh --copying.
#
# Usage: bench/local_copies_bench.sh [--mib N] [--rounds N] [--build DIR]
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
mib=1024
rounds=3
while [ $# -gt 0 ]; do
    case $1 in
        --mib) mib=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --build) build=$(cd "$2" && pwd); shift 2 ;;
        -h | --help) sed -n '/^# The local/,/^# Usage:.*/s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "usage: $0 [--mib N] [--rounds N] [--build DIR]" >&2; exit 2 ;;
    esac
done
copier=$build/bench/local_copy_bench
[ -x "$copier" ] || { echo "local_copies_bench.sh: $copier is missing: build first (cmake --build build)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/local-copies-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

head -c "$((mib * 1024 * 1024))" /dev/urandom >"$work/source.bin"
echo "$mib MiB of random bytes; $(nproc) cores, load $(cut -d ' ' -f 1-3 /proc/loadavg); in $work"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/copier.s"
: >"$work/cp.s"
: >"$work/cp-sync.s"
round=1
while [ $round -le "$rounds" ]; do
    sync
    "$copier" "$work/source.bin" "$work/copy.bin" >>"$work/copier.s"
    rm -f "$work/copy.bin"
    sync
    t=$(now); cp "$work/source.bin" "$work/copy.bin"; elapsed "$t" >>"$work/cp.s"; echo >>"$work/cp.s"
    rm -f "$work/copy.bin"
    sync
    t=$(now); cp "$work/source.bin" "$work/copy.bin"; sync "$work/copy.bin"; elapsed "$t" >>"$work/cp-sync.s"; echo >>"$work/cp-sync.s"
    rm -f "$work/copy.bin"
    echo "round $round: copier $(tail -n 1 "$work/copier.s") s, cp $(tail -n 1 "$work/cp.s") s, cp + sync $(tail -n 1 "$work/cp-sync.s") s"
    round=$((round + 1))
done
copier_s=$(median <"$work/copier.s")
cp_s=$(median <"$work/cp.s")
sync_s=$(median <"$work/cp-sync.s")
awk -v m="$mib" -v a="$copier_s" -v b="$cp_s" -v c="$sync_s" 'BEGIN {
    printf "median: copier %.3f s (%.0f MiB/s), cp %.3f s (%.0f MiB/s), cp + sync %.3f s (%.0f MiB/s)\n", a, m / a, b, m / b, c, m / c
    printf "copier throughput: %.2fx cp, %.2fx cp + sync\n", b / a, c / a
}'
