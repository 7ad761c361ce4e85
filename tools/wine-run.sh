#!/bin/sh
# Runs a cross-built Windows program under Wine, quietly, in a given prefix.
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
set -eu
if [ $# -lt 2 ]; then
  echo "usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]" >&2
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
exec "$wine" "$@"
