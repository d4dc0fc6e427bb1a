// SPDX-License-Identifier: MIT
/*
 * libkyl: block-sorting compression in memory.
 *
 * The compressed bytes are exactly those of the kyl program: a plain sequence
 * of block records, with no file header and no end marker, each block
 * covering up to 5,242,880 bytes of input.  kyl_compress gives for a buffer
 * the bytes `kyl -c` writes for a file of the same contents, and kyl_expand
 * reads what `kyl -c` wrote.
 *
 * Every function returns a status: KYL_OK (0) or one of the failures below;
 * none prints, none throws, and none keeps state between calls outside the
 * stream it is given.  KYL_INTERNAL_ERROR, a failure the library did not
 * foresee, can come from every call that codes blocks: kyl_compress,
 * kyl_expand and the stream calls other than kyl_stream_free.  Different
 * threads may use the library at once, each with its own streams.  One
 * stream is used by one thread at a time: the library takes no lock on it,
 * and calls on one stream from two threads at once are not allowed (hand a
 * stream to another thread only once the first has returned from its call).
 *
 * Memory: each one-shot call and each stream reserves about 110 MB of address
 * space for every thread it runs and touches what its blocks need: about
 * 47 MB for full blocks, about 11 MB for inputs of a few kilobytes.  A stream
 * touches up to 5 MB more for the input it gathers when compressing, 11 MB
 * when expanding; on several threads, up to 6 MB more for each block in
 * flight (at most two per thread): up to about 60 MB per thread in all.  A
 * thread is started only when a block waits that no running thread can
 * take, and touches this memory as it codes blocks.
 *
 * Memory budget: a call or stream runs no more threads than fit, at 60 MB
 * (62,914,560 bytes) each, in half the memory available to the process when
 * it starts: the system's available memory (MemAvailable in /proc/meminfo),
 * or the limit of the process's memory cgroup (memory.max in cgroup v2,
 * memory.limit_in_bytes in v1, its own or one above it) where that is
 * smaller.  One thread always runs, whatever the budget.  Memory that runs
 * out all the same gives KYL_NO_MEMORY.
 *
 * Threads: a `threads` argument of 0 means one per core the process may run
 * on (its CPU affinity mask), 1 the calling thread only, N up to N threads
 * (at most 1024); either way no more than the memory budget holds, as
 * kyl_thread_limit tells, and no more than the input has blocks.  Blocks are
 * independent, so on several threads they are coded at once and put out in
 * order: the bytes, statuses and failures are the same for any number of
 * threads.
 */
#ifndef KYL_H
#define KYL_H

#include <stddef.h>

#define KYL_VERSION_MAJOR 1
#define KYL_VERSION_MINOR 0
#define KYL_VERSION_PATCH 0
/* MAJOR * 10000 + MINOR * 100 + PATCH */
#define KYL_VERSION_NUMBER (KYL_VERSION_MAJOR * 10000 + KYL_VERSION_MINOR * 100 + KYL_VERSION_PATCH)
/* "MAJOR.MINOR.PATCH", made of the numbers above */
#define KYL_VERSION_TEXT_(major, minor, patch) #major "." #minor "." #patch
#define KYL_VERSION_TEXT(major, minor, patch) KYL_VERSION_TEXT_(major, minor, patch)
#define KYL_VERSION_STRING KYL_VERSION_TEXT(KYL_VERSION_MAJOR, KYL_VERSION_MINOR, KYL_VERSION_PATCH)

#if defined(KYL_BUILDING_LIBRARY) && defined(__GNUC__)
#define KYL_API __attribute__((visibility("default")))
#else
#define KYL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses. */
enum {
    KYL_OK = 0,
    KYL_DAMAGED = 1,        /* the compressed data is damaged or not kyl's */
    KYL_DST_TOO_SMALL = 2,  /* the output does not fit the destination */
    KYL_NO_MEMORY = 3,      /* the work area cannot be had */
    KYL_BAD_ARGUMENT = 4,   /* a null pointer, an unknown direction, input after the end */
    KYL_INTERNAL_ERROR = 5, /* a failure the library did not foresee */
    KYL_TRUNCATED = 6       /* the compressed data ends inside a block */
};

