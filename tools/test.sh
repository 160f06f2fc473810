#!/usr/bin/env bash
# Sets up this machine, builds, and runs the whole test suite: the documents' links and commands,
# the README's first command, the native build, one whole update of a simulated key under
# valgrind, the same build under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of
# every fuzzer, the Windows build under wine, the Debian package and Windows zip, and the same
# packages built twice more from fresh clones, byte for byte.
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

# The real updater on the emulated bus under memcheck, updating a simulated key: no invalid
# access, no uninitialised value, no leak. Quiet unless it fails; the suppressions cover only
# what umockdev's preload does (see the file).
update_under_valgrind() {
  local log
  log=$(mktemp)
  if ! printf 'y\n' | build/nevrik-usbbus --key -- valgrind --quiet --error-exitcode=1 \
         --leak-check=full --suppressions=tools/valgrind-usbbus.supp build/nevrik-update \
         >"$log" 2>&1 || ! grep -q '^Updated successfully!$' "$log"; then
    cat "$log"
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}

step "set-up" bash tools/setup.sh test
step "documents" python3 tools/check-docs.py
# The first command builds without the test suite (its preset turns the test packages' look-up
# off) and must still print what the README shows.
step "first command" bash tools/check-first-command.sh
step "native build and tests" build_and_test default
step "valgrind over a whole update" update_under_valgrind
step "sanitizer build and tests" build_and_test sanitize
step "fuzz smoke" build_and_test fuzz
step "windows build and tests" bash tools/build-windows.sh
step "packages" bash tools/check-packages.sh
step "reproducible packages" bash tools/check-reproducible.sh
