#!/bin/sh
# The main job of `make run`: the korvel tool on a demo database it creates.
set -e
build="${1:-build/release}"
korvel="$build/bin/korvel"
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
run() {
  echo "\$ korvel $*"
  "$korvel" "$@"
  echo
}
run --version
run demo "$demo"
run tables "$demo"
run info "$demo" customers
run dump "$demo" customers
run dump --physical "$demo" customers
run error 9729
echo "\$ korvel dump $demo nosuchtable"
"$korvel" dump "$demo" nosuchtable || echo "(exit status $?)"
