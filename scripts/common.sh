# Shared by scripts/run and scripts/test: installs what the build needs (Debian packages through
# apt) and builds a preset. Sourced, not run.

VELKARO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$VELKARO_ROOT"

log() { printf '\033[1m== %s\033[0m\n' "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else die "installing packages needs root: run as root, or install them: $*"
  fi
}

apt_updated=0
apt_update_once() {
  if [ "$apt_updated" -eq 0 ]; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq || die "apt-get update failed"
    apt_updated=1
  fi
}

# ensure_packages PKG...: installs the packages that are not installed yet.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  apt_update_once
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null || die "could not install ${missing[*]}"
}

ensure_native_tools() {
  ensure_packages cmake ninja-build g++ make googletest libbenchmark-dev libsimpleini-dev \
    libcli11-dev nlohmann-json3-dev libboost-dev \
    libmosquitto-dev mosquitto mosquitto-clients python3 python3-setuptools
}

ensure_cross_tools() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "enabling the i386 architecture for Wine"
    as_root dpkg --add-architecture i386
    apt_updated=0
  fi
  ensure_packages g++-mingw-w64-i686-posix wine wine32:i386
}

# The browser tests: Debian's chromium, Node.js, and web/'s npm packages (puppeteer-core, from
# package-lock.json).
ensure_browser_tools() {
  ensure_packages chromium
  command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || ensure_packages nodejs npm
  if [ ! -d web/node_modules/puppeteer-core ] || [ web/package-lock.json -nt web/node_modules ]; then
    log "installing the browser tests' npm packages"
    (cd web && npm ci --no-audit --no-fund --loglevel=error) || die "npm ci in web/ failed"
  fi
}

ensure_fuzz_tools() {
  ensure_packages clang libclang-rt-14-dev
}

job_count() { nproc 2>/dev/null || echo 2; }

# build_preset NAME: configures (once) and builds a preset.
build_preset() {
  local preset=$1
  log "building the $preset preset"
  if [ ! -f "build/$preset/build.ninja" ]; then
    cmake --preset "$preset" >/dev/null || die "configuring the $preset preset failed"
  fi
  cmake --build --preset "$preset" -j "$(job_count)" || die "building the $preset preset failed"
}
