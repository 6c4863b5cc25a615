#!/bin/sh
# The main job of `make run`: the korvel tool on a demo database it creates.
set -e
build="${1:-build/release}"
korvel="$build/bin/korvel"
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
echo "\$ korvel --version"; "$korvel" --version
echo "\$ korvel error 9729"; "$korvel" error 9729
echo "\$ korvel error --all | head -5"; "$korvel" error --all | head -5
echo "\$ korvel tables $demo"; "$korvel" tables "$demo"
echo "(no tables yet: the data file layer lands next)"
