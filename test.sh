#!/bin/sh
# Installs what is missing, builds, and runs every test through CTest. The GUI tests run in
# a virtual X server that this script starts and stops.
set -eu
cd "$(dirname "$0")"

scripts/setup.sh --test
cmake -S . -B build
cmake --build build -j "$(nproc)"

xvfb_pid=""
# Waits for Xvfb to end, so its lock file and socket are gone when this script returns.
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT INT TERM

# Xvfb picks a free display number and reports it on the descriptor we give it.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
tries=0
while [ ! -s "$display_file" ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
if [ -s "$display_file" ]; then
    DISPLAY=":$(cat "$display_file")"
    export DISPLAY
    echo "test.sh: Xvfb on $DISPLAY"
else
    echo "test.sh: Xvfb did not start; GUI tests that need it will skip" >&2
    unset DISPLAY
fi
rm -f "$display_file"

# A broken thread or state contract aborts every test program and every player they start.
export VORN_CONTRACTS=abort
cd build
ctest --output-on-failure -j "$(nproc)" "$@"
