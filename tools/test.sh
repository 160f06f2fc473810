#!/usr/bin/env bash
# Sets up this machine, builds, and runs the whole test suite: the native build, the same build
# under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of every fuzzer, and the
# Windows build under wine.
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
step "native build and tests" build_and_test default
step "sanitizer build and tests" build_and_test sanitize
step "fuzz smoke" build_and_test fuzz
step "windows build and tests" bash tools/build-windows.sh
step "packages" bash tools/check-packages.sh
