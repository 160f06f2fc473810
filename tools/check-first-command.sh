#!/usr/bin/env bash
# Runs the README's first command as continuous integration does, with no terminal on standard
# input, and checks that it prints exactly the run the README shows, but for the one figure that
# changes from run to run: the time the update took. So the README cannot drift from the program.
set -euo pipefail
cd "$(dirname "$0")/.."

mask() {
  sed -E 's/^(  update took +)[0-9]+\.[0-9]+ s$/\1T s/'
}

# The lines after "$ tools/run.sh" up to the end of the first code block that starts with it.
expected=$(awk '
  previous == "```" && $0 == "$ tools/run.sh" { inside = 1; previous = $0; next }
  inside && $0 == "```" { exit }
  inside { print }
  { previous = $0 }' README.md | mask)
if [ -z "$expected" ]; then
  echo "check-first-command: README.md shows no run of tools/run.sh" >&2
  exit 1
fi

actual=$(tools/run.sh </dev/null | mask)
if [ "$actual" != "$expected" ]; then
  echo "check-first-command: tools/run.sh no longer prints what README.md shows:" >&2
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2 || true
  exit 1
fi
echo "tools/run.sh updated the simulated key exactly as README.md shows"
