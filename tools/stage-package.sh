#!/usr/bin/env bash
# Install and packaging check: a release build installed into a scratch prefix,
# the Debian package built by CPack, unpacked into a scratch root and run.
# Exits non-zero on any failure. Everything it makes stays in build/pkg/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/pkg
STAGE=$BUILD/stage
VERSION=0.3.9

log() { printf '== package: %s\n' "$*" >&2; }
FAILURES=0
fail() { printf 'FAIL package: %s\n' "$*" >&2; FAILURES=$((FAILURES + 1)); }
check_file() { [ -f "$1" ] || fail "missing $1"; }

. "$ROOT/tools/packages.sh"

# dpkg-dev: dpkg-shlibdeps computes the dependencies; file: CPack finds the
# executables with it; groff-base and man-db render the man page; systemd:
# systemd-analyze checks the unit.
need_packages g++ cmake make git binutils dpkg-dev file groff-base man-db systemd

log "release build in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSOCKVANE_TESTS=OFF -DSOCKVANE_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j 2 >/dev/null
rm -rf "$STAGE"
mkdir -p "$STAGE"

# --- cmake --install into a scratch prefix ---------------------------------
PREFIX=$STAGE/prefix
log "cmake --install --prefix $PREFIX"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
check_file "$PREFIX/bin/sockvane"
check_file "$PREFIX/share/man/man1/sockvane.1"
check_file "$PREFIX/share/bash-completion/completions/sockvane"
check_file "$PREFIX/lib/systemd/system/sockvane.service"
[ -x "$PREFIX/bin/sockvane" ] || fail "$PREFIX/bin/sockvane is not executable"
want_version=$("$BUILD/sockvane" --version)
got=$("$PREFIX/bin/sockvane" --version) || fail "installed sockvane --version failed"
[ "$got" = "$want_version" ] || fail "installed --version: '$got', expected '$want_version'"
grep -qx "ExecStart=$PREFIX/bin/sockvane .*" "$PREFIX/lib/systemd/system/sockvane.service" ||
  fail "installed unit does not start $PREFIX/bin/sockvane"
out=$(MANPATH="$PREFIX/share/man" SYSTEMD_LOG_COLOR=0 \
  systemd-analyze verify "$PREFIX/lib/systemd/system/sockvane.service" 2>&1) ||
  fail "systemd-analyze verify of the installed unit: $out"
[ -z "$out" ] || fail "systemd-analyze verify of the installed unit warns: $out"
out=$(bash --norc --noprofile -c 'source "$1" && complete -p sockvane' bash \
  "$PREFIX/share/bash-completion/completions/sockvane" 2>&1) ||
  fail "the installed completion does not load: $out"

# --- the man page renders without warnings ---------------------------------
log "man page"
out=$(groff -man -Tutf8 -ww -z "$PREFIX/share/man/man1/sockvane.1" 2>&1) || fail "groff failed: $out"
[ -z "$out" ] || fail "groff warns: $out"
out=$(MANWIDTH=80 man --warnings -l "$PREFIX/share/man/man1/sockvane.1" 2>&1 >/dev/null) ||
  fail "man -l failed: $out"
[ -z "$out" ] || fail "man -l warns: $out"

# --- the Debian package -----------------------------------------------------
log "cpack -G DEB"
(cd "$BUILD" && cpack -G DEB -B "$STAGE/deb" >/dev/null)
shopt -s nullglob
debs=("$STAGE"/deb/*.deb)
shopt -u nullglob
if [ ${#debs[@]} -ne 1 ]; then
  fail "expected one .deb in $STAGE/deb, found ${#debs[@]}"
else
  deb=${debs[0]}
  log "checking $(basename "$deb")"
  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = sockvane ] || fail "Package: '$(field Package)'"
  [ "$(field Version)" = "$VERSION" ] || fail "Version: '$(field Version)', expected $VERSION"
  depends=$(field Depends)
  log "Depends: $depends"
  # Computed by dpkg-shlibdeps, so with minimum versions from the symbols used.
  [[ $depends =~ (^|, )libc6\ \(\>=\ [0-9] ]] || fail "Depends lacks a computed libc6: '$depends'"
  [[ $depends =~ (^|, )libstdc\+\+6\ \(\>=\ [0-9] ]] || fail "Depends lacks a computed libstdc++6: '$depends'"
  [[ $(field Maintainer) == *"<sockvane@example.org>"* ]] || fail "Maintainer: '$(field Maintainer)'"

  ROOTFS=$STAGE/root
  dpkg -x "$deb" "$ROOTFS"
  for f in usr/bin/sockvane usr/share/man/man1/sockvane.1 \
           usr/share/bash-completion/completions/sockvane usr/lib/systemd/system/sockvane.service; do
    check_file "$ROOTFS/$f"
  done
  got=$("$ROOTFS/usr/bin/sockvane" --version) || fail "packaged sockvane --version failed"
  [ "$got" = "$want_version" ] || fail "packaged --version: '$got', expected '$want_version'"
  log "packaged binary: $got"
  grep -qx 'ExecStart=/usr/bin/sockvane .*' "$ROOTFS/usr/lib/systemd/system/sockvane.service" ||
    fail "packaged unit does not start /usr/bin/sockvane"
  # Nothing in the package may point into the build or stage folders.
  if grep -rlF "$BUILD" "$ROOTFS" >/dev/null; then
    fail "packaged files name the build folder: $(grep -rlF "$BUILD" "$ROOTFS" | tr '\n' ' ')"
  fi
fi

if [ "$FAILURES" -ne 0 ]; then
  printf 'package: %d check(s) failed\n' "$FAILURES" >&2
  exit 1
fi
log "all checks passed"
