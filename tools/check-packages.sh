#!/usr/bin/env bash
# Builds the packages with tools/package.sh and checks them as a user meets them: the checksums
# and the firmware's hash beside them; each Debian package's architecture, files, dependencies,
# lintian, and the updater and man page unpacked from it (the arm64 ones under qemu-user); the
# zip's files, their line ends, and the updater unpacked from it under wine; and that no packaged
# program carries code made for fuzzing only. Quiet unless a check fails.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."

work=$(mktemp -d)
wine_prefix=build-windows/wine-prefix
cleanup() {
  [ ! -f "$work/wine-session" ] || tools/wine-run.sh "$wine_prefix" --end-session
  rm -rf "$work"
}
trap cleanup EXIT

fail() { # fail MESSAGE [FILE]: says what failed, shows FILE if given, and stops
  echo "check-packages: $1" >&2
  [ $# -lt 2 ] || cat "$2" >&2
  exit 1
}

# same NAME EXPECTED ACTUAL: fails with both texts, byte for byte, unless they are equal
same() {
  [ "$2" == "$3" ] || fail "$1: expected $(printf '%q' "$2"), got $(printf '%q' "$3")"
}

# same_file NAME EXPECTED FILE: the same for a file's whole contents, final line ends included
same_file() {
  local contents
  contents=$(cat "$3" && echo .)
  same "$1" "$2" "${contents%.}"
}

# run OUT ERR COMMAND...: runs the command with its standard streams in files, prints its exit code
run() {
  local out=$1 err=$2
  shift 2
  local code=0
  "$@" >"$out" 2>"$err" </dev/null || code=$?
  echo "$code"
}

# run_exe OUT ERR PROGRAM.exe ARGUMENT...: the same under wine. About once in a few thousand
# starts wine ends a program with exit code 1 before any of it ran, without a word; such a start
# is tried again, up to three times in all, as the Windows tests are.
run_exe() {
  local code
  for _ in 1 2 3; do
    code=$(run "$1" "$2" tools/wine-run.sh "$wine_prefix" "${@:3}")
    [ "$code" -eq 1 ] && [ ! -s "$1" ] && [ ! -s "$2" ] || break
  done
  echo "$code"
}

bash tools/package.sh >"$work/package.log" 2>&1 ||
  fail "tools/package.sh failed:" "$work/package.log"
debs=(dist/*_amd64.deb dist/*_arm64.deb)
zips=(dist/*.zip)
[ ${#debs[@]} -eq 2 ] && [ ${#zips[@]} -eq 1 ] && [ "$(ls dist/*.deb | wc -l)" -eq 2 ] ||
  fail "dist/ holds: $(ls dist)"
zip=$(realpath "${zips[0]}")
version=$(dpkg-deb --field "${debs[0]}" Version)

# --- The checksums: every other file of dist/, and each one right
same "files in dist/SHA256SUMS" "$(cd dist && ls | grep -vx SHA256SUMS)" "$(cut -c 67- dist/SHA256SUMS)"
(cd dist && sha256sum --check --quiet --strict SHA256SUMS) >"$work/sums" 2>&1 ||
  fail "dist/SHA256SUMS:" "$work/sums"
image_sha256=$(python3 tools/pack_image_sha256.py app/firmware_pack.bin | cut -d ' ' -f 1)
grep -qx "image SHA-256  $image_sha256" "dist/nevrik-update-$version-firmware.txt" ||
  fail "the firmware file does not give the pack's image SHA-256 $image_sha256"

banner=$'NEVRIK firmware ver.2.0 updater (2.0.0.111 (2a12b68e))\n'
banner+=$'Copyright (C) 2026 The nevrik-update developers. All rights reserved.\n\n'
[[ $banner == *"($version ("* ]] || fail "package version $version is not the banner's"

# --- The Debian packages: check_deb DEB ARCHITECTURE [EMULATOR...]
info_version=$'nevrik-info 2.0.0.111 (2a12b68e)\n'
check_deb() {
  local deb=$1 architecture=$2
  local emulator=("${@:3}")
  same "$deb architecture" "$architecture" "$(dpkg-deb --field "$deb" Architecture)"
  # Debian's own libraries of the same architecture, by package name, nothing built here.
  same "$deb dependencies" "libc6 libcrypto++8 libgcc-s1 libstdc++6 libusb-1.0-0" \
    "$(dpkg-deb --field "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | xargs)"
  expected=(./usr/ ./usr/bin/ ./usr/bin/nevrik-info ./usr/bin/nevrik-update ./usr/share/
            ./usr/share/doc/
            ./usr/share/doc/nevrik-update/ ./usr/share/doc/nevrik-update/README.md.gz
            ./usr/share/doc/nevrik-update/SECURITY.md.gz ./usr/share/doc/nevrik-update/fleet.md.gz
            ./usr/share/doc/nevrik-update/changelog.gz ./usr/share/doc/nevrik-update/copyright
            ./usr/share/man/ ./usr/share/man/man1/ ./usr/share/man/man1/nevrik-info.1.gz
            ./usr/share/man/man1/nevrik-update.1.gz)
  same "$deb files" "$(printf '%s\n' "${expected[@]}" | sort)" \
    "$(dpkg-deb --contents "$deb" | awk '{ print $6 }' | sort)"

  # Errors fail the check; warnings and the note about running as root are shown.
  lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || fail "lintian:" "$work/lintian"
  grep -v '^running with root privileges' "$work/lintian" >&2 || true

  rm -rf "$work/deb"
  dpkg-deb -x "$deb" "$work/deb"
  # No code made for fuzzing only in a shipped program.
  tools/check-no-fuzzing-code.sh "$work/deb/usr/bin/nevrik-update" \
    "$work/deb/usr/bin/nevrik-info" 2>"$work/fuzzing" || fail "$deb:" "$work/fuzzing"
  updater=$work/deb/usr/bin/nevrik-update
  same "nevrik-update -h exit code" 0 \
    "$(run "$work/out" "$work/err" "${emulator[@]}" "$updater" -h)"
  same_file "nevrik-update -h output" "$banner" "$work/out"
  same_file "nevrik-update -h errors" "" "$work/err"
  same "nevrik-update --bogus exit code" 2 \
    "$(run "$work/out" "$work/err" "${emulator[@]}" "$updater" --bogus)"
  same_file "nevrik-update --bogus output" "" "$work/out"
  same_file "nevrik-update --bogus errors" $'unknown option -- bogus\n' "$work/err"

  info=$work/deb/usr/bin/nevrik-info
  same "nevrik-info -v exit code" 0 "$(run "$work/out" "$work/err" "${emulator[@]}" "$info" -v)"
  same_file "nevrik-info -v output" "$info_version" "$work/out"
  same "nevrik-info --bogus exit code" 2 \
    "$(run "$work/out" "$work/err" "${emulator[@]}" "$info" --bogus)"
  same_file "nevrik-info --bogus errors" $'unknown option -- bogus\n' "$work/err"

  for page in nevrik-update nevrik-info; do
    man --warnings -l "$work/deb/usr/share/man/man1/$page.1.gz" >"$work/man" 2>"$work/man.err"
    [ ! -s "$work/man.err" ] || fail "man --warnings ($page):" "$work/man.err"
    grep -q '^EXIT STATUS' "$work/man" || fail "$page's man page has no EXIT STATUS section:" \
      "$work/man"
  done
}
check_deb "${debs[0]}" amd64
# qemu named here: the check needs no binfmt registration, so it runs without root.
check_deb "${debs[1]}" arm64 qemu-aarch64-static

# --- The Windows zip
top=nevrik-update-$version-windows-x86_64
expected=("$top/nevrik-update.exe" "$top/nevrik-info.exe" "$top/README.txt" "$top/SECURITY.txt"
          "$top/FLEET.txt")
same "$zip files" "$(printf '%s\n' "${expected[@]}" | sort)" "$(cmake -E tar tf "$zip" | sort)"

mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
check_text() { # check_text TEXT SOURCE: TEXT is SOURCE with every line ended in CR LF
  ! grep -qv $'\r$' "$1" || fail "$1 has a line that does not end in CR LF"
  [ "$(tail -c 1 "$1")" == "" ] || fail "$1 does not end with a line end"
  tr -d '\r' <"$1" | cmp -s - "$2" || fail "$1 is not $2 with Windows line ends"
}
tools/check-no-fuzzing-code.sh "$work/zip/$top/nevrik-update.exe" "$work/zip/$top/nevrik-info.exe" \
  2>"$work/fuzzing" || fail "the zip:" "$work/fuzzing"
check_text "$work/zip/$top/README.txt" README.md
check_text "$work/zip/$top/SECURITY.txt" SECURITY.md
check_text "$work/zip/$top/FLEET.txt" docs/fleet.md

tools/wine-run.sh "$wine_prefix" --start-session
touch "$work/wine-session"
exe=$work/zip/$top/nevrik-update.exe
same "nevrik-update.exe -h exit code" 0 "$(run_exe "$work/out" "$work/err" "$exe" -h)"
same_file "nevrik-update.exe -h output" "${banner//$'\n'/$'\r\n'}" "$work/out"
same_file "nevrik-update.exe -h errors" "" "$work/err"
same "nevrik-update.exe --bogus exit code" 2 "$(run_exe "$work/out" "$work/err" "$exe" --bogus)"
same_file "nevrik-update.exe --bogus errors" $'unknown option -- bogus\r\n' "$work/err"
info_exe=$work/zip/$top/nevrik-info.exe
same "nevrik-info.exe -v exit code" 0 "$(run_exe "$work/out" "$work/err" "$info_exe" -v)"
same_file "nevrik-info.exe -v output" "${info_version//$'\n'/$'\r\n'}" "$work/out"
