#!/usr/bin/env bash
# Fetches lwIP 2.1.3 from Debian's source package into third_party/lwip-src
# and applies the project's patch set (third_party/patches/*.patch, in name
# order). The system's apt configuration is left alone: a private deb-src
# list is derived from the configured Debian source and used with private
# package lists and cache, all in a temporary folder removed afterwards.
# Where Debian cannot be reached, VELMORA_LWIP_SOURCE names the source package
# fetched elsewhere (a folder holding its .dsc and two tarballs, or one of
# those files); its files must match the SHA-256 sums pinned below.
# Only upstream version 2.1.3 is accepted, from either way.
# The stamp names the lwIP version and the patch set: quick and silent when
# both match. A tree fetched before with another patch set (or none) gets its
# recorded patches taken off and the current ones applied, without fetching;
# only when that fails is the source fetched again. A patch that does not
# apply stops the set-up with one line naming it, leaving the tree as it was.
set -euo pipefail

LWIP_VERSION="2.1.3"
# Debian's source package of that version, as apt-get source downloads it.
DEB_VERSION="2.1.3+dfsg1-2"
PINNED=(
    "lwip_2.1.3+dfsg1-2.dsc 8d8f944db8e6d542fc2d6f01559078fb1b5dda71651c67ee5fa3571ed1342c50"
    "lwip_2.1.3+dfsg1.orig.tar.xz 0a8276d09fc4e97bbba2f953d74af2388fc2195ea156be9d7589e297a68fde24"
    "lwip_2.1.3+dfsg1-2.debian.tar.xz c5a48413d362cc757032cdd58f528f75eb64ee781ca46ca24f010b49b0e62a90"
)
BY_HAND="supply Debian's lwip $DEB_VERSION source package by hand: VELMORA_LWIP_SOURCE=a folder holding ${PINNED[*]%% *} (what apt-get source --download-only lwip=$DEB_VERSION fetches on Debian 12), or one of those files"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DEST="${VELMORA_LWIP_DEST:-$ROOT/third_party/lwip-src}"
STAMP="$DEST/.velmora-lwip-version"
RECORD="$DEST/.velmora-patches"
PATCH_DIR="${VELMORA_LWIP_PATCHES:-$ROOT/third_party/patches}"
SYSTEM_SOURCES="${VELMORA_APT_SOURCES:-/etc/apt/sources.list.d/debian.sources}"
export LC_ALL=C

