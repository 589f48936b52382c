#!/bin/sh
# run-wine.sh WINE PREFIX PROGRAM [ARGS...]
# Runs a Windows program under Wine in a private prefix (created on first
# use) and stops that prefix's wineserver afterwards.
wine=$1 prefix=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko: the tests need neither, and their installers would stall.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
"$wine" "$@"
rc=$?
WINEPREFIX="$prefix" "$(dirname "$wine")/wineserver" -k 2>/dev/null
exit $rc
