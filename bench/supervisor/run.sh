#!/usr/bin/env bash
# The program's cost by the number of configurations: one headless velmora with 1, 16, 64 and 128
# direct-IP autostart configurations (PC interface + two device-COM tunnels each, echo servers on
# 127.0.0.1). Usage: bench/supervisor/run.sh [build folder] [idle seconds] [counts...]
# (default: build, 10, 1 16 64 128). Each count runs in its own data, system and ports folders; the
# benchmark ends the program and its port driver daemon by their pids.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../../build}"
bin="$(cd "$build/bin" && pwd)"
[ -x "$bin/supervisorbench" ] || { echo "build the project first: $bin/supervisorbench is missing" >&2; exit 1; }
scratch="$(mktemp -d /tmp/supervisorbench.XXXXXX)"
cleanup() {
    for pidfile in "$scratch"/n*/system/vspd/vspd.pid; do
        [ -f "$pidfile" ] || continue
        pid="$(cat "$pidfile" 2>/dev/null || true)"
        # Only a driver daemon still running under that pid (never a reused pid of something else).
        [ -n "$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = vspd ] && kill "$pid" 2>/dev/null || true
    done
    [ -n "${VELMORA_BENCH_KEEP:-}" ] && { echo "kept $scratch" >&2; return; }
    rm -rf "$scratch"
}
trap cleanup EXIT
shift || true
idle="${1:-10}"
shift || true
"$bin/supervisorbench" "$bin" "$scratch" "$idle" "$@"
