#!/usr/bin/env bash
# Build, run and test sockvane.
#   ./x.sh run [OPTIONS]   build and run a scan (default options: --once --all)
#   ./x.sh test            build everything and run the whole test suite
# Both install the Debian packages they need when they are missing.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=$(nproc 2>/dev/null || echo 2)

log() { printf '== %s\n' "$*" >&2; }

# shellcheck source=tools/packages.sh
. "$ROOT/tools/packages.sh"

# clang, llvm (llvm-strip), bpftool and libbpf build the eBPF owner tracer.
BUILD_PACKAGES=(g++ cmake make git libgtest-dev pkg-config clang llvm bpftool libbpf-dev libelf-dev zlib1g-dev)
TEST_PACKAGES=(python3 iproute2 util-linux procps libbenchmark-dev jq rsyslog)

configure_build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

# Tallies CTest results for the closing line.
TOTAL_PASSED=0
TOTAL_FAILED=0
FAILED_STAGES=()

run_ctest() {  # stage-name, build dir, extra ctest args...
  local stage=$1 dir=$2; shift 2
  local out rc=0
  out=$(mktemp)
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@") 2>&1 | tee "$out" || rc=$?
  local line passed=0 failed=0
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$out" | tail -n 1 || true)
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=${BASH_REMATCH[1]}
    passed=$((BASH_REMATCH[2] - failed))
  fi
  rm -f "$out"
  if [ "$rc" -ne 0 ] || [ "$failed" -ne 0 ] || [ "$passed" -eq 0 ]; then
    [ "$failed" -eq 0 ] && failed=1
    FAILED_STAGES+=("$stage")
  fi
  TOTAL_PASSED=$((TOTAL_PASSED + passed))
  TOTAL_FAILED=$((TOTAL_FAILED + failed))
}

run_stage() {  # stage-name, command...
  local stage=$1; shift
  log "stage $stage"
  if "$@"; then
    TOTAL_PASSED=$((TOTAL_PASSED + 1))
  else
    TOTAL_FAILED=$((TOTAL_FAILED + 1))
    FAILED_STAGES+=("$stage")
  fi
}

cmd_run() {
  need_packages "${BUILD_PACKAGES[@]}"
  configure_build "$ROOT/build/release" -DSOCKVANE_TESTS=OFF
  if [ $# -eq 0 ]; then set -- --once --all; fi
  exec "$ROOT/build/release/sockvane" "$@"
}

cmd_test() {
  need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

  log "stage linux: build with warnings as errors, unit and end-to-end tests"
  configure_build "$ROOT/build/ci" -DSOCKVANE_WERROR=ON -DSOCKVANE_BENCH=ON
  run_ctest linux "$ROOT/build/ci"

  log "stage sanitizers: AddressSanitizer and UndefinedBehaviorSanitizer"
  configure_build "$ROOT/build/asan" -DSOCKVANE_WERROR=ON -DSOCKVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest sanitizers "$ROOT/build/asan"

  local s
  for s in "$ROOT"/tools/stage-*.sh; do
    [ -e "$s" ] || continue
    local name
    name=$(basename "$s" .sh); name=${name#stage-}
    run_stage "$name" bash "$s"
  done

  echo
  if [ ${#FAILED_STAGES[@]} -gt 0 ]; then
    echo "failed stages: ${FAILED_STAGES[*]}"
  fi
  echo "total: $TOTAL_PASSED passed, $TOTAL_FAILED failed"
  [ "$TOTAL_FAILED" -eq 0 ]
}

case "${1:-}" in
  run) shift; cmd_run "$@" ;;
  test) shift; cmd_test "$@" ;;
  *) echo "usage: ./x.sh run [OPTIONS] | ./x.sh test" >&2; exit 2 ;;
esac
