#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make a reproducible mixed test set for benchmarking kyl, or the corpus tars.

    make_testset.py OUTDIR [--size-mb 50] [--seed 1] [--corpus [DIR]]
    make_testset.py --corpus-tars OUTDIR [--corpus-dir DIR]
    make_testset.py --silesia OUTDIR [--corpus-dir DIR]

The test set is one file per kind of data (English-like text, C-like source,
structured binary records, long runs, random bytes) whose sizes add up to
--size-mb (MB = 10^6 bytes), plus mixed.tar holding all of them. The same
seed gives the same bytes on any machine: every generator draws from its own
random.Random seeded with an integer, and nothing depends on hashing order.

--corpus adds chunks of the real text files of the shared corpus (taken from
the text share); the set then also depends on those files, so it is off by
default. --corpus-tars writes canterbury.tar and calgary.tar instead.
--silesia unpacks the nine xz-packed Silesia files of the shared corpus and
checks them against the corpus's SHA256SUMS.txt (a file already unpacked and
intact is kept).
"""
import argparse
import hashlib
import lzma
import math
import os
import random
import struct
import sys
import tarfile

CORPUS_DIR = "/work/shared/corpus"
TAR_MTIME = 1_000_000_000  # fixed, so that tars are byte-reproducible

# Share of the total size per kind, in the order the files are made.
SHARES = [("text.txt", 0.35), ("source.c", 0.20), ("records.bin", 0.20),
          ("runs.bin", 0.10), ("random.bin", 0.15)]

VOCABULARY = """
the of and to a in that is was he for it with as his on be at by i had not are
but from or have an they which one you were her all she there would their we
him been has when who will more no if out so said what up its about into than
them can only other new some could time these two may then do first any my now
such like our over man me even most made after also did many before must
through back years where much your way well down should because each just
those people how too little state good very make world still own see men work
long get here between both life being under never day same another know while
last might us great old year off come since against go came right used take
three house small place found water light night country river city king road
letter answer morning garden window summer winter horse ship island mountain
voice power number order reason question story friend mother father child
girl boy woman head hand eye face door room table book paper word line name
thought heart mind body fire stone tree field sea sky wind rain sun moon
looked asked seemed began turned called told felt knew gave left kept stood
heard brought wrote spoke walked waited opened closed followed carried
quiet dark bright cold warm strange silent open empty full heavy slow quick
""".split()

C_TYPES = ["int", "unsigned", "size_t", "char *", "const char *", "uint32_t",
           "int64_t", "double", "void *", "struct node *", "uint8_t *"]
C_NOUNS = ["buf", "len", "count", "index", "node", "list", "table", "block",
           "state", "value", "size", "offset", "src", "dst", "key", "hash",
           "flag", "mode", "err", "pos", "limit", "entry", "item", "name"]
C_VERBS = ["init", "free", "read", "write", "parse", "find", "insert",
           "remove", "update", "check", "reset", "copy", "encode", "decode",
           "sort", "hash", "append", "lookup", "flush", "open", "close"]
C_SUFFIXES = ["", "", "", "_max", "_min", "_next", "_prev", "_len", "2", "_ptr"]


def zipf_weights(n):
    return [1.0 / (rank + 1) for rank in range(n)]


def fit(parts, size):
    """Joins generated pieces and cuts them to exactly size bytes."""
    data = "".join(parts).encode("ascii")
    assert len(data) >= size
    return data[:size]


def make_text(rng, size):
    """English-like prose: each word has a few favoured successors (a crude
    Markov chain over the vocabulary), sentences, commas, wrapped lines and
    paragraphs."""
    words = list(VOCABULARY)
    rng.shuffle(words)  # which words are frequent depends on the seed
    weights = zipf_weights(len(words))
    successors = [rng.sample(range(len(words)), 12) for _ in words]
    successor_weights = zipf_weights(12)
    parts, produced, column, current = [], 0, 0, 0
    sentence_left = 0
    while produced < size:
        if sentence_left == 0:
            sentence_left = rng.randint(4, 22)
            word = words[current].capitalize()
            new_paragraph = produced > 0 and rng.random() < 0.08
        else:
            word = words[current]
            new_paragraph = False
        sentence_left -= 1
        if sentence_left == 0:
            word += "." if rng.random() < 0.9 else "?"
        elif rng.random() < 0.07:
            word += ","
        if new_paragraph or column + len(word) + 1 > 72:
            piece = ("\n\n" if new_paragraph else "\n") + word
            column = len(word)
        else:
            piece = (" " if column else "") + word
            column += len(piece)
        parts.append(piece)
        produced += len(piece)
        if rng.random() < 0.6:
            current = rng.choices(successors[current], successor_weights)[0]
        else:
            current = rng.choices(range(len(words)), weights)[0]
    parts.append("\n")
    return fit(parts, size)


class Source_Writer:
    """C-like source: includes, defines, structs and functions with nested
    statements, comments and indentation."""

    def __init__(self, rng):
        self.rng = rng
        # Made-up identifiers, so that the source is not all from a short list.
        letters = "abcdefghijklmnopqrstuvwxyz"
        self.coined = ["".join(rng.choices(letters, k=rng.randint(3, 9))) for _ in range(400)]
        self.coined_weights = zipf_weights(len(self.coined))

    def name(self):
        rng = self.rng
        if rng.random() < 0.35:
            return rng.choices(self.coined, self.coined_weights)[0]
        return rng.choice(C_NOUNS) + rng.choice(C_SUFFIXES)

    def function_name(self):
        rng = self.rng
        return f"{rng.choice(C_VERBS)}_{rng.choice(C_NOUNS)}"

    def expression(self):
        rng = self.rng
        kind = rng.random()
        if kind < 0.3:
            return self.name()
        if kind < 0.5:
            return str(rng.choice([0, 1, 2, 4, 8, 16, 255, 1024, rng.randint(0, 99999)]))
        if kind < 0.8:
            op = rng.choice(["+", "-", "*", "&", "|", "<<", ">>", "%"])
            return f"{self.name()} {op} {self.expression()}"
        args = ", ".join(self.name() for _ in range(rng.randint(0, 3)))
        return f"{self.function_name()}({args})"

    def statements(self, out, depth, count):
        rng = self.rng
        pad = "    " * depth
        for _ in range(count):
            kind = rng.random()
            if depth < 4 and kind < 0.15:
                out.append(f"{pad}if ({self.name()} {rng.choice(['<', '>', '==', '!=', '<='])} {self.expression()}) {{\n")
                self.statements(out, depth + 1, rng.randint(1, 4))
                if rng.random() < 0.3:
                    out.append(f"{pad}}} else {{\n")
                    self.statements(out, depth + 1, rng.randint(1, 3))
                out.append(f"{pad}}}\n")
            elif depth < 4 and kind < 0.25:
                i = rng.choice(["i", "j", "k"])
                out.append(f"{pad}for ({i} = 0; {i} < {self.name()}; {i}++) {{\n")
                self.statements(out, depth + 1, rng.randint(1, 4))
                out.append(f"{pad}}}\n")
            elif kind < 0.3:
                out.append(f"{pad}/* {' '.join(rng.choices(VOCABULARY, k=rng.randint(3, 9)))} */\n")
            elif kind < 0.55:
                args = ", ".join(self.expression() for _ in range(rng.randint(0, 3)))
                out.append(f"{pad}{self.function_name()}({args});\n")
            else:
                op = rng.choice(["=", "=", "+=", "-=", "|="])
                out.append(f"{pad}{self.name()} {op} {self.expression()};\n")

    def function(self, out):
        rng = self.rng
        params = ", ".join(f"{rng.choice(C_TYPES)} {self.name()}"
                           for _ in range(rng.randint(0, 4))) or "void"
        if rng.random() < 0.5:
            out.append(f"\n/*\n * {self.function_name()}: "
                       f"{' '.join(rng.choices(VOCABULARY, k=rng.randint(5, 14)))}.\n */")
        out.append(f"\nstatic {rng.choice(C_TYPES)} {self.function_name()}({params})\n{{\n")
        for _ in range(rng.randint(1, 4)):
            out.append(f"    {rng.choice(C_TYPES)} {self.name()} = {self.expression()};\n")
        self.statements(out, 1, rng.randint(3, 12))
        out.append(f"    return {self.expression()};\n}}\n")

    def file_header(self, out):
        rng = self.rng
        for header in ["stdio.h", "stdlib.h", "string.h", "stdint.h"]:
            out.append(f"#include <{header}>\n")
        for _ in range(rng.randint(2, 6)):
            out.append(f"#define {self.name().upper()} {rng.randint(1, 4096)}\n")
        out.append(f"\nstruct {rng.choice(C_NOUNS)} {{\n")
        for _ in range(rng.randint(2, 7)):
            out.append(f"    {rng.choice(C_TYPES)} {self.name()};\n")
        out.append("};\n")


def make_source(rng, size):
    writer = Source_Writer(rng)
    parts, produced = [], 0
    while produced < size:
        unit = []
        writer.file_header(unit)
        for _ in range(rng.randint(5, 30)):
            writer.function(unit)
        produced += sum(len(p) for p in unit)
        parts.extend(unit)
    return fit(parts, size)


def record_table(rng, count):
    """Fixed-size little-endian records: id, type, a random-walk value, a
    noisy measurement, a timestamp and a short name."""
    out, value, stamp = [], rng.randint(-1000, 1000), 1.6e9 + rng.random() * 1e6
    base_id = rng.randint(0, 1 << 20)
    names = [w.encode("ascii")[:8] for w in VOCABULARY[:40]]
    for n in range(count):
        value += rng.randint(-50, 50)
        stamp += rng.expovariate(2.0)
        measurement = 20.0 + 5.0 * math.sin(n / 50.0) + rng.gauss(0.0, 0.3)
        out.append(struct.pack("<IHhifd8s", base_id + n, rng.choice((1, 1, 2, 3, 7)),
                               0, value, measurement, stamp, rng.choice(names)))
    return b"".join(out)


def sample_table(rng, count):
    """16-bit samples of a few mixed sines with noise, like sound."""
    tones = [(rng.uniform(0.001, 0.05), rng.uniform(500, 6000)) for _ in range(3)]
    return struct.pack(f"<{count}h", *(
        max(-32768, min(32767, int(sum(a * math.sin(f * n) for f, a in tones)
                                   + rng.gauss(0, 40)))) for n in range(count)))


def offset_table(rng, count):
    """An increasing table of 32-bit offsets and 16-bit lengths."""
    out, offset = [], 0
    for _ in range(count):
        length = rng.randint(16, 4000)
        out.append(struct.pack("<IH", offset, length))
        offset += length
    return b"".join(out)


def make_records(rng, size):
    parts, produced, section = [], 0, 0
    while produced < size:
        count = rng.randint(1000, 4000)
        if section % 3 == 0:
            body = record_table(rng, count)
        elif section % 3 == 1:
            body = sample_table(rng, count * 8)
        else:
            body = offset_table(rng, count)
        chunk = struct.pack("<4sII", b"TBL%d" % (section % 3), section, len(body)) + body
        parts.append(chunk)
        produced += len(chunk)
        section += 1
    return b"".join(parts)[:size]


def make_runs(rng, size):
    """Long runs of a few byte values, lengths spread over many powers of two."""
    alphabet = rng.sample(range(256), 4)
    parts, produced = [], 0
    while produced < size:
        length = int(2 ** rng.uniform(0, 14))
        parts.append(bytes([rng.choice(alphabet)]) * length)
        produced += length
    return b"".join(parts)[:size]


def make_random(rng, size):
    return rng.randbytes(size)


def text_files(corpus_dir):
    """The mostly printable files of the corpus, in a fixed order."""
    found = []
    for folder, _, names in sorted(os.walk(corpus_dir)):
        for name in sorted(names):
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                data = f.read()
            printable = sum(1 for c in data if 32 <= c < 127 or c in (9, 10, 13))
            if data and printable / len(data) > 0.99:
                found.append(data)
    return found


def make_corpus_text(rng, size, corpus_dir):
    """Chunks of real text, each used once, in a seed-dependent order."""
    chunks = [data[i:i + 65536] for data in text_files(corpus_dir)
              for i in range(0, len(data), 65536)]
    rng.shuffle(chunks)
    return b"".join(chunks)[:size]


def write_tar(path, members):
    """A tar that depends only on member names and bytes."""
    with open(path, "wb") as f, tarfile.open(fileobj=f, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, data_path in sorted(members):
            info = tarfile.TarInfo(name)
            info.size = os.path.getsize(data_path)
            info.mtime, info.mode = TAR_MTIME, 0o644
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            with open(data_path, "rb") as data:
                tar.addfile(info, data)


def report(paths):
    """Prints size and the start of the SHA-256 of every file."""
    for path in paths:
        with open(path, "rb") as f:
            digest = hashlib.file_digest(f, "sha256").hexdigest()
        print(f"{os.path.getsize(path):>12,}  {digest[:16]}  {path}")


def make_testset(outdir, size_mb, seed, corpus_dir):
    size = int(size_mb * 1_000_000)
    plan = [(name, int(size * share)) for name, share in SHARES]
    plan[0] = (plan[0][0], plan[0][1] + size - sum(n for _, n in plan))  # rounding
    makers = {"text.txt": make_text, "source.c": make_source, "records.bin": make_records,
              "runs.bin": make_runs, "random.bin": make_random}
    os.makedirs(outdir, exist_ok=True)
    made = []
    for index, (name, length) in enumerate(plan):
        rng = random.Random(seed * 1000 + index)
        if name == "text.txt" and corpus_dir:
            corpus = make_corpus_text(random.Random(seed * 1000 + 99), length // 2, corpus_dir)
            made.append(os.path.join(outdir, "corpus_text.txt"))
            with open(made[-1], "wb") as f:
                f.write(corpus)
            length -= len(corpus)
        made.append(os.path.join(outdir, name))
        with open(made[-1], "wb") as f:
            f.write(makers[name](rng, length))
    tar_path = os.path.join(outdir, "mixed.tar")
    write_tar(tar_path, [(os.path.basename(p), p) for p in made])
    report(sorted(made) + [tar_path])
    print(f"{sum(os.path.getsize(p) for p in made):>12,}  total of the separate files")


def make_corpus_tars(outdir, corpus_dir):
    os.makedirs(outdir, exist_ok=True)
    made = []
    for name in ["canterbury", "calgary"]:
        folder = os.path.join(corpus_dir, name)
        members = [(entry, os.path.join(folder, entry)) for entry in sorted(os.listdir(folder))
                   if os.path.isfile(os.path.join(folder, entry))]
        made.append(os.path.join(outdir, name + ".tar"))
        write_tar(made[-1], members)
    report(made)


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def unpack_silesia(outdir, corpus_dir=CORPUS_DIR):
    """Unpacks the Silesia files to outdir unless they are there intact;
    returns their paths in the order of the corpus's checksum list."""
    folder = os.path.join(corpus_dir, "silesia")
    with open(os.path.join(folder, "SHA256SUMS.txt")) as f:
        expected = [line.split() for line in f if line.strip()]
    os.makedirs(outdir, exist_ok=True)
    paths = []
    for digest, name in expected:
        path = os.path.join(outdir, name)
        if not os.path.exists(path) or sha256_of(path) != digest:
            with lzma.open(os.path.join(folder, name + ".xz")) as packed, open(path, "wb") as out:
                while chunk := packed.read(1 << 20):
                    out.write(chunk)
            if sha256_of(path) != digest:
                sys.exit(f"{path}: SHA-256 differs from {folder}/SHA256SUMS.txt")
        paths.append(path)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir", nargs="?", help="folder for the test set")
    parser.add_argument("--size-mb", type=float, default=50, help="total size in 10^6 bytes (default 50)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--corpus", nargs="?", const=CORPUS_DIR, metavar="DIR",
                        help=f"mix in chunks of the corpus text files (default DIR {CORPUS_DIR})")
    parser.add_argument("--corpus-tars", metavar="OUTDIR",
                        help="write canterbury.tar and calgary.tar to OUTDIR instead")
    parser.add_argument("--silesia", metavar="OUTDIR",
                        help="unpack the nine Silesia files to OUTDIR instead")
    parser.add_argument("--corpus-dir", default=CORPUS_DIR,
                        help="corpus folder for --corpus-tars and --silesia")
    args = parser.parse_args()
    if args.silesia:
        report(unpack_silesia(args.silesia, args.corpus_dir))
    elif args.corpus_tars:
        make_corpus_tars(args.corpus_tars, args.corpus_dir)
    elif args.outdir:
        if args.corpus and not os.path.isdir(args.corpus):
            sys.exit(f"no corpus folder {args.corpus}")
        make_testset(args.outdir, args.size_mb, args.seed, args.corpus)
    else:
        parser.error("give OUTDIR, --corpus-tars OUTDIR or --silesia OUTDIR")


if __name__ == "__main__":
    main()
