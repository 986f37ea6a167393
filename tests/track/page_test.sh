#!/usr/bin/env bash
# Runs a browser test of the live page (SCRIPT.mjs, given its first argument
# and TMPDIR, then Chromium's path) with headless Chromium, or reports it
# skipped when Node, Chromium or playwright-core is missing
# (scripts/install-deps test-native installs all three).
# Usage: page_test.sh SCRIPT.mjs ARGUMENT TMPDIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
chromium=${QARVEL_CHROMIUM:-/usr/bin/chromium}
why=
if ! command -v node >/dev/null; then
  why="node not found"
elif [ ! -x "$chromium" ]; then
  why="$chromium not found (Debian package chromium)"
elif [ ! -f "$root/node_modules/playwright-core/package.json" ]; then
  why="playwright-core not in $root/node_modules (npm ci)"
fi
if [ -n "$why" ]; then
  echo "[  SKIPPED ] live page in a browser: $why"
  exit 0
fi
mkdir -p "$3" || exit 1
exec node "$1" "$2" "$3" "$chromium"
