#!/usr/bin/env bash
# Sets up this machine, builds, and runs the whole test suite: the documents' links and commands,
# the README's first command, the native build, one whole update of a simulated key under
# valgrind, the same build under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of
# every fuzzer, the Windows build under wine, the arm64 build and tests under qemu-user, the
# Debian packages and Windows zip, and the same packages built twice more from fresh clones, byte
# for byte.
#
#   tools/test.sh                all of it
#   tools/test.sh --arch=amd64   all but the arm64 build and tests (they need qemu registered
#                                with the kernel, which takes root once per boot)
#   tools/test.sh --arch=arm64   the set-up and the arm64 build and tests alone
set -euo pipefail
cd "$(dirname "$0")/.."

arch=all
for argument in "$@"; do
  case $argument in
    --arch=amd64 | --arch=arm64) arch=${argument#--arch=} ;;
    *) echo "usage: $0 [--arch=amd64|--arch=arm64]" >&2; exit 2 ;;
  esac
done

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

# The arm64 build under qemu-user. Its tests that do not need the emulated bus run as arm64
# programs; umockdev cannot be installed for arm64 beside the native one, so the bus and the test
# drivers that link it stay native and run the arm64 nevrik-update, nevrik-info and
# nevrik-list-keys (NEVRIK_PROGRAMS_UNDER_TEST), which take umockdev's arm64 preload from their
# library path. The preload is copied into a folder of its own under /tmp, where the unprivileged
# user that some tests run a program as can read it even when the checkout is closed to that user
# (under /root, say).
arm64_build_and_tests() {
  bash tools/setup.sh arm64 # qemu's registration with the kernel, which needs root
  build_and_test arm64
  local preload status=0
  preload=$(mktemp -d /tmp/nevrik-arm64-preload.XXXXXX)
  chmod 755 "$preload"
  install -m 644 "$(tools/umockdev-preload-arm64.sh)/libumockdev-preload.so.0" "$preload/"
  cmake --preset default >/dev/null
  cmake --build --preset default --target nevrik-usbbus usbbus_tests updater_terminal_tests \
    scripted_updater_tests rack_recipe_tests usb_bus_tests
  # Left out: the updater ended by a second Ctrl+C or by Ctrl+\ (EndedAtOnce). qemu-user writes a
  # core file of the program it emulates when a signal ends it, whatever the program's
  # not-dumpable mark, and under load it kept the second Ctrl+C pending in the kernel, which the
  # test takes for a signal the updater never took.
  NEVRIK_PROGRAMS_UNDER_TEST=$PWD/build-arm64 LD_LIBRARY_PATH=$preload \
    ctest --preset default --label-regex '^emulated-bus$' \
    --exclude-regex '^SecondCtrlCAndQuit/EndedAtOnce\.' || status=$?
  rm -rf "$preload"
  return "$status"
}

step "set-up" bash tools/setup.sh test
if [ "$arch" = arm64 ]; then
  step "arm64 build and tests under emulation" arm64_build_and_tests
  exit 0
fi
step "documents" python3 tools/check-docs.py
# The first command builds without the test suite (its preset turns the test packages' look-up
# off) and must still print what the README shows.
step "first command" bash tools/check-first-command.sh
step "native build and tests" build_and_test default
step "valgrind over a whole update" update_under_valgrind
step "sanitizer build and tests" build_and_test sanitize
step "fuzz smoke" build_and_test fuzz
step "windows build and tests" bash tools/build-windows.sh
[ "$arch" = amd64 ] || step "arm64 build and tests under emulation" arm64_build_and_tests
step "packages" bash tools/check-packages.sh
step "reproducible packages" bash tools/check-reproducible.sh
