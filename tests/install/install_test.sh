#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks the installed files and
# runs each installed program for its usage text. The prefix is removed
# whether the test passes or fails.
# Usage: install_test.sh CMAKE BUILD_DIR
set -uo pipefail
cmake="$1"
build="$2"

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
if ! "$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1; then
  cat "$prefix/install.log"
  echo "FAIL: cmake --install" >&2
  exit 1
fi

failed=0
if [ ! -f "$prefix/share/doc/qarvel/README.md" ]; then
  echo "FAIL: share/doc/qarvel/README.md was not installed" >&2
  failed=1
fi

# program | arguments | exit status | text its output must hold
cases=(
  "qarvel||255|enables the global averager"
  "vexa||255|amount of averaging to be used. Default value"
  "vexasw||255|Usage: VEXASW filename -oPORT"
  "instrument-emulator|--help|0|Usage: instrument-emulator sweep"
  "qarvel-plot|--help|0|usage"
)
for c in "${cases[@]}"; do
  IFS='|' read -r program arg want_status want_text <<<"$c"
  out=$(cd "$prefix" && "$prefix/bin/$program" $arg </dev/null 2>&1)
  status=$?
  if [ "$status" -ne "$want_status" ] || ! grep -qiF -- "$want_text" <<<"$out"; then
    echo "FAIL: bin/$program $arg: exit $status (want $want_status), output:" >&2
    printf '%s\n' "$out" | head -20 >&2
    failed=1
  else
    echo "ok: bin/$program $arg"
  fi
done
exit "$failed"
