#!/usr/bin/env bash
# Installs the build into a temporary prefix (removed whether the test passes
# or fails), checks the README is there and runs each installed program for
# its usage text. Usage: install_test.sh CMAKE BUILD_DIR
set -uo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$1" --install "$2" --prefix "$prefix" >"$prefix/install.log" 2>&1 || { cat "$prefix/install.log"; exit 1; }
[ -f "$prefix/share/doc/qarvel/README.md" ] || { echo "FAIL: no share/doc/qarvel/README.md" >&2; exit 1; }
failed=0
# program | argument | exit status | text its output must hold
for c in "qarvel||255|enables the global averager" "vexa||255|amount of averaging to be used. Default value" \
    "vexasw||255|Usage: VEXASW filename -oPORT" "instrument-emulator|--help|0|Usage: instrument-emulator sweep" \
    "qarvel-plot|--help|0|usage"; do
  IFS='|' read -r program arg status text <<<"$c"
  out=$(cd "$prefix" && "$prefix/bin/$program" $arg </dev/null 2>&1)
  got=$?
  if [ "$got" -ne "$status" ] || ! grep -qiF -- "$text" <<<"$out"; then
    printf 'FAIL: bin/%s %s: exit %s (want %s), output:\n%s\n' "$program" "$arg" "$got" "$status" "$out" | head -20 >&2
    failed=1
  fi
done
exit "$failed"
