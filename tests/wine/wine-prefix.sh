#!/bin/bash
# The one wine prefix a test run shares, as a CTest fixture:
#
#   wine-prefix.sh setup WINE64 PREFIX COM1_LINK
#   wine-prefix.sh cleanup WINE64 PREFIX
#
# setup makes PREFIX (new-prefix.sh) unless it is there already with
# COM1 mapped to COM1_LINK, maps COM1 there in HKLM\Software\Wine\Ports, and
# starts a wine server that stays (wineserver -p) with wine's own processes,
# so that each test's program starts in about a second. COM1_LINK is a
# stable path: each test points it at its own virtual modem, and wine
# follows the link whenever a program opens COM1, so no test changes the
# registry or restarts wine. cleanup ends the server and every program of
# the prefix (wineserver -k).
#
# wine's daemons outlive this script: they get no descriptor of it, or one
# would hold the test runner's output pipe open and hang the run.
set -euo pipefail

action=${1:?usage: $0 setup|cleanup WINE64 PREFIX [COM1_LINK]}
wine64=${2:?wine64}
prefix=${3:?prefix}
wineserver=$(dirname "$wine64")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# No fixme lines, and no offer to install Mono or Gecko, which the programs
# do not need.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ "$action" = cleanup ]; then
    [ -d "$prefix" ] || exit 0
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    echo "wine server of $prefix ended"
    exit 0
fi

link=${4:?COM1 link}
mkdir -p "$(dirname "$prefix")"
log=$prefix.log
: >"$log"
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
# Runs a wine command with its output in the log, shown when it fails.
quiet() {
    if ! "$@" </dev/null >>"$log" 2>&1; then
        echo "$0: failed: $*" >&2
        cat "$log" >&2
        exit 1
    fi
}

# A wine server of the prefix, which forks away from this script. Its own
# output (a dump of every object when it is ended) goes nowhere.
start_server() { "$wineserver" "$@" </dev/null >/dev/null 2>&1; }

start=$(now)
# A server left by an earlier run that did not end would serve an old
# registry.
"$wineserver" -k </dev/null >/dev/null 2>&1 || true
# The registry is written out as system.reg whenever the server ends.
if [ -f "$prefix/system.reg" ] && grep -qxF "\"COM1\"=\"$link\"" "$prefix/system.reg"; then
    echo "reusing $prefix"
else
    quiet "$(dirname "$0")/new-prefix.sh" "$wine64" "$prefix"
    start_server
    quiet "$wine64" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$link" /f
    # Written out before the prefix counts as made; the mount manager reads
    # the ports when wine starts again.
    quiet "$wineserver" -k
    echo "made $prefix"
fi
made=$(now)

# A server that stays until cleanup, and wine's own processes (services,
# the mount manager's device) started once for every test.
start_server -p
quiet "$wine64" cmd /c exit
actual=$(readlink "$prefix/dosdevices/com1" || true)
if [ "$actual" != "$link" ]; then
    echo "$0: wine maps COM1 to '$actual', not $link" >&2
    ls -l "$prefix/dosdevices" >&2
    exit 1
fi
echo "COM1 is $link; prefix ready in $(seconds "$start" "$made") s, wine started in $(seconds "$made" "$(now)") s"
