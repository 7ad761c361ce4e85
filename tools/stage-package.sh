#!/usr/bin/env bash
# Install and packaging check: a release build with Debian's hardening flags
# installed into a scratch prefix, the Debian package built by CPack, checked by
# lintian, unpacked and run, then installed, removed and purged on this machine
# (as root, when no sockvane package is installed already). Exits non-zero on
# any failure. Everything it makes stays in build/pkg/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/pkg
STAGE=$BUILD/stage

log() { printf '== package: %s\n' "$*" >&2; }
FAILURES=0
fail() { printf 'FAIL package: %s\n' "$*" >&2; FAILURES=$((FAILURES + 1)); }
# Each section of checks is one test: failed when any of its checks failed.
SECTION="" SECTION_START=0 PASSED=0 FAILED=0
section() {  # NAME, or "" to close the open section only; SECTION="" drops it uncounted
  if [ -n "$SECTION" ]; then
    if [ "$FAILURES" -gt "$SECTION_START" ]; then FAILED=$((FAILED + 1)); else PASSED=$((PASSED + 1)); fi
  fi
  SECTION=$1
  SECTION_START=$FAILURES
}
check_file() { [ -f "$1" ] || fail "missing $1"; }

. "$ROOT/tools/packages.sh"
. "$ROOT/tools/test-counts.sh"

# dpkg-dev: dpkg-buildflags gives the flags and dpkg-shlibdeps the
# dependencies; file: CPack finds the executables with it; groff-base, man-db
# and mandoc render and lint the man page; systemd: systemd-analyze checks the
# unit; lintian and devscripts (hardening-check) judge the package.
need_packages g++ cmake make git binutils dpkg-dev file groff-base man-db mandoc systemd \
  lintian devscripts

# The flags Debian builds its packages with, all hardening features on, plus
# stack clash and, on x86, control flow protection.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
DEB_CXXFLAGS_MAINT_APPEND=-fstack-clash-protection
case $(dpkg-architecture -qDEB_HOST_ARCH_CPU) in
  amd64|i386) DEB_CXXFLAGS_MAINT_APPEND+=" -fcf-protection" ;;
esac
export DEB_CXXFLAGS_MAINT_APPEND
export DEB_CFLAGS_MAINT_APPEND=$DEB_CXXFLAGS_MAINT_APPEND
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
log "release build in $BUILD"
log "CXXFLAGS: $cxxflags"
log "LDFLAGS: $ldflags"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSOCKVANE_TESTS=OFF -DSOCKVANE_BENCH=OFF \
  "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_C_FLAGS=$cflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" >/dev/null
cmake --build "$BUILD" -j 2 >/dev/null
VERSION=$(sed -n 's/^SOCKVANE_VERSION:STRING=//p' "$BUILD/CMakeCache.txt")
[ -n "$VERSION" ] || { fail "no SOCKVANE_VERSION in $BUILD/CMakeCache.txt"; exit 1; }
rm -rf "$STAGE"
mkdir -p "$STAGE"

# --- cmake --install into a scratch prefix ---------------------------------
section "install into a prefix"
PREFIX=$STAGE/prefix
log "cmake --install --prefix $PREFIX"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
check_file "$PREFIX/bin/sockvane"
check_file "$PREFIX/share/man/man1/sockvane.1"
check_file "$PREFIX/share/bash-completion/completions/sockvane"
check_file "$PREFIX/lib/systemd/system/sockvane.service"
check_examples() {  # the installed examples folder holds exactly the shipped files
  diff -r "$ROOT/packaging/examples" "$1" >/dev/null || fail "examples in $1 differ from packaging/examples"
}
check_examples "$PREFIX/share/doc/sockvane/examples"
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
section "man page"
log "man page"
out=$(groff -man -Tutf8 -ww -z "$PREFIX/share/man/man1/sockvane.1" 2>&1) || fail "groff failed: $out"
[ -z "$out" ] || fail "groff warns: $out"
out=$(MANWIDTH=80 man --warnings -l "$PREFIX/share/man/man1/sockvane.1" 2>&1 >/dev/null) ||
  fail "man -l failed: $out"
