#!/usr/bin/env bash
# Runs cmake/debian-changelog.cmake on small changelogs (in a temporary folder, removed however the test ends): the
# entries it writes, with each date's week day as `date` gives it, and the changelogs it must refuse.
# Usage: changelog_test.sh CMAKE SOURCE_DIR
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# convert VERSION: CHANGELOG.md of $work -> $work/changelog; the status of cmake.
convert() {
  "$CMAKE" -DIN="$work/CHANGELOG.md" -DOUT="$work/changelog" -DPACKAGE=qarvel -DVERSION="$1" \
    "-DMAINTAINER=The qarvel developers <developers@qarvel.invalid>" -P "$2/cmake/debian-changelog.cmake" >"$work/log" 2>&1
}
CMAKE=$1

# Two versions, dates with leading zeros and in February (the week day's year starts in March), and an item's line
# of 80 characters, the most it may have (the trailer, longer, is not an item).
long=$(printf '%076d' 0)
printf '%s\n' "# Changelog" "" "Preamble text." "" "## 1.1.0 (2024-08-09)" "" "- Second, on" "  two lines." \
  "- $long" "" "## 1.0.0 (2024-02-29)" "" "- First." >"$work/CHANGELOG.md"
if convert 1.1.0 "$2"; then
  expected="qarvel (1.1.0) unstable; urgency=medium

  * Second, on
    two lines.
  * $long

 -- The qarvel developers <developers@qarvel.invalid>  $(LC_ALL=C date -u -d 2024-08-09 '+%a, %d %b %Y') 00:00:00 +0000

qarvel (1.0.0) unstable; urgency=medium

  * First.

 -- The qarvel developers <developers@qarvel.invalid>  $(LC_ALL=C date -u -d 2024-02-29 '+%a, %d %b %Y') 00:00:00 +0000"
  [ "$(cat "$work/changelog")" = "$expected" ] ||
    { printf 'FAIL: two versions:\n%s\nwant:\n%s\n' "$(cat "$work/changelog")" "$expected"; failed=1; }
else
  echo "FAIL: two versions refused:"; cat "$work/log"; failed=1
fi
for d in 2026-01-01 2026-03-01 2000-02-29 2100-12-31; do
  printf '## 1.0.0 (%s)\n- x\n' "$d" >"$work/CHANGELOG.md"
  convert 1.0.0 "$2" && grep -qF "  $(LC_ALL=C date -u -d "$d" '+%a, %d %b %Y') " "$work/changelog" ||
    { echo "FAIL: the week day of $d: $(tail -1 "$work/changelog")"; failed=1; }
done

# version | CHANGELOG.md (printf format) | words of the refusal (cmake wraps its messages)
while IFS='|' read -r version text why; do
  printf "$text" >"$work/CHANGELOG.md"
  if convert "$version" "$2" || ! grep -qF -- "$why" "$work/log"; then
    printf 'FAIL: %s: not refused with "%s":\n%s\n' "$text" "$why" "$(cat "$work/log")"
    failed=1
  fi
done <<'TABLE'
1.0.1|## 1.0.0 (2026-12-07)\n- x\n|not this version, 1.0.1
1.0.0|Only a preamble.\n|not this version, 1.0.0
1.0.0|## 1.0.0 (2026-12-07)\n\n## 0.9.0 (2026-01-01)\n- x\n|has no
1.0.0|## 1.0.0 (2026-13-07)\n- x\n|no such date
1.0.0|## 1.0.0 (2026-12-32)\n- x\n|no such date
1.0.0|## 1.0.0\n- x\n|heading
1.0.0|## 1.0.0 (2026-12-07)\n- x\nloose text\n|neither an item
1.0.0|## 1.0.0 (2026-12-07)\n- x\n  01234567890123456789012345678901234567890123456789012345678901234567890123456\n|longer than 80
TABLE
exit "$failed"
