#!/usr/bin/env bash
# Runs a Windows program of the build under Wine: the tests' cross-compiling emulator, and what the
# shell tests run Windows programs with. VELKARO_WINE names the Wine loader for the build's
# architecture. When the wine_start fixture found that this machine cannot run that Wine (it wrote
# the reason to VELKARO_WINE_STATE), nothing runs: the reason is printed and the exit status is 77,
# which the tests declare as their skip code, so ctest counts them as not run.
# Usage: wine_run.sh PROGRAM [ARGUMENTS...]
#        wine_run.sh --check    only the test: 0 when programs can run, else the reason and 77
set -u
if [ -n "${VELKARO_WINE_STATE:-}" ] && [ -s "$VELKARO_WINE_STATE" ]; then
  echo "not run: $(cat "$VELKARO_WINE_STATE")"
  exit 77
fi
[ "${1:-}" = --check ] && exit 0
exec "${VELKARO_WINE:-wine}" "$@"
