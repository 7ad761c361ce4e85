#!/usr/bin/env bash
# The Windows target: cross-build sockvane.exe with MinGW-w64 and run its
# unit tests and a smoke test under Wine. Installs the Debian packages it
# needs; when they cannot be had it fails, loudly, rather than skipping.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/win
PREFIX=$BUILD/wineprefix
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
JOBS=$(nproc 2>/dev/null || echo 2)
STARTED=$SECONDS

log() { printf '== windows: %s\n' "$*" >&2; }
die() {
  printf '\n!! windows stage FAILED: %s\n\n' "$*" >&2
  exit 1
}

PACKAGES=(g++-mingw-w64-x86-64 mingw-w64 wine64 googletest cmake make python3)
. "$ROOT/tools/packages.sh"
. "$ROOT/tools/test-counts.sh"
need_packages "${PACKAGES[@]}" ||
  die "cannot install ${PACKAGES[*]} (MinGW-w64 and Wine are needed for the Windows build and its tests)"
command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
  die "x86_64-w64-mingw32-g++-posix not found (package g++-mingw-w64-x86-64)"
[ -x "$WINE" ] && [ -x "$WINESERVER" ] || die "$WINE or $WINESERVER not found (package wine64)"
[ -f /usr/src/googletest/CMakeLists.txt ] || die "/usr/src/googletest missing (package googletest)"

log "configure and build in build/win"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOCKVANE_WERROR=ON -DSOCKVANE_WINEPREFIX="$PREFIX" >/dev/null ||
  die "cmake configure failed"
# One wine server for the whole stage: a server that is shutting down while
# the next test starts makes that test fail to connect.
mkdir -p "$PREFIX"
WINEPREFIX=$PREFIX WINEDEBUG=-all "$WINESERVER" -f -p >"$BUILD/wineserver.log" 2>&1 &
server_pid=$!
# "wineserver -k" ends the server of this prefix with the Wine processes it
# started (its background services); a plain kill would leave them behind.
stop_wine() {
  WINEPREFIX=$PREFIX "$WINESERVER" -k 2>/dev/null || kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
}
trap stop_wine EXIT
# Start Wine's background services now, with their output in a log: started
# by a test, they would hold its pipe open for as long as the server lives.
# A fresh prefix also takes a few seconds to set up.
boot=()
[ -f "$PREFIX/system.reg" ] || boot=(--init)
log "starting Wine in build/win/wineprefix"
"$ROOT/tools/wine-run.sh" "$PREFIX" wineboot "${boot[@]}" >"$BUILD/wineboot.log" 2>&1 ||
  die "wineboot failed; see $BUILD/wineboot.log"
cmake --build "$BUILD" -j "$JOBS" || die "cross build failed"
for f in "$BUILD/sockvane.exe" "$BUILD/tests/sockvane_tests.exe" "$BUILD/tests/connect_helper.exe"; do
  [ -f "$f" ] || die "missing $f"
done

failed=()
log "unit tests under Wine"
ctest_counted "$BUILD" -j "$JOBS" || failed+=("unit tests")

log "smoke test under Wine"
linux_bin=""
[ -x "$ROOT/build/ci/sockvane" ] && linux_bin=$ROOT/build/ci/sockvane
smoke_log=$BUILD/smoke_test.log
SOCKVANE_WIN_BUILD=$BUILD SOCKVANE_LINUX_BIN=$linux_bin PYTHONDONTWRITEBYTECODE=1 \
  timeout 900 python3 "$ROOT/tests/windows/smoke_test.py" 2>&1 | tee "$smoke_log" || failed+=("smoke test")
unittest_counted "$smoke_log"

log "took $((SECONDS - STARTED)) s"
[ ${#failed[@]} -eq 0 ] || die "${failed[*]}"
log "passed"
