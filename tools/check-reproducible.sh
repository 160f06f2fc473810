#!/usr/bin/env bash
# Builds the release twice with tools/package.sh, each time in a fresh clone of the committed HEAD
# (what is not committed takes no part), the two clones in folders of different names and depths,
# under different umasks, time zones and locales, and a build's time apart; then checks that both
# dist/ folders hold the same files, byte for byte: the .deb, the zip, the firmware file and
# SHA256SUMS. On a difference it prints diffoscope's report of it and fails; else it prints the
# release's SHA256SUMS. The mingw Crypto++ comes from the cache both times.
#
#   tools/check-reproducible.sh
set -euo pipefail
cd "$(dirname "$0")/.."

commit=$(git rev-parse HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# build CLONE UMASK TIME_ZONE LOCALE: clones the commit into CLONE and packs it there
build() {
  local clone=$1 mask=$2 zone=$3 locale=$4
  echo "build in $clone (umask $mask, TZ=$zone, LC_ALL=$locale)"
  mkdir -p "$(dirname "$clone")"
  if ! (umask "$mask" &&
        git clone --quiet --no-checkout . "$clone" &&
        cd "$clone" && git checkout --quiet --detach "$commit" &&
        TZ=$zone LC_ALL=$locale LANG=$locale bash tools/package.sh) >"$work/$(basename "$clone").log" 2>&1; then
    cat "$work/$(basename "$clone").log" >&2
    echo "check-reproducible: the build in $clone failed" >&2
    exit 1
  fi
}

first=$work/a/nevrik-update
second=$work/second/build/at/a/longer/path/nevrik-update-again
build "$first" 022 UTC C
build "$second" 007 Pacific/Kiritimati C.UTF-8

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
echo "two builds of $commit gave the same packages:"
cat "$first/dist/SHA256SUMS"
