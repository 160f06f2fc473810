#!/usr/bin/env bash
# Sets up this machine, builds, and runs the whole test suite: the README's first command, the
# native build, the same build under AddressSanitizer and UndefinedBehaviorSanitizer, a short run
# of every fuzzer, and the Windows build under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

step() {
  local name=$1
  shift
  local start=$SECONDS
  echo "== $name"
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}

build_and_test() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1"
}

step "set-up" bash tools/setup.sh test
# The first command builds without the test suite (its preset turns the test packages' look-up
# off) and must still print what the README shows.
step "first command" bash tools/check-first-command.sh
step "native build and tests" build_and_test default
step "sanitizer build and tests" build_and_test sanitize
step "fuzz smoke" build_and_test fuzz
step "windows build and tests" bash tools/build-windows.sh
