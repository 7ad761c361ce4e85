#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a bounded time on a scratch copy of its seed corpus.
# Fails on any crash, leak, timeout or sanitizer report.
#   FUZZ_SECONDS   run time per target (default 35: eight targets and the build
#                  stay within about six minutes on two cores)
#   FUZZ_TARGETS   space-separated subset of targets (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${FUZZ_SECONDS:-35}
BUILD=$ROOT/build/fuzz

log() { printf '== %s\n' "$*" >&2; }

case $SECONDS_EACH in
  '' | *[!0-9]*) echo "FUZZ_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac

. "$ROOT/tools/packages.sh"
. "$ROOT/tools/test-counts.sh"
need_packages clang libclang-rt-14-dev g++ cmake make

log "fuzz: build"
build_log=$(mktemp)
if ! { cmake -S "$ROOT/tests/fuzz" -B "$BUILD" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  cmake --build "$BUILD" -j "$(nproc 2>/dev/null || echo 2)"; } >"$build_log" 2>&1; then
  cat "$build_log" >&2
  rm -f "$build_log"
  echo "fuzz: build failed" >&2
  exit 1
fi
rm -f "$build_log"

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for src in "$ROOT"/tests/fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Reproducers outlive the scratch directory.
artifacts=$BUILD/artifacts
mkdir -p "$artifacts"

failed=()
summary=()
for t in "${targets[@]}"; do
  exe=$BUILD/$t
  [ -x "$exe" ] || { echo "no such fuzz target: $t" >&2; failed+=("$t"); continue; }
  name=${t%_fuzz}
  corpus=$scratch/$name
  mkdir -p "$corpus"
  if [ -d "$ROOT/tests/fuzz/corpus/$name" ]; then
    cp -R "$ROOT/tests/fuzz/corpus/$name/." "$corpus/"
  fi
  dict=()
  [ -f "$ROOT/tests/fuzz/$name.dict" ] && dict=(-dict="$ROOT/tests/fuzz/$name.dict")
  logf=$scratch/$t.log
  rm -f "$artifacts/$t-"*
  log "fuzz: $t for ${SECONDS_EACH}s"
  rc=0
  # The outer timeout only catches a hung fuzzer; -max_total_time ends a normal run.
  (cd "$scratch" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=0 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      timeout --kill-after=10 $((SECONDS_EACH + 60)) "$exe" \
      -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "${dict[@]}" "$corpus") >"$logf" 2>&1 || rc=$?
  runs=$(sed -n 's/^Done \([0-9][0-9]*\) runs.*/\1/p' "$logf" | tail -n 1)
  if [ "$rc" -ne 0 ] || [ -z "$runs" ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$logf"; then
    echo "fuzz: $t FAILED (exit $rc)" >&2
    tail -n 60 "$logf" >&2
    for a in "$artifacts/$t-"*; do
      [ -e "$a" ] || continue
      echo "reproducer $a:" >&2
      od -An -c "$a" | head -n 40 >&2
    done
    failed+=("$t")
    summary+=("$t: FAILED")
  else
    summary+=("$t: $runs runs in ${SECONDS_EACH}s, no finding")
  fi
done

echo "fuzzing summary:"
printf '  %s\n' "${summary[@]}"
# Each target run is one test.
stage_counts $((${#targets[@]} - ${#failed[@]})) ${#failed[@]}
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets with findings: ${failed[*]}" >&2
  exit 1
fi
