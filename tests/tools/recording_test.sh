#!/usr/bin/env bash
# Flight recordings as a user makes them: zelm record against velkaro-sim with a value pinned
# through its console (set) while the model flies, then zelm export as CSV (header with units, the
# pinned value in every row, --fields and --every) and as GPX (valid against the GPX 1.1 schema,
# with xmllint), Ctrl-C finishing a recording with its index, a recording cut short, and the
# gateway's zelm serve --record writing a recording per connection.
# Usage: recording_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
sim="$build/velkaro-sim"
zelm="$build/zelm"
schema="$source_dir/tests/tools/gpx/gpx.xsd"
work=$(mktemp -d)
sim_pid=
trap 'exec 3>&- 2>/dev/null; [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
field() { "$zelm" frame --fields "$1" 2>/dev/null | awk '{print $NF}'; }

command -v xmllint >/dev/null || { echo "xmllint is missing (Debian's libxml2-utils)"; exit 1; }

# Nothing listening: a clear message, exit status 1, no recording left behind as if it worked.
out=$("$zelm" record -o "$work/none.vrec" --seconds 1 2>&1); rc=$?
[ $rc -eq 1 ] && grep -q "cannot connect" <<<"$out" && pass "record without an add-on" \
  || fail "record without an add-on: status $rc: $out"

mkfifo "$work/stdin"
"$sim" --rate 30 <"$work/stdin" >"$work/sim.out" 2>&1 &
sim_pid=$!
exec 3>"$work/stdin"
echo "set PLANE ALTITUDE=12345" >&3
for _ in $(seq 100); do [ "$(field altitude)" = "12345" ] && break; sleep 0.1; done
[ "$(field altitude)" = "12345" ] || fail "velkaro-sim did not pin the altitude: $(cat "$work/sim.out")"

# Three seconds of frames.
out=$("$zelm" record -o "$work/flight.vrec" --seconds 3 2>&1); rc=$?
frames=$(sed -n 's/.*: \([0-9]*\) frames, .*/\1/p' <<<"$out")
[ $rc -eq 0 ] && [ -n "$frames" ] && [ "$frames" -ge 45 ] && [ "$frames" -le 200 ] \
  && pass "record --seconds 3: $out" || fail "record --seconds 3: status $rc: $out"

# CSV: the header names the fields with their units; the pinned altitude is in every row, and
# the position the model flies changes.
"$zelm" export "$work/flight.vrec" --csv -o "$work/flight.csv" 2>"$work/export.err"; rc=$?
header=$(head -1 "$work/flight.csv" | tr -d '\r')
rows=$(($(wc -l <"$work/flight.csv") - 1))
[ $rc -eq 0 ] && [ "$rows" = "$frames" ] && [[ "$header" == "time (s),conversionTime (s),"* ]] \
  && grep -q ",altitude (ft)," <<<"$header" && grep -q ",mach," <<<"$header" \
  && grep -q ",indicatedAirspeed\[1\] (kt),indicatedAirspeed\[2\] (kt)," <<<"$header" \
  && ! grep -q "fixed40" <<<"$header" \
  && pass "export --csv header and a row a frame ($rows rows)" \
  || fail "export --csv: status $rc, $rows rows for $frames frames, header: ${header:0:200}; $(cat "$work/export.err")"
column() {  # column NAME FILE: the values of the CSV column of that header
  awk -F, -v name="$1" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == name) c = i; next }
                        { sub(/\r$/, ""); print $c }' "$2"
}
altitudes=$(column "altitude (ft)" "$work/flight.csv" | sort -u)
longitudes=$(column "longitude (deg)" "$work/flight.csv" | sort -u | wc -l)
times=$(column "time (s)" "$work/flight.csv")
[ "$altitudes" = "12345" ] && pass "the pinned altitude in every row" \
  || fail "pinned altitude: $(head -c 200 <<<"$altitudes")"
[ "$longitudes" -gt 1 ] && pass "changing values recorded ($longitudes longitudes)" \
  || fail "the longitude never changed"
[ "$(head -1 <<<"$times")" = "0.000000" ] && [ "$(sort -g <<<"$times")" = "$times" ] \
  && awk '{ exit !($1 > 2.5 && $1 < 4.5) }' <<<"$(tail -1 <<<"$times")" \
  && pass "times from 0, never decreasing, about 3 s" || fail "times: $(head -3 <<<"$times") ... $(tail -1 <<<"$times")"

