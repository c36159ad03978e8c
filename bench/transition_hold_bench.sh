#!/bin/sh
# What a viewer sees at an item change: how long the last frame of an item stays on the screen
# beyond its time, for the player and, on the same clips and screen, for the mpv command-line
# player. Eight 1080p30 H.264 clips of 1 s (or --clip), each one colour all over, lie in today's
# folder as its newest files; older empty .mp4 files fill the folder up to 8, 10,000 and 100,000
# files. Empty files cost no disk and are quick to make, yet the newest-files script treats them
# as any video (a name test, then a look at each one's type and time, then the sort) at every
# item end; being older than the clips, they never reach the repeat list, so the player never
# opens one. The player runs as it does on a screen (a real X window, software rendering, its log
# on), with a new file played once and a repeat list of the eight clips, so it cycles through
# them newest to oldest; mpv plays them as a looping playlist in a window the size of the
# screen. mpv does not look for subtitle, audio or cover files beside each clip: that lists the
# whole folder at every load (about 95 ms more per change with 100,000 files), and mpv stands
# here for a player's change without it.
# screen_sampler reads the screen's centre pixel about every millisecond; hold_report turns the
# colour changes into holds:
#   hold = first sample of the next colour - first sample of this colour - the clip's length
# and counts black frames (a sample of neither colour at a change). The first changes after
# start-up are left out, and so is a change out of a clip the player loaded twice in a row
# (from the "Need to play nextItem at" lines of its log).
#
# With --memory N the player plays 0.2 s clips until the screen has shown N changes, and its
# resident memory (VmRSS of /proc/PID/status) is printed at the first change, along the way
# and at the end, and the growth from the 100th change on (the first changes fill the frame
# buffers of the decoder and the view).
#
# With --copying, the oldest clip carries 1 GiB after its last box (a "free" box, which players
# skip), and each folder size is run twice for the player: once with local copies off, once
# starting with no copies, so that its copier copies that 1 GiB at its usual rate (64 MiB/s, idle
# I/O) while the screen is watched; --seconds 14 keeps the whole window inside the copy. The
# bytes copied during the window are printed.
#
# Usage: bench/transition_hold_bench.sh [options]
#   --files N      one folder size (at least 8); may be given more than once; default 8, 10000, 100000
#   --seconds S    how long each player is watched from its first clip on (default 30)
#   --clip S       the length of each clip in seconds (default 1; e.g. 3 or 0.5)
#   --skip N       changes after start-up left out (default 2)
#   --memory N     the memory run over N changes (e.g. 1000); with --files as well, both
#   --display :D   use that X display, starting Xvfb on it if no server answers there;
#                  default: an Xvfb of its own on a free display
#   --build DIR    where vornplayer and bench/ are built (default: build/ beside bench/)
#   --copying      hold with and without a 1 GiB local copy under way (see above)
#   --keep         keep the folders, the samples and the logs, and say where
# Files go to a folder under $TMPDIR (default /tmp). Everything it starts and makes is gone when
# it ends, also on Ctrl-C.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
sizes=""
seconds=30
clip_seconds=1
skip=2
memory=0
display=""
keep=0
copying=0
copies_off=0

usage() { sed -n '/^# Usage:/,/^# it ends/s/^# \{0,1\}//p' "$0"; }

number() {  # value option
    case $1 in
        '' | *[!0-9]*) echo "transition_hold_bench.sh: $2 wants a whole number, not '$1'" >&2; exit 2 ;;
    esac
}

while [ $# -gt 0 ]; do
    case $1 in
        --files) [ $# -ge 2 ] || { usage >&2; exit 2; }; number "$2" --files
                 [ "$2" -ge 8 ] || { echo "transition_hold_bench.sh: --files needs at least 8" >&2; exit 2; }
                 sizes="$sizes $2"; shift 2 ;;
        --seconds) [ $# -ge 2 ] || { usage >&2; exit 2; }; number "$2" --seconds; seconds=$2; shift 2 ;;
        --clip) [ $# -ge 2 ] || { usage >&2; exit 2; }
                case $2 in
                    '' | *[!0-9.]* | *.*.* | . ) echo "transition_hold_bench.sh: --clip wants seconds, not '$2'" >&2; exit 2 ;;
                esac
                awk -v s="$2" 'BEGIN { exit !(s >= 0.1) }' || { echo "transition_hold_bench.sh: --clip needs at least 0.1 s" >&2; exit 2; }
                clip_seconds=$2; shift 2 ;;
        --skip) [ $# -ge 2 ] || { usage >&2; exit 2; }; number "$2" --skip; skip=$2; shift 2 ;;
        --memory) [ $# -ge 2 ] || { usage >&2; exit 2; }; number "$2" --memory; memory=$2; shift 2 ;;
        --display) [ $# -ge 2 ] || { usage >&2; exit 2; }; display=$2; shift 2 ;;
        --build) [ $# -ge 2 ] || { usage >&2; exit 2; }; build=$(cd "$2" && pwd); shift 2 ;;
        --keep) keep=1; shift ;;
        --copying) copying=1; shift ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
