#!/bin/sh
# The real program as a new user starts it. Arguments: rv360 rv360ctl.
# - Qt's own options, with their values, go to Qt: the window comes up (its port's failed open is
#   logged) and prints neither the help nor the version.
# - A script without XDG_RUNTIME_DIR (cron, ssh) finds the socket of a window started with it,
#   and names every place it tried once the window is gone.
set -u
program=$1 ctl=$2
work=$(mktemp -d)
trap 'kill $pid 2>/dev/null; rm -rf "$work"' EXIT
pid=
cp "$program" "$work/rv360"
printf '[Ports]\r\nCOM1=%s/missing\r\n' "$work" >"$work/RV360.INI"
mkdir -m 700 "$work/user" "$work/rv360-$(id -u)"
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES=rv360.link=true
export XDG_RUNTIME_DIR=$work/user RV360_USER_RUNTIME_DIR=$work/user TMPDIR=$work
status=0
fail() { echo "FAIL: $*"; status=1; }
# Starts the window with the options given; true once it is up.
up() {
    "$work/rv360" "$@" >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do
        grep -q "open failed" "$work/err" && return 0
        kill -0 $pid 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
while read -r options; do
    # shellcheck disable=SC2086
    up $options || fail "$options: the window did not come up: $(head -c 300 "$work/out" "$work/err")"
    [ -s "$work/out" ] && fail "$options printed: $(head -c 100 "$work/out")"
    kill $pid 2>/dev/null; wait $pid 2>/dev/null
done <<'OPTIONS'
-style fusion
-stylesheet none.qss
-platform offscreen
-platformtheme gtk3
-reverse
-geometry 300x200+0+0
-qwindowgeometry 300x200
-display :0
--style=fusion
OPTIONS

up || fail "the window did not come up"
# The socket is served after the port's first open: waited for, so a slow start is no failure.
for _ in $(seq 100); do [ -S "$work/user/rv360.sock" ] && break; sleep 0.1; done
# Connected: the window answers (here that its port is not open), not "no running rv360".
env -u XDG_RUNTIME_DIR "$ctl" --timeout 2 status >/dev/null 2>"$work/ctl"
[ $? -eq 3 ] && fail "rv360ctl without XDG_RUNTIME_DIR: $(cat "$work/ctl")"
kill $pid 2>/dev/null; wait $pid 2>/dev/null
env -u XDG_RUNTIME_DIR "$ctl" status 2>"$work/ctl"
grep -qF "at $work/user/rv360.sock or $work/rv360-$(id -u)/rv360.sock," "$work/ctl" ||
    fail "rv360ctl named: $(cat "$work/ctl")"
exit $status
