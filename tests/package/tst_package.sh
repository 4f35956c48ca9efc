#!/usr/bin/env bash
# The Debian package built from this build folder (cpack), installed with
# dpkg, checked, and purged: its files, the program's capability and nothing
# else's, the units, the version, the manual pages, the driver run by root
# serving a user of the group dialout, and that a purge leaves nothing.
# Needs root; without it the test is skipped (status 77). It runs in a mount
# namespace of its own with empty folders over /var/lib/velmora and
# /dev/velmora where they exist, so a set-up on the machine stays untouched.
set -u
build="$(cd "$1" && pwd)"
skip() { echo "SKIP: $*"; exit 77; }
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
check() { # check WHAT COMMAND...
    local what="$1"
    shift
    "$@" >/dev/null 2>&1 || fail "$what"
}

if [ -z "${VELMORA_PACKAGE_TEST_NS:-}" ]; then
    [ "$(id -u)" -eq 0 ] || skip "needs root to install a package"
    for tool in dpkg dpkg-deb cpack getcap setpriv systemd-analyze man unshare flock; do
        command -v "$tool" >/dev/null || skip "needs $tool"
    done
    # One run at a time on a machine (several build folders may run it).
    exec 9>/tmp/velmora-package-test.lock
    flock -w 240 9 || skip "another package test holds the machine's package database"
    if dpkg-query -W -f='${Status}' velmora 2>/dev/null | grep -q "ok installed"; then
        skip "velmora is installed on this machine; the test would replace it"
    fi
    export VELMORA_PACKAGE_TEST_NS=1
    exec unshare --mount --propagation private "$0" "$@"
fi

for folder in /var/lib/velmora /dev/velmora; do
    if [ -d "$folder" ]; then
        mount -t tmpfs -o mode=0755 velmora-test "$folder" || skip "cannot mount a folder over $folder"
    fi
done

work="$(mktemp -d)"
chmod 755 "$work" # the ordinary user's home is in it
daemon=
cleanup() {
    [ -n "$daemon" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
    dpkg-query -W -f='${Status}' velmora 2>/dev/null | grep -q "installed" && dpkg --purge velmora >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

# Build.
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
}
deb="$(ls "$work"/out/velmora_*.deb)"
echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes)"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for dep in libc6 libqt5core5a libqt5widgets5 libqt5network5 libqt5serialport5 libudev1 libnl-route-3-200 libcap2-bin; do
    [[ "$depends" == *"$dep"* ]] || fail "Depends lacks $dep"
done

# Install.
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || {
    cat "$work/dpkg.log"
    echo "FAIL: dpkg -i"
    exit 1
}
files="$(dpkg -L velmora)"
for f in /usr/lib/velmora/{velmora,sorvik,taskinstall,tavrel-devsim,vspd,libvspdctl.so,libvarnok.so,libledmir.so} \
    /usr/bin/{velmora,sorvik,taskinstall,tavrel-devsim} /usr/sbin/vspd \
    /usr/share/man/man1/{velmora,sorvik,taskinstall,tavrel-devsim}.1.gz /usr/share/man/man8/vspd.8.gz \
    /usr/share/doc/velmora/{copyright,changelog.Debian.gz} /usr/share/applications/velmora.desktop \
    /lib/systemd/system/vspd.service /usr/lib/systemd/user/velmora.service; do
    grep -qx "$f" <<<"$files" || fail "package lacks $f"
    [ -e "$f" ] || fail "$f not installed"
done
for p in velmora sorvik taskinstall tavrel-devsim; do
    [ "$(readlink -f /usr/bin/$p)" = /usr/lib/velmora/$p ] || fail "/usr/bin/$p does not lead to /usr/lib/velmora/$p"
done
for size in 16 22 24 32 48 64; do
    icon=/usr/share/icons/hicolor/${size}x${size}/apps/velmora.png
    # PNG: width and height big-endian at bytes 16..23.
    dims="$(od -An -tu1 -j16 -N8 "$icon" 2>/dev/null | tr -s ' ')"
    [ "$dims" = " 0 0 0 $size 0 0 0 $size" ] || fail "$icon is not ${size}x$size ($dims)"
done
grep -qx "Icon=velmora" /usr/share/applications/velmora.desktop || fail "desktop entry names another icon"
if command -v desktop-file-validate >/dev/null; then
    check "desktop-file-validate" desktop-file-validate /usr/share/applications/velmora.desktop
fi
[ "$(stat -c %a:%U:%G /var/lib/velmora)" = 2775:root:dialout ] ||
    fail "/var/lib/velmora is $(stat -c %a:%U:%G /var/lib/velmora), not 2775:root:dialout"

# The capability: the program has CAP_NET_ADMIN, nothing else has any.
caps="$(getcap -r /usr/lib/velmora /usr/bin /usr/sbin 2>/dev/null | grep velmora)"
echo "capabilities: $caps"
[[ "$caps" =~ ^/usr/lib/velmora/velmora\ cap_net_admin=ep$ ]] || fail "capabilities: $caps"

# The units.
check "systemd-analyze verify vspd.service" systemd-analyze verify /lib/systemd/system/vspd.service
check "systemd-analyze --user verify velmora.service" \
    env HOME="$work" XDG_RUNTIME_DIR="$work" systemd-analyze --user verify /usr/lib/systemd/user/velmora.service

# The version, as an ordinary user of the installed program.
version="$(cd / && setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin HOME="$work" \
    QT_QPA_PLATFORM=offscreen VELMORA_SYSTEM_DIR="$work/sys" velmora --version 2>&1)"
echo "velmora --version: $version"
grep -q "1\.0\.0\.1881" <<<"$version" || fail "velmora --version: $version"

