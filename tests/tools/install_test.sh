#!/usr/bin/env bash
# libzelm as another project takes it: installed with `cmake --install` into a scratch prefix,
# where only libzelm, its public headers and its package configuration land; the example program
# examples/print_altitude, configured against that prefix alone with the build's compiler, finds
# it with find_package(zelm) and links zelm::zelm with nothing else; and it reads the altitude and
# heading that velkaro-sim pins. In a cross build the example runs under Wine (wine_run.sh) and
# reads a frame from a peer of the test's own.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER [TOOLCHAIN_FILE]
set -u
build=$1
source=$2
cxx=$3
toolchain=${4:-}
work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

prefix="$work/prefix"
if ! out=$(cmake --install "$build" --prefix "$prefix" 2>&1); then
  echo "FAIL: cmake --install: $out"
  exit 1
fi

# Exactly the public headers, and one library.
headers=$(cd "$prefix/include" && find . -type f | sort | tr '\n' ' ')
expected="./zelm/common/coding.h ./zelm/common/frame_layout.h ./zelm/common/mcp_block.h ./zelm/common/mcp_settings.h ./zelm/common/protocol.h ./zelm/recording.h ./zelm/zelm_client.h ./zelm/zelm_layout.h ./zelm/zelm_protocol.h "
[ "$headers" = "$expected" ] && pass "public headers only" || fail "installed headers: $headers"
# Each header stands on its own, with nothing but the installed ones beside it.
for header in $(cd "$prefix/include/zelm" && find . -name '*.h' | sort); do
  if ! out=$("$cxx" -std=c++20 -fsyntax-only -I"$prefix/include/zelm" -x c++ "$prefix/include/zelm/$header" 2>&1); then
    fail "$header does not compile on its own: $out"
  fi
done
[ $failures -eq 0 ] && pass "every installed header compiles on its own"
libraries=$(cd "$prefix" && find . -name '*.a' -o -name '*.lib' -o -name '*.so*' -o -name '*.dll' | sort | tr '\n' ' ')
[ "$libraries" = "./lib/libzelm.a " ] && pass "one library" || fail "installed libraries: $libraries"
[ -f "$prefix/lib/cmake/zelm/zelmConfig.cmake" ] && [ -f "$prefix/lib/cmake/zelm/zelmConfigVersion.cmake" ] \
  && pass "package configuration" || fail "no zelmConfig.cmake and version file in lib/cmake/zelm"

# The example, against the prefix alone.
configure=(cmake -S "$source/examples/print_altitude" -B "$work/example" -G Ninja
           -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release)
if [ -n "$toolchain" ]; then
  # The C++ runtime linked in, as the build's own programs have it, so Wine needs no MinGW DLLs.
  configure+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_EXE_LINKER_FLAGS=-static)
fi
if ! out=$("${configure[@]}" 2>&1 && cmake --build "$work/example" 2>&1); then
  echo "FAIL: the example does not build against the installed libzelm:"
  echo "$out"
  exit 1
fi
pass "the example builds with find_package(zelm) and zelm::zelm"
example=$(find "$work/example" -maxdepth 1 -name 'print_altitude*' -type f | head -1)

if [ -z "$toolchain" ]; then
  # Natively: against the add-on in velkaro-sim.
  "$build/velkaro-sim" --duration 60 --set "PLANE ALTITUDE=12345" \
    --set "PLANE HEADING DEGREES TRUE=1" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  # Until it answers with a converted frame (the first frame only starts the server).
  for _ in $(seq 100); do
    out=$("$example" 2>&1)
    grep -q "altitude 12345 ft" <<<"$out" && break
    sleep 0.2
  done
else
  # Where this machine cannot run the build's programs, the installation and the build of the
  # example still count, and the run is reported as not run.
  wine_run="$(dirname "$0")/wine_run.sh"
  if ! not_run=$("$wine_run" --check); then
    echo "$not_run (the example program)"
    [ $failures -eq 0 ] && exit 77 || exit 1
  fi
  # Under Wine the add-on cannot always listen on its port in time (the Windows build binds it
  # without SO_REUSEADDR, which Linux refuses while an earlier server's connections linger), so
  # the example reads a frame from a peer of our own, on a port the system picks.
  python3 - >"$work/port" <<'PEER' &
import math, socket, struct, sys
frame = bytearray(2280)
frame[0:7] = b"ZELM30\0"
struct.pack_into("<d", frame, 112, 12345.0)              # altitude
struct.pack_into("<d", frame, 136, math.degrees(1.0))    # trueHeading
with socket.create_server(("127.0.0.1", 0)) as listener:
    listener.settimeout(120)
    print(listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    with conn:
        conn.settimeout(60)
        tag = b""
        while len(tag) < 10:
            tag += conn.recv(10 - len(tag)) or sys.exit("closed")
        conn.sendall(frame if tag == b"rSIMDATA30" else b"")
        conn.recv(1)
PEER
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  out=$(timeout 120 "$wine_run" "$example" 127.0.0.1 "$(cat "$work/port")" 2>&1 | tr -d '\r')
fi
[ "$out" = "altitude 12345 ft, true heading 57.3 deg" ] && pass "the example reads the frame" \
  || fail "the example said: $out"

[ $failures -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures > 0))