# The patches of a folder, in name order.
list_patches() {
    local f
    for f in "$1"/*.patch; do
        [ -f "$f" ] && printf '%s\n' "$f"
    done
    return 0
}

# One hash over the patch names and contents; third_party/CMakeLists.txt
# computes the same to refuse a tree with another patch set.
patch_set_id() {
    local f
    list_patches "$1" | while read -r f; do
        printf '%s %s\n' "$(basename "$f")" "$(sha256sum <"$f" | cut -d' ' -f1)"
    done | sha256sum | cut -d' ' -f1
}

# Most of lwIP's sources have CRLF line ends; the patches are kept with LF.
# Prints the patch with CR added to the hunk lines of every file that has
# CRLF line ends in the tree.
for_tree() {
    awk -v tree="$2" '
        function crlf(path,   line, r) {
            r = 0
            if ((getline line < path) > 0 && line ~ /\r$/)
                r = 1
            close(path)
            return r
        }
        left_old > 0 || left_new > 0 {
            c = substr($0, 1, 1)
            if (c == " ") { left_old--; left_new-- }
            else if (c == "-") left_old--
            else if (c == "+") left_new--
            print $0 (cr ? "\r" : "")
            next
        }
        /^@@ / {
            no = split(substr($2, 2), o, ",")
            nn = split(substr($3, 2), n, ",")
            left_old = no > 1 ? o[2] + 0 : 1
            left_new = nn > 1 ? n[2] + 0 : 1
            print
            next
        }
        /^\+\+\+ / {
            f = $2
            sub(/^[^\/]*\//, "", f)
            cr = crlf(tree "/" f)
            print
            next
        }
        { print }
    ' "$1"
}

# apply_one TREE PATCH [-R]: applies (or takes back) one patch, silently;
# fails without touching the tree when any hunk does not fit.
apply_one() {
    local tree="$1" p="$2" dir="${3:-}" fixed
    fixed="$(mktemp)"
    for_tree "$p" "$tree" >"$fixed"
    if ! patch -p1 -d "$tree" --dry-run --batch --forward -s $dir <"$fixed" >/dev/null 2>&1; then
        rm -f "$fixed"
        return 1
    fi
    patch -p1 -d "$tree" --batch --forward -s --no-backup-if-mismatch $dir <"$fixed" >/dev/null
    rm -f "$fixed"
}

# Applies the current patch set to TREE and records it there.
apply_set() {
    local tree="$1" p
    while read -r p; do
        if ! apply_one "$tree" "$p"; then
            echo "fetch-lwip: patch $(basename "$p") does not apply to lwIP $LWIP_VERSION" >&2
            return 1
        fi
    done < <(list_patches "$PATCH_DIR")
    rm -rf "$tree/.velmora-patches"
    mkdir -p "$tree/.velmora-patches"
    list_patches "$PATCH_DIR" | while read -r p; do cp "$p" "$tree/.velmora-patches/"; done
}

# Takes the recorded patches off TREE, last first.
unapply_recorded() {
    local tree="$1" p
    while read -r p; do
        apply_one "$tree" "$p" -R || return 1
    done < <(list_patches "$tree/.velmora-patches" | sort -r)
}

WANT="$LWIP_VERSION patches $(patch_set_id "$PATCH_DIR")"
HAVE="$(cat "$STAMP" 2>/dev/null || true)"
if [ "$HAVE" = "$WANT" ] && [ -f "$DEST/src/netif/ppp/ppp.c" ]; then
    exit 0
fi

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

# Same lwIP, another patch set (a stamp of the version alone is the unpatched
# tree): try the change on a copy first, then make it in place, so that an
# unexpected tree is fetched again and a failing patch leaves it untouched.
if [ -f "$DEST/src/netif/ppp/ppp.c" ] && [ "${HAVE%% *}" = "$LWIP_VERSION" ]; then
    cp -a "$DEST" "$WORK/trial"
    if unapply_recorded "$WORK/trial"; then
        apply_set "$WORK/trial" || exit 1
        if ! unapply_recorded "$DEST" || ! apply_set "$DEST"; then
            echo "fetch-lwip: $DEST changed while it was being patched; run this again" >&2
            exit 1
        fi
        echo "$WANT" >"$STAMP"
        echo "fetch-lwip: lwIP $LWIP_VERSION in $DEST patched again ($(list_patches "$PATCH_DIR" | wc -l) patches)"
        exit 0
    fi
    echo "fetch-lwip: the recorded patches do not come off $DEST; fetching the source again"
    rm -rf "$WORK/trial"
fi

# The Version field of a .dsc file.
dsc_version() {
    tr -d '\r' <"$1" | awk '$1 == "Version:" { print $2; exit }'
}

# Unpacks the source package of a .dsc into $WORK/unpack/lwip-src, with
# Debian's own patches applied as apt-get source does. The files are checked
# by the caller, so dpkg-source need not (it cannot without Debian's keyring).
unpack_dsc() {
    mkdir -p "$WORK/unpack"
    if ! dpkg-source --no-check -x "$1" "$WORK/unpack/lwip-src" >/dev/null 2>"$WORK/unpack.err"; then
        echo "fetch-lwip: dpkg-source cannot unpack $1: $(tr '\n' ' ' <"$WORK/unpack.err")" >&2
        exit 1
    fi
}

# VELMORA_LWIP_SOURCE: the folder of the source package's files (or one of
# them); every file must be the pinned one.
unpack_given() {
    local given="$1" dir entry name sum got other
    if [ -d "$given" ]; then
        dir="$given"
    elif [ -f "$given" ]; then
        dir="$(dirname "$given")"
        name="$(basename "$given")"
        if ! printf '%s\n' "${PINNED[@]%% *}" | grep -qxF "$name"; then
            echo "fetch-lwip: VELMORA_LWIP_SOURCE=$given is not a file of Debian's lwip $DEB_VERSION source package; $BY_HAND" >&2
            exit 1
        fi
    else
        echo "fetch-lwip: VELMORA_LWIP_SOURCE=$given does not exist; $BY_HAND" >&2
        exit 1
    fi
    for entry in "${PINNED[@]}"; do
        name="${entry%% *}"
        sum="${entry##* }"
        if [ ! -f "$dir/$name" ]; then
            other="$(find "$dir" -maxdepth 1 -name 'lwip_*.dsc' ! -name "${PINNED[0]%% *}" | head -n 1)"
            if [ -n "$other" ]; then
                echo "fetch-lwip: $dir holds lwip $(dsc_version "$other") ($(basename "$other")), the build needs lwIP $LWIP_VERSION; $BY_HAND" >&2
            else
                echo "fetch-lwip: $dir has no $name; $BY_HAND" >&2
            fi
            exit 1
        fi
        got="$(sha256sum <"$dir/$name" | cut -d' ' -f1)"
        if [ "$got" != "$sum" ]; then
            echo "fetch-lwip: $dir/$name is not Debian's lwip $DEB_VERSION (SHA-256 $got, expected $sum); $BY_HAND" >&2
            exit 1
        fi
    done
    echo "fetch-lwip: unpacking lwip $DEB_VERSION from $dir"
    unpack_dsc "$dir/${PINNED[0]%% *}"
}

# apt's first complaint in the file, on one line.
first_complaint() {
    grep -m1 -E '^(E|W|Err):' "$1" | sed -E 's/^(E|W|Err): *//' | tr -s ' \t' ' '
}

