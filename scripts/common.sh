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
    libcli11-dev nlohmann-json3-dev libboost-dev libssl-dev \
    libmosquitto-dev mosquitto mosquitto-clients python3 python3-setuptools zlib1g-dev \
    libxml2-utils
}

# ensure_cross_tools ARCH: the MinGW cross compiler for win32 or win64, and the Wine that runs
# its programs where this machine can (32-bit Wine needs a machine that executes 32-bit programs;
# runs_32bit says whether it does, and 32-bit Wine is not installed where it cannot run).
ensure_cross_tools() {
  case "$1" in
    win64) ensure_packages g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 ;;
    win32)
      ensure_packages g++-mingw-w64-i686-posix libz-mingw-w64-dev
      runs_32bit >/dev/null || return 0
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        log "enabling the i386 architecture for Wine"
        as_root dpkg --add-architecture i386
        apt_updated=0
      fi
      ensure_packages wine wine32:i386
      ;;
  esac
}

# runs_32bit: whether this machine executes 32-bit x86 programs (found out once, then kept in
# runs_32bit_answer, yes or no, and runs_32bit_text, the one line that says so); prints that line.
runs_32bit_answer=
runs_32bit() {
  if [ -z "$runs_32bit_answer" ]; then
    runs_32bit_text=$(tests/tools/runs_32bit.sh) && runs_32bit_answer=yes || runs_32bit_answer=no
  fi
  echo "$runs_32bit_text"
  [ "$runs_32bit_answer" = yes ]
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

# The project's version, from project() in CMakeLists.txt.
project_version() { sed -n 's/^project(Velkaro VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt; }

job_count() { nproc 2>/dev/null || echo 2; }

# build_preset NAME [TARGET...]: configures (once) and builds a preset: all of it, or the targets
# named.
build_preset() {
  local preset=$1
  shift
  log "building the $preset preset${*:+ ($*)}"
  if [ ! -f "build/$preset/build.ninja" ]; then
    cmake --preset "$preset" >/dev/null || die "configuring the $preset preset failed"
  fi
  if [ $# -gt 0 ]; then
    cmake --build --preset "$preset" -j "$(job_count)" --target "$@" || die "building the $preset preset failed"
  else
    cmake --build --preset "$preset" -j "$(job_count)" || die "building the $preset preset failed"
  fi
}