[ -z "$out" ] || fail "man -l warns: $out"
out=$(mandoc -Tlint "$PREFIX/share/man/man1/sockvane.1" 2>&1) || fail "mandoc -Tlint: $out"

# Installs the package, checks the files, the hardening of the installed
# binary and that the unit is not enabled; enables it as an administrator
# would, then checks remove (service stopped, enablement kept for a reinstall)
# and purge (no trace of the unit left). Where systemd runs, the service is
# started too and must be stopped by the removal.
check_install_remove_purge() {
  local deb=$1 unit=sockvane.service systemd=0 leftovers
  if [ "$(id -u)" -ne 0 ]; then
    log "not root: install, remove and purge not checked"
    SECTION=""  # not run: not counted
    return 0
  fi
  if dpkg-query -W -f='${db:Status-Status}' sockvane 2>/dev/null | grep -qvx 'not-installed'; then
    log "a sockvane package is installed here already: install, remove and purge not checked"
    SECTION=""  # not run: not counted
    return 0
  fi
  [ -d /run/systemd/system ] && systemd=1
  trap 'dpkg --purge sockvane >/dev/null 2>&1 || true' EXIT
  log "dpkg -i $(basename "$deb") (systemd running: $systemd)"
  dpkg -i "$deb" >/dev/null || { fail "dpkg -i failed"; return; }
  for f in /usr/bin/sockvane /usr/share/man/man1/sockvane.1.gz /usr/share/doc/sockvane/copyright \
           /usr/lib/systemd/system/sockvane.service; do
    check_file "$f"
  done
  out=$(/usr/bin/sockvane --once --all --format jsonl 2>&1) || fail "installed sockvane --once: $out"
  # Control flow protection cannot be marked on Debian 12: its C start files
  # (Scrt1.o, crti.o) lack the IBT/SHSTK property, so the linker drops it.
  log "hardening-check --nocfprotection /usr/bin/sockvane"
  out=$(hardening-check --nocfprotection /usr/bin/sockvane 2>&1) || fail "hardening-check: $out"
  while IFS= read -r line; do log "hardening-check: $line"; done <<<"$out"
  out=$(SYSTEMD_LOG_COLOR=0 systemd-analyze security --offline=true /usr/lib/systemd/system/$unit 2>&1) ||
    fail "systemd-analyze security: $out"
  log "systemd-analyze security: $(grep -o 'Overall exposure level.*' <<<"$out")"
  [ -z "$(find /etc/systemd/system -name $unit 2>/dev/null)" ] || fail "the unit is enabled on install"
  if [ "$systemd" -eq 1 ]; then
    systemctl is-active --quiet $unit && fail "the service was started on install"
  fi

  systemctl enable $unit >/dev/null 2>&1 || fail "systemctl enable failed"
  [ -L /etc/systemd/system/multi-user.target.wants/$unit ] || fail "systemctl enable made no link"
  if [ "$systemd" -eq 1 ]; then
    systemctl start $unit || fail "systemctl start failed"
    systemctl is-active --quiet $unit || fail "the service does not run: $(systemctl status $unit 2>&1)"
  fi
  log "dpkg -r sockvane"
  dpkg -r sockvane >/dev/null || fail "dpkg -r failed"
  [ -e /usr/bin/sockvane ] && fail "/usr/bin/sockvane left after dpkg -r"
  if [ "$systemd" -eq 1 ] && systemctl is-active --quiet $unit; then
    fail "the service still runs after dpkg -r"
  fi
  # A reinstall keeps the administrator's choice.
  dpkg -i "$deb" >/dev/null || fail "dpkg -i after dpkg -r failed"
  [ -L /etc/systemd/system/multi-user.target.wants/$unit ] || fail "reinstall lost the enablement"
  dpkg -r sockvane >/dev/null || fail "the second dpkg -r failed"
  log "dpkg --purge sockvane"
  dpkg --purge sockvane >/dev/null || fail "dpkg --purge failed"
  leftovers=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
    /var/lib/systemd/deb-systemd-helper-masked -name "*sockvane*" 2>/dev/null || true)
  [ -z "$leftovers" ] || fail "left after purge: $leftovers"
  dpkg-query -W -f='${db:Status-Status}' sockvane 2>/dev/null | grep -qvx 'not-installed' &&
    fail "dpkg still knows sockvane after purge"
  trap - EXIT
  return 0
}

