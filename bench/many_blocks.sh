#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Expansion time of files made of many tiny blocks, as a concatenation of
# small compressed files gives: 75,000, 150,000 and 300,000 records of a
# one-byte file each.  The time must grow linearly with the count; each file
# is checked to expand to its count of bytes.
#
#   bench/many_blocks.sh [RUNS]      (default 3; the median is printed)
#
# KYL=path picks the program (default build/kyl).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
kyl="$(realpath "${KYL:-$top/build/kyl}")"
runs="${1:-3}"
[ -x "$kyl" ] || { echo "no kyl program at $kyl (build it, or set KYL)" >&2; exit 1; }
work="$(mktemp -d /tmp/kyl-many-blocks-XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"

printf a >one.txt
"$kyl" -c one.txt >/dev/null
echo "| records | compressed bytes | expansion s (median of $runs) | µs per record |"
echo "|--:|--:|--:|--:|"
for count in 75000 150000 300000; do
    python3 -c "import sys; open('many.kyl', 'wb').write(open('one.kyl', 'rb').read() * int(sys.argv[1]))" "$count"
    times=()
    for _ in $(seq 1 "$runs"); do
        start=$(date +%s.%N)
        "$kyl" -e many.kyl >/dev/null
        times+=("$(python3 -c "import sys; print(float(sys.argv[2]) - float(sys.argv[1]))" "$start" "$(date +%s.%N)")")
        [ "$(stat -c %s many.exp)" = "$count" ] || { echo "many.exp is not $count bytes" >&2; exit 1; }
    done
    python3 - "$count" "$(stat -c %s many.kyl)" "${times[@]}" <<'PY'
import statistics, sys
count, size, times = int(sys.argv[1]), int(sys.argv[2]), [float(t) for t in sys.argv[3:]]
median = statistics.median(times)
print(f"| {count:,} | {size:,} | {median:.3f} | {median / count * 1e6:.2f} |")
PY
done
