#!/usr/bin/env bash
# Installs what is missing, builds, and starts rv360 against the built-in indexer simulator on a
# pseudo-terminal. Without a display it runs under Xvfb, saves a screenshot and stops.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# libtango-dev and python3-tango too: `cmake --build build --target rv360-tango` then builds the
# Tango device server for a try with PyTango.
scripts/deps.sh libtango-dev python3-tango
cmake --preset ci >/dev/null
cmake --build build -j2 --target rv360 rv360-sim rv360-screenshot

app_dir=$root/build/src/app
run_dir=$root/build/run
mkdir -p "$run_dir"
link=$run_dir/ttySIM
ini=$app_dir/RV360.INI

# Start the simulator and wait for its pseudo-terminal.
coproc SIM { exec "$root/build/sim/rv360-sim" --link "$link"; }
sim_pid=$SIM_PID
cleanup() {
    # The window first, so that it closes (and saves) before its display goes.
    [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
    kill "$sim_pid" 2>/dev/null || true
    [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
read -r -t 10 ready <&"${SIM[0]}" || { echo "rv360-sim did not start" >&2; exit 1; }
echo "Simulator: $ready"

# Port 1 and COM1 on the simulator in the settings beside the program, whatever they said (an
# Ethernet choice tried before included), keeping everything else.
touch "$ini"
set_key() { # section key value: replaces the key, or adds it (and the section) when missing
    awk -v sec="$1" -v key="$2" -v val="$3" '
        BEGIN { line = key "=" val; sec = tolower(sec); lkey = tolower(key) }
        { sub(/\r$/, "") }
        /^[ \t]*\[/ {
            if (inside && !done) { print line; done = 1 }
            s = tolower($0); sub(/^[ \t]*\[/, "", s); sub(/\].*$/, "", s)
            inside = (s == sec)
        }
        inside && !/^[ \t]*[;\[]/ {
            k = tolower($0); sub(/=.*$/, "", k); gsub(/^[ \t]+|[ \t]+$/, "", k)
            if (k == lkey) { if (!done) print line; done = 1; next }
        }
        { print }
        END {
            if (inside && !done) { print line; done = 1 }
            if (!done) { print "[" ARGV_sec "]"; print line }
        }' ARGV_sec="$1" "$ini" | sed 's/$/\r/' >"$ini.new"
    mv "$ini.new" "$ini"
}
set_key Application CommPort 1
set_key Ports COM1 "$link"
echo "Settings: $ini (port 1, COM1 -> $link)"

if [ -n "${DISPLAY:-}" ]; then
    "$app_dir/rv360"
else
    shot=$root/build/screenshot-main.png
    display=:$((90 + RANDOM % 100))
    Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=$display
    sleep 1
    "$app_dir/rv360" &
    app_pid=$!
    sleep 4
    "$root/build/tools/rv360-screenshot" "$shot"
    echo "No display: ran under Xvfb for 4 s; screenshot saved to $shot"
fi
