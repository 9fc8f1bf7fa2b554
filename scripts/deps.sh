#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the run need, when any is missing.
# Extra package names may be given as arguments.
set -euo pipefail
packages=(cmake g++ make qt6-base-dev qt6-serialport-dev qt6-svg-dev qt6-httpserver-dev qt6-websockets-dev libgl-dev xvfb xauth "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
