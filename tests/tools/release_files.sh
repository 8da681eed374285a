# The checks of the release's files that need nothing run, shared by package_test.sh (one build's
# part), release_check.sh (the zip) and dll_check.sh (arch_tools). Sourced; the caller defines
# pass and fail.

# arch_tools ARCH: the binutils prefix and objdump's format name for x86 or amd64.
arch_tools() {
  case "$1" in
    x86) tools=i686-w64-mingw32; format=pei-i386 ;;
    amd64) tools=x86_64-w64-mingw32; format=pei-x86-64 ;;
    *) fail "unknown architecture $1"; return 1 ;;
  esac
}

# check_arch_folder DIR ARCH VERSION: DIR holds Velkaro.dll, zelm.exe and velkaro-bridge.exe of
# ARCH, all stripped,
# the DLL with its version resource and a manifest naming ARCH.
check_arch_folder() {
  local dir=$1 arch=$2 version=$3 name f
  name=$(basename "$dir")
  arch_tools "$arch" || return
  for f in Velkaro.dll zelm.exe velkaro-bridge.exe; do
    if [ ! -f "$dir/$f" ]; then fail "$name holds no $f"; continue; fi
    grep -q "file format $format\$" <<<"$($tools-objdump -f "$dir/$f" 2>&1)" \
      && pass "$name/$f is $format" || fail "$name/$f is not $format"
    grep -q "debug" <<<"$($tools-objdump -h "$dir/$f" 2>&1)" && fail "$name/$f still has debug sections" \
      || pass "$name/$f is stripped ($(du -k "$dir/$f" | cut -f1) KiB)"
  done
  [ -f "$dir/Velkaro.dll" ] || return
  local work
  work=$(mktemp -d)
  $tools-objcopy -O binary --only-section=.rsrc "$dir/Velkaro.dll" "$work/rsrc.bin"
  strings -el "$work/rsrc.bin" | grep -qx "$version" && pass "$name/Velkaro.dll carries version $version" \
    || fail "$name/Velkaro.dll carries no version $version"
  tr -c '[:print:]' ' ' <"$work/rsrc.bin" | grep -q "processorArchitecture=\"$arch\"" \
    && pass "$name/Velkaro.dll's manifest names $arch" || fail "$name/Velkaro.dll's manifest does not name $arch"
  rm -rf "$work"
}

# check_texts DIR: the settings file, INSTALL.txt, the licence and the protocol, with Windows line
# ends; INSTALL.txt gives what a user needs.
check_texts() {
  local dir=$1 f
  for f in Velkaro.ini INSTALL.txt LICENSE.txt protocol.md; do
    if [ ! -f "$dir/$f" ]; then fail "the release holds no $f"; continue; fi
    grep -qv $'\r$' "$dir/$f" && fail "$f has lines without Windows line ends" || pass "$f has Windows line ends"
  done
  local install
  install=$(tr -d '\r' <"$dir/INSTALL.txt" 2>/dev/null)
  grep -q "netsh advfirewall firewall add rule" <<<"$install" && grep -q "<Launch.Addon>" <<<"$install" \
    && pass "INSTALL.txt gives the firewall rule and the dll.xml entry" || fail "INSTALL.txt lacks the firewall rule or dll.xml"
  grep -q "32-bit simulators (FSX)" <<<"$install" && grep -q "64-bit simulators" <<<"$install" \
    && pass "INSTALL.txt says which add-on to use" || fail "INSTALL.txt does not say which add-on to use"
  grep -q "velkaro-bridge.exe" <<<"$install" && grep -q "load no add-on DLLs" <<<"$install" \
    && pass "INSTALL.txt says when to use the bridge" || fail "INSTALL.txt does not explain velkaro-bridge"
  grep -q "zelm serve" <<<"$install" && grep -q "protocol.md" <<<"$install" \
    && pass "INSTALL.txt names zelm serve and the protocol document" \
    || fail "INSTALL.txt does not name zelm serve and the protocol document"
  grep -q "MIT License" "$dir/LICENSE.txt" 2>/dev/null && pass "LICENSE.txt is the MIT licence" \
    || fail "LICENSE.txt is not the MIT licence"
  grep -q "^port = 5193" <<<"$(tr -d '\r' <"$dir/Velkaro.ini" 2>/dev/null)" \
    && pass "Velkaro.ini has the defaults" || fail "Velkaro.ini lacks the default port"
}
