#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Round trip of a file larger than 4 GiB through kyl: make it, compress it,
# expand it, compare, and print sizes, times and peak memory of both ways.
#
#   bench/large_file.sh [SIZE_GIB]      (default 4.5)
#
# KYL=path picks the program (default build/kyl); LARGE_DIR=folder the place
# for the three files (default a new folder in /tmp). It needs 3x SIZE free.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
kyl="$(realpath "${KYL:-$top/build/kyl}")"
size_gib="${1:-4.5}"
bytes="$(python3 -c "import sys; print(int(float(sys.argv[1]) * 2**30))" "$size_gib")"
[ -x "$kyl" ] || { echo "no kyl program at $kyl (build it, or set KYL)" >&2; exit 1; }
[ -x /usr/bin/time ] || apt-get install -y -qq time

parent="${LARGE_DIR:-/tmp}"
free_bytes=$(( $(df -Pk "$parent" | awk 'NR == 2 { print $4 }') * 1024 ))
if (( free_bytes < 3 * bytes )); then
    echo "refused: $parent has $free_bytes bytes free, a round trip of $bytes bytes needs $((3 * bytes))" >&2
    exit 1
fi
work="$(mktemp -d "$parent/kyl-large-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

# Pseudo-random words, 4 MiB of them, written again and again with the
# letters permuted differently each time behind a counter line: cheap to
# make, streamed, and no two blocks alike.
echo "making $bytes bytes in $work"
python3 - "$bytes" > big <<'EOF'
import random, string, sys
size, rng = int(sys.argv[1]), random.Random(1)
words = ["".join(rng.choices(string.ascii_lowercase, k=rng.randint(1, 9))) for _ in range(5000)]
weights = [1.0 / (rank + 1) for rank in range(len(words))]
base = " ".join(rng.choices(words, weights, k=900_000)).encode()[:4 << 20]
letters = string.ascii_lowercase.encode()
out, written, copy = sys.stdout.buffer, 0, 0
while written < size:
    shuffled = bytes(rng.sample(letters, len(letters)))
    piece = b"\n-- copy %d --\n" % copy + base.translate(bytes.maketrans(letters, shuffled))
    piece = piece[:size - written]
    out.write(piece)
    written += len(piece)
    copy += 1
EOF

run() {  # run LABEL COMMAND...: times one direction and prints its numbers
    local label="$1"; shift
    /usr/bin/time -f "%e %M" -o time.txt "$@" > /dev/null
    read -r seconds kib < time.txt
    echo "$label: $seconds s, peak RSS $((kib / 1024)) MiB"
}
run "compress" "$kyl" -c big
run "expand  " "$kyl" -e big.kyl
cmp big big.exp
echo "original $(stat -c %s big) bytes, compressed $(stat -c %s big.kyl) bytes, expanded copy identical"
