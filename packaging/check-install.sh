#!/bin/bash
# Checks the Debian packages rv360 and rv360-tango with lintian, installs them into a fresh
# Debian 12 (bookworm) root, one after the other, runs rv360 against the simulator under Xvfb and
# rv360-tango without a Tango database, then purges them and checks that nothing of them is left.
# Not part of the tests: it needs root, debootstrap, lintian and the Debian archive.
#
# Usage: packaging/check-install.sh path/to/rv360_*.deb [path/to/rv360-tango_*.deb] [workdir]
# (either package alone will do; build-package/rv360*.deb names both).
# Without a workdir a temporary one is used and removed. A given workdir is kept, and a root
# made there before is reused, which saves the debootstrap on the next run.
set -euo pipefail

usage() {
    echo "usage: $0 path/to/rv360_*.deb [path/to/rv360-tango_*.deb] [workdir]" >&2
    exit 2
}
say() { echo "check-install: $*"; }
fail() {
    echo "check-install: FAILED: $*" >&2
    exit 1
}

[[ $# -ge 1 && $# -le 3 ]] || usage
[[ $(id -u) -eq 0 ]] || fail "run as root (debootstrap, chroot and mounts need it)"
for tool in debootstrap chroot mount umount dpkg-deb lintian; do
    command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install debootstrap lintian)"
done
declare -A deb_of
workdir_arg=
for arg in "$@"; do
    if [[ $arg != *.deb ]]; then
        [[ -z $workdir_arg ]] || usage
        workdir_arg=$arg
        continue
    fi
    # The workdir comes last.
    [[ -z $workdir_arg ]] || usage
    deb=$(realpath -e -- "$arg") || fail "no such package file: $arg"
    name=$(dpkg-deb -f "$deb" Package) || fail "not a Debian package: $arg"
    [[ $name == rv360 || $name == rv360-tango ]] || fail "$arg is $name, neither rv360 nor rv360-tango"
    [[ -z ${deb_of[$name]:-} ]] || fail "two files of $name given"
    deb_of[$name]=$deb
done
# rv360 first, so that it is seen to come without libtango.
packages=()
for name in rv360 rv360-tango; do
    [[ -n ${deb_of[$name]:-} ]] && packages+=("$name")
done
[[ ${#packages[@]} -gt 0 ]] || usage
has() { [[ -n ${deb_of[$1]:-} ]]; }

if [[ -n $workdir_arg ]]; then
    workdir=$(realpath -m -- "$workdir_arg")
    keep_workdir=1
else
    workdir=$(mktemp -d /var/tmp/rv360-check.XXXXXX)
    keep_workdir=0
fi
root=$workdir/root
mkdir -p "$root"

# Processes whose root is the chroot were started by this check; nothing else is touched.
stop_chroot_processes() {
    local link pid
    for link in /proc/[0-9]*/root; do
        pid=${link#/proc/}
        pid=${pid%/root}
        [[ $(readlink "$link" 2>/dev/null) == "$root" ]] && kill -KILL "$pid" 2>/dev/null
    done
    return 0
}

mounted=()
cleanup() {
    local status=$? i
    stop_chroot_processes
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
    done
    # Never remove a tree that still has a mount in it: /dev would go with it.
    if [[ $keep_workdir -eq 0 ]] && ! grep -q " $workdir/" /proc/self/mounts; then
        rm -rf --one-file-system "$workdir"
    fi
    if [[ $status -eq 0 ]]; then
        say "PASSED"
    else
        echo "check-install: see the messages above (workdir $workdir)" >&2
    fi
}
trap cleanup EXIT

# Overrides ship in the packages with their reasons; any other finding, pedantic ones too, fails.
for package in "${packages[@]}"; do
    status=0
    findings=$(lintian -I --pedantic "${deb_of[$package]}" 2>"$workdir/lintian.log") || status=$?
    if [[ -n $findings ]]; then
        printf '  %s\n' "$findings"
        fail "lintian reports on $package"
    fi
    [[ $status -eq 0 ]] || fail "lintian failed on $package, see $workdir/lintian.log"
    say "lintian: nothing to report on $package"
done

# The archive that this machine's apt uses, as one-line "deb URI SUITE COMPONENTS" entries.
host_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $file ]] || continue
        sed -n -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?/deb /p' "$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -f $file ]] || continue
        awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && enabled != "no")
                    for (u = 1; u <= nu; u++)
                        for (s = 1; s <= ns; s++)
                            print "deb", uris[u], suites[s], comps
                types = ""; enabled = ""; comps = ""; nu = 0; ns = 0
            }
            /^[[:space:]]*#/ { next }
            /^[[:space:]]*$/ { flush(); next }
            {
                key = tolower($1); sub(/:$/, "", key)
                value = $0; sub(/^[^:]*:[[:space:]]*/, "", value)
                if (key == "types") types = value
                else if (key == "enabled") enabled = tolower(value)
                else if (key == "uris") nu = split(value, uris, /[[:space:]]+/)
                else if (key == "suites") ns = split(value, suites, /[[:space:]]+/)
                else if (key == "components") comps = value
            }
            END { flush() }
        ' "$file"
    done
}
sources=$(host_sources | awk '$3 ~ /^bookworm(-|$)/')
mirror=$(awk '$3 == "bookworm" { print $2; exit }' <<<"$sources")
[[ -n $mirror ]] || fail "no bookworm entry in /etc/apt/sources.list or sources.list.d"
say "archive: $mirror"