# Debian's source package through apt-get source, with the deb-src twins of
# the system's Debian entries.
fetch_from_debian() {
    local legacy="${VELMORA_APT_LEGACY_LIST:-/etc/apt/sources.list}" dsc version reason
    if [ ! -r "$SYSTEM_SOURCES" ] && ! grep -qs '^deb ' "$legacy"; then
        echo "fetch-lwip: cannot read $SYSTEM_SOURCES (the system's Debian source); $BY_HAND" >&2
        exit 1
    fi

    # apt downloads as the unprivileged _apt user when run as root.
    chmod 755 "$WORK"
    mkdir -p "$WORK/sources.list.d" "$WORK/lists/partial" "$WORK/cache/archives/partial" "$WORK/download"

    # Same archives, suites and keys as the system uses, only for sources.
    # Entries with a "Types:" line listing deb become deb-src; other fields stay.
    if [ -r "$SYSTEM_SOURCES" ]; then
        sed -E 's/^Types:.*$/Types: deb-src/' "$SYSTEM_SOURCES" >"$WORK/sources.list.d/velmora-src.sources"
    else
        # One-line format of older set-ups: the same lines as deb-src.
        sed -nE 's/^deb[[:space:]]+/deb-src /p' "$legacy" >"$WORK/sources.list.d/velmora-src.list"
    fi

    if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
        chown -R _apt "$WORK/lists" "$WORK/download"
    fi

    local apt_opts=(
        -o "Dir::Etc::SourceList=/dev/null"
        -o "Dir::Etc::SourceParts=$WORK/sources.list.d"
        -o "Dir::State::Lists=$WORK/lists"
        -o "Dir::Cache=$WORK/cache"
        -o "Dir::Cache::pkgcache="
        -o "Dir::Cache::srcpkgcache="
        -o "Debug::NoLocking=1"
    )

    echo "fetch-lwip: reading Debian's source index"
    # An index that cannot be fetched is a failure here, not a warning.
    if ! apt-get "${apt_opts[@]}" -qq --error-on=any update 2>"$WORK/apt.err" ||
        grep -qE '^(E|W|Err):' "$WORK/apt.err"; then
        reason="$(first_complaint "$WORK/apt.err")"
        echo "fetch-lwip: Debian's source index is unreachable (tried apt-get update with the deb-src entries of $SYSTEM_SOURCES: ${reason:-no reason given}); $BY_HAND" >&2
        exit 1
    fi

    echo "fetch-lwip: fetching the lwip source package"
    if ! (cd "$WORK/download" && apt-get "${apt_opts[@]}" -qq --download-only source "lwip" >/dev/null 2>"$WORK/apt.err"); then
        reason="$(first_complaint "$WORK/apt.err")"
        echo "fetch-lwip: cannot fetch the lwip source package (tried apt-get source lwip with the deb-src entries of $SYSTEM_SOURCES: ${reason:-no reason given}); $BY_HAND" >&2
        exit 1
    fi

    dsc="$(find "$WORK/download" -maxdepth 1 -name 'lwip_*.dsc' | head -n 1)"
    if [ -z "$dsc" ]; then
        echo "fetch-lwip: apt-get source lwip left no .dsc file; $BY_HAND" >&2
        exit 1
    fi
    # Debian revisions of the same upstream version are taken; others are not.
    version="$(dsc_version "$dsc")"
    case "$version" in
    "$LWIP_VERSION"+* | "$LWIP_VERSION"-*) ;;
    *)
        echo "fetch-lwip: Debian offers lwip $version here, the build needs lwIP $LWIP_VERSION; $BY_HAND" >&2
        exit 1
        ;;
    esac
    unpack_dsc "$dsc"
}

if [ -n "${VELMORA_LWIP_SOURCE:-}" ]; then
    unpack_given "$VELMORA_LWIP_SOURCE"
else
    fetch_from_debian
fi

SRC_DIR="$WORK/unpack/lwip-src"
if [ ! -f "$SRC_DIR/src/netif/ppp/ppp.c" ]; then
    echo "fetch-lwip: the source package did not unpack as expected" >&2
    exit 1
fi

INIT_H="$SRC_DIR/src/include/lwip/init.h"
got="$(tr -d '\r' <"$INIT_H" | awk '$1=="#define" && $2=="LWIP_VERSION_MAJOR"{a=$3} $1=="#define" && $2=="LWIP_VERSION_MINOR"{b=$3} $1=="#define" && $2=="LWIP_VERSION_REVISION"{c=$3} END{print a"."b"."c}')"
if [ "$got" != "$LWIP_VERSION" ]; then
    echo "fetch-lwip: the source package holds lwIP $got, the build needs $LWIP_VERSION" >&2
    exit 1
fi

apply_set "$SRC_DIR" || exit 1

rm -rf "$DEST"
mkdir -p "$(dirname "$DEST")"
cp -a "$SRC_DIR" "$DEST"
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID:-}" ]; then
    chown -R "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$DEST"
fi
echo "$WANT" >"$STAMP"
echo "fetch-lwip: lwIP $LWIP_VERSION in $DEST ($(list_patches "$PATCH_DIR" | wc -l) patches)"
