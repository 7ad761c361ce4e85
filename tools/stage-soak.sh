#!/usr/bin/env bash
# Short soak under connection churn (about a minute per run): bench/soak --short
# as the invoking user and, when that is root, once more with sockvane and the
# load generator as the unprivileged uid 65534. Exits non-zero when a check
# fails. Uses build/ci/sockvane when the test command has built it, otherwise
# a release build in build/soak.
#   SOAK_SOCKVANE   binary to soak (overrides both)
#   SOAK_USER       unprivileged uid for the second run (default 65534)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
UNPRIV=${SOAK_USER:-65534}

log() { printf '== soak: %s\n' "$*" >&2; }

. "$ROOT/tools/packages.sh"
. "$ROOT/tools/test-counts.sh"

need_packages python3 util-linux

BIN=${SOAK_SOCKVANE:-}
if [ -z "$BIN" ]; then
  if [ -x "$ROOT/build/ci/sockvane" ]; then
    BIN=$ROOT/build/ci/sockvane
  else
    need_packages g++ cmake make
    log "release build in build/soak"
    cmake -S "$ROOT" -B "$ROOT/build/soak" -DCMAKE_BUILD_TYPE=Release -DSOCKVANE_TESTS=OFF >/dev/null
    cmake --build "$ROOT/build/soak" -j "$(nproc 2>/dev/null || echo 2)" --target sockvane >/dev/null
    BIN=$ROOT/build/soak/sockvane
  fi
fi
[ -x "$BIN" ] || { echo "FAIL soak: no binary at $BIN" >&2; exit 1; }

# Each run is one test.
runs=1
failed=0
log "run as uid $(id -u): $BIN"
if ! python3 "$ROOT/bench/soak" --short --sockvane "$BIN"; then
  echo "FAIL soak: run as uid $(id -u)" >&2
  failed=$((failed + 1))
fi
if [ "$(id -u)" -eq 0 ]; then
  log "run as uid $UNPRIV (sockvane and the load generator)"
  runs=$((runs + 1))
  if ! python3 "$ROOT/bench/soak" --short --sockvane "$BIN" --user "$UNPRIV"; then
    echo "FAIL soak: run as uid $UNPRIV" >&2
    failed=$((failed + 1))
  fi
else
  log "not root: the run above was the unprivileged one; no root run here"
fi
stage_counts $((runs - failed)) "$failed"
[ "$failed" -eq 0 ]
