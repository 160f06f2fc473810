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
# no compiling. Beside the packages it writes, and prints:
#   nevrik-update-<version>-firmware.txt   the firmware version and the SHA-256 of the firmware
#                                          image they carry (the hash a key reports once it has
#                                          received the image)
#   nevrik-update-<version>-firmware.pack  the firmware pack they embed, for rebuilding them
#   nevrik-update-<version>-build.txt      the build record: the commit, SOURCE_DATE_EPOCH and the
#                                          Debian packages (with their versions) that each
#                                          package file was built with
#   SHA256SUMS                             the SHA-256 of every other file
#
# The same commit, pack and Debian packages give the same bytes from any clone, in any folder, on
# any host, on any day, with any number of build jobs, under any umask, locale and time zone
# (tools/check-reproducible.sh proves it): every time stamp in the archives is the commit's
# (SOURCE_DATE_EPOCH, when set, wins), the Windows link writes no time, and strip-nondeterminism
# sets what CPack has no switch for: the modes and times of the .deb's ar members and of the zip's
# entries. The compiling runs in the caller's umask, locale and time zone, which must not matter;
# only the packing resets them (CPack gives the folders above the installed files, /usr and the
# like, the umask's modes, and the zip's DOS times are local times).
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
  log=$(umask 022 && SOURCE_DATE_EPOCH=$epoch TZ=UTC LC_ALL=C \
          cpack --config "$build_dir/CPackConfig.cmake" -B "$build_dir/packages" 2>&1) ||
    { printf '%s\n' "$log" >&2; exit 1; }
  local file type
  for file in "$build_dir"/packages/nevrik-update*; do
    case $file in
      *.deb) type=ar ;; # a .deb is an ar archive of tar archives
      *) type=zip ;;
    esac
    TZ=UTC LC_ALL=C strip-nondeterminism --type "$type" --normalizers=+"$type" \
      --timestamp "$epoch" "$file" >/dev/null
    cp "$file" dist/
  done
  rm -rf "$build_dir/packages"
}

