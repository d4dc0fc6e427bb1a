// SPDX-License-Identifier: MIT
/*
 * Compresses a file and expands it again through libkyl's one-shot calls,
 * the expansion as if its size were not known.
 *
 *     kyl_example INPUT COMPRESSED EXPANDED
 *
 * writes the compressed bytes of INPUT (the bytes `kyl -c` writes) to
 * COMPRESSED and their expansion to EXPANDED.  Build it against an installed
 * libkyl with
 *
 *     cc example.c $(pkg-config --cflags --libs kyl) -o kyl_example
 */
#include <stdio.h>
#include <stdlib.h>

#include <kyl.h>

/* Reads a whole file into a new buffer; NULL on failure. */
static unsigned char* read_file(const char* name, size_t* size) {
    FILE* file = fopen(name, "rb");
    if (file == NULL) return NULL;
    size_t capacity = 1 << 16, used = 0;
    unsigned char* bytes = malloc(capacity);
    size_t got;
    while (bytes != NULL && (got = fread(bytes + used, 1, capacity - used, file)) > 0) {
        used += got;
        if (used == capacity) {
            unsigned char* larger = realloc(bytes, capacity *= 2);
            if (larger == NULL) free(bytes);
            bytes = larger;
        }
    }
    if (ferror(file)) {
        free(bytes);
        bytes = NULL;
    }
    fclose(file);
    *size = used;
    return bytes;
}

static int write_file(const char* name, const unsigned char* bytes, size_t size) {
    FILE* file = fopen(name, "wb");
    if (file == NULL) return 0;
    const int written = fwrite(bytes, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

static int fail(const char* what, int status) {
    fprintf(stderr, "kyl_example: %s: %s\n", what, kyl_status_text(status));
    return 1;
}

static int fail_file(const char* name) {
    perror(name);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: kyl_example INPUT COMPRESSED EXPANDED (libkyl %s)\n", kyl_version_string());
        return 2;
    }
    size_t original_size = 0;
    unsigned char* original = read_file(argv[1], &original_size);
    if (original == NULL) return fail_file(argv[1]);

    /* Compression: the bound is always enough. */
    const size_t bound = kyl_compress_bound(original_size);
    unsigned char* compressed = malloc(bound > 0 ? bound : 1);
    size_t compressed_size = 0;
    int status = compressed == NULL ? KYL_NO_MEMORY
                                    : kyl_compress(original, original_size, compressed, bound, &compressed_size, 0);
    if (status != KYL_OK) return fail("compress", status);
    if (!write_file(argv[2], compressed, compressed_size)) return fail_file(argv[2]);

    /* Expansion: the format does not store the original size, so the
     * destination is sized from the records' headers.  A program that does
     * not hold all of its input at once would use a stream instead. */
    size_t expanded_bound = 0;
    status = kyl_expand_bound(compressed, compressed_size, &expanded_bound);
    if (status != KYL_OK) return fail("expand", status);
    unsigned char* expanded = malloc(expanded_bound > 0 ? expanded_bound : 1);
    size_t expanded_size = 0;
    status = expanded == NULL ? KYL_NO_MEMORY
                              : kyl_expand(compressed, compressed_size, expanded, expanded_bound, &expanded_size, 0);
    if (status != KYL_OK) return fail("expand", status);
    if (!write_file(argv[3], expanded, expanded_size)) return fail_file(argv[3]);

    printf("%zu bytes -> %zu bytes -> %zu bytes\n", original_size, compressed_size, expanded_size);
    free(expanded);
    free(compressed);
    free(original);
    return 0;
}
