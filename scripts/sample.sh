#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything that `cmake --install build` installs (the programs, the
# libraries, the man pages) and runs kyl on a sample: compress a file, expand
# it back, compare.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
source "$top/scripts/setup.sh"
kyl_require_packages cmake g++ make

cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$top/build" -j"$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sample="${1:-$top/README.md}"
cp "$sample" "$work/sample.txt"
cd "$work"
"$top/build/kyl" -cv sample.txt
"$top/build/kyl" -ev sample.kyl
cmp sample.txt sample.exp
echo "Round trip of $(basename "$sample"): identical."
