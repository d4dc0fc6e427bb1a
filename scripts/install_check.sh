#!/usr/bin/env bash
# Installs the build in BUILD (default build/) into a scratch prefix, checks
# that every installed file is there, and builds the example against it twice:
# with pkg-config and with find_package(kyl).  Both builds must write the
# bytes `kyl -c` writes and expand them back.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$top/build}"
scratch="$(mktemp -d /tmp/kyl-install-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/kyl bin/kylz bin/unkylz bin/kylzcat share/man/man1/kylz.1 \
            share/bash-completion/completions/kylz share/bash-completion/completions/kyl \
            include/kyl.h lib/libkyl.so lib/libkyl.a lib/pkgconfig/kyl.pc \
            lib/cmake/kyl/kylConfig.cmake lib/cmake/kyl/kylConfigVersion.cmake share/man/man1/kyl.1; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
soname="$(objdump -p "$prefix/lib/libkyl.so" | awk '/SONAME/ {print $2}')"
[ -n "$soname" ] && [ -e "$prefix/lib/$soname" ] || { echo "libkyl.so has no SONAME file"; exit 1; }

# A sample of two blocks and a bit: text, then bytes of every value.
sample="$scratch/sample.txt"
for _ in $(seq 1 128); do cat "$top/README.md"; done >"$scratch/chunk"
for _ in $(seq 1 12); do cat "$scratch/chunk"; done >"$sample"
head -c 100000 /dev/urandom >>"$sample"
cp "$sample" "$scratch/program.txt"
(cd "$scratch" && "$prefix/bin/kyl" -c program.txt >/dev/null)

check_example() {
    local program="$1" name="$2"
    LD_LIBRARY_PATH="$prefix/lib" "$program" "$sample" "$scratch/$name.kyl" "$scratch/$name.exp" >/dev/null
    cmp "$scratch/$name.kyl" "$scratch/program.kyl"
    cmp "$scratch/$name.exp" "$sample"
    echo "$name: the example writes what kyl -c writes and expands it back"
}

PKG_CONFIG_PATH="$prefix/lib/pkgconfig" cc -Wall -Wextra "$top/examples/example.c" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs kyl) -o "$scratch/example_pc"
check_example "$scratch/example_pc" pkg-config

cmake -S "$top/examples" -B "$scratch/example_build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/example_build" >/dev/null
check_example "$scratch/example_build/kyl_example" find_package

# The installed kylz writes kyl's bytes too, and its links pick their modes.
"$prefix/bin/kylz" -c "$sample" | cmp - "$scratch/program.kyl"
"$prefix/bin/kylzcat" "$scratch/program.kyl" | cmp - "$sample"
echo "kylz: writes what kyl -c writes; kylzcat expands it back"
