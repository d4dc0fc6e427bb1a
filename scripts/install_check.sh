#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks an installation of kyl:
#
#     install_check.sh [BUILD]      installs BUILD (default build/) into a
#                                   scratch prefix with `cmake --install`
#     install_check.sh --root ROOT  the files unpacked under ROOT/usr, as the
#                                   Debian packages put them
#
# Every installed file must be there with the header's version; the shared
# library must export the header's functions alone, under KYL_1.0, and leave
# no trace after dlclose; kyl, kylz and its links must work; and the example
# must be built three ways against the installation, with pkg-config, with
# find_package(kyl) on the shared library and, as a C-only project, on the
# static one: each must write the bytes `kyl -c` writes and expand them back.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
scratch="$(mktemp -d /tmp/kyl-install-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
if [ "${1:-}" = --root ]; then
    root="$(cd "$2" && pwd)"
    prefix="$root/usr"
    # kyl.pc names /usr: the root is its sysroot, and /usr/include is not
    # to be dropped as a system folder, for it is not the system's.
    export PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_SYSTEM_INCLUDE_PATH=/nonexistent
    export PKG_CONFIG_SYSTEM_LIBRARY_PATH=/nonexistent
else
    prefix="$scratch/prefix"
    cmake --install "${1:-$top/build}" --prefix "$prefix" >/dev/null
fi
fail() { echo "install check: $*" >&2; exit 1; }

# ------------------------------------------------------------------ files
libdir="$(dirname "$(find "$prefix" -name libkyl.so -print -quit)")"
[ "$libdir" != . ] || fail "no libkyl.so under $prefix"
for file in bin/kyl bin/kylz bin/unkylz bin/kylzcat include/kyl.h share/bash-completion/completions/kylz \
            share/bash-completion/completions/unkylz share/bash-completion/completions/kylzcat \
            share/bash-completion/completions/kyl; do
    [ -e "$prefix/$file" ] || fail "not installed: $file"
done
for file in libkyl.so libkyl.a pkgconfig/kyl.pc cmake/kyl/kylConfig.cmake cmake/kyl/kylConfigVersion.cmake; do
    [ -e "$libdir/$file" ] || fail "not installed: $libdir/$file"
done
man_page() {  # the text of man page $1, compressed or not
    local page="$prefix/share/man/man1/$1.1"
    if [ -e "$page.gz" ]; then gzip -dc "$page.gz"; elif [ -e "$page" ]; then cat "$page"; else fail "no man page $1"; fi
}
soname="$(objdump -p "$libdir/libkyl.so" | awk '/SONAME/ {print $2}')"
[ "$soname" = libkyl.so.1 ] && [ -e "$libdir/$soname" ] || fail "libkyl.so has no SONAME file libkyl.so.1"

# ---------------------------------------------------------------- version
header="$prefix/include/kyl.h"
version="$(sed -n 's/^#define KYL_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' "$header" | paste -sd.)"
[ "$version" = "$(sed -n 's/^#define KYL_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' "$top/include/kyl.h" | paste -sd.)" ] ||
    fail "the installed header is not the source's"
[ "$("$prefix/bin/kylz" --version)" = "kylz $version" ] || fail "kylz --version is not kylz $version"
for page in kyl kylz unkylz kylzcat; do
    text="$(man_page "$page")"
    grep -q "^\.TH [A-Z]* 1 \"[0-9-]*\" \"ky[lz]* $version\"" <<<"$text" || fail "man page $page is not of $version"
done
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion kyl)" = "$version" ] || fail "kyl.pc is not of $version"
echo "version $version: header, kylz --version, man pages, kyl.pc"

# -------------------------------------------------------------------- ABI
# The functions the header declares, each under KYL_1.0, and the version
# node itself; nothing of the C++ runtime.
exported="$(nm -D --defined-only "$libdir/libkyl.so.1" | awk '{print $NF}' | sort)"
declared="$( (sed -n 's/^KYL_API .*\b\(kyl_[a-z0-9_]*\)(.*/\1@@KYL_1.0/p' "$header"; echo KYL_1.0) | sort)"
[ "$exported" = "$declared" ] || {
    diff <(echo "$declared") <(echo "$exported") >&2 || true
    fail "libkyl.so.1 exports other symbols than the header's functions under KYL_1.0"
}
cat >"$scratch/unload.c" <<'EOF'
/* Loads libkyl, compresses two blocks on two threads through it, unloads it
 * and checks in /proc/self/maps that it is gone. */
