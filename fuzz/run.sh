#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer, blocks of 4 KiB) and runs each for DURATION,
# starting from the seeds in fuzz/corpus/<target>/.  In build-fuzz/ (or the
# folder KYL_FUZZ_BUILD names): the corpus each run grows (corpus/<Target>/),
# findings (findings/), and each run's log with every line stamped by the
# seconds since its start (<Target>.log).  See fuzz/README.md.
#
#   fuzz/run.sh [-p] [DURATION] [TARGET...]
#
# DURATION: seconds, or a number followed by s, m or h (default 60).  -p runs
# the targets at the same time instead of one after another.  TARGET: the
# targets to run (default all five).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${KYL_FUZZ_BUILD:-$top/build-fuzz}"
all_targets=(Expand Round_Trip Record Stream Threaded_Round_Trip)

parallel=0
if [ "${1:-}" = "-p" ]; then parallel=1; shift; fi
duration="${1:-60}"
[ $# -gt 0 ] && shift
case "$duration" in
    *h) seconds=$(( ${duration%h} * 3600 )) ;;
    *m) seconds=$(( ${duration%m} * 60 )) ;;
    *s) seconds=${duration%s} ;;
    *) seconds=$duration ;;
esac
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYL_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/kyl_fuzz_}"
mkdir -p "$build/findings"

# Runs one target; its status is the fuzzer's.
run_target() {
    local target="$1"
    local corpus="$build/corpus/$target"
    local seeds="$top/fuzz/corpus/$(echo "$target" | tr 'A-Z' 'a-z')"
    mkdir -p "$corpus"
    local start now line status
    printf -v start '%(%s)T' -1
    set +e
    "$build/fuzz/kyl_fuzz_$target" "$corpus" "$seeds" -max_total_time="$seconds" -max_len=65536 \
        -timeout=30 -rss_limit_mb=2048 -artifact_prefix="$build/findings/$target-" -print_final_stats=1 2>&1 |
        while IFS= read -r line; do
            printf -v now '%(%s)T' -1
            printf '%d %s\n' $(( now - start )) "$line"
        done >"$build/$target.log"
    status=${PIPESTATUS[0]}
    set -e
    return "$status"
}

# The figures of a run: executions, their rate, coverage at 1, 10 and 60
# minutes (the last status line stamped at or before) and at the end.
summarise() {
    local target="$1" log="$build/$1.log"
    local executions rate
    executions=$(sed -n 's/^[0-9]* stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^[0-9]* stat::average_exec_per_sec: *//p' "$log")
    printf 'kyl_fuzz_%s: %s executions, %s a second' "$target" "${executions:-?}" "${rate:-?}"
    local mark
    for mark in 60 600 3600; do
        [ "$mark" -le "$seconds" ] || continue
        awk -v mark="$mark" '$1 <= mark && / cov: / { line = $0 }
            END { if (line != "") { match(line, /cov: [0-9]+ ft: [0-9]+/); printf "; %d min %s", mark / 60, substr(line, RSTART, RLENGTH) } }' "$log"
    done
    awk '/ cov: / { line = $0 } END { match(line, /cov: [0-9]+ ft: [0-9]+/); printf "; end %s\n", substr(line, RSTART, RLENGTH) }' "$log"
    grep -E "ERROR|broken promise|SUMMARY" "$log" || true
}

failed=()
if [ "$parallel" -eq 1 ]; then
    echo "-- ${targets[*]} at the same time for $seconds s"
    pids=()
    for target in "${targets[@]}"; do
        run_target "$target" &
        pids+=($!)
    done
    for i in "${!targets[@]}"; do
        wait "${pids[$i]}" || failed+=("${targets[$i]}")
    done
    for target in "${targets[@]}"; do summarise "$target"; done
else
    for target in "${targets[@]}"; do
        echo "-- kyl_fuzz_$target for $seconds s"
        run_target "$target" || failed+=("$target")
        summarise "$target"
    done
fi
for target in "${failed[@]}"; do echo "kyl_fuzz_$target found a fault: see $build/$target.log"; done
[ ${#failed[@]} -eq 0 ]
