#!/usr/bin/env bash
# Build, run and test sockvane.
#   ./x.sh run [OPTIONS]   build and run a scan (default options: --once --all)
#   ./x.sh test            build everything and run the whole test suite
# Both install the Debian packages they need when they are missing.
#
# The test suite is the stages below, in this order, each the script
# tools/stage-NAME.sh, which can also be run alone. Each stage reports its own
# test counts (see tools/test-counts.sh); the closing line adds them up.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

STAGES=(linux sanitizers fuzz package soak windows)

log() { printf '== %s\n' "$*" >&2; }

# shellcheck source=tools/packages.sh
. "$ROOT/tools/packages.sh"

cmd_run() {
  need_packages g++ cmake make git
  cmake -S "$ROOT" -B "$ROOT/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOCKVANE_TESTS=OFF >/dev/null
  cmake --build "$ROOT/build/release" -j "$(nproc 2>/dev/null || echo 2)"
  if [ $# -eq 0 ]; then set -- --once --all; fi
  exec "$ROOT/build/release/sockvane" "$@"
}

cmd_test() {
  local total_passed=0 total_failed=0 failed_stages=() summary=() s script
  # A stage script that is not in the list would silently never run.
  for script in "$ROOT"/tools/stage-*.sh; do
    s=$(basename "$script" .sh)
    s=${s#stage-}
    [[ " ${STAGES[*]} " == *" $s "* ]] || { echo "x.sh: tools/stage-$s.sh is not in STAGES" >&2; exit 2; }
  done

  for s in "${STAGES[@]}"; do
    log "stage $s"
    local counts rc=0 passed=0 failed=0 p f
    counts=$(mktemp)
    SOCKVANE_STAGE_COUNTS=$counts bash "$ROOT/tools/stage-$s.sh" || rc=$?
    while read -r p f; do
      passed=$((passed + p))
      failed=$((failed + f))
    done <"$counts"
    rm -f "$counts"
    # A stage that failed outside its counted tests (a build, a set-up), or
    # that counted nothing, is one failure of its own.
    if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
    if [ "$rc" -eq 0 ] && [ "$passed" -eq 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
    [ "$failed" -eq 0 ] || failed_stages+=("$s")
    summary+=("$(printf '%-11s %6d passed, %d failed' "$s:" "$passed" "$failed")")
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
  done

  echo
  printf '%s\n' "${summary[@]}"
  if [ ${#failed_stages[@]} -gt 0 ]; then
    echo "failed stages: ${failed_stages[*]}"
  fi
  echo "total: $total_passed passed, $total_failed failed"
  [ "$total_failed" -eq 0 ]
}

case "${1:-}" in
  run) shift; cmd_run "$@" ;;
  test) shift; cmd_test "$@" ;;
  *) echo "usage: ./x.sh run [OPTIONS] | ./x.sh test" >&2; exit 2 ;;
esac
