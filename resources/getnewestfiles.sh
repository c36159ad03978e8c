#!/bin/sh
# Lists the newest video files of a folder, newest first, one name per line (relative to the
# folder), at most COUNT of them.
#
#   getnewestfiles.sh FOLDER COUNT [anything...]
#
# Left out: hidden files, folders and other non-files, names holding a line feed (they would
# break the one-name-per-line output) and names that are not valid UTF-8 (the player reads UTF-8).
# Files still being copied in are listed: the player tells them by two looks at their size and
# time. A file's time is never compared with this machine's clock, which may differ from the
# clock of the share that stamped it.
# Video files: mp4 mov m4v mkv webm avi mpg mpeg ts mts, in any letter case. Symbolic links
# to video files count, with the time of the file they point to.
# Arguments after COUNT are ignored. Messages go to standard error.
#
# One pass over the folder and a fixed number of processes, whatever its size.

folder=$1
count=$2

case $count in
    '' | *[!0-9-]* | ?*-*)
        echo "getnewestfiles.sh: count '$count' is not a whole number" >&2
        exit 2 ;;
esac
[ "$count" -gt 0 ] 2>/dev/null || exit 0

if [ ! -d "$folder" ]; then
    echo "getnewestfiles.sh: '$folder' is not a folder" >&2
    exit 1
fi

# ls would read a folder name that starts with "-" as an option.
case $folder in
    -*) folder=./$folder ;;
esac

# ls sorts the whole folder by time, newest first (equal times by name, byte-wise), looking at
# each entry once as it must, and in one process; the name tests then run on its sorted output
# and stop as soon as COUNT names have passed. With -L a link counts as what it points to;
# --indicator-style=file-type marks folders, pipes and sockets (/ | =), so that the video name
# test leaves them out. The pattern takes no hidden names and no names holding a line feed
# (NUL ends each name); UTF-8 is checked last, on the few names left.
LC_ALL=C ls -t -L -A --zero --indicator-style=file-type -- "$folder" 2>/dev/null |
    LC_ALL=C grep -z -a -i -P '\A[^.\n][^\n]*\.(mp4|mov|m4v|mkv|webm|avi|mpg|mpeg|ts|mts)\z' |
    LC_ALL=C.UTF-8 grep -z -a -x '.*' |
    head -z -n "$count" |
    tr '\0' '\n'
