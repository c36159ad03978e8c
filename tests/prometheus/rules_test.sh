#!/bin/sh
# The fleet's alert rules load, and each alert fires in its test case when it should and not
# before. Skipped (77) where promtool (package prometheus) is not installed.
set -u
rules_dir=$1
if ! command -v promtool >/dev/null 2>&1; then
    echo "SKIP: promtool is not installed (scripts/setup.sh --test installs prometheus)"
    exit 77
fi
cd "$rules_dir" || exit 1
promtool check rules vornplayer.rules.yml || exit 1
promtool test rules vornplayer.rules.test.yml || exit 1
