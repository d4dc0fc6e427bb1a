#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Expansion of a compressed file larger than 2 GiB: stored blocks of one
# pseudo-random 5 MiB block, written again and again (cheap to make and to
# expand), then checked by size and SHA-256 of the expanded file.
#
#   bench/large_compressed.sh [SIZE_GIB]      (default 2.2)
#
# KYL=path picks the program (default build/kyl); LARGE_DIR=folder the place
# for the two files (default a new folder in /tmp). It needs 2.2x SIZE free.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
kyl="$(realpath "${KYL:-$top/build/kyl}")"
size_gib="${1:-2.2}"
[ -x "$kyl" ] || { echo "no kyl program at $kyl (build it, or set KYL)" >&2; exit 1; }
[ -x /usr/bin/time ] || apt-get install -y -qq time

parent="${LARGE_DIR:-/tmp}"
need=$(python3 -c "import sys; print(int(float(sys.argv[1]) * 2**30 * 2.2))" "$size_gib")
free_bytes=$(( $(df -Pk "$parent" | awk 'NR == 2 { print $4 }') * 1024 ))
if (( free_bytes < need )); then
    echo "refused: $parent has $free_bytes bytes free, this needs $need" >&2
    exit 1
fi
work="$(mktemp -d "$parent/kyl-large-compressed-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

expected=$(python3 - "$size_gib" <<'PY'
import hashlib, random, sys, zlib
block_size = 5_242_880
copies = -(-int(float(sys.argv[1]) * 2**30) // (block_size + 6))
block = random.Random(7).randbytes(block_size)
crc = zlib.crc32(block)
record = bytes([6, 0]) + crc.to_bytes(4, "little") + block
digest = hashlib.sha256()
with open("big.kyl", "wb") as out:
    for _ in range(copies):
        out.write(record)
        digest.update(block)
print(copies * block_size, digest.hexdigest())
PY
)
echo "compressed file: $(stat -c %s big.kyl) bytes"
/usr/bin/time -f "expand: %e s, peak RSS %M KiB" "$kyl" -e big.kyl > kyl.log
read -r size sum <<< "$expected"
actual_size=$(stat -c %s big.exp)
actual_sum=$(sha256sum big.exp | cut -d' ' -f1)
if [ "$actual_size" = "$size" ] && [ "$actual_sum" = "$sum" ]; then
    echo "expanded $actual_size bytes, identical"
else
    echo "MISMATCH: expanded $actual_size bytes (expected $size)"; tail -3 kyl.log; exit 1
fi