if [[ -f $root/.rv360-check-base ]]; then
    say "reusing the root in $root"
else
    say "debootstrap bookworm (minbase) into $root; this takes a few minutes"
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$workdir/debootstrap.log" 2>&1 ||
        fail "debootstrap failed, see $workdir/debootstrap.log"
    touch "$root/.rv360-check-base"
fi

bind() {
    mount "$@"
    mounted+=("${!#}")
}
bind -t proc proc "$root/proc"
bind --bind /dev "$root/dev"
bind --bind /dev/pts "$root/dev/pts"

printf '%s\n' "$sources" >"$root/etc/apt/sources.list"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# No service of an installed package is started in the chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
for package in "${packages[@]}"; do
    cp "${deb_of[$package]}" "$root/tmp/$package.deb"
done

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

: >"$workdir/apt.log"
for package in rv360-tango rv360; do
    in_root dpkg -s "$package" >/dev/null 2>&1 || continue
    say "removing $package left in the reused root by an earlier run"
    in_root apt-get -q purge -y "$package" >>"$workdir/apt.log" 2>&1 || fail "apt-get purge failed"
done
# What earlier runs' packages pulled in goes too, so that libtango is gone before rv360 comes.
in_root apt-get -q autoremove --purge -y >>"$workdir/apt.log" 2>&1 || fail "apt-get autoremove failed"
in_root apt-get -q update >>"$workdir/apt.log" 2>&1 || fail "apt-get update failed, see $workdir/apt.log"
if has rv360; then
    say "installing Xvfb with apt"
    in_root apt-get -q install -y --no-install-recommends xvfb x11-apps fonts-dejavu-core \
        >>"$workdir/apt.log" 2>&1 || fail "installing xvfb failed, see $workdir/apt.log"
fi
in_root sh -c 'id -u rv360check >/dev/null 2>&1 || useradd -m -s /bin/sh rv360check'

# Without recommends, so that Depends alone must be enough.
install_package() {
    say "installing $1 with apt"
    in_root apt-get -q install -y --no-install-recommends "/tmp/$1.deb" >>"$workdir/apt.log" 2>&1 ||
        fail "installing $1 failed, see $workdir/apt.log"
    in_root dpkg -L "$1" >"$workdir/files-$1.list"
    say "installed, $(wc -l <"$workdir/files-$1.list") paths"
}

# Made by root, as Xvfb expects, so that it can run as the user.
install -d -m 1777 "$root/tmp/.X11-unix"

# These run as an ordinary user inside the root; each prints its findings and fails on the first
# problem. rv360 against the simulator:
cat >"$root/tmp/run-check.sh" <<'EOF'
#!/bin/sh
set -eu
cd "$HOME"
rm -f /tmp/ttySIM /tmp/sim.log /tmp/rv360.log /tmp/screen.xwd /tmp/xvfb.display
mkdir -p "$HOME/.config/RV360"
printf '[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM1=/tmp/ttySIM\r\n' >"$HOME/.config/RV360/RV360.INI"

app=
# The abstract X socket is shared with the host, so Xvfb picks a free display itself.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>/tmp/xvfb.display >/tmp/xvfb.log 2>&1 &
xvfb=$!
rv360-sim --link /tmp/ttySIM --log </dev/null >/tmp/sim.out 2>/tmp/sim.log &
sim=$!
stop() { kill $app "$sim" "$xvfb" 2>/dev/null || true; }
trap stop EXIT
i=0
until [ -s /tmp/xvfb.display ] && grep -q '^ready' /tmp/sim.out; do
    i=$((i + 1))
    [ "$i" -le 100 ] || { echo "Xvfb or rv360-sim did not start"; cat /tmp/xvfb.log /tmp/sim.log; exit 1; }
    sleep 0.1
done

DISPLAY=:$(cat /tmp/xvfb.display)
export DISPLAY
rv360 >/tmp/rv360.log 2>&1 &
app=$!
sleep 5
kill -0 "$app" 2>/dev/null || { echo "rv360 ended early:"; cat /tmp/rv360.log; exit 1; }
echo "rv360 is running (pid $app)"
grep -q ' rx ' /tmp/sim.log || { echo "rv360 sent nothing to the simulator"; exit 1; }
echo "the simulator received $(grep -c ' rx ' /tmp/sim.log) frames"
xwd -root -silent -out /tmp/screen.xwd
# A blank screen is one colour, the window many (the header and colour map skipped).
colours=$(tail -c +4097 /tmp/screen.xwd | od -An -v -tx4 -w4 | sort -u | wc -l)
[ "$colours" -gt 8 ] || { echo "the screenshot is blank"; exit 1; }
echo "screenshot taken ($(wc -c </tmp/screen.xwd) bytes)"

