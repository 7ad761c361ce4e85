#!/usr/bin/env bash
# The Linux build with warnings as errors (benchmarks included, so they keep
# building), then every unit and end-to-end test through CTest. Later stages
# use the binary it leaves in build/ci.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. "$ROOT/tools/packages.sh"
. "$ROOT/tools/test-counts.sh"

# clang, llvm (llvm-strip), bpftool and libbpf build the eBPF owner tracer;
# rsyslog-relp, rsyslog-pgsql and postgresql carry the many-hosts test.
need_packages g++ cmake make git libgtest-dev pkg-config clang llvm bpftool libbpf-dev libelf-dev zlib1g-dev python3 iproute2 util-linux procps libbenchmark-dev jq rsyslog \
  rsyslog-relp rsyslog-pgsql postgresql

cmake -S "$ROOT" -B "$ROOT/build/ci" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOCKVANE_WERROR=ON \
  -DSOCKVANE_BENCH=ON >/dev/null
cmake --build "$ROOT/build/ci" -j "$(nproc 2>/dev/null || echo 2)"
ctest_counted "$ROOT/build/ci" -j "$(nproc 2>/dev/null || echo 2)"
