#!/usr/bin/env bash
# Installs what a bare Debian 12 machine lacks to build, run and test nevrik-update.
# Idempotent: packages already present are skipped, and nothing is fetched when nothing is missing.
#
#   tools/setup.sh run    what building and running the updater needs
#   tools/setup.sh test   everything the whole test suite needs (the default)
set -euo pipefail

purpose=${1:-test}

build_packages=(cmake ninja-build g++ pkg-config libcrypto++-dev libusb-1.0-0-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
               umockdev libumockdev-dev gir1.2-umockdev-1.0 libglib2.0-dev)

case "$purpose" in
  run) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 \
    "${missing[@]}" >/dev/null
fi
