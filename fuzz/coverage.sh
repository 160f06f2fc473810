#!/usr/bin/env bash
# Line and branch coverage that a fuzzer's corpus reaches, measured with clang's source-based
# coverage in a build of its own (build-coverage/, no sanitizers), so the figures are those of
# the inputs alone:
#
#   fuzz/coverage.sh <fuzzer name> <corpus directory>... [-- <source path>...]
#
# e.g. fuzz/coverage.sh update build-fuzz/found-update fuzz/corpus/update \
#          -- protocol/ secure/ app/update_procedure.cpp
# prints the summary for those sources (all of the project's by default) and writes the
# annotated listing, branch counts included, to build-coverage/<name>.txt.
# Needs clang and llvm-14: tools/setup.sh coverage.
set -euo pipefail
cd "$(dirname "$0")/.."

name=${1:?usage: fuzz/coverage.sh <fuzzer name> <corpus directory>... [-- <source path>...]}
shift
corpora=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  corpora+=("$1")
  shift
done
[ $# -gt 0 ] && shift
sources=()
for source in "$@"; do
  sources+=("$PWD/$source")  # the coverage mapping holds absolute paths
done

build=build-coverage
# ccache would rewrite the source paths relative to the build directory, and llvm-cov would then
# match none of the sources asked for.
unset CCACHE_BASEDIR
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DNEVRIK_BUILD_TESTS=OFF -DNEVRIK_BUILD_FUZZERS=ON -DNEVRIK_BUILD_USBBUS=OFF \
  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping" \
  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate >/dev/null
cmake --build "$build" --target "${name}_fuzzer" >/dev/null

rm -f "$build/$name.profraw"
LLVM_PROFILE_FILE="$build/$name.profraw" "$build/fuzz/${name}_fuzzer" -runs=0 "${corpora[@]}" \
  2>/dev/null
llvm-profdata-14 merge -sparse "$build/$name.profraw" -o "$build/$name.profdata"
report=(-instr-profile="$build/$name.profdata" "$build/fuzz/${name}_fuzzer" "${sources[@]}")
llvm-cov-14 show -show-branches=count -show-line-counts-or-regions "${report[@]}" \
  >"$build/$name.txt"
llvm-cov-14 report "${report[@]}"
