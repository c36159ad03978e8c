# Shell functions the benchmarks share: sourced by them, never run on its own.

# Exits with a hint when a tool the benchmark runs is missing.
needs() {  # tool...
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 ||
            { echo "$(basename "$0"): $tool is missing (scripts/setup.sh --test)" >&2; exit 1; }
    done
}

# A 1080p30 H.264 clip of one colour, BT.709 and said so in the stream too, as players assume for
# HD: the colour comes out on screen as made.
colour_clip() {  # file, colour (rrggbb), seconds
    ffmpeg -nostdin -loglevel error -y -f lavfi -i "color=c=0x$2:size=1920x1080:rate=30:duration=$3" \
        -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -c:v libx264 -preset veryfast \
        -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv -an "$1"
}

# The processor time of a process so far, in clock ticks (user and system).
cpu_ticks() {  # pid
    sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}

# Waits up to the seconds for the file to hold the text; fails when it does not.
wait_for() {  # seconds, file, text
    tries=0
    until grep -q -- "$3" "$2" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt $(($1 * 10)) ]; then return 1; fi
        sleep 0.1
    done
}

# An Xvfb of its own on a free display, 1920x1080: sets DISPLAY and xpid (the server's pid).
start_xvfb() {  # work folder
    command -v Xvfb >/dev/null 2>&1 || { echo "needs Xvfb (apt-get install xvfb), or --display" >&2; exit 1; }
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$1/display" 2>/dev/null &
    xpid=$!
    tries=0
    while [ ! -s "$1/display" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then echo "Xvfb did not start" >&2; exit 1; fi
        sleep 0.1
    done
    DISPLAY=:$(cat "$1/display")
}
