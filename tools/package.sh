#!/usr/bin/env bash
# Builds the Debian package and the Windows zip into dist/, in one command, from a bare Debian 12
# machine (as root, or with sudo available, like the set-up step):
#
#   tools/package.sh [--arch=amd64|--arch=arm64] [FIRMWARE_PACK]
#
# Both packages embed FIRMWARE_PACK, by default the repository's placeholder pack
# app/firmware_pack.bin (test data, not firmware); a release names the real pack here.
#
# The Debian package comes from a native release build with Debian's hardening flags, in
# build-package/ ("package" preset); the zip from the Windows cross build tree build-windows/
# ("windows" preset), whose tests are not built here, and which after tools/build-windows.sh needs
# no compiling. Beside the packages it writes SHA256SUMS, which lists them, and
# nevrik-update-<version>-firmware.txt, the firmware version and the SHA-256 of the firmware image
# they carry (the hash a key reports once it has received the image), and prints all of it.
#
# The same commit gives the same bytes from any clone, on any day, under any umask, locale and
# time zone (tools/check-reproducible.sh proves it): every time stamp in the archives is the
# commit's (SOURCE_DATE_EPOCH, when set, wins), the Windows link writes no time, the umask is
# 022 (CPack gives the folders above the installed files, /usr and the like, the umask's modes),
# and strip-nondeterminism then sets what CPack has no switch for: the modes and times of the
# .deb's ar members and of the zip's entries.
#
# Beside them comes the arm64 Debian package: the same release build cross-compiled against
# Debian's arm64 libraries, in build-package-arm64/ ("package-arm64" preset). --arch=amd64 builds
# the amd64 package and the zip alone, --arch=arm64 the arm64 package alone.
set -euo pipefail
arch=all
case ${1:-} in
  --arch=amd64 | --arch=arm64) arch=${1#--arch=}; shift ;;
esac
pack=$(realpath -e "${1:-$(dirname "$0")/../app/firmware_pack.bin}")
cd "$(dirname "$0")/.."
export LC_ALL=C TZ=UTC # the zip's DOS times are local times
umask 022

bash tools/setup.sh package

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}
if [ -z "$epoch" ]; then
  echo "package: not a git checkout; set SOURCE_DATE_EPOCH to the release's time" >&2
  exit 1
fi

package() { # package PRESET BUILD_DIR [CMAKE ARGUMENT...]: builds and packs into dist/
  local preset=$1 build_dir=$2
  shift 2
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" --target nevrik-update nevrik-info nevrik-package-files
  local log
  log=$(SOURCE_DATE_EPOCH=$epoch cpack --config "$build_dir/CPackConfig.cmake" \
          -B "$build_dir/packages" 2>&1) || { printf '%s\n' "$log" >&2; exit 1; }
  local file type
  for file in "$build_dir"/packages/nevrik-update*; do
    case $file in
      *.deb) type=ar ;; # a .deb is an ar archive of tar archives
      *) type=zip ;;
    esac
    strip-nondeterminism --type "$type" --normalizers=+"$type" --timestamp "$epoch" "$file" \
      >/dev/null
    cp "$file" dist/
  done
  rm -rf "$build_dir/packages"
}

rm -rf dist
mkdir dist
if [ "$arch" != arm64 ]; then
  package package build-package -DNEVRIK_FIRMWARE_PACK="$pack"
fi
if [ "$arch" != amd64 ]; then
  # dpkg-shlibdeps looks for the libraries of the package's architecture, not of this machine.
  DEB_HOST_ARCH=arm64 package package-arm64 build-package-arm64 -DNEVRIK_FIRMWARE_PACK="$pack"
fi
if [ "$arch" != arm64 ]; then
  package windows build-windows -DNEVRIK_FIRMWARE_PACK="$pack" \
    -DNEVRIK_CRYPTOPP_ROOT="$(tools/build-cryptopp-mingw.sh)"
fi

# What a release publishes beside the packages: the firmware they carry and every file's SHA-256.
debs=(dist/*.deb)
version=$(dpkg-deb --field "${debs[0]}" Version)
read -r image_sha256 firmware image_size < <(python3 tools/pack_image_sha256.py "$pack")
printf 'firmware       %s\nimage          %s bytes\nimage SHA-256  %s\n' \
  "$firmware" "$image_size" "$image_sha256" >"dist/nevrik-update-$version-firmware.txt"
(cd dist && sha256sum -- nevrik-update* >SHA256SUMS)

echo "== packages"
find dist -type f -printf '%p %s bytes\n' | sort
echo "== dist/nevrik-update-$version-firmware.txt"
cat "dist/nevrik-update-$version-firmware.txt"
echo "== dist/SHA256SUMS"
cat dist/SHA256SUMS
