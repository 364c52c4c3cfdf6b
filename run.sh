#!/usr/bin/env bash
# Quick start:
#   ./run.sh test    install what is missing, build, run every test
#   ./run.sh demo    build what is needed and run the demo
# More:
#   ./run.sh bench   the benchmarks (medians of 5 repetitions); extra arguments go to them
#   ./run.sh soak    10 million samples through each library; peak memory must stay flat
set -euo pipefail

cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD_DIR=${ZELTO_BUILD_DIR:-$ROOT/build}
JOBS=${ZELTO_JOBS:-$(nproc 2>/dev/null || echo 2)}

# Debian packages the build needs, as "command-or-file:package" pairs.
REQUIRED_PACKAGES=(
  "cmake"
  "g++"
  "make"
  "libeigen3-dev"
  "nlohmann-json3-dev"
  "googletest"
  "libgtest-dev"
  "libbenchmark-dev"
)

log() { printf '[run.sh] %s\n' "$*" >&2; }

missing_packages() {
  local pkg missing=()
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  echo "${missing[@]:-}"
}

ensure_packages() {
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  if ! command -v apt-get >/dev/null 2>&1; then
    log "missing packages ($missing) and no apt-get: install them by hand"
    return 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    log "missing packages ($missing): run as root or install them with apt-get"
    return 1
  fi
  log "installing: $missing"
  # A fresh machine has no package lists yet.
  apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

configure_and_build() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
  cmake --build "$dir" -j "$JOBS"
}

cmd_test() {
  ensure_packages "${REQUIRED_PACKAGES[@]}"
  configure_and_build "$BUILD_DIR"
  (cd "$BUILD_DIR" && ctest --output-on-failure -j "$JOBS")
}

cmd_bench() {
  ensure_packages "${REQUIRED_PACKAGES[@]}"
  configure_and_build "$BUILD_DIR" >/dev/null
  "$BUILD_DIR/bench/zelto-bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    "$@"
}

cmd_soak() {
  ensure_packages "${REQUIRED_PACKAGES[@]}"
  configure_and_build "$BUILD_DIR" >/dev/null
  "$BUILD_DIR/bench/zelto-soak" "$@"
}

cmd_demo() {
  ensure_packages "${REQUIRED_PACKAGES[@]}"
  # The demo draws its plots when python3 with matplotlib is there; "./run.sh demo --plots"
  # installs Debian's python3-matplotlib first (and the demo then fails if it cannot plot).
  case " $* " in
    *" --plots "*) ensure_packages python3-matplotlib ;;
  esac
  configure_and_build "$BUILD_DIR" >/dev/null
  if [ -x "$BUILD_DIR/tools/zelto-payload" ]; then
    exec "$BUILD_DIR/tools/zelto-payload" demo "$@"
  fi
  log "the demo is not available yet: the libraries are built in $BUILD_DIR"
}

case "${1:-}" in
  test) shift; cmd_test "$@" ;;
  demo) shift; cmd_demo "$@" ;;
  bench) shift; cmd_bench "$@" ;;
  soak) shift; cmd_soak "$@" ;;
  *)
    echo "usage: $0 {test|demo|bench|soak}" >&2
    exit 2
    ;;
esac
