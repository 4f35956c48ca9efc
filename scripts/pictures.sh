#!/usr/bin/env bash
# Renders every picture on the offscreen platform: the program's own images
# into app/resources/images and the dialogs with sample contents into
# docs/images (the pictures the README shows).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-test -j"$(nproc)" --target drawimages drawdialogs drawwizard
export QT_QPA_PLATFORM=offscreen
build-test/bin/drawimages app/resources/images docs/images
build-test/bin/drawdialogs docs/images
# The wizard's pages, driven against the simulated device.
build-test/bin/drawwizard docs/images
echo "pictures: app/resources/images and docs/images rendered"
