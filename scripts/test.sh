#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the formatting of the lines changed since .clang-format last changed,
# builds kyl with warnings as errors and runs every test: the unit and command-line tests in a release
# build (which also builds the benchmark programs, so that they keep up with
# the code they drive) and an installation of it with the example built against it, the
# Debian packages built, checked and run from a scratch root, the same tests
# again under AddressSanitizer and UndefinedBehaviorSanitizer, the tests that
# run several threads under ThreadSanitizer, and a short run of each fuzzer.
# KYL_QUICK=1 runs the release tests and the installation check only.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
source "$top/scripts/setup.sh"
kyl_require_packages cmake g++ make libgtest-dev libbenchmark-dev pkg-config binutils clang-format

echo "== Formatting"
"$top/scripts/format_check.sh"

jobs="$(nproc)"
echo "== Release build and tests"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DKYL_STRICT=ON -DKYL_BENCH=ON >/dev/null
cmake --build "$top/build" -j"$jobs"
ctest --test-dir "$top/build" --output-on-failure -j"$jobs"

echo "== Installation into a scratch prefix"
"$top/scripts/install_check.sh" "$top/build"

[ "${KYL_QUICK:-0}" = 1 ] && exit 0

echo "== Debian packages: built, checked by lintian, unpacked and run"
"$top/scripts/package_check.sh"

echo "== Sanitizer build and tests"
cmake -S "$top" -B "$top/build-sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYL_SANITIZE=ON -DBUILD_TESTING=ON -DKYL_STRICT=ON >/dev/null
cmake --build "$top/build-sanitize" -j"$jobs"
ctest --test-dir "$top/build-sanitize" --output-on-failure -j"$jobs"

echo "== ThreadSanitizer build and the threaded tests"
cmake -S "$top" -B "$top/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYL_TSAN=ON -DBUILD_TESTING=ON -DKYL_STRICT=ON >/dev/null
cmake --build "$top/build-tsan" -j"$jobs" --target kyl_threads_tests
ctest --test-dir "$top/build-tsan" --output-on-failure -j"$jobs" -L threads

if [ -f "$top/fuzz/CMakeLists.txt" ]; then
    echo "== Fuzzing, ${KYL_FUZZ_SECONDS:-30} s per target"
    kyl_require_packages clang libclang-rt-dev
    "$top/fuzz/run.sh" "${KYL_FUZZ_SECONDS:-30}"
fi
echo "All tests passed."
