#!/usr/bin/env bash
# Installs what a bare Debian 12 machine lacks to build, run and test nevrik-update.
# Idempotent and quiet: packages already present are skipped, nothing is fetched when nothing is
# missing, and a second run prints nothing.
#
#   tools/setup.sh run       what building the updater and the emulated USB bus and running
#                            them needs (tools/run.sh): never the test packages
#   tools/setup.sh windows   the Windows cross build: mingw-w64, wine, GoogleTest's sources and
#                            a static Crypto++ for mingw (tools/build-cryptopp-mingw.sh)
#   tools/setup.sh arm64     the arm64 cross build and its tests under qemu-user: Debian's cross
#                            toolchain and arm64 libraries (multiarch), qemu, umockdev's arm64
#                            preload library (tools/umockdev-preload-arm64.sh), and the kernel's
#                            registration of qemu for arm64 programs (binfmt_misc, needs root)
#   tools/setup.sh package   the above (of arm64 the packages alone) and what CPack needs
#                            for the Debian packages
#   tools/setup.sh test      everything the whole test suite needs, Windows, arm64 and packages
#                            included (the default), but qemu's registration: the arm64 step of
#                            tools/test.sh asks for that itself
#   tools/setup.sh coverage  clang and llvm-14 for fuzz/coverage.sh (not part of the test suite)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
purpose=${1:-test}

# nlohmann-json3-dev: the header-only JSON library behind nevrik-info --json, in every build.
build_packages=(cmake ninja-build g++ pkg-config libcrypto++-dev libusb-1.0-0-dev
                nlohmann-json3-dev)
# The emulated USB bus: umockdev's library and headers (with GLib's), and its preload library,
# which comes with the umockdev package.
bus_packages=(umockdev libumockdev-dev libglib2.0-dev)
# jq: the scripts in the README and docs/fleet.md, which the tests run as the documents show them.
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
               gir1.2-umockdev-1.0 valgrind jq)
coverage_packages=(clang libclang-rt-14-dev llvm-14)
# make, dpkg-dev and xz-utils fetch and unpack Debian's Crypto++ source and run its cross
# makefile; googletest ships the GoogleTest sources that the cross build compiles.
windows_packages=(cmake ninja-build make g++-mingw-w64-x86-64 wine wine64 googletest dpkg-dev
                  xz-utils nlohmann-json3-dev)
# CPack computes the Debian package's dependencies with dpkg-shlibdeps (dpkg-dev), on the files
# that file(1) calls executables; gzip compresses the man page and the documents;
# strip-nondeterminism fixes the archive fields that CPack leaves to the umask and the clock, and
# python3 hashes the firmware image for the release's list of checksums; git gives the commit's
# time that every archive entry carries, and the clones that the reproducibility check compares.
package_packages=(dpkg-dev file gzip strip-nondeterminism python3 git)
# The packages' checks: lintian, and man rendering the man page with groff's warnings on; and
# diffoscope (its minimal package, without the hundreds of tools it recommends) to show what
# differs between two builds, which for a .deb and a zip needs python3-debian (control files),
# unzip (zipinfo), xxd (binary contents) and binutils (objdump, which also reads PE files).
# The arm64 build: the cross compiler and the arm64 builds of the libraries it links (GoogleTest
# for its tests), installed beside the amd64 ones; qemu runs its programs. umockdev's and GLib's
# development packages cannot sit beside their amd64 builds, so the emulated bus stays native.
arm64_packages=(cmake ninja-build pkg-config nlohmann-json3-dev crossbuild-essential-arm64
                qemu-user-static libcrypto++-dev:arm64 libusb-1.0-0-dev:arm64
                libgtest-dev:arm64 libgmock-dev:arm64)
check_packages=(lintian man-db groff-base diffoscope-minimal python3-debian unzip xxd binutils)

case "$purpose" in
  run) wanted=("${build_packages[@]}" "${bus_packages[@]}") ;;
  windows) wanted=("${windows_packages[@]}") ;;
  package) wanted=("${build_packages[@]}" "${windows_packages[@]}" "${arm64_packages[@]}"
                   "${package_packages[@]}") ;;
  arm64) wanted=("${arm64_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${bus_packages[@]}" "${test_packages[@]}"
                "${windows_packages[@]}" "${arm64_packages[@]}" "${package_packages[@]}"
                "${check_packages[@]}") ;;
  coverage) wanted=("${build_packages[@]}" "${coverage_packages[@]}") ;;
  *) echo "usage: $0 [run|windows|arm64|package|test|coverage]" >&2; exit 2 ;;
esac

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

wants_arm64=false
[[ " ${wanted[*]} " != *:arm64\ * ]] || wants_arm64=true
# The arm64 libraries come from the same archive, once dpkg knows the architecture; apt's lists
# must then be fetched again (below, as packages are missing).
if $wants_arm64 && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${as_root[@]}" dpkg --add-architecture arm64
fi

# One dpkg-query for all packages keeps the run with nothing to do well under a second. Both
# names are listed: "libusb-1.0-0-dev", and "libusb-1.0-0-dev:arm64" for another architecture.
installed=$(dpkg-query -W -f='${Package} ${binary:Package} ${db:Status-Status}\n' 2>/dev/null |
              awk '$3 == "installed" { print $1; print $2 }')
missing=()
for package in $(printf '%s\n' "${wanted[@]}" | sort -u); do
  grep -qxF "$package" <<<"$installed" || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
  started=$SECONDS
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  # apt's chatter (debconf notices and the like) is shown only when something failed. Nothing
  # installed is removed: an arm64 development package that cannot sit beside its amd64 build
  # fails the set-up instead.
  if ! { "${as_root[@]}" apt-get update -qq &&
         "${as_root[@]}" apt-get install -y -qq --no-install-recommends --no-remove \
           -o DPkg::Lock::Timeout=600 "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
  echo "setup: packages installed in $((SECONDS - started)) s"
fi

if [ "$purpose" = arm64 ]; then
  # The kernel runs arm64 programs through qemu once qemu is registered with binfmt_misc; the
  # registration is the machine's, so it needs root. Its flags include F: the kernel opens the
  # interpreter at once, and it serves programs in other mount namespaces too.
  # Where binfmt_misc is not mounted yet (a fresh machine, a chroot), mounting it may show a
  # registration made before, from outside: register only what is still missing.
  [ -e /proc/sys/fs/binfmt_misc/register ] ||
    "${as_root[@]}" mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    "${as_root[@]}" sh -c \
      'cat /usr/lib/binfmt.d/qemu-aarch64.conf >/proc/sys/fs/binfmt_misc/register'
  fi
  "$here/umockdev-preload-arm64.sh" >/dev/null
fi

if [ "$purpose" = windows ] || [ "$purpose" = test ]; then
  # Prints the prefix on standard output (not wanted here) and, only when it has to build, its
  # progress on standard error.
  "$here/build-cryptopp-mingw.sh" >/dev/null
fi
