#!/usr/bin/env bash
# Fetches lwIP 2.1.3 from Debian's source package into third_party/lwip-src.
# The system's apt configuration is left alone: a private deb-src list is
# derived from the configured Debian source and used with private package
# lists and cache, all in a temporary folder removed afterwards.
# Quick and silent when the source is already in place.
set -euo pipefail

LWIP_VERSION="2.1.3"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DEST="${VELMORA_LWIP_DEST:-$ROOT/third_party/lwip-src}"
STAMP="$DEST/.velmora-lwip-version"
SYSTEM_SOURCES="${VELMORA_APT_SOURCES:-/etc/apt/sources.list.d/debian.sources}"

if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$LWIP_VERSION" ] && [ -f "$DEST/src/netif/ppp/ppp.c" ]; then
    exit 0
fi

LEGACY_LIST="${VELMORA_APT_LEGACY_LIST:-/etc/apt/sources.list}"
if [ ! -r "$SYSTEM_SOURCES" ] && ! grep -qs '^deb ' "$LEGACY_LIST"; then
    echo "fetch-lwip: cannot read $SYSTEM_SOURCES (the system's Debian source)" >&2
    exit 1
fi

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
# apt downloads as the unprivileged _apt user when run as root.
chmod 755 "$WORK"
mkdir -p "$WORK/sources.list.d" "$WORK/lists/partial" "$WORK/cache/archives/partial" "$WORK/unpack"

# Same archives, suites and keys as the system uses, only for sources.
# Entries with a "Types:" line listing deb become deb-src; other fields stay.
if [ -r "$SYSTEM_SOURCES" ]; then
    sed -E 's/^Types:.*$/Types: deb-src/' "$SYSTEM_SOURCES" >"$WORK/sources.list.d/velmora-src.sources"
else
    # One-line format of older set-ups: the same lines as deb-src.
    sed -nE 's/^deb[[:space:]]+/deb-src /p' "$LEGACY_LIST" >"$WORK/sources.list.d/velmora-src.list"
fi

if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
    chown -R _apt "$WORK/lists" "$WORK/unpack"
fi

APT_OPTS=(
    -o "Dir::Etc::SourceList=/dev/null"
    -o "Dir::Etc::SourceParts=$WORK/sources.list.d"
    -o "Dir::State::Lists=$WORK/lists"
    -o "Dir::Cache=$WORK/cache"
    -o "Dir::Cache::pkgcache="
    -o "Dir::Cache::srcpkgcache="
    -o "Debug::NoLocking=1"
)

echo "fetch-lwip: reading Debian's source index"
apt-get "${APT_OPTS[@]}" -qq update

echo "fetch-lwip: fetching the lwip source package"
(cd "$WORK/unpack" && apt-get "${APT_OPTS[@]}" -qq source "lwip" >/dev/null)

SRC_DIR="$(find "$WORK/unpack" -mindepth 1 -maxdepth 1 -type d -name 'lwip-*' | head -n 1)"
if [ -z "$SRC_DIR" ] || [ ! -f "$SRC_DIR/src/netif/ppp/ppp.c" ]; then
    echo "fetch-lwip: the source package did not unpack as expected" >&2
    exit 1
fi

INIT_H="$SRC_DIR/src/include/lwip/init.h"
got="$(tr -d '\r' <"$INIT_H" | awk '$1=="#define" && $2=="LWIP_VERSION_MAJOR"{a=$3} $1=="#define" && $2=="LWIP_VERSION_MINOR"{b=$3} $1=="#define" && $2=="LWIP_VERSION_REVISION"{c=$3} END{print a"."b"."c}')"
if [ "$got" != "$LWIP_VERSION" ]; then
    echo "fetch-lwip: Debian offers lwIP $got, the build needs $LWIP_VERSION" >&2
    exit 1
fi

rm -rf "$DEST"
mkdir -p "$(dirname "$DEST")"
cp -a "$SRC_DIR" "$DEST"
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID:-}" ]; then
    chown -R "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$DEST"
fi
echo "$LWIP_VERSION" >"$STAMP"
echo "fetch-lwip: lwIP $LWIP_VERSION in $DEST"