# --- the Debian package -----------------------------------------------------
section "package build, fields and contents"
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
  for f in usr/bin/sockvane usr/share/man/man1/sockvane.1.gz usr/share/doc/sockvane/copyright \
           usr/share/doc/sockvane/changelog.gz usr/share/doc/sockvane/README.md.gz \
           usr/share/bash-completion/completions/sockvane usr/lib/systemd/system/sockvane.service; do
    check_file "$ROOTFS/$f"
  done
  check_examples "$ROOTFS/usr/share/doc/sockvane/examples"
  got=$("$ROOTFS/usr/bin/sockvane" --version) || fail "packaged sockvane --version failed"
  [ "$got" = "$want_version" ] || fail "packaged --version: '$got', expected '$want_version'"
  log "packaged binary: $got"
  grep -qx 'ExecStart=/usr/bin/sockvane .*' "$ROOTFS/usr/lib/systemd/system/sockvane.service" ||
    fail "packaged unit does not start /usr/bin/sockvane"
  # Nothing in the package may point into the build or stage folders.
  if grep -rlF "$BUILD" "$ROOTFS" >/dev/null; then
    fail "packaged files name the build folder: $(grep -rlF "$BUILD" "$ROOTFS" | tr '\n' ' ')"
  fi
  changelog_version=$(zcat "$ROOTFS/usr/share/doc/sockvane/changelog.gz" | sed -n '1s/^sockvane (\(.*\)) .*/\1/p')
  [ "$changelog_version" = "$VERSION" ] || fail "changelog version '$changelog_version', expected $VERSION"
  cmp -s <(sed -n '/^Permission/,$p' "$ROOT/LICENSE") \
    <(sed -n '/^ Permission/,$p' "$ROOTFS/usr/share/doc/sockvane/copyright" | sed 's/^ \.$//; s/^ //') ||
    fail "the licence text in the copyright file differs from LICENSE"

  # --- lintian: no error, no warning; every info tag is printed ------------
  section "lintian"
  log "lintian"
  lintian_out=$STAGE/lintian.txt
  lintian --display-info --fail-on error,warning "$deb" >"$lintian_out" 2>"$STAGE/lintian.err" ||
    fail "lintian: $(cat "$lintian_out" "$STAGE/lintian.err")"
  while IFS= read -r line; do log "lintian: $line"; done <"$lintian_out"
  grep -q '^[EW]:' "$lintian_out" && fail "lintian reports errors or warnings"

  # --- install, remove and purge on this machine -----------------------------
  section "install, remove and purge"
  check_install_remove_purge "$deb"
fi
# The service under a real systemd, on request only: it downloads a Debian
# base system the first time.
if [ "${SOCKVANE_NSPAWN:-0}" = 1 ] && [ ${#debs[@]} -eq 1 ]; then
  section "the service under systemd-nspawn"
  need_packages systemd-container debootstrap
  rc=0
  bash "$ROOT/tools/systemd-nspawn-check.sh" "${debs[0]}" || rc=$?
  case $rc in
    0) ;;
    77) log "systemd-nspawn check skipped"; SECTION="" ;;
    *) fail "systemd-nspawn check" ;;
  esac
fi

section ""
stage_counts "$PASSED" "$FAILED"
if [ "$FAILURES" -ne 0 ]; then
  printf 'package: %d check(s) failed\n' "$FAILURES" >&2
  exit 1
fi
log "all checks passed"
