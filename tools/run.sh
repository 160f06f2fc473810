#!/usr/bin/env bash
# The main job in one command: sets up this machine, builds the updater and the emulated USB bus
# (without the test suite), and runs the real nevrik-update against a simulated NEVRIK key on that
# bus: the whole update, then what the key itself reports of it.
#
#   tools/run.sh [DEVICE OPTION]... [-- UPDATER ARGUMENT...]
#
# Device options are nevrik-usbbus's (build-run/nevrik-usbbus --help); without any, one key at
# firmware 1.5 with the SO PIN 1234. Arguments after -- go to the updater (--force, --verbose).
# With a terminal on standard input you answer the updater's questions; without one (a pipe,
# continuous integration) nevrik-usbbus answers them. The exit code is the updater's (2: a wrong
# device option, 125: the set-up, the build or the bus failed; never one of the updater's own).
set -euo pipefail
cd "$(dirname "$0")/.."

devices=()
updater_arguments=()
while [ $# -gt 0 ]; do
  if [ "$1" = -- ]; then
    shift
    updater_arguments=("$@")
    break
  fi
  devices+=("$1")
  shift
done
has_device=0
for option in "${devices[@]}"; do
  case "$option" in
    --key|--key=*|--stand-in-key*|--other-device*|--no-msos-device*) has_device=1 ;;
  esac
done
[ "$has_device" -eq 1 ] || devices+=(--key=so-pin=1234)

# A failure before the updater runs ends with nevrik-usbbus's own 125: 1 would read as the
# updater's "no update needed".
bash tools/setup.sh run || exit 125
# The preset switches the look-up of the test packages off; they are never used, and CMake would
# say so.
if [ ! -f build-run/CMakeCache.txt ]; then
  cmake --preset run --no-warn-unused-cli >/dev/null || exit 125
fi
[ -x build-run/nevrik-usbbus ] || echo "run: building the updater, nevrik-info and nevrik-usbbus in build-run/" >&2
if ! log=$(cmake --build --preset run 2>&1); then
  echo "$log" >&2
  exit 125
fi
exec build-run/nevrik-usbbus "${devices[@]}" -- build-run/nevrik-update "${updater_arguments[@]}"
