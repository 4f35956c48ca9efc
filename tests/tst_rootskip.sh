#!/usr/bin/env bash
# Drives run-root-test.sh with stand-in test programs: a passing run with a
# "needs root" skip is reported as skipped (77); a failing or crashing run
# stays failed whatever it skipped; other skips leave a pass a pass.
wrapper="$(dirname "$0")/run-root-test.sh"
fails=0
expect() {
    local want="$1" what="$2"
    shift 2
    "$wrapper" "$@" > /dev/null 2>&1
    local got=$?
    if [ "$got" != "$want" ]; then
        echo "FAIL: $what: status $got, expected $want"
        fails=1
    fi
}
expect 77 "pass with a root skip" sh -c 'echo "SKIP   : T::f() needs root: no namespace"; echo "PASS   : T::g()"'
expect 1 "failure beside a root skip" sh -c 'echo "SKIP   : T::f() needs root: x"; echo "FAIL!  : T::g() bad"; exit 1'
expect 134 "crash after a root skip" sh -c 'echo "SKIP   : T::f() needs root: x"; kill -ABRT $$'
expect 0 "pass with another skip" sh -c 'echo "SKIP   : T::f() socat is not installed"'
expect 0 "root named outside a skip" sh -c 'echo "PASS   : T::f() needs root: as text only"'
exit $fails
