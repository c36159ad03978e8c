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

# find would read a folder name that starts with "-" as an option.
case $folder in
    -*) folder=./$folder ;;
esac

newline='
'

# Byte-wise matching (C locale) is fast and takes any name; the name tests come first so that
# only video files are looked at on disk. sort keeps the list in memory (a million names fit):
# files it spilled to $TMPDIR would stay behind when the player kills a scan at quit.
LC_ALL=C find -L "$folder" -mindepth 1 -maxdepth 1 \
        -regextype posix-extended -iregex '.*\.(mp4|mov|m4v|mkv|webm|avi|mpg|mpeg|ts|mts)' \
        ! -name '.*' ! -name "*$newline*" -type f \
        -printf '%T@ %f\0' |
    LC_ALL=C.UTF-8 grep -z -a -x '.*' |
    LC_ALL=C sort -z -S 64M -k1,1nr -k2 |
    head -z -n "$count" |
    cut -z -d ' ' -f 2- |
    tr '\0' '\n'
