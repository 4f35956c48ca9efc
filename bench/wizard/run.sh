#!/usr/bin/env bash
# Usage: bench/wizard/run.sh [build folder]. Runs in a scratch folder of its own; the simulator
# processes it starts are ended by their pids.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../../build}"
bin="$(cd "$build/bin" && pwd)"
[ -x "$bin/devicecommbench" ] || { echo "build the project first: $bin/devicecommbench is missing" >&2; exit 1; }
QT_QPA_PLATFORM=offscreen exec "$bin/devicecommbench"
