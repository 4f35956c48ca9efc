#!/usr/bin/env bash
# Benchmarks the port driver's pairs side by side with socat's pty relay and
# prints one table. Usage: bench/driver/run.sh [build folder] (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../../build}"
bin="$(cd "$build/bin" && pwd)"
[ -x "$bin/vspdbench" ] || { echo "build the project first: $bin/vspdbench is missing" >&2; exit 1; }
scratch="$(mktemp -d /tmp/vspdbench.XXXXXX)"
cleanup() {
    pid="$(cat "$scratch/system/vspd/vspd.pid" 2>/dev/null || true)"
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
"$bin/vspdbench" "$bin" "$scratch"
