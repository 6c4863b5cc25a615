#!/bin/sh
# Runs every benchmark of a release build, one after the other (never two at once).
set -e
dir="${1:-build/release}/bench"
[ -d "$dir" ] || { echo "no benchmarks built in $dir"; exit 0; }
for b in "$dir"/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b"
done
