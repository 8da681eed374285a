#!/usr/bin/env bash
# The programs as a user runs them: velkaro-sim with options, commands on its standard input and
# Ctrl-C; zelm's commands against it, and zelm's answers when nothing is there to talk to.
# Usage: tools_test.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
sim="$build/velkaro-sim"
zelm="$build/zelm"
work=$(mktemp -d)
trap 'kill "$sim_pid" "$watch_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

field() {  # field NAME: the value of a frame field from zelm frame --json
  "$zelm" frame --json | grep "^  \"$1\":" | sed 's/.*"value": \(.*\)}.*/\1/'
}

# zelm with nothing listening: a clear message and exit status 1.
out=$("$zelm" frame 2>&1); rc=$?
[ $rc -eq 1 ] && grep -q "cannot connect to 127.0.0.1:5193" <<<"$out" && pass "zelm without add-on" \
  || fail "zelm without add-on: status $rc, said: $out"
out=$("$zelm" fmc put 2>&1); rc=$?
[ $rc -eq 2 ] && pass "zelm usage error" || fail "zelm usage error: status $rc: $out"

# velkaro-sim refuses a library that is not an add-on.
out=$("$sim" --addon "$work/missing.so" --frames 1 2>&1); rc=$?
[ $rc -ne 0 ] && grep -q "cannot load the add-on" <<<"$out" && pass "velkaro-sim with a missing add-on" \
  || fail "velkaro-sim with a missing add-on: status $rc: $out"

# velkaro-sim's command line: what it refuses, and the variables it lists.
out=$("$sim" --rate 0 2>&1); rc=$?
[ $rc -eq 2 ] && [ "$out" = "velkaro-sim: --rate: must be greater than 0 and at most 1000 frames per second, not 0 (see --help)" ] \
  && pass "--rate 0 refused with the accepted range" || fail "--rate 0: status $rc: $out"
out=$("$sim" --aircraft "$work/none.air" --frames 1 2>&1); rc=$?
[ $rc -eq 2 ] && [ "$out" = "velkaro-sim: aircraft $work/none.air not loaded: no such file" ] \
  && pass "--aircraft of a missing file" || fail "--aircraft of a missing file: status $rc: $out"
"$sim" --list-vars >"$work/vars.out" 2>&1; rc=$?
[ $rc -eq 0 ] && grep -Eq '^PLANE HEADING DEGREES TRUE +Radians +FLOAT64$' "$work/vars.out" \
  && grep -Eq '^NAV IDENT:1 +Number +INT64 text\(8\)$' "$work/vars.out" \
  && grep -q '^182 variables registered by the add-on' "$work/vars.out" \
  && [ "$(awk 'length($0) > 80' "$work/vars.out" | wc -l)" -eq 0 ] \
  && pass "--list-vars" || fail "--list-vars: status $rc: $(head -3 "$work/vars.out")"

# At a slow rate the simulator still ends on time (it does not sleep through a whole frame).
start=$(date +%s)
timeout 20 "$sim" --rate 0.01 --duration 1 >/dev/null 2>&1; rc=$?
[ $rc -eq 0 ] && [ $(($(date +%s) - start)) -le 10 ] && pass "--duration at 0.01 frames per second" \
  || fail "--duration at 0.01 frames per second: status $rc after $(($(date +%s) - start)) s"

# A relative --aircraft is taken from the folder velkaro-sim starts in, and the add-on is given
# it whole; an aircraft without aircraft.cfg beside it is loaded with a warning.
mkdir -p "$work/fleet/bare"
cp -r "$build/aircraft/Velkaro Trainer" "$work/fleet/"
cp "$work/fleet/Velkaro Trainer/velkaro_trainer.air" "$work/fleet/bare/plane.air"
out=$(cd "$work/fleet" && "$sim" --aircraft bare/plane.air --frames 1 2>&1); rc=$?
[ $rc -eq 0 ] && grep -Fxq "velkaro-sim: warning: no aircraft.cfg beside $work/fleet/bare/plane.air; the add-on keeps the flap detents it has" <<<"$out" \
  && pass "--aircraft without aircraft.cfg" || fail "--aircraft without aircraft.cfg: status $rc: $out"

# The simulator with pinned variables, driven through its standard input.
mkfifo "$work/stdin"
(cd "$work/fleet" && exec "$sim" --rate 60 --aircraft "Velkaro Trainer/velkaro_trainer.air" \
  --set "PLANE ALTITUDE=12345" --set "FLAPS HANDLE INDEX=5" --title "Test Jet" \
  <"$work/stdin" >"$work/sim.out" 2>&1) &
sim_pid=$!
exec 3>"$work/stdin"
# Up, and converting frames (the first frame only starts the server).
for _ in $(seq 100); do [ "$(field simulatorName 2>/dev/null)" = '"FSX"' ] && break; sleep 0.1; done

grep -q "^velkaro-sim: clients connect to TCP port 5193\.$" "$work/sim.out" \
  && pass "velkaro-sim reports the add-on's server" \
  || fail "velkaro-sim's server report: $(cat "$work/sim.out")"
[ "$(field altitude)" = "12345" ] && pass "--set pins a variable" || fail "--set: altitude $(field altitude)"
[ "$(field flapLastDetentAngle)" = "40" ] && pass "sample aircraft detents, from a relative --aircraft" \
  || fail "sample aircraft detents: $(field flapLastDetentAngle)"
