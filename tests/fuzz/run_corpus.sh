#!/bin/sh
# Runs a fuzz harness over each file of its corpus, without fuzzing: every one must pass.
set -eu
harness="$1"
corpus="$2"
[ -x "$harness" ] || { echo "no harness at $harness" >&2; exit 1; }
exec "$harness" "$corpus"/*
