# Sourced by the stage scripts: how a stage tells ./x.sh test its real test
# counts. x.sh names a file in SOCKVANE_STAGE_COUNTS; each call adds a line
# "PASSED FAILED" to it. Run alone, a stage only prints its counts.

# stage_counts PASSED FAILED
stage_counts() {
  printf '== counted: %d passed, %d failed\n' "$1" "$2" >&2
  if [ -n "${SOCKVANE_STAGE_COUNTS:-}" ]; then
    printf '%d %d\n' "$1" "$2" >>"$SOCKVANE_STAGE_COUNTS"
  fi
}

# ctest_counted DIR [CTEST ARGS...]: runs CTest in DIR and counts its tests.
# Returns CTest's status.
ctest_counted() {
  local dir=$1 out rc=0 line passed=0 failed=0
  shift
  out=$(mktemp)
  (cd "$dir" && ctest --output-on-failure "$@") 2>&1 | tee "$out" || rc=$?
  line=$(grep -E '[0-9]+ tests? failed out of [0-9]+' "$out" | tail -n 1 || true)
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=${BASH_REMATCH[1]}
    passed=$((BASH_REMATCH[2] - failed))
  fi
  rm -f "$out"
  stage_counts "$passed" "$failed"
  return "$rc"
}

# unittest_counted LOG: counts a Python unittest run whose output is in LOG
# ("Ran N tests", then "OK" or "FAILED (failures=F, errors=E)"; skips pass).
unittest_counted() {
  local log=$1 ran=0 bad=0 n
  # The stages run with errexit and pipefail: a grep that finds nothing must
  # not end them.
  n=$(sed -n 's/^Ran \([0-9][0-9]*\) tests\{0,1\} in .*/\1/p' "$log" | tail -n 1)
  if [ -n "$n" ]; then ran=$n; fi
  for kind in failures errors unexpected\ successes; do
    n=$(grep -E '^FAILED \(' "$log" | tail -n 1 | sed -n "s/.*$kind=\([0-9][0-9]*\).*/\1/p" || true)
    if [ -n "$n" ]; then bad=$((bad + n)); fi
  done
  stage_counts $((ran - bad)) "$bad"
}