/* A fixed English text for a status; "unknown status" for any other number. */
KYL_API const char* kyl_status_text(int status);

/* The most threads a one-shot call or a stream started now with `threads`
 * runs: the request (0: one per core the process may run on), at most 1024
 * and at most what the memory budget holds; at least 1.  Fewer run when the
 * input has fewer blocks. */
KYL_API unsigned kyl_thread_limit(unsigned threads);

/* The version of the library in use: KYL_VERSION_NUMBER and
 * KYL_VERSION_STRING as the library was built. */
KYL_API unsigned kyl_version_number(void);
KYL_API const char* kyl_version_string(void);

/* ------------------------------------------------------------- one-shot */

/* The most bytes kyl_compress can write for src_size bytes of input; 0 when
 * that number does not fit a size_t. */
KYL_API size_t kyl_compress_bound(size_t src_size);

/* Compresses src[0..src_size-1] into dst, which holds dst_capacity bytes, and
 * sets *dst_size to the bytes written.  A destination of
 * kyl_compress_bound(src_size) bytes is always enough.
 *
 * threads: as above.  An input of one block runs on the calling thread; the
 * threads of a larger one are started and joined within the call.
 *
 * Returns KYL_OK, KYL_DST_TOO_SMALL, KYL_NO_MEMORY, KYL_BAD_ARGUMENT or
 * KYL_INTERNAL_ERROR.  On a failure *dst_size is 0 and dst holds nothing of
 * use; nothing is ever written past dst[dst_capacity-1]. */
KYL_API int kyl_compress(const void* src, size_t src_size, void* dst, size_t dst_capacity, size_t* dst_size,
                         unsigned threads);

/* Expands the compressed bytes src[0..src_size-1] into dst, as kyl_compress
 * above.  Every block is checked against its CRC-32.  The compressed bytes do
 * not say how long their expansion is: a destination of the size
 * kyl_expand_bound gives is always enough.
 *
 * Returns KYL_OK, KYL_DAMAGED, KYL_TRUNCATED (the input ends inside a block's
 * record), KYL_DST_TOO_SMALL, KYL_NO_MEMORY, KYL_BAD_ARGUMENT or
 * KYL_INTERNAL_ERROR. */
KYL_API int kyl_expand(const void* src, size_t src_size, void* dst, size_t dst_capacity, size_t* dst_size,
                       unsigned threads);

/* Sets *bound to the most bytes kyl_expand can write for the compressed bytes
 * src[0..src_size-1], reading only the headers of their records: a stored
 * record's own length, and a whole block for every other record, so the bound
 * passes the true size by less than a block per record (SIZE_MAX when the
 * sum does not fit a size_t).  Nothing is decoded or checked beyond the
 * chaining of the records: kyl_expand may still find a block damaged.
 *
 * Returns KYL_OK, KYL_DAMAGED (a header that cannot start a record),
 * KYL_TRUNCATED (the input ends inside a record) or KYL_BAD_ARGUMENT; *bound
 * is 0 on a failure. */
KYL_API int kyl_expand_bound(const void* src, size_t src_size, size_t* bound);

/* -------------------------------------------------------------- streams */

/* A stream compresses or expands input that arrives in pieces.  It never
 * needs to see input again, holds at most one block of input and one of
 * output (on several threads, two blocks per thread) whatever the length of
 * the whole, and gives the same bytes as the one-shot calls however the input
 * is cut into pieces.
 *
 *     kyl_stream_create  once;
 *     kyl_stream_feed    input; it takes less than offered while output
 *                        waits, so take output and feed the rest again;
 *     kyl_stream_take    output, until it delivers 0 bytes;
 *     kyl_stream_finish  once the input has ended, then take until a take
 *                        delivers 0 bytes: that is the end of the output;
 *     kyl_stream_free.
 *
 * After a failure every further call on the stream returns the same status,
 * except kyl_stream_free.  A complete loop, from one FILE to another (a take
 * that fails has still delivered the intact blocks before the failure):
 *
 *     static int drain(kyl_stream* stream, FILE* output) {
 *         unsigned char out[65536];
 *         size_t taken;
 *         int status;
 *         do {
 *             status = kyl_stream_take(stream, out, sizeof out, &taken);
 *             fwrite(out, 1, taken, output);
 *         } while (status == KYL_OK && taken > 0);
 *         return status;
 *     }
 *
 *     static int expand_file(FILE* input, FILE* output) {
 *         unsigned char in[65536];
 *         size_t got, used;
 *         kyl_stream* stream;
 *         int status = kyl_stream_create(&stream, KYL_STREAM_EXPAND, 1);
 *         while (status == KYL_OK && (got = fread(in, 1, sizeof in, input)) > 0)
 *             for (size_t at = 0; status == KYL_OK && at < got; at += used)
 *                 if ((status = kyl_stream_feed(stream, in + at, got - at, &used)) == KYL_OK)
 *                     status = drain(stream, output);
 *         if (status == KYL_OK) status = kyl_stream_finish(stream);
 *         if (status == KYL_OK) status = drain(stream, output);
 *         kyl_stream_free(stream);
 *         return status;
 *     }
 */
