#!/usr/bin/env bash
# Builds the Debian package and the Windows zip into dist/, in one command, from a bare Debian 12
# machine (as root, or with sudo available, like the set-up step):
#
#   tools/package.sh
#
# The Debian package comes from a native release build with Debian's hardening flags, in
# build-package/ ("package" preset); the zip from the Windows cross build tree build-windows/
# ("windows" preset), whose tests are not built here, and which after tools/build-windows.sh needs
# no compiling. Prints the packages it made.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh package

package() { # package PRESET BUILD_DIR [CMAKE ARGUMENT...]: builds and packs into dist/
  local preset=$1 build_dir=$2
  shift 2
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" --target nevrik-update nevrik-info nevrik-package-files
  local log
  log=$(cpack --config "$build_dir/CPackConfig.cmake" -B "$build_dir/packages" 2>&1) ||
    { printf '%s\n' "$log" >&2; exit 1; }
  cp "$build_dir"/packages/nevrik-update* dist/
  rm -rf "$build_dir/packages"
}

rm -rf dist
mkdir dist
package package build-package
package windows build-windows -DNEVRIK_CRYPTOPP_ROOT="$(tools/build-cryptopp-mingw.sh)"
echo "== packages"
find dist -type f -printf '%p %s bytes\n' | sort
