#!/usr/bin/env bash
# zelm serve --mqtt against a real broker: Debian's mosquitto, started here on a free loopback
# port with a configuration of its own (no system service), velkaro-sim as the simulator.
# Retained field values reach a late subscriber at once; a field is published again only when
# it changes past its deadband; commands on mcp/set fly the aircraft and bad ones are refused on
# mcp/result; a retained command is refused and cleared (after a broker restart too), an
# oversize one refused; publishing resumes after the broker restarts; the status says when the
# add-on goes; a broker that refuses the gateway's password is reported with its reason.
# Usage: mqtt_test.sh BUILD_DIR
set -u
build=$1
sim="$build/velkaro-sim"
zelm="$build/zelm"
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
cat >"$work/broker.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
persistence false
CONF
start_broker() { mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 & broker_pid=$!; pids+=($broker_pid); sleep 0.3; }
sub() { timeout 5 mosquitto_sub -p "$port" "$@" 2>/dev/null; }  # sub ARGS...: messages until -C/-W
first() { sub -t "$1" -C 1 -W 3; }                                # first (retained) message
field() { "$zelm" frame --json | python3 -c "import json,sys; v=json.load(sys.stdin)['$1']['value']; print(v[0] if isinstance(v,list) else v)"; }

start_broker
mkfifo "$work/stdin"
"$sim" --rate 30 --set "PLANE ALTITUDE=12345" <"$work/stdin" >"$work/sim.out" 2>&1 &
sim_pid=$!; pids+=($sim_pid)
exec 3>"$work/stdin"
"$zelm" serve --no-http --mqtt "mqtt://127.0.0.1:$port" --mqtt-prefix t >"$work/serve.out" 2>&1 &
pids+=($!)

for _ in $(seq 100); do [ "$(first t/field/altitude)" = "12345" ] && break; sleep 0.1; done
[ "$(first t/field/altitude)" = "12345" ] && pass "a late subscriber gets the retained altitude at once" \
  || fail "retained altitude: '$(first t/field/altitude)'; serve said: $(cat "$work/serve.out")"
frame=$(first t/frame)
python3 -c "import json,sys; f=json.loads(sys.argv[1]); assert f['altitude']==12345 and 'magneticHeading' in f" "$frame" \
  && pass "frames arrive as JSON by field name" || fail "frame: ${frame:0:200}"

# Deadband: the pinned altitude is not published again while it stays; one change is published
# once, and only on the topics whose values changed.
sub -t 't/field/#' -v -W 2 -R >"$work/quiet.txt"
grep -q "^t/field/altitude " "$work/quiet.txt" && fail "an unchanged altitude was published again" \
  || pass "an unchanged field is not published again"
frames_seen=$(sub -t t/frame -W 2 | wc -l)
quiet_fields=$(wc -l <"$work/quiet.txt")
# (Every field of every frame would be over a hundred a frame.)
[ "$quiet_fields" -lt $((frames_seen * 5)) ] \
  && pass "field messages stay few while cruising ($quiet_fields in 2 s, against $frames_seen frames)" \
  || fail "field messages while cruising: $quiet_fields against $frames_seen frames"
sub -t 't/field/altitude' -t 't/field/verticalSpeed' -v -R -W 3 >"$work/changed.txt" &
watcher=$!
sleep 0.5
echo "set PLANE ALTITUDE=20000" >&3
wait $watcher
[ "$(grep -c '^t/field/altitude ' "$work/changed.txt")" = 1 ] && grep -q '^t/field/altitude 20000$' "$work/changed.txt" \
  && pass "a changed altitude is published once, with its new value" \
  || fail "after the change: $(cat "$work/changed.txt")"

