#!/bin/sh
# Installs the build into a temporary prefix and builds examples/hello against the installed
# package only (never the build tree): once through find_package(korvel), once with the compiler
# and pkg-config alone. Each public header must also compile on its own and pull in no ICU header.
# Arguments: BUILD_DIR SOURCE_DIR CXX [EXTRA_FLAGS]  (EXTRA_FLAGS: the sanitizer flags of the build)
set -eu
build="$1"; source="$2"; cxx="$3"; extra="${4:-}"
work="$(mktemp -d "${TMPDIR:-/tmp}/korvel-install.XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
libdir="$(dirname "$(find "$prefix" -name 'libkorvelrt.so' | head -1)")"
for f in libkorvelrt.so libkorvelrt.so.0 libkorvelrt.so.0.1.0; do
  [ -e "$libdir/$f" ] || { echo "missing $libdir/$f"; exit 1; }
done
for f in bin/korvel bin/helpclean share/doc/korvel/README.md; do
  [ -e "$prefix/$f" ] || { echo "missing $prefix/$f"; exit 1; }
done
[ -f "$libdir/cmake/korvel/korvelConfig.cmake" ] || { echo "missing CMake package"; exit 1; }
[ -f "$libdir/pkgconfig/korvel.pc" ] || { echo "missing korvel.pc"; exit 1; }

# Every installed header alone in a translation unit; none may reach ICU's headers.
count=0
while read -r header; do
  [ -n "$header" ] || continue
  case "$header" in *.inc) continue ;; esac
  [ -f "$prefix/include/korvel/$header" ] || { echo "header not installed: $header"; exit 1; }
  printf '#include "%s"\n' "$header" >"$work/alone.cpp"
  # One compiler run checks the header and writes the files it reached.
  "$cxx" -std=c++20 -fsyntax-only -MD -MF "$work/alone.d" -I"$prefix/include/korvel" "$work/alone.cpp" \
    || { echo "header does not compile alone: $header"; exit 1; }
  if grep -q 'unicode/' "$work/alone.d"; then
    echo "header pulls in ICU: $header"; exit 1
  fi
  count=$((count + 1))
done <"$build/korvel_public_headers.txt"
[ "$count" -gt 0 ] || { echo "no public headers listed"; exit 1; }

expected="$source/examples/hello/expected_output.txt"

# 1. CMake package.
cmake -S "$source/examples/hello" -B "$work/hello-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/hello-cmake" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
mkdir "$work/data1"
"$work/hello-cmake/hello" "$work/data1" >"$work/out1.txt"
diff -u "$expected" "$work/out1.txt"

# 2. pkg-config and the compiler alone.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
"$cxx" -std=c++20 $extra -o "$work/hello-pc" "$source/examples/hello/hello.cpp" \
  $(pkg-config --cflags --libs korvel) -Wl,-rpath,"$libdir"
mkdir "$work/data2"
"$work/hello-pc" "$work/data2" >"$work/out2.txt"
diff -u "$expected" "$work/out2.txt"
echo "installed $count public headers; example built through CMake and pkg-config"
