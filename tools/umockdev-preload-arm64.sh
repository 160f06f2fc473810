#!/usr/bin/env bash
# Prints the folder that holds umockdev's preload library for arm64, libumockdev-preload.so.0.
#
# The arm64 programs under test run on the native emulated bus: the bus's umockdev is amd64, and
# the arm64 dynamic loader, given LD_PRELOAD=libumockdev-preload.so.0, needs the arm64 build of
# the preload on its library path. That build comes with the package umockdev:arm64, which cannot
# be installed beside the amd64 one; so the package of the installed umockdev's very version is
# downloaded and unpacked into
#   ${XDG_CACHE_HOME:-$HOME/.cache}/nevrik-update/umockdev-arm64-<version>
# and reused when present: then nothing is fetched and nothing but the folder is printed. The
# preload needs nothing but the C library.
set -euo pipefail

version=$(dpkg-query -W -f='${Version}' umockdev)
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/nevrik-update
folder=$cache_root/umockdev-arm64-${version//:/_}
library=$folder/libumockdev-preload.so.0

if [ ! -e "$library" ]; then
  mkdir -p "$cache_root"
  work=$(mktemp -d "$cache_root/umockdev-arm64.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  # apt's download user could not write to this user's folder: root downloads as itself.
  sandbox=()
  [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
  (cd "$work" && apt-get download -qq "${sandbox[@]}" "umockdev:arm64=$version" >/dev/null)
  dpkg-deb -x "$work"/umockdev_*_arm64.deb "$work/root"
  mkdir -p "$work/lib"
  cp -L "$work/root/usr/lib/aarch64-linux-gnu/libumockdev-preload.so.0" "$work/lib/"
  # Another run may have finished first; its folder is as good as this one.
  mv -T "$work/lib" "$folder" 2>/dev/null || [ -e "$library" ]
fi
echo "$folder"