# Commands: a bad one is refused with the reason, a good one flies the aircraft.
sub -t t/mcp/result -C 2 -W 4 >"$work/results.txt" &
watcher=$!
sleep 0.3
mosquitto_pub -p "$port" -t t/mcp/set -m '{"mcp": {"hdg": 999}, "id": "bad"}'
mosquitto_pub -p "$port" -t t/mcp/set -m '{"mcp": {"ap": true, "hdg": 270}, "id": "good"}'
wait $watcher
grep -q '"error":"hdg takes 0 to 360 deg, not 999","id":"bad","ok":false' "$work/results.txt" \
  && pass "an invalid command is refused on mcp/result" || fail "results: $(cat "$work/results.txt")"
grep -q '"id":"good","ok":true' "$work/results.txt" && pass "a valid command is accepted" \
  || fail "results: $(cat "$work/results.txt")"
h0=$(field magneticHeading)
sleep 2
h1=$(field magneticHeading)
[ "$(field apHeading)" = "270" ] && python3 -c "import sys; a,b=map(float,sys.argv[1:]); sys.exit(0 if abs(((b-a+540)%360)-180)>1 else 1)" "$h0" "$h1" \
  && pass "the command turns the aircraft ($h0 -> $h1)" || fail "no turn: heading $h0 -> $h1, apHeading $(field apHeading)"

# A retained command would run again at each reconnection: it is refused and deleted at the broker.
retained() { sub -t t/mcp/set --retained-only -W 1 -v; }  # the retained command, if any
sub -t t/mcp/result -C 1 -W 4 >"$work/retained.txt" &
watcher=$!
sleep 0.3
mosquitto_pub -p "$port" -t t/mcp/set -r -q 1 -m '{"mcp": {"hdg": 90}, "id": "live"}'
wait $watcher
grep -q '"error":"a retained command is not executed.*","id":"live","ok":false' "$work/retained.txt" \
  && pass "a retained command is refused on mcp/result" || fail "retained command: $(cat "$work/retained.txt")"
[ -z "$(retained)" ] && pass "the retained command is cleared at the broker" \
  || fail "still retained: $(retained)"

# Oversize: refused unread, and the next command is answered.
python3 -c 'print("{\"mcp\": {\"hdg\": 90}, \"id\": \"big\", \"pad\": \"" + "x" * 17000 + "\"}")' >"$work/big.json"
sub -t t/mcp/result -C 2 -W 4 >"$work/big.txt" &
watcher=$!
sleep 0.3
mosquitto_pub -p "$port" -t t/mcp/set -f "$work/big.json"
mosquitto_pub -p "$port" -t t/mcp/set -m '{"mcp": {"hdg": 270}, "id": "after"}'
wait $watcher
grep -q '"error":"a command is at most 16 KiB: nothing was sent","id":null,"ok":false' "$work/big.txt" \
  && grep -q '"id":"after","ok":true' "$work/big.txt" \
  && pass "an oversize command is refused and the next one is answered" || fail "oversize: $(cat "$work/big.txt")"

# The broker goes away and comes back empty: everything is published again. A command retained
# at the restarted broker (before or after the gateway is back) is refused and cleared too.
kill "$broker_pid"; wait "$broker_pid" 2>/dev/null
sleep 1
start_broker
sub -t t/mcp/result -C 1 -W 15 >"$work/stored.txt" &
watcher=$!
sleep 0.2
mosquitto_pub -p "$port" -t t/mcp/set -r -q 1 -m '{"mcp": {"hdg": 90}, "id": "stored"}'
for _ in $(seq 100); do [ -n "$(first t/field/altitude)" ] && break; sleep 0.2; done
[ "$(first t/field/altitude)" = "20000" ] && pass "after the broker's restart the values are retained again" \
  || fail "after the broker's restart: '$(first t/field/altitude)'"
[ "$(sub -t t/frame -W 2 | wc -l)" -gt 10 ] && pass "frames flow again after the broker's restart" \
  || fail "no frames after the broker's restart"