# The manual pages: each formats without a warning and names its command.
for page in /usr/share/man/man1/{velmora,sorvik,taskinstall,tavrel-devsim}.1.gz /usr/share/man/man8/vspd.8.gz; do
    name="$(basename "$page" | cut -d. -f1)"
    out="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$work/man.err")"
    [ -s "$work/man.err" ] && fail "man -l $page: $(cat "$work/man.err")"
    grep -q "^NAME" <<<"$out" && grep -q "$name" <<<"$out" || fail "man -l $page: no NAME naming $name"
done

# The driver as the service runs it (root, foreground), and a user of the
# group dialout who reaches it through the shared system folder.
/usr/lib/velmora/vspd 2>"$work/vspd.log" &
daemon=$!
for _ in $(seq 50); do
    [ -S /var/lib/velmora/vspd/control.sock ] && break
    sleep 0.1
done
[ -S /var/lib/velmora/vspd/control.sock ] || fail "the driver run by root did not come up: $(cat "$work/vspd.log")"
[ "$(stat -c %a:%G /dev/velmora 2>/dev/null)" = 750:dialout ] || fail "/dev/velmora is $(stat -c %a:%G /dev/velmora)"
asuser=(setpriv --reuid=65534 --regid=65534 --groups="$(getent group dialout | cut -d: -f3)" env -i
    PATH=/usr/bin:/bin HOME="$work")
folders="$(cd / && "${asuser[@]}" /usr/sbin/vspd --help 2>&1)"
[[ "$folders" == *"system folder /var/lib/velmora,"*"ports in /dev/velmora"* ]] ||
    fail "a user of dialout sees other folders: $folders"
if [ -x /usr/bin/python3 ]; then
    # CreatePair through the installed control library, as that user; it
    # must reach the daemon run by root instead of starting one of its own.
    client='import ctypes, os, sys
lib = ctypes.CDLL("/usr/lib/velmora/libvspdctl.so", use_errno=True)
if not lib.CreatePair(b"COM77", b""):
    sys.exit("CreatePair: errno %d" % ctypes.get_errno())
buf = ctypes.create_string_buffer(256)
if not lib.PortDevicePath(b"NULL_COM77", buf, 256):
    sys.exit("PortDevicePath: errno %d" % ctypes.get_errno())
fd = os.open("/dev/velmora/COM77", os.O_RDWR | os.O_NOCTTY)
os.close(fd)
print(buf.value.decode())'
    out="$(cd / && "${asuser[@]}" /usr/bin/python3 -c "$client" 2>&1)" || fail "a user of dialout: $out"
    echo "a user of dialout made COM77 through the driver run by root: NULL_COM77 is $out"
    [ "$(stat -L -c %a:%U:%G /dev/velmora/COM77 2>/dev/null)" = 660:root:dialout ] ||
        fail "/dev/velmora/COM77 is $(stat -L -c %a:%U:%G /dev/velmora/COM77 2>&1)"
    [ -e "$work/.local/state/velmora/vspd" ] && fail "the user started a daemon of their own"
fi

# The capability counts for an ordinary user: the program started by one
# holds CAP_NET_ADMIN (bit 12) in its effective set.
install -d -o 65534 -g 65534 "$work/home"
(cd / && exec "${asuser[@]}" HOME="$work/home" QT_QPA_PLATFORM=offscreen VELMORA_SYSTEM_DIR=/var/lib/velmora \
    /usr/bin/velmora >"$work/velmora.log" 2>&1) &
program=$!
# Up once its first log line is out (its signal handling is set up before).
for _ in $(seq 200); do
    grep -q "Engine application version" "$work/velmora.log" && break
    sleep 0.1
done
effective="$(awk '/^CapEff:/ { print $2 }' /proc/$program/status 2>/dev/null)"
echo "velmora run by an ordinary user: CapEff $effective"
[ -n "$effective" ] && (((0x$effective >> 12) & 1)) || fail "velmora run by an ordinary user lacks CAP_NET_ADMIN ($effective)"
kill "$program"
wait "$program" || fail "velmora did not end cleanly on SIGTERM: $(tail -3 "$work/velmora.log")"

kill "$daemon"
wait "$daemon"
daemon=

# Purge: nothing of the package stays, the capability went with the file.
dpkg --purge velmora >"$work/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$work/dpkg.log")"
while read -r f; do
    case "$f" in
    /usr/lib/velmora* | /usr/share/doc/velmora* | /usr/share/lintian/overrides/velmora | *velmora* | *vspd* | *sorvik* | *taskinstall* | *tavrel-devsim*)
        [ -e "$f" ] || [ -L "$f" ] && fail "left behind: $f"
        ;;
    esac
done <<<"$files"
if [ -d /var/lib/velmora ] && [ -n "$(ls -A /var/lib/velmora)" ]; then
    fail "left behind in /var/lib/velmora: $(ls -A /var/lib/velmora)"
fi
if mountpoint -q /var/lib/velmora; then :; elif [ -e /var/lib/velmora ]; then fail "left behind: /var/lib/velmora"; fi
if [ -d /dev/velmora ] && [ -n "$(ls -A /dev/velmora)" ]; then fail "left behind in /dev/velmora: $(ls -A /dev/velmora)"; fi
ls /etc/systemd/system/*/vspd.service >/dev/null 2>&1 && fail "left behind: the service's enablement link"
ls /var/lib/systemd/deb-systemd-helper-enabled/ 2>/dev/null | grep -q vspd && fail "left behind: deb-systemd-helper state"

[ "$fails" -eq 0 ] && echo "PASS: package built, installed, checked and purged"
exit $((fails != 0))
