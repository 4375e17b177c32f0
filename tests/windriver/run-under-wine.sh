#!/bin/bash
# Runs the Windows driver's tests under wine64 with COM ports on
# pseudo-terminals, in a private wine prefix made in a temporary directory
# and removed afterwards:
#   COM1, COM2  the two ends of a null-modem pair that socat joins
#   COM3        a link to nothing
#   COM4        a port a Linux process holds exclusively (TIOCEXCL), given
#               only to a run as a user other than root, whom alone the
#               kernel refuses such a port; a run as root therefore runs the
#               tests as "nobody"
# wine opens \\.\COMn through $WINEPREFIX/dosdevices/comN, a link its mount
# manager makes at start-up from HKLM\Software\Wine\Ports; links made there
# by hand are replaced by the serial devices it finds on the machine.
#
#   tests/windriver/run-under-wine.sh BUILD/bin/sdrvwin_tests.exe [gtest options]
#
# WINE64: the wine64 program (default /usr/lib/wine/wine64, else on PATH).
# ORVO_WINE_USER: the user to run wine as (default: the caller; nobody for
# root); set it to root to stay root.
set -euo pipefail

exe=${1:?usage: $0 sdrvwin_tests.exe [gtest options]}
shift
dll=$(dirname "$exe")/SDRVWIN.DLL
[ -f "$exe" ] && [ -f "$dll" ] || { echo "$0: need $exe and SDRVWIN.DLL beside it" >&2; exit 2; }
command -v socat >/dev/null || { echo "$0: socat is not installed" >&2; exit 2; }
wine64=${WINE64:-/usr/lib/wine/wine64}
[ -x "$wine64" ] || wine64=$(command -v wine64) || { echo "$0: no wine64" >&2; exit 2; }
wineserver=$(dirname "$wine64")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

run_as=${ORVO_WINE_USER-}
if [ -z "$run_as" ] && [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1 && command -v runuser >/dev/null; then
    run_as=nobody
fi
[ "$run_as" = "$(id -un)" ] && run_as=

work=$(mktemp -d /tmp/sdrvwin.XXXXXX)
pids=()
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
# wine keeps its server's socket under TMPDIR: in the work directory it goes
# with the rest. No display, no fixme lines, and no offer to install Mono or
# Gecko, which a console program does not need.
wine_env=(HOME="$work/home" TMPDIR="$work/tmp" WINEPREFIX="$work/prefix" WINEDEBUG=-all DISPLAY=
          WINEDLLOVERRIDES="mscoree,mshtml=" ORVO_WINE_TEMPLATE="${ORVO_WINE_TEMPLATE:-}")
as_user() {
    if [ -n "$run_as" ]; then
        runuser -u "$run_as" -- env "${wine_env[@]}" "$@"
    else
        env "${wine_env[@]}" "$@"
    fi
}
cleanup() {
    as_user "$wineserver" -k 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
# Waits for a link the background helpers make, and lets the wine user have
# the terminal behind it.
await_link() {
    for _ in $(seq 100); do [ -e "$1" ] && break; sleep 0.05; done
    [ -e "$1" ] || { echo "$0: $1 did not appear" >&2; exit 1; }
    [ -z "$run_as" ] || chown "$run_as" "$(readlink -f "$1")"
}

mkdir -p "$work/home" "$work/tmp"
cp "$exe" "$dll" "$work/"
[ -z "$run_as" ] || chown -R "$run_as" "$work"

socat pty,raw,echo=0,link="$work/ptyA" pty,raw,echo=0,link="$work/ptyB" 2>"$work/socat.log" &
pids+=($!)
await_link "$work/ptyA"
await_link "$work/ptyB"
busy=
if [ -n "$run_as" ] && command -v python3 >/dev/null; then
    python3 -c '
import fcntl, os, sys, termios, time
master, slave = os.openpty()
fcntl.ioctl(slave, termios.TIOCEXCL)
os.symlink(os.ttyname(slave), sys.argv[1])
time.sleep(3600)' "$work/ptyC" &
    pids+=($!)
    await_link "$work/ptyC"
    busy=COM4
else
    echo "note: no port held exclusively (needs python3 and a user other than root)"
fi

start=$(now)
as_user "$(dirname "$0")/../wine/new-prefix.sh" "$wine64" "$work/prefix"
prefix_made=$(now)
cat >"$work/ports.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM1"="$work/ptyA"
"COM2"="$work/ptyB"
"COM3"="$work/nothing"
"COM4"="$work/ptyC"
REG
as_user "$wine64" regedit /S "$work/ports.reg" >/dev/null 2>&1
# The mount manager reads the ports when wine starts again.
as_user "$wineserver" -k
as_user "$wine64" cmd /c exit >/dev/null 2>&1
ports_ready=$(now)
[ "$(readlink "$work/prefix/dosdevices/com1")" = "$work/ptyA" ] ||
    { echo "$0: wine did not link COM1 to $work/ptyA" >&2; ls -l "$work/prefix/dosdevices" >&2; exit 1; }

echo "running $(basename "$exe") as ${run_as:-$(id -un)}"
set +e
as_user ORVO_TEST_COM=COM1 ORVO_TEST_COM_PEER=COM2 ORVO_TEST_COM_DANGLING=COM3 ORVO_TEST_COM_BUSY="$busy" \
    timeout 240 "$wine64" "$work/$(basename "$exe")" "$@"
status=$?
set -e
done_at=$(now)
echo "wine prefix created in $(seconds "$start" "$prefix_made") s, ports linked in" \
     "$(seconds "$prefix_made" "$ports_ready") s, tests ran in $(seconds "$ports_ready" "$done_at") s"
exit $status
