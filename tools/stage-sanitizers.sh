#!/usr/bin/env bash
# Every unit and end-to-end test once more on a Debug build under
# AddressSanitizer (leaks included) and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. "$ROOT/tools/packages.sh"
. "$ROOT/tools/test-counts.sh"

# clang, llvm (llvm-strip), bpftool and libbpf build the eBPF owner tracer;
# rsyslog-relp, rsyslog-pgsql and postgresql carry the many-hosts test.
need_packages g++ cmake make git libgtest-dev pkg-config clang llvm bpftool libbpf-dev libelf-dev zlib1g-dev python3 iproute2 util-linux procps jq rsyslog \
  rsyslog-relp rsyslog-pgsql postgresql

cmake -S "$ROOT" -B "$ROOT/build/asan" -DCMAKE_BUILD_TYPE=Debug -DSOCKVANE_WERROR=ON \
  -DSOCKVANE_SANITIZE=ON >/dev/null
cmake --build "$ROOT/build/asan" -j "$(nproc 2>/dev/null || echo 2)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest_counted "$ROOT/build/asan" -j "$(nproc 2>/dev/null || echo 2)"