holds=1
if [ -z "$sizes" ]; then
    if [ "$memory" -gt 0 ]; then holds=0; else sizes="8 10000 100000"; fi
fi
sizes=$(printf '%s\n' $sizes | sort -n -u)

player=$build/vornplayer
sampler=$build/bench/screen_sampler
report=$build/bench/hold_report
for f in "$player" "$sampler" "$report"; do
    [ -x "$f" ] || { echo "transition_hold_bench.sh: $f is missing: build first (cmake --build build)" >&2; exit 1; }
done
. "$(dirname "$0")/common.sh"
needs ffmpeg mpv perl

# Clip i is the i-th newest file and plays i-th in each cycle; its colour says which it is.
colours="d02020 20d020 2020d0 d0d020 d020d0 20d0d0 d0d0d0 d08020"
clips=8
colour_list=$(echo $colours | tr ' ' ',')

work=$(mktemp -d "${TMPDIR:-/tmp}/transition-hold-bench.XXXXXX")
xvfb_pid=""
sampler_pid=""
player_pid=""
mpv_pid=""

alive() {  # pid: running and not yet a zombie
    [ -r "/proc/$1/stat" ] && [ "$(sed 's/.*) //' "/proc/$1/stat" | cut -d ' ' -f 1)" != Z ]
}

stop() {  # pid: TERM, then KILL after 10 s, and reap it
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || true
    tries=0
    while alive "$1" && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
    if alive "$1"; then kill -KILL "$1" 2>/dev/null || true; fi
    wait "$1" 2>/dev/null || true
}