typedef struct kyl_stream kyl_stream;

enum { KYL_STREAM_COMPRESS = 0, KYL_STREAM_EXPAND = 1 };

/* Creates a stream for `direction` (KYL_STREAM_COMPRESS or KYL_STREAM_EXPAND)
 * in *stream; `threads` as above.  A stream on several threads codes its
 * blocks between the calls, on threads it starts as blocks arrive and joins
 * in kyl_stream_free.  Returns KYL_OK, KYL_NO_MEMORY, KYL_BAD_ARGUMENT or
 * KYL_INTERNAL_ERROR; *stream is NULL on a failure. */
KYL_API int kyl_stream_create(kyl_stream** stream, int direction, unsigned threads);

/* Takes up to src_size bytes of src as input and sets *consumed to how many
 * it took.  Compression may compress a full block here.  Returns KYL_OK,
 * KYL_NO_MEMORY, KYL_BAD_ARGUMENT (input after kyl_stream_finish) or
 * KYL_INTERNAL_ERROR. */
KYL_API int kyl_stream_feed(kyl_stream* stream, const void* src, size_t src_size, size_t* consumed);

/* Ends the input; what is left of it is compressed at once.  When expanding,
 * an input that ends inside a record is reported by the takes that follow:
 * the take that reaches that record delivers the blocks before it and
 * returns KYL_TRUNCATED.  Returns KYL_OK, KYL_NO_MEMORY, KYL_BAD_ARGUMENT (a
 * NULL stream) or KYL_INTERNAL_ERROR. */
KYL_API int kyl_stream_finish(kyl_stream* stream);

/* Writes up to dst_capacity bytes of output to dst and sets *taken to how
 * many.  On one thread, expansion expands the blocks here.  On several, take
 * waits for the oldest block only when no more input can be fed (every block
 * is in flight, or the input has ended); otherwise it delivers 0 bytes while
 * that block is still in work.  Returns KYL_OK, KYL_DAMAGED, KYL_TRUNCATED
 * (after kyl_stream_finish, when the input ended inside a record),
 * KYL_NO_MEMORY, KYL_BAD_ARGUMENT or KYL_INTERNAL_ERROR; with KYL_DAMAGED or
 * KYL_TRUNCATED, *taken counts the bytes of the intact blocks before the
 * failing one. */
KYL_API int kyl_stream_take(kyl_stream* stream, void* dst, size_t dst_capacity, size_t* taken);

/* Sets *blocks to the blocks the stream has delivered whole so far: the
 * records taken in full when compressing, the records whose blocks were
 * taken in full when expanding.  Once every take is done, this is the number
 * of block records in the compressed bytes, each framed as expansion frames
 * it.  A failure of the stream leaves the count of the blocks before it.
 * Returns KYL_OK, or KYL_BAD_ARGUMENT for a NULL pointer (*blocks is then 0
 * where it can be set).  Added after 1.0.0. */
KYL_API int kyl_stream_blocks(const kyl_stream* stream, unsigned long long* blocks);

/* Releases the stream and all its memory; NULL is allowed. */
KYL_API void kyl_stream_free(kyl_stream* stream);

#ifdef __cplusplus
}
#endif

#endif /* KYL_H */
