#!/bin/sh
# rv360ctl as a POSIX shell script uses it, against rv360-sim: a status line is safe to eval
# whatever the pocket's name holds, history never reads the record through a symbolic link, and a
# layout read answered by another device fails naming the reply, the file kept.
# usage: rv360ctl_shell.sh RV360CTL RV360_SIM
set -u
dir=$(mktemp -d) || exit 1
cp "$1" "$dir/rv360ctl" || exit 1
: >"$dir/sim.out"
mkfifo "$dir/control" || exit 1
"$2" --link "$dir/tty" <"$dir/control" >"$dir/sim.out" 2>&1 &
sim=$!
exec 3>"$dir/control"
trap 'kill $sim; rm -rf "$dir"' EXIT
for _ in 1 2 3 4 5 6 7 8 9 10; do grep -q ready "$dir/sim.out" && break; sleep 0.5; done
ctl() { "$dir/rv360ctl" "$@"; }
fail() { echo "FAIL: $*"; exit 1; }
pocket=$(ctl --device "$dir/tty" --json status | sed -n 's/.*"pocket":\([1-8]\).*/\1/p')
[ -n "$pocket" ] || fail "no pocket from the simulator"
cd "$dir" || exit 1
for name in 'y pocket=9' '$(touch PWNED)' "it's \"x\"" 'a;b`id`\'; do
    printf '[Pockets]\r\nName%s=%s\r\n' "$pocket" "$name" >RV360.INI
    got=$(sh -c 'eval "$("$0" --device "$1" status)"; echo "$pocket|$name"' "$dir/rv360ctl" "$dir/tty")
    [ "$got" = "$pocket|$name" ] || fail "name $name: eval gave $got"
done
[ ! -e PWNED ] || fail "a name ran a command"
ln -s RV360.INI moves.csv
err=$(ctl --socket "$dir/none.sock" history 2>&1 >/dev/null)
[ $? -eq 1 ] && [ "$err" = "rv360ctl: $dir/moves.csv is not a regular file: not read" ] ||
    fail "history through a link: $err"
printf 'kept\n' >kept.cfg
told=0
for reply in '?:ERR' 'D:R' 'F:X' 'E'; do
    echo "reply F? $reply" >&3
    told=$((told + 1))
    for _ in 1 2 3 4 5 6 7 8 9 10; do [ "$(grep -c '^ok' sim.out)" -ge $told ] && break; sleep 0.2; done
    err=$(ctl --device "$dir/tty" layout read kept.cfg 2>&1)
    [ $? -eq 1 ] && [ "$err" = "rv360ctl: unexpected reply \"$reply\\r\": the layout was not read" ] &&
        [ "$(cat kept.cfg)" = kept ] || fail "F? answered $reply: $err"
done
echo PASS
