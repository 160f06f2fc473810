#!/usr/bin/env bash
# Fails when one of the given programs carries code made for fuzzing only: the marker string that
# secure/fuzzing_build.h compiles into every object with such code. Used on the packaged programs
# by tools/check-packages.sh; the fuzz tree's tests prove that it finds the marker in a fuzzer.
#
#   tools/check-no-fuzzing-code.sh PROGRAM...
set -euo pipefail

marker=NEVRIK-FUZZING-BUILD-UNSAFE-FOR-PRODUCTION
[ $# -gt 0 ] || { echo "usage: $0 PROGRAM..." >&2; exit 2; }
found=0
for program in "$@"; do
  [ -f "$program" ] || { echo "$program: no such file" >&2; exit 2; }
  if grep -q -a -F -- "$marker" "$program"; then
    echo "$program carries code made for fuzzing only ($marker)" >&2
    found=1
  fi
done
exit "$found"
