#!/bin/sh
# Builds the player with AddressSanitizer and UndefinedBehaviorSanitizer (a debug build; a broken
# thread or state contract aborts it) and runs it as an operator would: plays clips for 10 s,
# takes a second launch, quits on SIGTERM, then runs again on another folder given as an argument
# and quits again. Prints every sanitizer report and broken contract, and exits 1 when there was one.
# Usage: scripts/sanitizer_run.sh [build folder, default build-asan]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-asan}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer" >/dev/null
cmake --build "$build" --target vornplayer -j "$(nproc)"

root=$(mktemp -d /tmp/vorn-sanitizer-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/home/Library/Logs/Vorn" "$root/config" "$root/run" "$root/src/day" "$root/other/day" "$root/reports"
chmod 700 "$root/run"
for n in 1 2 3; do
    ffmpeg -loglevel error -y -f lavfi -i "testsrc=duration=1:size=320x240:rate=25" \
        -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$root/src/day/clip$n.mp4"
    cp "$root/src/day/clip$n.mp4" "$root/other/day/other$n.mp4"
done

export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_RUNTIME_DIR="$root/run"
export QT_QPA_PLATFORM=offscreen VORN_CONTRACTS=abort
# Reports go to files of their own: standard error is the player's log file.
export ASAN_OPTIONS="log_path=$root/reports/asan:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="log_path=$root/reports/ubsan:print_stacktrace=1:halt_on_error=0"
unset DBUS_SESSION_BUS_ADDRESS
player="$build/vornplayer"
day="-prefDailyDateFormat 'day' -prefRepeatListItemsCount 3 -prefNewMovieRepeatLoopCount 2"

# shellcheck disable=SC2086
"$player" -prefTamrinVideosFolder "$root/src" $day &
first=$!
sleep 10
# shellcheck disable=SC2086
"$player" -prefTamrinVideosFolder "$root/other" $day
echo "sanitizer_run: second launch ended with status $?"
kill -TERM "$first"
wait "$first" && status=0 || status=$?
echo "sanitizer_run: first run ended with status $status"

# shellcheck disable=SC2086
"$player" -prefTamrinVideosFolder "$root/other" $day &
again=$!
sleep 5
kill -TERM "$again"
wait "$again" && status=0 || status=$?
echo "sanitizer_run: run on the other folder ended with status $status"

plays=$(grep -c "Need to play nextItem at" "$HOME/Library/Logs/Vorn/VornPlayer.log" || true)
echo "sanitizer_run: $plays item changes in the log"
failed=0
if grep -h "Contract broken" "$HOME/Library/Logs/Vorn/"VornPlayer*.log; then
    echo "sanitizer_run: broken contract above"
    failed=1
fi
if ls "$root/reports"/* >/dev/null 2>&1; then
    cat "$root/reports"/*
    echo "sanitizer_run: reports above"
    exit 1
fi
[ "$failed" = 0 ] || exit 1
echo "sanitizer_run: no sanitizer reports"
