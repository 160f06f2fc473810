#!/usr/bin/env bash
# The Windows build in one command, from a bare Debian 12 machine (as root, or with sudo):
# installs what it needs, cross-compiles the updater and its tests with mingw-w64, and runs the
# tests under wine. Prints the time of each step and the size of each executable.
#
#   tools/build-windows.sh
#
# The build tree is build-windows/ (the "windows" CMake preset); Crypto++ for mingw is cached
# outside it (tools/build-cryptopp-mingw.sh), so a second run only rebuilds what changed.
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=build-windows
wine_prefix=$build_dir/wine-prefix
timings=()

step() { # step NAME COMMAND...: runs the command and notes how long it took
  local name=$1 started
  shift
  echo "== $name"
  started=$(date +%s%N)
  "$@"
  timings+=("$(printf '%-12s %7.1f s' "$name" "$((($(date +%s%N) - started) / 1000000))e-3")")
}

step set-up tools/setup.sh windows
NEVRIK_CRYPTOPP_ROOT=$(tools/build-cryptopp-mingw.sh)
export NEVRIK_CRYPTOPP_ROOT

step wine-prefix tools/wine-run.sh "$wine_prefix"
# Test discovery and the tests start at once in a running session (see tools/wine-run.sh).
tools/wine-run.sh "$wine_prefix" --start-session
trap 'tools/wine-run.sh "$wine_prefix" --end-session' EXIT

step configure cmake --preset windows -DNEVRIK_CRYPTOPP_ROOT="$NEVRIK_CRYPTOPP_ROOT"
step build cmake --build --preset windows
step tests ctest --preset windows

echo "== done"
printf '%s\n' "${timings[@]}"
find "$build_dir" -name '*.exe' -not -path "$wine_prefix/*" -not -path '*/CMakeFiles/*' -printf '%-50p %10s bytes\n' | sort
