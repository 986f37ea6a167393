#!/usr/bin/env bash
# Fails when the suite left something behind: a process that runs a program of
# the build folder, works in it or serves its Wine prefix, or a folder in
# <build>/tests/tmp.
build=$(cd "$1" && pwd)
left=()
for proc in /proc/[0-9]*; do
  pid=${proc#/proc/}
  [ "$pid" = "$$" ] && continue
  exe=$(readlink "$proc/exe" 2>/dev/null) || continue
  cmd=$(tr '\0' ' ' <"$proc/cmdline" 2>/dev/null)
  prefix=$(tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -x "WINEPREFIX=$build/wine-prefix")
  case "$exe $cmd" in
    # A program of the build folder, or one that works in it (a browser
    # whose profile a test made there: --user-data-dir=<build>/...).
    "$build"/*|*" $build"/*|*"=$build"/*) left+=("$pid: $cmd") ;;
    *) [ -n "$prefix" ] && left+=("$pid: $cmd") ;;
  esac
done
folders=$(ls -A "$build/tests/tmp" 2>/dev/null)
[ ${#left[@]} -eq 0 ] && [ -z "$folders" ] && exit 0
printf 'left running: %s\n' "${left[@]}" >&2
[ -n "$folders" ] && printf 'left in %s: %s\n' "$build/tests/tmp" "$(echo $folders)" >&2
exit 1
