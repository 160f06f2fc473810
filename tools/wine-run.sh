#!/usr/bin/env bash
# Runs Windows executables under wine, headless, in a wine prefix of their own.
#
#   tools/wine-run.sh PREFIX PROGRAM.exe [ARGUMENT...]
#       runs the program and exits with its exit code; the Windows build's toolchain file makes
#       this the emulator through which ctest and test discovery run the test executables
#   tools/wine-run.sh PREFIX
#       only makes sure the prefix exists
#   tools/wine-run.sh PREFIX --start-session | --end-session
#       keeps wine's session running from now on, detached, until ended (see below)
#
# The prefix is created on first use, once, even when several runs start together.
#
# Wine's session processes (services, device manager, desktop) start with the first program of a
# session, inherit its standard streams and stay until a few seconds after the last program has
# ended. Whoever reads a program's output to its end (ctest, test discovery) therefore waits for
# the session too. A session started here has its streams on /dev/null, and programs run during
# it start at once and end with their output.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 PREFIX [PROGRAM.exe [ARGUMENT...] | --start-session | --end-session]" >&2
  exit 2
fi
export WINEPREFIX
WINEPREFIX=$(realpath -m "$1")
shift

unset DISPLAY WAYLAND_DISPLAY # no window may open, whatever the calling session has
# Wine takes the Windows code pages from the Unix locale and decodes the arguments with it: the
# same on every machine (OEM 437, ANSI 1252), and UTF-8 arguments read as such.
export LC_ALL=C.UTF-8
# "-all" alone would also hide wine's "Library ... not found", the only trace of a missing DLL.
export WINEDEBUG=${WINEDEBUG:--all,err+module}
# No Mono or Gecko installers: nothing here needs .NET or HTML rendering.
export WINEDLLOVERRIDES="mscoree,mshtml="

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot --init </dev/null >/dev/null 2>&1
      wineserver --wait
    fi
  ) 9>"$WINEPREFIX.lock"
fi

case "${1:-}" in
  "") ;;
  --start-session)
    wineserver --persistent </dev/null >/dev/null 2>&1 || true # one may be running already
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    ;;
  --end-session) wineserver --kill || true ;;
  *)
    # About once in two or three thousand starts wine ends a program with exit code 1 before any
    # of it has run. Listing a test program's tests has no other way to fail that way, and a
    # failed listing fails the build, so it is tried again.
    if [ "${2:-}" = "--gtest_list_tests" ]; then
      for attempt in 1 2; do
        if listing=$(wine "$@"); then
          printf '%s\n' "$listing"
          exit 0
        fi
      done
    fi
    exec wine "$@"
    ;;
esac