#define _DEFAULT_SOURCE
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int mapped(const char* path) {
    FILE* maps = fopen("/proc/self/maps", "r");
    char line[PATH_MAX + 128];
    int found = 0;
    while (maps != NULL && fgets(line, sizeof line, maps) != NULL) found |= strstr(line, path) != NULL;
    if (maps != NULL) fclose(maps);
    return found;
}

int main(int argc, char** argv) {
    char path[PATH_MAX];
    if (argc != 2 || realpath(argv[1], path) == NULL) return 2;
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL || !mapped(path)) return 3;
    size_t (*bound)(size_t);
    int (*compress)(const void*, size_t, void*, size_t, size_t*, unsigned);
    *(void**)&bound = dlsym(library, "kyl_compress_bound");
    *(void**)&compress = dlsym(library, "kyl_compress");
    const size_t size = (size_t)5242880 + 1000;
    unsigned char* input = calloc(size, 1);
    unsigned char* output = malloc(bound(size));
    size_t written = 0;
    if (input == NULL || output == NULL || compress(input, size, output, bound(size), &written, 2) != 0) return 4;
    free(input);
    free(output);
    dlclose(library);
    return mapped(path) ? 1 : 0;
}
EOF
cc -Wall -Wextra -O2 "$scratch/unload.c" -ldl -o "$scratch/unload"
"$scratch/unload" "$libdir/libkyl.so.1" || fail "libkyl.so.1 stays mapped after dlclose (or did not work)"
echo "libkyl.so.1: exports the header's $(echo "$exported" | grep -c @@) functions under KYL_1.0 alone; unloads on dlclose"

# ------------------------------------------------------------ the programs
# A sample of two blocks and a bit: text, then bytes of every value.
sample="$scratch/sample.txt"
for _ in $(seq 1 128); do cat "$top/README.md"; done >"$scratch/chunk"
for _ in $(seq 1 12); do cat "$scratch/chunk"; done >"$sample"
head -c 100000 /dev/urandom >>"$sample"
cp "$sample" "$scratch/program.txt"
(cd "$scratch" && "$prefix/bin/kyl" -c program.txt >/dev/null)

# The installed kylz writes kyl's bytes too, and its links pick their modes.
"$prefix/bin/kylz" -c "$sample" | cmp - "$scratch/program.kyl"
"$prefix/bin/kylzcat" "$scratch/program.kyl" | cmp - "$sample"
"$prefix/bin/unkylz" -c <"$scratch/program.kyl" | cmp - "$sample"
echo "kylz: writes what kyl -c writes; kylzcat and unkylz expand it back"

# ------------------------------------------------------------- the example
check_example() {
    local program="$1" name="$2"
    LD_LIBRARY_PATH="$libdir" "$program" "$sample" "$scratch/$name.kyl" "$scratch/$name.exp" >/dev/null
    cmp "$scratch/$name.kyl" "$scratch/program.kyl"
    cmp "$scratch/$name.exp" "$sample"
    echo "$name: the example writes what kyl -c writes and expands it back"
}

cflags="$(pkg-config --cflags kyl)"
case "$cflags" in *..*) fail "kyl.pc gives an unnormalised path: $cflags" ;; esac
for library in -lstdc++ -lm -pthread; do
    [[ " $(pkg-config --static --libs kyl) " == *" $library "* ]] || fail "pkg-config --static --libs kyl lacks $library"
done
cc -Wall -Wextra "$top/examples/example.c" $cflags $(pkg-config --libs kyl) -o "$scratch/example_pc"
check_example "$scratch/example_pc" pkg-config

for linking in shared static; do
    static=OFF
    [ "$linking" = static ] && static=ON
    cmake -S "$top/examples" -B "$scratch/example_$linking" -DCMAKE_PREFIX_PATH="$prefix" \
        -DKYL_EXAMPLE_STATIC=$static >/dev/null
    cmake --build "$scratch/example_$linking" >/dev/null
    check_example "$scratch/example_$linking/kyl_example" "find_package-$linking"
done
! objdump -p "$scratch/example_static/kyl_example" | grep -q 'NEEDED.*libkyl' ||
    fail "the example built on kyl::kyl_static needs libkyl.so"
