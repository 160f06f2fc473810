#!/usr/bin/env bash
# Builds a static Crypto++ for x86_64-w64-mingw32 (posix thread model) from Debian's own source
# package and prints its prefix (include/cryptopp/*.h, lib/libcryptopp.a) on standard output.
#
# Debian has no Crypto++ for mingw, so the source of the libcrypto++-dev that this machine would
# install is fetched with apt-get source and built with its cross makefile, only the objects
# listed in tools/cryptopp-mingw-objects.txt. The result is cached in
#   ${XDG_CACHE_HOME:-$HOME/.cache}/nevrik-update/cryptopp-mingw-<version>-<threads>-<list hash>
# and reused when present: then nothing is fetched or built and nothing but the prefix is printed.
#
# The source comes through a temporary deb-src entry for the archive that holds the binary
# package, with apt's lists and caches in a temporary folder: the machine's apt set-up is left
# as it was, and the entry is gone when the script ends.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
objects_file=$here/cryptopp-mingw-objects.txt
threads=posix # the updater's compiler model; a library of the other model does not link with it
target=x86_64-w64-mingw32
binary_package=libcrypto++-dev
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/nevrik-update

say() { echo "build-cryptopp-mingw: $*" >&2; }

# The candidate record of the binary package. Its source version differs from its own only for
# binary-only rebuilds, which record it as "Source: name (version)".
record=$(apt-cache show --no-all-versions "$binary_package" 2>/dev/null) || true
if [ -z "$record" ]; then
  apt-get update -qq # a machine whose package lists were never fetched or were cleaned
  record=$(apt-cache show --no-all-versions "$binary_package")
fi
binary_version=$(sed -n 's/^Version: //p' <<<"$record")
source_version=$(sed -n 's/^Source: [^ ]* (\(.*\))$/\1/p' <<<"$record")
source_version=${source_version:-$binary_version}

list_hash=$(sha256sum "$objects_file" | cut -c 1-8)
prefix=$cache_root/cryptopp-mingw-${source_version//:/_}-$threads-$list_hash

mkdir -p "$cache_root"
exec 9>"$cache_root/cryptopp-mingw.lock"
flock 9 # one build at a time; a second caller then finds the cache filled
if [ -f "$prefix/BUILD-INFO" ]; then
  echo "$prefix"
  exit 0
fi

started=$SECONDS
mapfile -t sources < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$objects_file")
say "building Crypto++ $source_version for $target ($threads threads, ${#sources[@]} sources)"

work=$(mktemp -d)
log=$work/build.log
staging=$prefix.partial.$$
trap 'rm -rf "$work" "$staging"' EXIT
fail() {
  say "$1; the end of the log:"
  tail -n 40 "$log" >&2
  exit 1
}

# The archive line of the candidate, "URI suite/component arch Packages", names where its source is.
read -r archive_uri archive_dist < <(apt-cache policy "$binary_package" |
  awk -v version="$binary_version" '
  /^ (\*\*\*|   ) [^ ]/ { current = ($1 == "***") ? $2 : $1 }
  current == version && $NF == "Packages" { print $2, $3; exit }') ||
  { say "no archive offers $binary_package $binary_version"; exit 1; }

mkdir -p "$work/apt/lists/partial" "$work/source"
echo "deb-src $archive_uri ${archive_dist%%/*} ${archive_dist#*/}" >"$work/apt/sources.list"
apt_private=(-o "Dir::Etc::sourcelist=$work/apt/sources.list" -o "Dir::Etc::sourceparts=-"
             -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache::pkgcache="
             -o "Dir::Cache::srcpkgcache=")
# The download goes into a folder of root's; apt's unprivileged download user could not write it.
[ "$(id -u)" -ne 0 ] || apt_private+=(-o "APT::Sandbox::User=root")

apt-get "${apt_private[@]}" update >>"$log" 2>&1 || fail "fetching the source index failed"
(cd "$work/source" && apt-get "${apt_private[@]}" source "libcrypto++=$source_version") \
  >>"$log" 2>&1 || fail "apt-get source failed"
source_dir=$(dirname "$(compgen -G "$work/source/*/GNUmakefile-cross" | head -n 1)")

# The makefile adds per-file instruction-set flags (-maes, -msha, ...) after probing the
# compiler; the library picks the code path by CPUID at run time. Its default flags carry -g2.
objects=("${sources[@]/%.cpp/.o}")
make -C "$source_dir" -f GNUmakefile-cross -j"$(nproc)" \
  CXX="$target-g++-$threads" AR="$target-ar" RANLIB="$target-ranlib" \
  CXXFLAGS="-DNDEBUG -O2 -pipe" "${objects[@]}" >>"$log" 2>&1 || fail "compiling failed"

mkdir -p "$staging/include/cryptopp" "$staging/lib"
(cd "$source_dir" && "$target-ar" rcs "$staging/lib/libcryptopp.a" "${objects[@]}")
cp "$source_dir"/*.h "$staging/include/cryptopp/"
{
  echo "source=libcrypto++ $source_version"
  echo "threads=$threads"
  echo "objects=${#objects[@]} ($list_hash)"
  echo "compiler=$("$target-g++-$threads" --version | head -n 1)"
} >"$staging/BUILD-INFO"
mv "$staging" "$prefix"

say "done in $((SECONDS - started)) s"
echo "$prefix"