wait $watcher
grep -q '"id":"stored","ok":false' "$work/stored.txt" && [ -z "$(retained)" ] \
  && pass "a command retained at the restarted broker is refused and cleared" \
  || fail "retained after the restart: $(cat "$work/stored.txt"); still retained: $(retained)"
[ "$(field apHeading)" = "270" ] && pass "no retained command reached the autopilot" \
  || fail "apHeading $(field apHeading) after the retained commands"

# The add-on goes away: the status says so.
echo quit >&3
wait "$sim_pid" 2>/dev/null
for _ in $(seq 50); do
  status=$(first t/status)
  python3 -c "import json,sys; s=json.loads(sys.argv[1]); sys.exit(0 if s['online'] and not s['upstream']['connected'] else 1)" "$status" 2>/dev/null && break
  sleep 0.2
done
python3 -c "import json,sys; s=json.loads(sys.argv[1]); sys.exit(0 if s['online'] and not s['upstream']['connected'] else 1)" "$status" \
  && pass "the status says the add-on is gone" || fail "status: $status"

# The gateway vanishes without a word: the broker marks it offline (its last will).
pkill -KILL -f -- "--mqtt-prefix t" 2>/dev/null
for _ in $(seq 50); do grep -q '"online":false' <<<"$(first t/status)" && break; sleep 0.1; done
grep -q '"online":false' <<<"$(first t/status)" && pass "a vanished gateway is marked offline" \
  || fail "after the gateway vanished: $(first t/status)"

# A broker with passwords: a wrong one is reported with the broker's reason; the right one, from
# the environment or from --mqtt-password (which warns that it is visible), connects.
auth_port=$(free_port)
nothing=$(free_port)  # no add-on: these gateways only talk to the broker
# (user: a broker started as root would otherwise drop to a user that cannot read $work)
mosquitto_passwd -b -c "$work/passwd" pilot secret >/dev/null 2>&1
chmod 600 "$work/passwd"
cat >"$work/auth.conf" <<CONF
listener $auth_port 127.0.0.1
allow_anonymous false
password_file $work/passwd
persistence false
user $(id -un)
CONF
mosquitto -c "$work/auth.conf" >>"$work/auth_broker.log" 2>&1 &
pids+=($!)
sleep 0.3
printf 'wrong\n' >"$work/wrong"
auth_serve() {  # auth_serve NAME ARGS...: a gateway at the password broker, its output in NAME.out
  local name=$1; shift
  "$zelm" serve --port "$nothing" --no-http --mqtt "mqtt://pilot@127.0.0.1:$auth_port" --mqtt-prefix "a$name" "$@" \
    >"$work/$name.out" 2>&1 &
  pids+=($!)
}
auth_serve wrong --mqtt-password-file "$work/wrong"
ZELM_MQTT_PASSWORD=secret auth_serve env
auth_serve option --mqtt-password secret
for _ in $(seq 50); do
  grep -q "refused the connection" "$work/wrong.out" && grep -q "connected to" "$work/env.out" \
    && grep -q "connected to" "$work/option.out" && break
  sleep 0.2
done
grep -Eq "refused the connection: (Not authorized|Bad user name or password)" "$work/wrong.out" \
  && ! grep -q "was lost" "$work/wrong.out" \
  && pass "a wrong password is reported with the broker's reason" || fail "wrong password: $(cat "$work/wrong.out")"
grep -q "connected to the MQTT broker" "$work/env.out" && ! grep -q "warning" "$work/env.out" \
  && pass "the password from ZELM_MQTT_PASSWORD connects" || fail "password from the environment: $(cat "$work/env.out")"
grep -q "connected to the MQTT broker" "$work/option.out" \
  && grep -q "warning: --mqtt-password is visible to other users" "$work/option.out" \
  && pass "--mqtt-password connects and warns" || fail "--mqtt-password: $(cat "$work/option.out")"

echo
[ $failures -eq 0 ] && echo "all MQTT checks passed" || echo "$failures MQTT check(s) failed"
[ $failures -eq 0 ]
