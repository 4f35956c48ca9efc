#!/usr/bin/env bash
# Device library round trips at 9600 and 115200 baud over a strictly paced port driver pair, beside
# the line time of their bytes. Usage: bench/varnok/run.sh [build folder] [rounds] (default: build, 20)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../../build}"
bin="$(cd "$build/bin" && pwd)"
[ -x "$bin/varnokbench" ] || { echo "build the project first: $bin/varnokbench is missing" >&2; exit 1; }
scratch="$(mktemp -d /tmp/varnokbench.XXXXXX)"
cleanup() {
    pid="$(cat "$scratch/system/vspd/vspd.pid" 2>/dev/null || true)"
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
"$bin/varnokbench" "$bin" "$scratch" "${2:-20}"
