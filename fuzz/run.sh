#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs each of them.
#   fuzz/run.sh [SECONDS] [TARGET...]
# SECONDS per target (default 60); TARGET one of pppinput, commparams,
# configfile (default all). Installs the project's set-up and clang's
# libFuzzer runtime from Debian when missing. Inputs found interesting stay
# in build-fuzz/corpus/TARGET and are reused by the next run; an input that
# breaks a target lands in build-fuzz/artifacts/TARGET/ and the script ends
# with status 1 after all targets ran.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VELMORA_FUZZ_BUILD:-$ROOT/build-fuzz}"
SECS="${1:-60}"
shift || true
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(pppinput commparams configfile)

"$ROOT/scripts/setup.sh"

need=()
for p in clang libclang-rt-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
    echo "fuzz: installing ${need[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

cmake -S "$ROOT/fuzz" -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$BUILD" -j2 --target "${TARGETS[@]/#/fuzz_}"

# Seeds: the checked-in ones, and for the PPP line every frame of the PPP
# test's corpus as line bytes in each stage the session can be in, and as
# frame contents (flags, escapes and check sequences taken off) for the
# target to frame.
seeds="$BUILD/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/pppinput" "$seeds/commparams" "$seeds/configfile"
cp "$ROOT"/fuzz/seeds/commparams/* "$seeds/commparams/"
cp "$ROOT"/fuzz/seeds/configfile/* "$seeds/configfile/"
for f in "$ROOT"/tests/ppp/corpus/*.hex; do
    name="$(basename "$f" .hex)"
    for stage in 00 01 11; do
        { printf "\\x$stage"; perl -ne 'next if /^#/; s/\s+//g; print pack("H*", $_)' "$f"; } \
            >"$seeds/pppinput/$name-$stage"
    done
    for stage in 02 03; do
        { printf "\\x$stage"; perl -0777 -ne 's/^#.*$//mg; s/\s+//g; $_ = pack("H*", $_);
            print join("\x7e", map { s/\x7d(.)/chr(ord($1) ^ 0x20)/gse; length > 2 ? substr($_, 0, -2) : () }
                               grep { length } split /\x7e/);' "$f"; } >"$seeds/pppinput/$name-$stage"
    done
done

declare -A MAXLEN=([pppinput]=2048 [commparams]=256 [configfile]=8192)
failed=()
for t in "${TARGETS[@]}"; do
    mkdir -p "$BUILD/corpus/$t" "$BUILD/artifacts/$t"
    dict=()
    [ -f "$ROOT/fuzz/dict/$t.dict" ] && dict=(-dict="$ROOT/fuzz/dict/$t.dict")
    echo "fuzz: $t for $SECS s"
    log="$BUILD/$t.log"
    if "$BUILD/bin/fuzz_$t" -max_total_time="$SECS" -timeout=20 -rss_limit_mb=4096 \
        -max_len="${MAXLEN[$t]}" -print_final_stats=1 "${dict[@]}" \
        -artifact_prefix="$BUILD/artifacts/$t/" "$BUILD/corpus/$t" "$seeds/$t" >"$log" 2>&1; then
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
        echo "fuzz: $t: ${runs:-?} runs, nothing found (log $log)"
    else
        echo "fuzz: $t FOUND A FAULT (log $log):"
        grep -E "ERROR|SUMMARY|^artifact_prefix|Test unit written" "$log" | head -n 5 || tail -n 20 "$log"
        failed+=("$t")
    fi
done
((${#failed[@]} == 0)) || exit 1
