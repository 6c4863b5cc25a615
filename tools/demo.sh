#!/bin/sh
# The main job of `make run`: the korvel tool on a demo database it creates.
set -e
build="${1:-build/release}"
korvel="$build/bin/korvel"
"$korvel" --version