grep -Fq "aircraft $work/fleet/Velkaro Trainer/velkaro_trainer.air;" "$work/sim.out" \
  && pass "the add-on is given the aircraft's whole path" || fail "aircraft path: $(head -2 "$work/sim.out")"

echo "aircraft $build/aircraft/Velkaro Freighter/velkaro_freighter.air" >&3
for _ in $(seq 50); do [ "$(field flapLastDetentAngle)" = "35" ] && break; sleep 0.1; done
[ "$(field flapLastDetentAngle)" = "35" ] && pass "aircraft change on standard input" \
  || fail "aircraft change: $(field flapLastDetentAngle)"
echo "set PLANE ALTITUDE=23456" >&3
for _ in $(seq 50); do [ "$(field altitude)" = "23456" ] && break; sleep 0.1; done
[ "$(field altitude)" = "23456" ] && pass "set on standard input" || fail "set on standard input"
# (the add-on converts radians with 57.2957795129 degrees each: 90 within a billionth)
near90() { awk -v v="$(field trueHeading)" 'BEGIN { exit !(v - 90 < 1e-9 && 90 - v < 1e-9) }'; }
echo "set PLANE HEADING DEGREES TRUE=90 Degrees" >&3
for _ in $(seq 50); do near90 && break; sleep 0.1; done
near90 && grep -Fq "PLANE HEADING DEGREES TRUE pinned to 1.57079633 Radians (90 Degrees)" "$work/sim.out" \
  && pass "a heading pinned in degrees reaches the frame in degrees" \
  || fail "heading in degrees: $(field trueHeading)"

head -c 5000 /dev/urandom >"$work/fmc.bin"
"$zelm" fmc put "$work/fmc.bin" --version 42 >/dev/null && "$zelm" fmc get -o "$work/back.bin" 2>/dev/null \
  && cmp -s "$work/fmc.bin" "$work/back.bin" && pass "zelm fmc put/get round trip" || fail "fmc round trip"
"$zelm" fmc get 2>/dev/null | head -1 | grep -q "5000 bytes, version 42" && pass "zelm fmc get summary" \
  || fail "fmc get summary"
printf 'KSEA DCT KPDX' >"$work/plan.fpl"
"$zelm" fpl put "$work/plan.fpl" --version 3 | grep -q "stored 13 bytes" && pass "zelm fpl put" || fail "fpl put"
"$zelm" mcp --ap on --timeout 5 | grep -q "autopilot block uploaded" && pass "zelm mcp with --timeout" \
  || fail "zelm mcp with --timeout"
"$zelm" bench --clients 4 --seconds 1 | grep -q "latency over" && pass "zelm bench" || fail "zelm bench"
# zelm watch into a file: a line per second; it stays through a restart of the simulator.
"$zelm" watch >"$work/watch.out" 2>&1 &
watch_pid=$!
for _ in $(seq 50); do grep -q " bank " "$work/watch.out" && break; sleep 0.1; done
grep -q " alt  23456 .* bank .* age " "$work/watch.out" && pass "zelm watch" \
  || fail "zelm watch: $(head -3 "$work/watch.out")"

# zelm watch ends when the reader of its output goes.
timeout 10 "$zelm" watch 2>/dev/null | head -n 1 >/dev/null
rc=${PIPESTATUS[0]}
[ $rc -eq 1 ] && pass "zelm watch ends with its reader" || fail "zelm watch into a closed pipe: status $rc"

# Ctrl-C stops the simulator cleanly: DLLStop is called and it exits 0.
kill -INT "$sim_pid"
wait "$sim_pid"; rc=$?
[ $rc -eq 0 ] && grep -q "stopped after" "$work/sim.out" && pass "Ctrl-C stops velkaro-sim" \
  || fail "Ctrl-C: status $rc: $(tail -3 "$work/sim.out")"
"$zelm" fmc version >/dev/null 2>&1 && fail "the add-on still listens after the stop" \
  || pass "nothing listens after the stop"

for _ in $(seq 50); do grep -q "reconnecting... .*connection refused" "$work/watch.out" && break; sleep 0.1; done
grep -q "reconnecting... .*connection refused" "$work/watch.out" && pass "zelm watch sees the add-on go" \
  || fail "zelm watch after the stop: $(tail -3 "$work/watch.out")"
"$sim" --rate 60 --set "PLANE ALTITUDE=777" </dev/null >"$work/sim2.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q " alt    777 " "$work/watch.out" && break; sleep 0.1; done
grep -q " alt    777 " "$work/watch.out" && pass "zelm watch reconnects to a restarted simulator" \
  || fail "zelm watch after the restart: $(tail -3 "$work/watch.out")"
kill -INT "$watch_pid"
wait "$watch_pid"; rc=$?
[ $rc -eq 0 ] && pass "Ctrl-C stops zelm watch" || fail "Ctrl-C stops zelm watch: status $rc"
awk 'length > 80 { exit 1 }' "$work/watch.out" && pass "zelm watch lines fit 80 columns" \
  || fail "zelm watch lines wider than 80: $(awk 'length > 80' "$work/watch.out" | head -2)"
kill -INT "$sim_pid"
wait "$sim_pid"

[ $failures -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures > 0))
