#!/usr/bin/env bash
# Installs what building, running and testing Velmora needs, from Debian's
# packages only. Safe to run again: it installs only what is missing.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    libudev-dev libnl-3-dev libnl-route-3-dev
    iproute2 socat slirp libcap2-bin tshark dpkg-dev
    qttranslations5-l10n
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    # Recommends would pull in ModemManager, which probes serial ports.
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ -x "$(dirname "$0")/fetch-lwip.sh" ]; then
    "$(dirname "$0")/fetch-lwip.sh"
fi
