#!/usr/bin/env bash
# Installs the build into a temporary prefix (removed however the test ends), checks that the README is there
# and runs each installed program for its usage text. Usage: install_test.sh CMAKE BUILD_DIR
set -u
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$1" --install "$2" --prefix "$prefix" >"$prefix/log" 2>&1 || { cat "$prefix/log"; exit 1; }
[ -f "$prefix/share/doc/qarvel/README.md" ] || { echo "FAIL: no share/doc/qarvel/README.md"; exit 1; }
failed=0
# program | argument | exit status | text its output holds
for c in "qarvel||255|enables the global averager" "vexa||255|amount of averaging to be used. Default value" \
  "vexasw||255|Usage: VEXASW filename -oPORT" "qarvel-recover||2|usage: qarvel-recover JOURNAL" "instrument-emulator|--help|0|Usage: instrument-emulator sweep" \
  "qarvel-plot|--help|0|usage"; do
  IFS='|' read -r program arg status text <<<"$c"
  out=$(cd "$prefix" && "$prefix/bin/$program" $arg </dev/null 2>&1)
  got=$?
  [ "$got" -eq "$status" ] && grep -qiF -- "$text" <<<"$out" && continue
  printf 'FAIL: bin/%s %s: exit %s (want %s):\n%s\n' "$program" "$arg" "$got" "$status" "$out" | head -20
  failed=1
done
exit "$failed"
