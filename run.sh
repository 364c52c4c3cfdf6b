#!/usr/bin/env bash
# Quick start:
#   ./run.sh test    install what is missing, build, run every test
#   ./run.sh demo    build what is needed and run the demo
# More:
#   ./run.sh unit    the normal build and its tests only (no sanitizer builds)
#   ./run.sh bench   the benchmarks (medians of 5 interleaved repetitions); extra arguments go to them
#   ./run.sh soak    10 million samples through each library; peak memory must stay flat
#   ./run.sh fuzz    each libFuzzer target for ZELTO_FUZZ_SECONDS (default 60) on the seed corpora
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
  "pybind11-dev"
  "python3-dev"
  "python3-numpy"
  "python3-pytest"
  "libcli11-dev"
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

run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}

cmd_unit() {
  ensure_packages "${REQUIRED_PACKAGES[@]}"
  configure_and_build "$BUILD_DIR"
  run_ctest "$BUILD_DIR"
}

# Every sanitizer report is fatal; leaks count.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

cmd_sanitizers() {
  local start=$SECONDS
  log "AddressSanitizer + UndefinedBehaviorSanitizer: whole test suite"
  configure_and_build "$BUILD_DIR-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELTO_SANITIZE=address,undefined -DZELTO_BUILD_BENCH=OFF
  run_ctest "$BUILD_DIR-asan"
  log "ThreadSanitizer: concurrency tests"
  cmake -S "$ROOT" -B "$BUILD_DIR-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DZELTO_SANITIZE=thread -DZELTO_BUILD_BENCH=OFF \
    -DZELTO_BUILD_TOOLS=OFF
  # shellcheck disable=SC2086
  cmake --build "$BUILD_DIR-tsan" -j "$JOBS" --target $CONCURRENCY_TEST_TARGETS
  run_ctest "$BUILD_DIR-tsan" -R "$CONCURRENCY_TEST_PATTERN"
  log "sanitizer builds passed in $((SECONDS - start)) s"
}

# Test executables that hold concurrency tests, and the names those tests carry.
CONCURRENCY_TEST_TARGETS="ZeltoPayloadCompensatorTest ZeltoPayloadEstimatorTest RecursiveTLSWrenchBiasTest"
CONCURRENCY_TEST_PATTERN="Concurren|AcrossThreads"

cmd_bench() {
  ensure_packages "${REQUIRED_PACKAGES[@]}"
  configure_and_build "$BUILD_DIR" >/dev/null
  # Repetitions of different benchmarks interleaved at random, so that a slow spell of this
  # (shared) machine does not fall on one side of a ratio only.
  "$BUILD_DIR/bench/zelto-bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true "$@"
}

cmd_soak() {
  ensure_packages "${REQUIRED_PACKAGES[@]}"
  configure_and_build "$BUILD_DIR" >/dev/null
  "$BUILD_DIR/bench/zelto-soak" "$@"
}

FUZZ_TARGETS="EstimatorConfigFuzz CompensatorConfigFuzz EstimatorStreamFuzz CompensatorStreamFuzz"

cmd_fuzz() {
  ensure_packages "${REQUIRED_PACKAGES[@]}" clang libclang-rt-dev
  local dir="$BUILD_DIR-fuzz" seconds=${ZELTO_FUZZ_SECONDS:-60} target failed=0
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELTO_FUZZ=ON -DZELTO_SANITIZE=address,undefined,fuzzer-no-link \
    -DZELTO_BUILD_BENCH=OFF -DZELTO_BUILD_TOOLS=OFF
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$JOBS" --target $FUZZ_TARGETS
  for target in $FUZZ_TARGETS; do
    # New inputs go to a scratch copy; the committed seed corpus stays as it is.
    local work="$dir/corpus-work/$target" artifacts="$dir/artifacts/$target/"
    mkdir -p "$work" "$artifacts"
    cp -n "$ROOT/tests/fuzz/corpus/$target/"* "$work/" 2>/dev/null || true
    log "fuzzing $target for $seconds s"
    if ! "$dir/tests/fuzz/$target" "$work" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$artifacts" -print_final_stats=1 2>"$dir/$target.log"; then
      failed=1
      log "$target FAILED: see $dir/$target.log and $artifacts"
      tail -n 40 "$dir/$target.log" >&2
    else
      grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$dir/$target.log" | sed "s/^/  $target /" >&2
    fi
  done
  return $failed
}

cmd_test() {
  local start=$SECONDS
  cmd_unit
  cmd_sanitizers
  log "all tests passed in $((SECONDS - start)) s"
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
  unit) shift; cmd_unit "$@" ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  bench) shift; cmd_bench "$@" ;;
  soak) shift; cmd_soak "$@" ;;
  demo) shift; cmd_demo "$@" ;;
  *)
    echo "usage: $0 {test|demo|unit|bench|soak|fuzz}" >&2
    exit 2
    ;;
esac
