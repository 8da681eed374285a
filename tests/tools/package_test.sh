#!/usr/bin/env bash
# This build's part of the release as a user installs it: its folder ("32-bit simulators (FSX)"
# or "64-bit simulators") holds the stripped DLL of the build's architecture with its version,
# and zelm.exe; the texts are complete. Then Velkaro.dll and Velkaro.ini are copied into a fresh
# folder, as into the simulator's Modules folder, with a Velkaro.ini that moves the port and
# turns the log on; hosted by velkaro-sim.exe under Wine the DLL answers `zelm status` (the
# release's zelm.exe) on that port and writes its log beside itself. (The stand-in SimConnect
# assembly is copied in as the simulator would provide it.) Where this machine cannot run the
# build's programs, the file checks still count and the rest is reported as not run (77).
# Usage: package_test.sh BUILD_DIR VERSION ARCH PORT
set -u
build=$1
version=$2
arch=$3
port=$4
tools_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
source "$tools_dir/release_files.sh"

release="$build/release/Velkaro-$version"
case "$arch" in
  x86) folder="$release/32-bit simulators (FSX)" ;;
  amd64) folder="$release/64-bit simulators" ;;
  *) echo "FAIL: unknown architecture $arch"; exit 1 ;;
esac
check_arch_folder "$folder" "$arch" "$version"
check_texts "$release"

if ! not_run=$("$tools_dir/wine_run.sh" --check); then
  echo "$not_run (hosting the release's add-on)"
  [ $failures -eq 0 ] && exit 77 || exit 1
fi
wine() { "$tools_dir/wine_run.sh" "$@"; }

modules="$work/Modules"
mkdir -p "$modules"
cp "$folder/Velkaro.dll" "$modules/"
cp -r "$build/Microsoft.FlightSimulator.SimConnect" "$modules/"
# The user's settings: another port, the log on.
sed -e "s/^port = .*/port = $port/" -e "s/^enabled = false/enabled = true/" "$release/Velkaro.ini" \
  >"$modules/Velkaro.ini"
grep -q "^port = $port" "$modules/Velkaro.ini" || fail "could not set the port in Velkaro.ini"

(cd "$work" && exec "$tools_dir/wine_run.sh" "$build/velkaro-sim.exe" \
  --addon "$(WINEDEBUG=-all winepath -w "$modules/Velkaro.dll" 2>/dev/null || echo "$modules/Velkaro.dll")" \
  --duration 120 >"$work/sim.out" 2>&1) &
sim_pid=$!
answered=
for _ in $(seq 60); do
  status=$(cd "$folder" && wine ./zelm.exe status --port "$port" --timeout 3 2>&1) && { answered=1; break; }
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 1
done
if [ -n "$answered" ]; then
  pass "zelm status answers on port $port"
  grep -q "$version" <<<"$status" && pass "the status names version $version" \
    || fail "the status names no version $version: $status"
else
  fail "zelm status on port $port: ${status:-nothing}; velkaro-sim said: $(cat "$work/sim.out")"
fi
log=$(tr -d '\r' <"$modules/Velkaro.log" 2>/dev/null)
grep -q "$version" <<<"$log" && grep -q "Velkaro.ini" <<<"$log" \
  && pass "the log beside the add-on names the version and the configuration file" \
  || fail "the log beside the add-on: ${log:-missing}"

echo
[ $failures -eq 0 ] && echo "all package checks passed" || echo "$failures package check(s) failed"
[ $failures -eq 0 ]
