#!/usr/bin/env bash
# Installs what building, running and testing Velmora needs, from Debian's
# packages only, and the packages named as arguments (scripts/package.sh's
# tools). Safe to run again: it installs only what is missing.
# Run by another user than root it installs through sudo, which must work
# without asking (sudo -n); otherwise it names the missing packages and fails.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    libudev-dev libnl-3-dev libnl-route-3-dev
    iproute2 socat slirp libcap2-bin tshark dpkg-dev libglib2.0-bin
    qttranslations5-l10n
    "$@"
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    AS_ROOT=(env DEBIAN_FRONTEND=noninteractive)
    if [ "$(id -u)" -ne 0 ]; then
        # sudo drops most of the environment, so the setting goes in through env.
        if ! command -v sudo >/dev/null 2>&1 || ! sudo -n true 2>/dev/null; then
            echo "setup: cannot install as root here (no sudo without a password); install these packages, then run this again: apt-get install --no-install-recommends ${missing[*]}" >&2
            exit 1
        fi
        AS_ROOT=(sudo -n "${AS_ROOT[@]}")
    fi
    echo "setup: installing ${missing[*]}"
    "${AS_ROOT[@]}" apt-get update -qq
    # Recommends would pull in ModemManager, which probes serial ports.
    "${AS_ROOT[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ -x "$(dirname "$0")/fetch-lwip.sh" ]; then
    "$(dirname "$0")/fetch-lwip.sh"
fi
