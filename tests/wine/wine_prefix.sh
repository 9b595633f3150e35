#!/usr/bin/env bash
# The Wine prefix of one test run, under the build folder.
#   wine_prefix.sh up PREFIX WINE WINESERVER     a fresh prefix, and its server kept running
#   wine_prefix.sh down PREFIX WINE WINESERVER   the server stopped (wineserver -k)
set -euo pipefail
action=$1 prefix=$2 wine=$3 wineserver=$4
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
  up)
    WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # Persistent until "down", so that each test's program starts at once; its output goes
    # nowhere, or the test runner would wait for it to end.
    "$wineserver" -p </dev/null >/dev/null 2>&1
    "$wine" wineboot --init >/dev/null 2>&1
    echo "Wine prefix ready in $prefix"
    ;;
  down)
    "$wineserver" -k 2>/dev/null || true
    echo "Wine server stopped"
    ;;
  *)
    echo "usage: wine_prefix.sh up|down PREFIX WINE WINESERVER" >&2
    exit 2
    ;;
esac
