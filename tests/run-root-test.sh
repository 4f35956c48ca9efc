#!/usr/bin/env bash
# Runs one QtTest program for CTest. QtTest ends with status 0 when functions
# skip, so a run that passed but skipped some function for want of root (a
# skip message starting "needs root") ends with status 77, which CTest reports
# as skipped. A failed run keeps its own status, whatever it skipped.
out="$(mktemp)" || exit 1
trap 'rm -f "$out"' EXIT
"$@" 2>&1 | tee "$out"
status=${PIPESTATUS[0]}
if [ "$status" -eq 0 ] && grep -q '^SKIP   : .*needs root' "$out"; then
    exit 77
fi
exit "$status"
