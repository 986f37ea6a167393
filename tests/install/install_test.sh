#!/usr/bin/env bash
# Installs the build into a temporary prefix (removed however the test ends), checks that the README, changelog
# and copyright file (with uPlot's copyright) are there, runs each installed program for its usage text, and reads each program's manual
# page as `man` finds it in the prefix: there must be one for every program in bin/, rendered without a warning,
# and naming every option that the usage text names. Usage: install_test.sh CMAKE BUILD_DIR
set -u
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$1" --install "$2" --prefix "$prefix" >"$prefix/log" 2>&1 || { cat "$prefix/log"; exit 1; }
command -v man >/dev/null || { echo "FAIL: no man (Debian: man-db; scripts/install-deps test-native)"; exit 1; }
failed=0
for doc in README.md changelog.gz copyright; do
  [ -s "$prefix/share/doc/qarvel/$doc" ] || { echo "FAIL: no share/doc/qarvel/$doc"; failed=1; }
done
# The copyright file covers uPlot, which the live pages embed, under its own copyright line.
grep -A1 -x 'Files: node_modules/uplot/\*' "$prefix/share/doc/qarvel/copyright" 2>/dev/null | grep -qE '^Copyright: [0-9]{4} .' ||
  { echo "FAIL: share/doc/qarvel/copyright names no copyright of uPlot"; failed=1; }

# Every installed program has its page, as `man -M` finds it in the prefix, and it renders without a warning. Each
# page is rendered once, as plain ASCII on long lines, into pages[program].
declare -A pages
for path in "$prefix"/bin/*; do
  program=$(basename "$path")
  pages[$program]=$(LC_ALL=C MANWIDTH=200 man --warnings -M "$prefix/share/man" "$program" 2>"$prefix/warnings")
  [ $? -eq 0 ] && [ ! -s "$prefix/warnings" ] && continue
  echo "FAIL: man $program: $(cat "$prefix/warnings")"
  failed=1
done
[[ ${pages[qarvel]} == *NAME* ]] || { echo "FAIL: man qarvel shows no page"; failed=1; }

# program | argument | exit status | text its output holds
for c in "qarvel||255|enables the global averager" "vexa||255|amount of averaging to be used. Default value" \
  "vexasw||255|Usage: VEXASW filename -oPORT" "qarvel-recover||2|usage: qarvel-recover [--partial] JOURNAL" \
  "qarvel-track||2|usage: qarvel-track SOURCE..." "instrument-emulator|--help|0|Usage: instrument-emulator sweep" \
  "qarvel-plot|--help|0|usage"; do
  IFS='|' read -r program arg status text <<<"$c"
  out=$(cd "$prefix" && "$prefix/bin/$program" $arg </dev/null 2>&1)
  got=$?
  if [ "$got" -ne "$status" ] || ! grep -qiF -- "$text" <<<"$out"; then
    printf 'FAIL: bin/%s %s: exit %s (want %s):\n%s\n' "$program" "$arg" "$got" "$status" "$out" | head -20
    failed=1
  fi
  # Each option of the usage text, -x of -xVALUE or a whole --long-option, is in the page.
  for option in $(grep -oE '(^|[][ ,(])--?[a-zA-Z][-a-zA-Z]*' <<<"$out" | sed -E 's/^[][ ,(]//; s/^(-[a-zA-Z]).*/\1/' | sort -u); do
    named="(^|[][:space:],(|])$option([^-a-z]|\$)"
    [[ ${pages[$program]-} =~ $named ]] ||
      { echo "FAIL: man $program: no $option, which its usage text names"; failed=1; }
  done
done
exit "$failed"
