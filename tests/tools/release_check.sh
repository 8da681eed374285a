#!/usr/bin/env bash
# The release zip as a Windows user gets it, unpacked into a fresh folder: one folder
# Velkaro-VERSION holding the 32-bit add-on and zelm.exe in "32-bit simulators (FSX)", the 64-bit
# ones in "64-bit simulators", one Velkaro.ini, INSTALL.txt, LICENSE.txt and protocol.md, and the
# Python client's wheel in Python/; and nothing else. The files from each architecture's build run in that build's package_test.
# Usage: release_check.sh ZIP VERSION
set -u
zip=$(realpath -m "$1")
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
source "$(dirname "$0")/release_files.sh"

[ -f "$zip" ] || { echo "FAIL: no release zip at $zip"; exit 1; }
(cd "$work" && cmake -E tar xf "$zip") || { echo "FAIL: cannot unpack $zip"; exit 1; }
root="$work/Velkaro-$version"
listing=$(cd "$work" && find . -type f | sort)
expected=$(printf '%s\n' "./Velkaro-$version/32-bit simulators (FSX)/Velkaro.dll" \
  "./Velkaro-$version/32-bit simulators (FSX)/zelm.exe" "./Velkaro-$version/64-bit simulators/Velkaro.dll" \
  "./Velkaro-$version/32-bit simulators (FSX)/velkaro-bridge.exe" \
  "./Velkaro-$version/64-bit simulators/velkaro-bridge.exe" \
  "./Velkaro-$version/64-bit simulators/zelm.exe" "./Velkaro-$version/INSTALL.txt" \
  "./Velkaro-$version/LICENSE.txt" "./Velkaro-$version/Velkaro.ini" "./Velkaro-$version/protocol.md" \
  "./Velkaro-$version/Python/zelm-$version-py3-none-any.whl" | sort)
[ "$listing" = "$expected" ] && pass "the zip holds exactly the release's eleven files" \
  || fail "the zip holds:"$'\n'"$listing"

check_arch_folder "$root/32-bit simulators (FSX)" x86 "$version"
check_arch_folder "$root/64-bit simulators" amd64 "$version"
check_texts "$root"

# The wheel: the package with its layout and types, and metadata of the release's version.
wheel="$root/Python/zelm-$version-py3-none-any.whl"
if [ -f "$wheel" ]; then
  python3 - "$wheel" "$version" <<'PY' && pass "the Python wheel holds zelm $version with its layout and py.typed" \
    || fail "the Python wheel is not a wheel of zelm $version with its layout and py.typed"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    names = set(wheel.namelist())
    metadata = wheel.read("zelm-%s.dist-info/METADATA" % sys.argv[2]).decode()
assert {"zelm/__init__.py", "zelm/layout.json", "zelm/py.typed"} <= names, names
assert "\nVersion: %s\n" % sys.argv[2] in metadata
PY
fi

echo
[ $failures -eq 0 ] && echo "all release checks passed ($(basename "$zip"), $(du -k "$zip" | cut -f1) KiB)" \
  || echo "$failures release check(s) failed"
[ $failures -eq 0 ]
