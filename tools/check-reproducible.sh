#!/usr/bin/env bash
# Builds the release twice with tools/package.sh, each time in a fresh clone of the committed HEAD
# (what is not committed takes no part), and checks that both dist/ folders hold the same files,
# byte for byte: the .deb, the zip, the firmware file and pack, the build record and SHA256SUMS.
# Between the two builds varies all that tools/package.sh leaves as it finds it: the folder (of
# another name and depth), the host name (each build in a UTS namespace of its own), the number of
# build jobs, the umask, the time zone and the locale (which reach the compiling: package.sh resets
# them only for the packing), and the time, a build's time apart. It says what it varied, and
# fails unless the umask did reach the build. It also checks that the build record names the
# commit and the packages of the compilers, linkers and libraries used, at their versions, and
# that the published pack is the one in the program. On a difference it prints diffoscope's
# report of it and fails; else it prints the release's SHA256SUMS.
#
# Both builds run on this machine, with its Debian packages and the same cached Crypto++ for
# mingw: a rebuild elsewhere is matched against the build record (see docs/releasing.md).
#
#   tools/check-reproducible.sh
set -euo pipefail
cd "$(dirname "$0")/.."

commit=$(git rev-parse HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Installed before the builds, outside their namespaces, as the caller would install it.
bash tools/setup.sh package

# A host name of its own needs a UTS namespace: root makes one; anyone else in a user namespace
# in which they are root.
namespace=(unshare --uts)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --map-root-user --uts)

# build CLONE HOST_NAME JOBS UMASK TIME_ZONE LOCALE: clones the commit into CLONE and packs it there
build() {
  local clone=$1 host=$2 jobs=$3 mask=$4 zone=$5 locale=$6
  local log=$work/$(basename "$clone").log
  mkdir -p "$(dirname "$clone")"
  git clone --quiet --no-checkout . "$clone"
  git -C "$clone" checkout --quiet --detach "$commit"
  # No compiler launcher: a cache would hand the second build the first one's objects.
  if ! env -u CMAKE_CXX_COMPILER_LAUNCHER -u CMAKE_C_COMPILER_LAUNCHER \
         CMAKE_BUILD_PARALLEL_LEVEL="$jobs" TZ="$zone" LC_ALL="$locale" LANG="$locale" \
         "${namespace[@]}" bash -c '
           hostname "$1" && umask "$2" && cd "$3" &&
           echo "build in $3: host name $(uname -n), $CMAKE_BUILD_PARALLEL_LEVEL build jobs," \
                "umask $(umask), TZ=$TZ, LC_ALL=$LC_ALL, at $(date -u +%T) UTC" &&
           bash tools/package.sh >"$4" 2>&1' bash "$host" "$mask" "$clone" "$log"; then
    cat "$log" >&2
    echo "check-reproducible: the build in $clone failed" >&2
    exit 1
  fi
}

first=$work/a/nevrik-update
second=$work/second/build/at/a/longer/path/nevrik-update-again
build "$first" builder-one 1 022 UTC C
build "$second" rebuilder-two.example.org 2 007 Pacific/Kiritimati C.UTF-8

# The umask reached the compiling if the programs in the two build trees got different modes.
modes=$(stat -c %a "$first/build-package/nevrik-update" "$second/build-package/nevrik-update" |
        tr '\n' ' ')
if [ "${modes% }" != "755 770" ]; then
  echo "check-reproducible: the umask did not reach the build (program modes $modes)" >&2
  exit 1
fi

# The record tells what went in: the commit, and the packages of the compilers, linkers and
# libraries used, at their installed versions; and the published pack is the program's.
record=$(echo "$first"/dist/nevrik-update-*-build.txt)
native=$(dpkg --print-architecture)
grep -qx "Commit: $commit" "$record" ||
  { echo "check-reproducible: the build record does not name commit $commit" >&2; exit 1; }
for used in "$(command -v g++)" "$(command -v ld)" "$(command -v x86_64-w64-mingw32-g++-posix)" \
            "$(command -v x86_64-w64-mingw32-ld)" /usr/include/cryptopp/cryptlib.h \
            /usr/include/libusb-1.0/libusb.h /usr/include/nlohmann/json.hpp; do
  # "name[:arch], ...: path" of the file itself, or else of the link to it; the native one
  owners=$(dpkg -S "$(realpath "$used")" 2>/dev/null || dpkg -S "$used")
  for package in ${owners%%: *}; do
    package=${package%,}
    [[ $package == *:* && $package != *:"$native" ]] || break
  done
  version=$(dpkg-query -W -f='${Version}' "$package")
  if ! grep -qx " ${package%:"$native"}=$version" "$record"; then
    echo "check-reproducible: the build record lacks $package $version, which gives $used" >&2
    exit 1
  fi
done
dpkg-deb --fsys-tarfile "$first"/dist/*_"$native".deb | tar -xO ./usr/bin/nevrik-update >"$work/program"
python3 -c 'import sys; program, pack = (open(f, "rb").read() for f in sys.argv[1:])
sys.exit(pack not in program)' "$work/program" "$first"/dist/nevrik-update-*-firmware.pack ||
  { echo "check-reproducible: the published pack is not the one in the program" >&2; exit 1; }

different=0
if [ "$(cd "$first/dist" && ls)" != "$(cd "$second/dist" && ls)" ]; then
  echo "check-reproducible: the two builds made different files:" >&2
  diff <(cd "$first/dist" && ls) <(cd "$second/dist" && ls) >&2 || true
  different=1
fi
for file in "$first"/dist/*; do
  name=$(basename "$file")
  [ -f "$second/dist/$name" ] || continue
  if ! cmp -s "$file" "$second/dist/$name"; then
    echo "check-reproducible: $name differs between the two builds:" >&2
    diffoscope --no-progress --max-report-size 262144 --text - "$file" "$second/dist/$name" >&2 ||
      true
    different=1
  fi
done
[ "$different" -eq 0 ] || exit 1
echo "two builds of $commit in different folders, on different host names, with different" \
     "numbers of build jobs, umasks, time zones and locales, at different times, made the same" \
     "files:"
cat "$first/dist/SHA256SUMS"
