#!/usr/bin/env bash
# Sets up this machine, builds the updater and runs it: it looks for the one attached NEVRIK key
# and brings it to the firmware the updater carries. Arguments are passed to the updater.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh run
cmake --preset default >/dev/null
cmake --build --preset default --target nevrik-update >/dev/null
exec ./build/nevrik-update "$@"
