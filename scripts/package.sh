#!/usr/bin/env bash
# Builds the Debian package: build-package/package/velmora_<version>-1_<arch>.deb,
# then checks it with lintian. Installs what it needs from Debian's packages
# first (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
# The package's own tool besides what building needs.
scripts/setup.sh lintian

# Debian's hardening flags (stack protector, fortify, relro, bind now).
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# Given at every run (CMake reads the environment's flags only when it first
# configures a folder); CMake reads no CPPFLAGS, where _FORTIFY_SOURCE is.
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF \
    -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build build-package -j"$(nproc)" --target \
    velmora sorvik taskinstall tavrel-devsim vspd vspdctl varnok ledmir velmora_package_files
rm -rf build-package/package
(cd build-package && cpack -G DEB -B "$PWD/package" >/dev/null)
deb="$(ls build-package/package/velmora_*.deb)"
echo "package: $deb"
lintian --fail-on error,warning "$deb"
echo "package: lintian has nothing to say"
