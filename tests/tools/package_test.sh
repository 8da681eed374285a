#!/usr/bin/env bash
# The release zip as a Windows user gets it: unpacked into a fresh folder, it holds the stripped
# DLL with its version, zelm.exe, the commented Velkaro.ini and INSTALL.txt; and the DLL from
# it, hosted by velkaro-sim.exe under Wine with a Velkaro.ini beside it that moves the port and
# turns the log on, answers `zelm status` (the unpacked zelm.exe) on that port and writes its log
# beside itself. (The stand-in SimConnect assembly is copied in as the simulator would provide
# it.)
# Usage: package_test.sh BUILD_DIR ZIP VERSION PORT
set -u
build=$1
zip=$2
version=$3
port=$4
work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

[ -f "$zip" ] || { echo "FAIL: no release zip at $zip"; exit 1; }
(cd "$work" && cmake -E tar xf "$zip") || { echo "FAIL: cannot unpack $zip"; exit 1; }
dir="$work/Velkaro-$version-win32"
for f in Velkaro.dll zelm.exe Velkaro.ini INSTALL.txt; do
  [ -f "$dir/$f" ] && pass "the zip holds $f" || fail "the zip holds no $f"
done

sections=$(i686-w64-mingw32-objdump -h "$dir/Velkaro.dll")
grep -q "debug" <<<"$sections" && fail "Velkaro.dll still has debug sections" \
  || pass "Velkaro.dll is stripped ($(du -k "$dir/Velkaro.dll" | cut -f1) KiB)"
i686-w64-mingw32-objcopy -O binary --only-section=.rsrc "$dir/Velkaro.dll" "$work/rsrc.bin"
strings -el "$work/rsrc.bin" | grep -qx "$version" && pass "Velkaro.dll carries version $version" \
  || fail "Velkaro.dll carries no version $version"
grep -q "netsh advfirewall firewall add rule" "$dir/INSTALL.txt" && grep -q "<Launch.Addon>" "$dir/INSTALL.txt" \
  && pass "INSTALL.txt gives the firewall rule and the dll.xml entry" || fail "INSTALL.txt is incomplete"
grep -q $'\r$' "$dir/INSTALL.txt" && pass "INSTALL.txt has Windows line ends" \
  || fail "INSTALL.txt has no Windows line ends"

# The user's settings: another port, the log on.
cp -r "$build/Microsoft.FlightSimulator.SimConnect" "$dir/"
sed -e "s/^port = .*/port = $port/" -e "s/^enabled = false/enabled = true/" "$dir/Velkaro.ini" \
  >"$work/Velkaro.ini" && mv "$work/Velkaro.ini" "$dir/Velkaro.ini"
grep -q "^port = $port" "$dir/Velkaro.ini" || fail "could not set the port in Velkaro.ini"

(cd "$work" && exec wine "$build/velkaro-sim.exe" --addon "$(winepath -w "$dir/Velkaro.dll")" \
  --duration 120 >"$work/sim.out" 2>&1) &
sim_pid=$!
answered=
for _ in $(seq 60); do
  status=$(cd "$dir" && wine ./zelm.exe status --port "$port" --timeout 3 2>&1) && { answered=1; break; }
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
log=$(tr -d '\r' <"$dir/Velkaro.log" 2>/dev/null)
grep -q "$version" <<<"$log" && grep -q "Velkaro.ini" <<<"$log" \
  && pass "the log beside the add-on names the version and the configuration file" \
  || fail "the log beside the add-on: ${log:-missing}"

echo
[ $failures -eq 0 ] && echo "all package checks passed" || echo "$failures package check(s) failed"
[ $failures -eq 0 ]