# debian_packages PACKAGE...: "name version" for each installed Debian package that a build with
# the PACKAGEs goes through: each PACKAGE ("name", or "name:arch" for another architecture's) and,
# transitively, every installed package it depends on, sorted. Fails on a PACKAGE not installed.
debian_packages() {
  local fields='${db:Status-Status}\t${Package}\t${Architecture}\t${Version}\t${Provides}'
  fields+='\t${Pre-Depends}, ${Depends}\n'
  dpkg-query -W -f="$fields" | LC_ALL=C awk -F '\t' -v native="$(dpkg --print-architecture)" \
    -v roots="$*" '
    function bare(item) { sub(/^ +/, "", item); sub(/[ (].*/, "", item); return item }
    function name_of(key) { return substr(key, 1, index(key, ":") - 1) }
    function arch_of(key) { return substr(key, index(key, ":") + 1) }
    # The installed package ("name:arch") that satisfies SPEC ("name" or "name:qualifier") for a
    # package of ARCH: of ARCH, else of no architecture, else the native one; then what provides it.
    function find(spec, arch,    name, order, i, a, key) {
      name = spec
      order = arch " all " native
      if (index(spec, ":")) {
        name = name_of(spec)
        if (arch_of(spec) != "any" && arch_of(spec) != "native") order = arch_of(spec)
      }
      split(order, a, " ")
      for (i = 1; i in a; i++) {
        key = name ":" a[i]
        if (key in version) return key
        if (key in provider) return provider[key]
      }
      return ""
    }
    $1 == "installed" {
      key = $2 ":" $3
      version[key] = $4
      depends[key] = $6
      n = split($5, provided, ",")
      for (i = 1; i <= n; i++) if (bare(provided[i]) != "") provider[bare(provided[i]) ":" $3] = key
    }
    END {
      n = split(roots, root, " ")
      for (i = 1; i <= n; i++) {
        queue[i] = find(root[i], native)
        if (queue[i] == "") { print "not installed: " root[i] >"/dev/stderr"; exit 1 }
      }
      for (first = 1; first <= n; first++) {
        key = queue[first]
        if (key in listed) continue
        listed[key] = 1
        m = split(depends[key], dependency, ",")
        for (j = 1; j <= m; j++) { # the first installed alternative of each
          k = split(dependency[j], alternative, "|")
          for (a = 1; a <= k; a++) {
            found = bare(alternative[a]) == "" ? "" : find(bare(alternative[a]), arch_of(key))
            if (found != "") { queue[++n] = found; break }
          }
        }
      }
      for (key in listed) {
        arch = arch_of(key)
        print (arch == native || arch == "all" ? name_of(key) : key), version[key] | "sort"
      }
    }'
}

# record_file FILE [FIELD...] -- PACKAGE...: the build record's paragraph for FILE of dist/, built
# with the Debian packages PACKAGE... (and what they depend on); each FIELD is a "Name: value" line.
record_file() {
  local file=$1
  shift
  printf '\nFile: %s\n' "$file"
  while [ "$1" != -- ]; do
    printf '%s\n' "$1"
    shift
  done
  shift
  printf 'Built-With: %s\nInstalled-Packages:\n' "$*"
  debian_packages "$@" | sed 's/ /=/; s/^/ /'
}

# The Debian packages that each package file is built with, as the build record names them: the
# compilers, libraries and tools; debian_packages adds what they depend on.
common_packages=(cmake ninja-build strip-nondeterminism)
deb_packages=("${common_packages[@]}" g++ pkg-config libcrypto++-dev libusb-1.0-0-dev
              nlohmann-json3-dev dpkg-dev file gzip)
zip_packages=("${common_packages[@]}" g++-mingw-w64-x86-64-posix nlohmann-json3-dev)
# The arm64 package: Debian's cross compiler and the arm64 libraries it links and reads the
# dependencies' versions from.
arm64_packages=("${common_packages[@]}" g++-aarch64-linux-gnu pkg-config libcrypto++-dev:arm64
                libusb-1.0-0-dev:arm64 nlohmann-json3-dev dpkg-dev file gzip)

rm -rf dist
mkdir dist
cryptopp_mingw=
if [ "$arch" != arm64 ]; then
  package package build-package -DNEVRIK_FIRMWARE_PACK="$pack"
fi
if [ "$arch" != amd64 ]; then
  # dpkg-shlibdeps looks for the libraries of the package's architecture, not of this machine.
  DEB_HOST_ARCH=arm64 package package-arm64 build-package-arm64 -DNEVRIK_FIRMWARE_PACK="$pack"
fi
if [ "$arch" != arm64 ]; then
  cryptopp_mingw=$(tools/build-cryptopp-mingw.sh)
  package windows build-windows -DNEVRIK_FIRMWARE_PACK="$pack" \
    -DNEVRIK_CRYPTOPP_ROOT="$cryptopp_mingw"
fi

# What a release publishes beside the packages: the firmware they carry, the pack they embed, the
# build record and every file's SHA-256.
debs=(dist/*.deb)
version=$(dpkg-deb --field "${debs[0]}" Version)
read -r image_sha256 firmware image_size < <(python3 tools/pack_image_sha256.py "$pack")
printf 'firmware       %s\nimage          %s bytes\nimage SHA-256  %s\n' \
  "$firmware" "$image_size" "$image_sha256" >"dist/nevrik-update-$version-firmware.txt"
cp "$pack" "dist/nevrik-update-$version-firmware.pack"

# The build record: what a rebuild needs to give the same bytes. Nothing in it depends on the
# machine, the folder or the day of the build, so it is as reproducible as the packages.
commit=$(git rev-parse HEAD 2>/dev/null || echo "none (not a git checkout)")
[ -z "$(git status --porcelain --untracked-files=no 2>/dev/null)" ] ||
  commit+=" with changes not committed"
native=$(dpkg --print-architecture)
{
  echo "Release: nevrik-update $version"
  echo "Commit: $commit"
  echo "Source-Date-Epoch: $epoch ($(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC'))"
  echo "Firmware-Pack: nevrik-update-$version-firmware.pack"
  echo "Firmware-Pack-SHA256: $(sha256sum <"$pack" | cut -d ' ' -f 1)"
  echo "Build-System: $(. /etc/os-release && echo "$PRETTY_NAME"), $native"
  if [ "$arch" != arm64 ]; then
    record_file "nevrik-update_${version}_$native.deb" -- "${deb_packages[@]}"
  fi
  if [ "$arch" != amd64 ]; then
    record_file "nevrik-update_${version}_arm64.deb" "Cross-Built-For: arm64" \
      -- "${arm64_packages[@]}"
  fi
  if [ "$arch" != arm64 ]; then
    record_file "nevrik-update-$version-windows-x86_64.zip" \
      "Crypto++-For-Mingw: static, built by tools/build-cryptopp-mingw.sh from Debian's source
$(sed 's/^/ /' "$cryptopp_mingw/BUILD-INFO")" \
      -- "${zip_packages[@]}"
  fi
} >"dist/nevrik-update-$version-build.txt"

# The list in the C locale's order, whatever the caller's.
(cd dist && LC_ALL=C && sha256sum -- nevrik-update* >SHA256SUMS)

echo "== packages"
find dist -type f -printf '%p %s bytes\n' | LC_ALL=C sort
for file in "dist/nevrik-update-$version-firmware.txt" "dist/nevrik-update-$version-build.txt" \
            dist/SHA256SUMS; do
  echo "== $file"
  cat "$file"
done
