#!/bin/sh
# Installs what is missing, builds, and starts VornPlayer. Arguments go to the player,
# e.g. ./run.sh -prefTamrinVideosFolder /srv/videos
set -eu
cd "$(dirname "$0")"

scripts/setup.sh
cmake -S . -B build
cmake --build build --target vornplayer -j "$(nproc)"

# The player writes its log there, but does not make the folder itself.
mkdir -p "$HOME/Library/Logs/Vorn"

if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display found: running on Qt's offscreen platform with mpv's video output off"
    export QT_QPA_PLATFORM=offscreen
    export VORNPLAYER_VIDEO_OUTPUT=null
fi
exec build/vornplayer "$@"