# --fields and --every.
"$zelm" export "$work/flight.vrec" --csv --fields altitude,trueHeading --every 1 -o "$work/thin.csv" 2>/dev/null
thin_header=$(head -1 "$work/thin.csv" | tr -d '\r')
thin_rows=$(($(wc -l <"$work/thin.csv") - 1))
[ "$thin_header" = "time (s),altitude (ft),trueHeading (deg)" ] && [ "$thin_rows" -ge 3 ] && [ "$thin_rows" -le 4 ] \
  && pass "--fields and --every 1 ($thin_rows rows)" || fail "--fields --every: $thin_header, $thin_rows rows"
out=$("$zelm" export "$work/flight.vrec" --csv --fields altitude,nosuchfield 2>&1); rc=$?
[ $rc -eq 2 ] && grep -q 'no field is named "nosuchfield"' <<<"$out" && pass "an unknown field is a usage error" \
  || fail "unknown field: status $rc: $out"

# GPX: valid GPX 1.1, a point a second, the pinned altitude in metres.
"$zelm" export "$work/flight.vrec" --gpx -o "$work/flight.gpx" 2>/dev/null; rc=$?
points=$(grep -c "<trkpt " "$work/flight.gpx")
out=$(xmllint --noout --schema "$schema" "$work/flight.gpx" 2>&1)
[ $rc -eq 0 ] && grep -q "validates" <<<"$out" && [ "$points" -ge 3 ] && [ "$points" -le 4 ] \
  && grep -q "<ele>3762.76</ele>" "$work/flight.gpx" \
  && pass "export --gpx validates against the GPX 1.1 schema ($points points)" \
  || fail "export --gpx: status $rc, $points points: $out"

# Ctrl-C finishes the recording with its index: exported without a warning.
"$zelm" record -o "$work/stopped.vrec" >"$work/stopped.out" 2>&1 &
record_pid=$!
sleep 1.5
kill -INT $record_pid
wait $record_pid; rc=$?
out=$("$zelm" export "$work/stopped.vrec" --csv -o "$work/stopped.csv" 2>&1)
[ $rc -eq 0 ] && [ -z "$(grep warning <<<"$out")" ] && [ "$(tail -c 8 "$work/stopped.vrec")" = "VRECIDX" ] \
  && pass "Ctrl-C finishes the recording: $(cat "$work/stopped.out")" \
  || fail "Ctrl-C: status $rc: $(cat "$work/stopped.out"); $out"

# A recording cut short exports its whole frames, with a warning.
size=$(stat -c %s "$work/flight.vrec")
head -c $((size - 300)) "$work/flight.vrec" >"$work/cut.vrec"
out=$("$zelm" export "$work/cut.vrec" --csv -o "$work/cut.csv" 2>&1); rc=$?
cut_rows=$(($(wc -l <"$work/cut.csv") - 1))
[ $rc -eq 0 ] && grep -q "warning: .*cut short" <<<"$out" && [ "$cut_rows" -gt 0 ] && [ "$cut_rows" -lt "$frames" ] \
  && pass "a recording cut short: $cut_rows rows and a warning" || fail "cut short: status $rc, $cut_rows rows: $out"
out=$("$zelm" export "$work/sim.out" --csv 2>&1); rc=$?
[ $rc -eq 1 ] && grep -q "not a flight recording" <<<"$out" && pass "a file that is no recording is refused" \
  || fail "not a recording: status $rc: $out"

# The gateway records each connection to the add-on into a file of its own.
"$zelm" serve --no-http --record "$work/flights" >"$work/serve.out" 2>&1 &
serve_pid=$!
for _ in $(seq 50); do grep -q "recording to" "$work/serve.out" && break; sleep 0.1; done
sleep 1.5
kill -INT $serve_pid
wait $serve_pid; rc=$?
recorded=$(ls "$work/flights"/*.vrec 2>/dev/null)
count=$(ls "$work/flights" 2>/dev/null | wc -l)
gw_rows=0
[ "$count" -eq 1 ] && gw_rows=$(($("$zelm" export "$recorded" --csv 2>/dev/null | wc -l) - 1))
[ $rc -eq 0 ] && [ "$count" -eq 1 ] && [ "$gw_rows" -gt 10 ] && grep -q "recorded $recorded: " "$work/serve.out" \
  && [[ "$(basename "$recorded")" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}\.vrec$ ]] \
  && pass "serve --record: $(basename "$recorded"), $gw_rows frames" \
  || fail "serve --record: status $rc, $count files, $gw_rows rows: $(cat "$work/serve.out")"

echo quit >&3
exec 3>&-
wait $sim_pid 2>/dev/null
sim_pid=
echo "$failures failures"
[ $failures -eq 0 ]
