#!/usr/bin/env bash
# The wine fixture's set-up: finds out once whether the build's Windows programs can run here and
# starts Wine's services for the whole run (without that every test program waits seconds for
# them). A 32-bit build needs a machine that executes 32-bit programs; where it does not, the
# reason goes to VELKARO_WINE_STATE, this test and every Windows test after it are reported as not
# run (exit status 77), and nothing is counted as passed or failed. Where Wine should run but does
# not start, this fails, and with it every test that needs it.
# Environment: VELKARO_WINE (the loader), VELKARO_WINE_ARCH (win32 or win64), VELKARO_WINE_STATE,
# WINEPREFIX as the tests have them.
set -u
state=${VELKARO_WINE_STATE:?}
rm -f "$state"
if [ "${VELKARO_WINE_ARCH:-}" = win32 ]; then
  if ! reason=$("$(dirname "$0")/runs_32bit.sh"); then
    echo "$reason" >"$state"
    echo "not run: $reason"
    exit 77
  fi
  echo "$reason"
fi
wine=${VELKARO_WINE:-wine}
if ! command -v "$wine" >/dev/null 2>&1; then
  echo "FAIL: no Wine loader $wine on this machine (scripts/test installs it)"
  exit 1
fi
# A persistent server first, so that it stays up between the test programs; then the first
# program, which makes the prefix (that takes a while on a loaded machine).
mkdir -p "$WINEPREFIX"
"${WINESERVER:-wineserver}" -p >/dev/null 2>&1
# (Its output goes to a file: Wine's services, which stay, inherit it and would hold a pipe open.)
out="$WINEPREFIX/../wine-start.out"
if ! timeout 300 "$wine" cmd /c exit >"$out" 2>&1; then
  echo "FAIL: Wine does not start ($wine, prefix $WINEPREFIX):"
  tail -20 "$out"
  exit 1
fi
echo "Wine started ($wine, prefix $WINEPREFIX)"