kill -TERM "$app"
status=0
wait "$app" || status=$?
[ "$status" -eq 0 ] || { echo "rv360 ended with status $status on SIGTERM"; cat /tmp/rv360.log; exit 1; }
grep -q '^COM1=/tmp/ttySIM' "$HOME/.config/RV360/RV360.INI" || { echo "settings lost"; exit 1; }
echo "rv360 ended on SIGTERM with status 0, settings kept"
kill -TERM "$sim"
wait "$sim" || { echo "rv360-sim did not end cleanly"; exit 1; }
[ ! -e /tmp/ttySIM ] || { echo "rv360-sim left its link"; exit 1; }
echo "rv360-sim stopped"
EOF
chmod 755 "$root/tmp/run-check.sh"

# rv360-tango without a Tango database and without rv360: it refuses a bad address, starts, and
# ends on SIGTERM.
cat >"$root/tmp/run-tango-check.sh" <<'EOF'
#!/bin/sh
set -eu
cd "$HOME"
rm -f /tmp/tango.out /tmp/tango.err
status=0
rv360-tango --instrument bad >/tmp/tango.out 2>/tmp/tango.err || status=$?
[ "$status" -eq 2 ] || { echo "rv360-tango --instrument bad ended with status $status"; cat /tmp/tango.err; exit 1; }
grep -qx 'rv360-tango: --instrument needs HOST:PORT' /tmp/tango.err ||
    { echo "rv360-tango --instrument bad did not say why:"; cat /tmp/tango.err; exit 1; }
echo "rv360-tango --instrument bad: status 2 and its message"
zcat /usr/share/man/man1/rv360-tango.1.gz | grep -qF '.TH RV360\-TANGO 1' ||
    { echo "no manual page rv360-tango(1)"; exit 1; }
echo "manual page rv360-tango(1) installed"

# No port in the endpoint: a free one.
rv360-tango --instrument 127.0.0.1:5025 check -nodb -dlist rv360/indexer/1 \
    -ORBendPoint giop:tcp:127.0.0.1: </dev/null >/tmp/tango.out 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
i=0
until grep -q '^rv360-tango: ready' /tmp/tango.out; do
    i=$((i + 1))
    kill -0 "$server" 2>/dev/null && [ "$i" -le 200 ] ||
        { echo "rv360-tango did not start:"; cat /tmp/tango.out; exit 1; }
    sleep 0.1
done
echo "rv360-tango started without a database"
kill -TERM "$server"
status=0
wait "$server" || status=$?
[ "$status" -eq 0 ] || { echo "rv360-tango ended with status $status on SIGTERM"; cat /tmp/tango.out; exit 1; }
echo "rv360-tango ended on SIGTERM with status 0"
EOF
chmod 755 "$root/tmp/run-tango-check.sh"

if has rv360; then
    install_package rv360
    # dpkg-query fails when no package of that name was ever known.
    tango=$({ in_root dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 'libtango*' 2>/dev/null || true; } |
        awk '$1 == "ii" { print $2 }')
    [[ -z $tango ]] || fail "installing rv360 brought $tango"
    say "rv360 came without libtango"
    say "running rv360-sim and rv360 under Xvfb"
    in_root runuser -u rv360check -- env HOME=/home/rv360check /tmp/run-check.sh |
        sed 's/^/  /' || fail "the program did not run as expected"
    if [[ $keep_workdir -eq 1 ]]; then
        cp "$root/tmp/screen.xwd" "$workdir/screen.xwd"
        say "screenshot: $workdir/screen.xwd"
    fi
fi
if has rv360-tango; then
    install_package rv360-tango
    say "running rv360-tango"
    in_root runuser -u rv360check -- env HOME=/home/rv360check /tmp/run-tango-check.sh |
        sed 's/^/  /' || fail "rv360-tango did not run as expected"
fi

for package in rv360-tango rv360; do
    has "$package" || continue
    say "purging $package"
    in_root apt-get -q purge -y "$package" >>"$workdir/apt.log" 2>&1 || fail "apt-get purge failed"
    in_root dpkg -s "$package" >/dev/null 2>&1 && fail "$package is still known to dpkg after purge"
    left=0
    while IFS= read -r path; do
        [[ $path == /. || -z $path ]] && continue
        if [[ -L $root$path || -e $root$path ]]; then
            # A directory that another package owns is meant to stay.
            if [[ -d $root$path && ! -L $root$path ]] && in_root dpkg-query -S "$path" >/dev/null 2>&1; then
                continue
            fi
            echo "  left after purge: $path"
            left=1
        fi
    done <"$workdir/files-$package.list"
    [[ $left -eq 0 ]] || fail "files of $package are left after purge"
    say "purged, no file of $package is left"
done
