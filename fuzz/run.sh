#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for the given seconds (default 60),
# starting from the seeds in fuzz/corpus/.  Findings land in build-fuzz/.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="$top/build-fuzz"
CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYL_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target kyl_fuzz_Expand kyl_fuzz_Round_Trip kyl_fuzz_Record kyl_fuzz_Stream
for target in Expand Round_Trip Record Stream; do
    corpus="$build/corpus/$target"
    seeds="$top/fuzz/corpus/$(echo "$target" | tr 'A-Z' 'a-z')"
    mkdir -p "$corpus" "$build/findings"
    echo "-- kyl_fuzz_$target for $seconds s"
    status=0
    "$build/fuzz/kyl_fuzz_$target" "$corpus" "$seeds" -max_total_time="$seconds" -max_len=65536 \
        -timeout=30 -rss_limit_mb=2048 -artifact_prefix="$build/findings/" -print_final_stats=1 \
        >"$build/$target.log" 2>&1 || status=$?
    grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss|SUMMARY)|ERROR" "$build/$target.log" || true
    grep -E "^#[0-9]+.*(cov|ft):" "$build/$target.log" | tail -n 1 || true
    if [ "$status" -ne 0 ]; then echo "kyl_fuzz_$target found a fault: see $build/$target.log"; exit 1; fi
done