cleanup() {
    status=$?
    trap - EXIT INT TERM
    stop "$sampler_pid"
    stop "$player_pid"
    stop "$mpv_pid"
    stop "$xvfb_pid"
    if [ "$keep" = 1 ]; then
        echo "kept: $work"
    else
        rm -rf "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- the X server

answers() { DISPLAY=$1 "$sampler" --size >/dev/null 2>&1; }

if [ -n "$display" ] && answers "$display"; then
    :
else
    if [ -n "$display" ]; then
        Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp -s 0 >"$work/xvfb.log" 2>&1 &
        xvfb_pid=$!
    else
        Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -s 0 3>"$work/display" >"$work/xvfb.log" 2>&1 &
        xvfb_pid=$!
        tries=0
        while [ ! -s "$work/display" ] && [ $tries -lt 100 ] && alive "$xvfb_pid"; do sleep 0.1; tries=$((tries + 1)); done
        display=:$(cat "$work/display" 2>/dev/null)
    fi
    tries=0
    until answers "$display"; do
        tries=$((tries + 1))
        if [ $tries -ge 100 ] || ! alive "$xvfb_pid"; then
            echo "transition_hold_bench.sh: Xvfb did not start on '$display'" >&2
            cat "$work/xvfb.log" >&2
            exit 1
        fi
        sleep 0.1
    done
fi
screen=$(DISPLAY=$display "$sampler" --size)

# ---- the folders

# The player's day changes at 03:00.
today=$(date -d '3 hours ago' +%Y%m%d)
now=$(date +%s)

make_clips() {  # folder seconds: clip0.mp4 (newest) .. clip7.mp4, a minute old and older
    i=0
    for c in $colours; do
        colour_clip "$1/clip$i.mp4" "$c" "$2"
        touch -d "@$((now - 60 - i))" "$1/clip$i.mp4"
        i=$((i + 1))
    done
}

# Empty .mp4 files a day old and older (one second apart), named so that they sort after
# nothing in particular: the script must look at each one's time to find the newest.
filler=0
fill_to() {  # folder count
    perl -e '
        my ($dir, $have, $want, $newest) = @ARGV;
        for my $i ($have + 1 .. $want) {
            my $f = sprintf("%s/filler-%06d.mp4", $dir, $i);
            open(my $h, ">", $f) or die "$f: $!\n";
            close($h);
            utime($newest - $i, $newest - $i, $f) or die "$f: $!\n";
        }
        for my $i ($want + 1 .. $have) { unlink(sprintf("%s/filler-%06d.mp4", $dir, $i)); }
    ' "$1" "$filler" "$2" "$((now - 86400))"
    filler=$2
}

# ---- the runs

# The player as it runs on a screen, in a home of its own: log on, menu bar off. What it and its
# scripts leave in a temporary folder (sort's spill files of a scan cut short at quit) goes
# with the work folder.
start_player() {  # run folder, source folder
    mkdir -p "$1/home/Library/Logs/Vorn" "$1/config/Vorn" "$1/runtime" "$1/tmp"
    chmod 700 "$1/runtime"
    printf '[General]\nprefTamrinVideosFolder=%s\nprefDailyDateFormat=yyyyMMdd\nprefRepeatListItemsCount=%s\nprefNewMovieRepeatLoopCount=1\nprefDoShowMenuBar=false\n' \
        "$2" "$clips" >"$1/config/Vorn/VornPlayer.conf"
    if [ "$copies_off" = 1 ]; then echo 'prefLocalCopiesMaxBytes=0' >>"$1/config/Vorn/VornPlayer.conf"; fi
    env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY -u VORNPLAYER_VIDEO_OUTPUT \
        HOME="$1/home" XDG_CONFIG_HOME="$1/config" XDG_CACHE_HOME="$1/cache" XDG_RUNTIME_DIR="$1/runtime" \
        TMPDIR="$1/tmp" DISPLAY="$display" \
        QT_QPA_PLATFORM=xcb VORNPLAYER_RENDER=software "$player" >"$1/player.out" 2>&1 &
    player_pid=$!
}

start_sampler() {  # run folder, sampler options...
    out=$1
    shift
    DISPLAY=$display "$sampler" --colours "$colour_list" "$@" >"$out/samples" 2>"$out/sampler.err" &
    sampler_pid=$!
}

# Waits for the sampler to end by itself; fails when it gave up.
wait_sampler() {  # run folder
    status=0
    wait "$sampler_pid" || status=$?
    sampler_pid=""
    if [ "$status" -ne 0 ]; then
        echo "transition_hold_bench.sh: the screen showed no clip in time ($1)" >&2
        cat "$1/sampler.err" >&2
        return 1
    fi
}

# The clip index of each item the player loaded after the first, from its logs, into the file
# "items"; none when the old log has reached its 10 MiB and so may have lost the first lines.
items_of() {  # run folder
    logs=$1/home/Library/Logs/Vorn
    rm -f "$1/items"
    if [ -f "$logs/VornPlayer_old.log" ] && [ "$(stat -c %s "$logs/VornPlayer_old.log")" -ge 10000000 ]; then
        echo "the player's log has rolled its first lines away: the items it loaded are not known"
        return 0
    fi
    cat "$logs/VornPlayer_old.log" "$logs/VornPlayer.log" 2>/dev/null |
        sed -n 's|.*\] Need to play nextItem at: .*/\([^/]*\)$|\1|p' |
        sed 's|^clip\([0-9]*\)\.mp4$|\1|' >"$1/items"
}

items_file() { if [ -f "$1/items" ]; then echo "$1/items"; else echo -; fi; }

run_player() {  # run folder, source folder
    mkdir -p "$1"
    start_sampler "$1" --seconds "$seconds" --timeout "$((seconds + 120))"
    start_player "$1" "$2"
    wait_sampler "$1"
    stop "$player_pid"
    player_pid=""
    items_of "$1"
}

run_mpv() {  # run folder, folder of the clips
    mkdir -p "$1/home" "$1/runtime" "$1/tmp"
    chmod 700 "$1/runtime"
    start_sampler "$1" --seconds "$seconds" --timeout "$((seconds + 60))"
    env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY HOME="$1/home" XDG_CONFIG_HOME="$1/home/.config" \
        XDG_RUNTIME_DIR="$1/runtime" TMPDIR="$1/tmp" DISPLAY="$display" \
        mpv --no-config --vo=x11 --hwdec=no --no-audio --geometry="$screen+0+0" --no-border --osd-level=0 \
        --no-osc --no-input-default-bindings --input-terminal=no --really-quiet --loop-playlist=inf \
        --sub-auto=no --audio-file-auto=no --cover-art-auto=no \
        "$2"/clip0.mp4 "$2"/clip1.mp4 "$2"/clip2.mp4 "$2"/clip3.mp4 \
        "$2"/clip4.mp4 "$2"/clip5.mp4 "$2"/clip6.mp4 "$2"/clip7.mp4 >"$1/mpv.out" 2>&1 &
    mpv_pid=$!
    wait_sampler "$1"
    stop "$mpv_pid"
    mpv_pid=""
}

sampler_line() {  # label run folder
    sed -n "s/^# sampler: /$1 sampler: /p" "$2/samples"
}

echo "X display $display, $screen; $(nproc) cores, load $(cut -d ' ' -f 1-3 /proc/loadavg); player $player"

if [ "$holds" = 1 ]; then
    day=$work/source/$today
    mkdir -p "$day"
    make_clips "$day" "$clip_seconds"
    if [ "$copying" = 1 ]; then
        # 1 GiB of random bytes in a "free" box after the oldest clip's last box, its time kept.
        last=$day/clip$((clips - 1)).mp4
        stamp=$(stat -c %Y "$last")
        perl -e 'print pack("N", 1073741824 + 8), "free"' >>"$last"
        head -c 1073741824 /dev/urandom >>"$last"
        touch -d "@$stamp" "$last"
    fi
    clip_ms=$(awk -v s="$clip_seconds" 'BEGIN { printf "%d", s * 1000 + 0.5 }')
    for n in $sizes; do
        fill_to "$day" $((n - clips))
        echo
        echo "== $n files in today's folder: $clips clips of $clip_seconds s, $((n - clips)) older empty .mp4 files =="
        if [ "$copying" = 1 ]; then
            copies_off=1 && run_player "$work/files-$n/player" "$work/source" && copies_off=0
            # What the folder of copies holds, the copy under way included, every half second.
            mkdir -p "$work/files-$n/player-copying"
            (while :; do du -sb "$work/files-$n/player-copying/cache" 2>/dev/null | cut -f 1; sleep 0.5; done) \
                >"$work/files-$n/copied" &
            watcher_pid=$!
            run_player "$work/files-$n/player-copying" "$work/source"
            kill "$watcher_pid" 2>/dev/null || true
            wait "$watcher_pid" 2>/dev/null || true
            copied=$(sort -n "$work/files-$n/copied" | tail -n 1)
            echo "player-copying: at most ${copied:-0} bytes in its local copies during the run (the 1 GiB file once copied)"
        else
            run_player "$work/files-$n/player" "$work/source"
        fi
        run_mpv "$work/files-$n/mpv" "$day"
        if [ "$copying" = 1 ]; then
            "$report" --clips "$clips" --duration-ms "$clip_ms" --skip "$skip" \
                --run player "$work/files-$n/player/samples" "$(items_file "$work/files-$n/player")" \
                --run player-copying "$work/files-$n/player-copying/samples" "$(items_file "$work/files-$n/player-copying")" \
                --run mpv "$work/files-$n/mpv/samples" - || true
            sampler_line "player-copying" "$work/files-$n/player-copying"
        else
            "$report" --clips "$clips" --duration-ms "$clip_ms" --skip "$skip" \
                --run player "$work/files-$n/player/samples" "$(items_file "$work/files-$n/player")" \
                --run mpv "$work/files-$n/mpv/samples" - || true
        fi
        sampler_line "player" "$work/files-$n/player"
        sampler_line "mpv" "$work/files-$n/mpv"
    done
fi

rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB$/\1/p' "/proc/$1/status" 2>/dev/null; }

changes_seen() {  # samples file: changes from one clip's colour to another's so far
    awk '$3 != "-" { if (last != "" && $3 != last) n++; last = $3 } END { print n + 0 }' "$1"
}

if [ "$memory" -gt 0 ]; then
    echo
    echo "== memory: $memory changes of 0.2 s clips, $clips files in today's folder =="
    day=$work/memory-source/$today
    mkdir -p "$day"
    make_clips "$day" 0.2
    run=$work/memory
    mkdir -p "$run"
    start_sampler "$run" --changes "$memory" --timeout "$((memory + 120))"
    start_player "$run" "$work/memory-source"
    start_rss=""
    warm_rss=""
    next_report=1
    while alive "$sampler_pid"; do
        seen=$(changes_seen "$run/samples")
        if [ "$seen" -ge "$next_report" ]; then
            rss=$(rss_kib "$player_pid")
            [ -n "$start_rss" ] || start_rss=$rss
            if [ -z "$warm_rss" ] && [ "$seen" -ge 100 ]; then warm_rss=$rss; fi
            printf 'after %5d changes: RSS %s kB\n' "$seen" "$rss"
            # At the first change, the tenth, the hundredth, then every hundred.
            if [ "$seen" -lt 10 ]; then next_report=10; else next_report=$(((seen / 100 + 1) * 100)); fi
        fi
        sleep 0.5
    done
    end_rss=$(rss_kib "$player_pid")
    wait_sampler "$run"
    seen=$(changes_seen "$run/samples")
    printf 'after %5d changes: RSS %s kB\n' "$seen" "$end_rss"
    printf 'RSS at the start (first change) %s kB, at the end %s kB: %+d kB over %d changes\n' \
        "$start_rss" "$end_rss" "$((end_rss - start_rss))" "$seen"
    # The first changes fill the decoder's and the view's frame buffers; what follows is growth.
    if [ -n "$warm_rss" ]; then
        printf 'RSS from the 100th change on: %+d kB\n' "$((end_rss - warm_rss))"
    fi
    stop "$player_pid"
    player_pid=""
    items_of "$run"
    "$report" --clips "$clips" --duration-ms 200 --skip "$skip" --run player "$run/samples" "$(items_file "$run")" || true
    sampler_line "player" "$run"
fi
