#!/bin/sh
# Runs a cross-built Windows program under Wine, quietly, in a given prefix.
#   wine-run.sh [--retry-start] PREFIX PROGRAM.exe [ARGS...]
# With --retry-start (for programs that always print something, such as the
# unit tests), a run that printed nothing and failed is taken for a program
# that never started (the Wine loader or server failed, not the program):
# it is started again, up to SOCKVANE_WINE_TRIES times (default 3), and a
# start that keeps failing is reported as such. Output is then passed on
# when the program ends rather than as it comes.
set -eu
retry_start=0
if [ "${1:-}" = "--retry-start" ]; then
  retry_start=1
  shift
fi
if [ $# -lt 2 ]; then
  echo "usage: wine-run.sh [--retry-start] PREFIX PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
prefix=$1
shift
wine=${SOCKVANE_WINE:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
  echo "wine-run.sh: $wine not found (Debian package wine64)" >&2
  exit 127
fi
mkdir -p "$prefix"
WINEPREFIX=$(cd "$prefix" && pwd)
export WINEPREFIX
export WINEDEBUG=-all
# No desktop integration or Mono/Gecko prompts in a headless prefix.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
[ $retry_start -eq 1 ] || exec "$wine" "$@"

tries=${SOCKVANE_WINE_TRIES:-3}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
try=1
while :; do
  status=0
  "$wine" "$@" >"$tmp/out" 2>"$tmp/err" || status=$?
  if [ $status -eq 0 ] || [ -s "$tmp/out" ] || [ $try -ge "$tries" ]; then
    break
  fi
  echo "wine-run.sh: $1 printed nothing and ended with status $status (try $try of $tries); starting it again" >&2
  cat "$tmp/err" >&2
  try=$((try + 1))
  sleep 1
done
cat "$tmp/out"
cat "$tmp/err" >&2
if [ $status -ne 0 ] && [ ! -s "$tmp/out" ]; then
  echo "wine-run.sh: $1 did not start under Wine (status $status after $try tries): not a test failure" >&2
fi
exit $status
