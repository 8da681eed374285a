#!/usr/bin/env bash
# The shipped Velkaro.dll as the simulator will see it: a Windows DLL of the build's architecture
# exporting exactly DLLStart and DLLStop (undecorated on both), importing only Windows system DLLs
# and SimConnect.dll (the nine functions, by their undecorated names), and carrying the manifest
# that binds it to the SimConnect assembly of its architecture. It also carries a version
# resource with the project's version.
# Usage: dll_check.sh BUILD_DIR VERSION ARCH (x86 or amd64)
set -u
build=$1
version=$2
arch=$3
dll="$build/Velkaro.dll"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { if eval "$2"; then echo "ok: $1"; else fail "$1"; fi; }
source "$(dirname "$0")/release_files.sh"
arch_tools "$arch" || exit 1
objdump=$tools-objdump

headers=$($objdump -p "$dll")
check "$format Windows DLL" 'grep -q "file format $format\$" <<<"$headers"'

exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p')
check "exports exactly DLLStart and DLLStop (got: $(echo $exports))" '[ "$(echo $exports)" = "DLLStart DLLStop" ]'

imports=$(grep "DLL Name:" <<<"$headers" | awk '{print tolower($3)}' | sort)
allowed="kernel32.dll msvcrt.dll ws2_32.dll simconnect.dll"
unexpected=""
for name in $imports; do grep -qw "$name" <<<"$allowed" || unexpected="$unexpected $name"; done
check "imports only KERNEL32, msvcrt, WS2_32 and SimConnect (got: $(echo $imports))" '[ -z "$unexpected" ]'

simconnect=$(sed -n '/DLL Name: SimConnect.dll/,/^$/p' <<<"$headers" | awk 'NR>2 && NF>=3 {print $3}' | sort | tr '\n' ' ')
expected="SimConnect_AddToDataDefinition SimConnect_CallDispatch SimConnect_Close SimConnect_MapClientEventToSimEvent SimConnect_Open SimConnect_RequestDataOnSimObjectType SimConnect_RequestSystemState SimConnect_SubscribeToSystemEvent SimConnect_TransmitClientEvent "
check "imports the nine SimConnect functions undecorated" '[ "$simconnect" = "$expected" ]'

$tools-objcopy -O binary --only-section=.rsrc "$dll" "$build/velkaro-resources.bin"
resources=$(tr -c '[:print:]' ' ' <"$build/velkaro-resources.bin")
check "manifest names the SimConnect assembly" 'grep -q "Microsoft.FlightSimulator.SimConnect" <<<"$resources"'
check "manifest names the $arch architecture" 'grep -q "processorArchitecture=\"$arch\"" <<<"$resources"'
check "manifest names version 10.0.61259.0" 'grep -q "10.0.61259.0" <<<"$resources"'
check "manifest names the public key token" 'grep -q "67c7c14424d61b5b" <<<"$resources"'
texts=$(strings -el "$build/velkaro-resources.bin")
check "version resource says $version" 'grep -qx "FileVersion" <<<"$texts" && grep -qx "$version" <<<"$texts"'

check "the stand-in SimConnect.dll lies only in its assembly folder" \
  '[ -f "$build/Microsoft.FlightSimulator.SimConnect/SimConnect.dll" ] && [ ! -e "$build/SimConnect.dll" ]'

exit $((failures > 0))
