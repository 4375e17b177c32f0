#!/bin/bash
# Makes a wine prefix at PREFIX for the user running it:
#
#   new-prefix.sh WINE64 PREFIX
#
# wine's first start in a new prefix takes about 10 s. A test run makes one
# prefix once (tools/run-tests: ORVO_WINE_TEMPLATE) and every prefix of the
# run is a copy of it, owned by whoever uses it; without a template the
# prefix is made by wineboot. Nothing of wine keeps running afterwards.
set -euo pipefail
wine64=${1:?usage: $0 WINE64 PREFIX}
prefix=${2:?prefix}
wineserver=$(dirname "$wine64")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

template=${ORVO_WINE_TEMPLATE:-}
if [ -n "$template" ] && [ -f "$template/system.reg" ]; then
    # A copy (about 700 MB, 2 s) owned by whoever runs this, as wine wants;
    # wineserver is the template's own server lock.
    rm -rf "$prefix"
    mkdir -p "$prefix"
    (cd "$template" && tar cf - --exclude=./wineserver .) | (cd "$prefix" && tar xf - --no-same-owner)
else
    mkdir -p "$prefix"
    "$wine64" wineboot -i </dev/null >/dev/null 2>&1
    "$wineserver" -w </dev/null >/dev/null 2>&1 || true
fi
