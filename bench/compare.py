#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Compare kyl with bzip2 -9, xz -6, zstd -19 and the parallel bzip2 tools on whole files.

    compare.py [--runs N] [--kyl PATH] [--baseline PATH] [--tools kyl,bzip2,xz,zstd]
               [--threads 1[,2...]] [--checksums FILE] [--silesia [DIR]] [--scratch DIR] FILE...

Every file is copied into a scratch folder (--scratch, default /tmp; /dev/shm
keeps disk writes out of the times), so that reads come from
the page cache, then compressed and expanded N times by every tool, output
to files. Every round trip is checked byte for byte. The Markdown table on
standard output gives per file and in total: bits per byte, compression and
expansion speed in MB/s (10^6 bytes; median of the runs; the total is all
bytes over the sum of the medians) and peak resident memory in MB (maximum
over the runs, from /usr/bin/time). Progress goes to standard error.

--threads gives the thread counts to measure (default 1): kyl runs with
--threads=N, xz and zstd with -TN, pbzip2 (-9 -pN) and lbzip2 (-9 -n N), the
parallel bzip2 tools among --tools, with N; bzip2 has one thread and runs
once. kyl must write the same bytes on every thread count. With several
counts a second table gives kyl's speed on N threads against one thread and
against pbzip2 and lbzip2 on N threads, where they are among --tools.

--baseline PATH measures a second kyl program (an earlier build, say) beside
the first, with the same options and in the same turns, and adds a table of
the first's speed over the baseline's per file, direction and thread count
(above 1: the first is faster). Both must write the same bytes.

--silesia adds the nine Silesia files of the shared corpus, unpacked to DIR
(default /tmp/kyl-silesia) by make_testset.py when they are not there yet:
the set that speed is judged on.

--checksums FILE records the SHA-256 of kyl's compressed output of every
file in FILE, or, when FILE exists, checks them against it: a changed output
names the file and makes the exit status 3. A failed round trip or tool
gives exit status 1.
"""
import argparse
import filecmp
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from make_testset import unpack_silesia

TIME = "/usr/bin/time"
PEERS = ["bzip2", "xz", "zstd", "pbzip2", "lbzip2"]
THREADED = ["kyl", "baseline", "xz", "zstd", "pbzip2", "lbzip2"]
KYL_BUILDS = ["kyl", "baseline"]
PACKAGES = {"bzip2": "bzip2", "xz": "xz-utils", "zstd": "zstd", "pbzip2": "pbzip2", "lbzip2": "lbzip2",
            TIME: "time"}
SILESIA_DIR = "/tmp/kyl-silesia"


def peer(tool, threads):
    """(label, compress command, expand command, suffix of the compressed
    file) of a peer on `threads` threads; each command takes the input file's
    name next and writes to standard output."""
    n = str(threads)
    return {
        "bzip2": ("bzip2 -9", ["bzip2", "-9", "-c"], ["bzip2", "-d", "-c"], ".bz2"),
        "xz": (f"xz -6 -T{n}", ["xz", "-6", "-T" + n, "-c"], ["xz", "-d", "-T" + n, "-c"], ".xz"),
        "zstd": (f"zstd -19 -T{n}", ["zstd", "-19", "-T" + n, "-q", "-c"], ["zstd", "-d", "-q", "-c"], ".zst"),
        "pbzip2": (f"pbzip2 -9 -p{n}", ["pbzip2", "-9", "-p" + n, "-c"], ["pbzip2", "-d", "-p" + n, "-c"], ".bz2"),
        "lbzip2": (f"lbzip2 -9 -n {n}", ["lbzip2", "-9", "-n", n, "-c"], ["lbzip2", "-d", "-n", n, "-c"], ".bz2"),
    }[tool]


def label(tool, threads):
    if tool in KYL_BUILDS:
        name = "kyl" if tool == "kyl" else "kyl baseline"
        return name if threads == 1 else f"{name} --threads={threads}"
    return peer(tool, threads)[0]


class Failure(Exception):
    pass


def install_missing(tools):
    """Installs the Debian packages of missing tools with apt-get."""
    missing = [PACKAGES[t] for t in [TIME] + [t for t in tools if t in PEERS]
               if shutil.which(t) is None]
    if not missing:
        return
    print(f"installing {' '.join(missing)}", file=sys.stderr)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq"] + missing, check=True,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def timed(command, cwd, stdout_path=None):
    """Runs command under /usr/bin/time; returns (seconds, peak RSS in MB)."""
    rss_file = os.path.join(cwd, ".rss")
    stdout = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    try:
        start = time.perf_counter()
        done = subprocess.run([TIME, "-f", "%M", "-o", rss_file] + command, cwd=cwd,
                              stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
    finally:
        if stdout is not subprocess.DEVNULL:
            stdout.close()
    if done.returncode != 0:
        raise Failure(f"{' '.join(command)} exited with {done.returncode}: "
                      f"{done.stderr.decode(errors='replace').strip()[-300:]}")
    with open(rss_file) as f:
        kib = int(f.read().split()[-1])
    return seconds, kib * 1024 / 1e6


def round_trip(tool, threads, kyl, scratch):
    """Compresses and expands scratch/data once with tool on threads (kyl:
    {tool: program} of the kyl builds). Returns (compressed path, compress
    seconds, compress MB, expand seconds, expand MB)."""
    option = [] if threads == 1 else [f"--threads={threads}"]
    if tool in KYL_BUILDS:
        kyl = kyl[tool]
        packed, unpacked = "data.kyl", "data.exp"
        compress = ([kyl, "-c", "data"] + option, None)
        expand = ([kyl, "-e", packed] + option, None)
    else:
        _, c_args, e_args, suffix = peer(tool, threads)
        packed, unpacked = "data" + suffix, "data.out"
        compress = (c_args + ["data"], os.path.join(scratch, packed))
        expand = (e_args + [packed], os.path.join(scratch, unpacked))
    for name in (packed, unpacked):  # so that a stale output can never pass
        if os.path.exists(os.path.join(scratch, name)):
            os.remove(os.path.join(scratch, name))
    c_seconds, c_rss = timed(compress[0], scratch, stdout_path=compress[1])
    e_seconds, e_rss = timed(expand[0], scratch, stdout_path=expand[1])
    if not filecmp.cmp(os.path.join(scratch, "data"), os.path.join(scratch, unpacked), shallow=False):
        raise Failure(f"{label(tool, threads)}: the round trip changed the bytes")
    os.remove(os.path.join(scratch, unpacked))
    return os.path.join(scratch, packed), c_seconds, c_rss, e_seconds, e_rss


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def configurations(tools, thread_counts):
    """The (tool, threads) pairs to measure, grouped by thread count."""
    return [(tool, threads) for threads in thread_counts for tool in tools
            if tool in THREADED or threads == thread_counts[0]]


def measure(path, configs, kyl, runs, scratch):
    """Returns {(tool, threads): result} for one file and the SHA-256 of
    kyl's output, the same on every thread count and for the baseline.  Each
    run goes through every configuration in turn, so that a shared machine's
    changing load falls on all of them alike."""
    shutil.copyfile(path, os.path.join(scratch, "data"))
    size = os.path.getsize(path)
    kyl_digest = None
    taken = {config: {"c": [], "e": [], "c_rss": 0.0, "e_rss": 0.0, "packed": 0} for config in configs}
    for _ in range(runs):
        for config in configs:
            tool, threads = config
            packed, c_s, c_mb, e_s, e_mb = round_trip(tool, threads, kyl, scratch)
            t = taken[config]
            t["c"].append(c_s)
            t["e"].append(e_s)
            t["c_rss"], t["e_rss"] = max(t["c_rss"], c_mb), max(t["e_rss"], e_mb)
            t["packed"] = os.path.getsize(packed)
            if tool in KYL_BUILDS:
                digest = sha256(packed)
                if kyl_digest not in (None, digest):
                    raise Failure(f"{label(tool, threads)}: compressed bytes differ from another run of kyl")
                kyl_digest = digest
            os.remove(packed)
    results = {}
    for config, t in taken.items():
        results[config] = {"size": size, "packed": t["packed"],
                           "c_time": statistics.median(t["c"]), "e_time": statistics.median(t["e"]),
                           "c_rss": t["c_rss"], "e_rss": t["e_rss"]}
        print(f"  {label(*config)}: {t['packed']:,} bytes", file=sys.stderr)
    os.remove(os.path.join(scratch, "data"))
    return results, kyl_digest


def total(per_file, tool):
    rows = [r[tool] for r in per_file.values()]
    return {"size": sum(r["size"] for r in rows), "packed": sum(r["packed"] for r in rows),
            "c_time": sum(r["c_time"] for r in rows), "e_time": sum(r["e_time"] for r in rows),
            "c_rss": max(r["c_rss"] for r in rows), "e_rss": max(r["e_rss"] for r in rows)}


def speed(r, key):
    return r["size"] / 1e6 / r[key] if r[key] > 0 else float("inf")


def print_table(per_file, configs):
    print("| file | MB | tool | bits/byte | compress MB/s | expand MB/s "
          "| compress RSS MB | expand RSS MB |")
    print("|---|--:|---|--:|--:|--:|--:|--:|")
    rows = list(per_file.items()) + [("**total**", {c: total(per_file, c) for c in configs})]
    for name, results in rows:
        for config in configs:
            r = results[config]
            bpb = 8 * r["packed"] / r["size"] if r["size"] else 0.0
            print(f"| {name} | {r['size'] / 1e6:.2f} | {label(*config)} | {bpb:.3f} "
                  f"| {speed(r, 'c_time'):.2f} | {speed(r, 'e_time'):.2f} "
                  f"| {r['c_rss']:.1f} | {r['e_rss']:.1f} |")
    if ("kyl", 1) in configs and ("bzip2", 1) in configs:
        print("\nkyl speed / bzip2 -9 speed (above 1: kyl is faster)\n")
        print("| file | compress | expand |")
        print("|---|--:|--:|")
        for name, results in rows:
            k, b = results[("kyl", 1)], results[("bzip2", 1)]
            print(f"| {name} | {b['c_time'] / k['c_time']:.2f} | {b['e_time'] / k['e_time']:.2f} |")
    print_speedups(rows, configs)
    print_against_baseline(rows, configs)


def print_against_baseline(rows, configs):
    """kyl's speed over the baseline's, per thread count."""
    counts = [threads for tool, threads in configs if tool == "baseline"]
    if not counts:
        return
    print("\nkyl speed / kyl baseline speed on the same thread count (above 1: faster than the baseline)\n")
    print("| file | " + " | ".join(f"compress {n}T | expand {n}T" for n in counts) + " |")
    print("|---|" + "--:|--:|" * len(counts))
    for name, results in rows:
        cells = []
        for n in counts:
            k, b = results[("kyl", n)], results[("baseline", n)]
            cells.append(f"{b['c_time'] / k['c_time']:.2f} | {b['e_time'] / k['e_time']:.2f}")
        print(f"| {name} | " + " | ".join(cells) + " |")


def print_speedups(rows, configs):
    """kyl on N threads against kyl on one and against the parallel bzip2
    tools on N."""
    counts = sorted({threads for tool, threads in configs if tool == "kyl" and threads > 1})
    if not counts or ("kyl", 1) not in configs:
        return
    peers = [tool for tool in ("pbzip2", "lbzip2") if any(t == tool for t, _ in configs)]
    print("\nkyl speed on N threads / kyl on 1 thread, and / "
          + (" and / ".join(f"{tool} on N threads" for tool in peers) or "the parallel bzip2 tools") + "\n")
    print("| file | threads | compress | expand |" + "".join(f" compress / {t} | expand / {t} |" for t in peers))
    print("|---|--:|--:|--:|" + "--:|--:|" * len(peers))
    for name, results in rows:
        one = results[("kyl", 1)]
        for n in counts:
            k = results[("kyl", n)]
            cells = [f"{one['c_time'] / k['c_time']:.2f}", f"{one['e_time'] / k['e_time']:.2f}"]
            for tool in peers:
                p = results[(tool, n)]
                cells += [f"{p['c_time'] / k['c_time']:.2f}", f"{p['e_time'] / k['e_time']:.2f}"]
            print(f"| {name} | {n} | " + " | ".join(cells) + " |")


def check_digests(checksums, digests):
    """Writes the digests to checksums, or compares them with it when it
    exists. Returns the names whose output differs or is not listed."""
    if not os.path.exists(checksums):
        os.makedirs(os.path.dirname(os.path.abspath(checksums)), exist_ok=True)
        with open(checksums, "w") as f:
            f.writelines(f"{digest}  {name}\n" for name, digest in digests.items())
        print(f"\nwrote the SHA-256 of kyl's outputs to {checksums}", file=sys.stderr)
        return []
    with open(checksums) as f:
        recorded = dict(reversed(line.rstrip("\n").split("  ", 1)) for line in f if line.strip())
    changed = []
    for name, digest in digests.items():
        if recorded.get(name) != digest:
            why = "not listed" if name not in recorded else "compressed bytes changed"
            print(f"checksum mismatch: {name}: {why}", file=sys.stderr)
            changed.append(name)
    if not changed:
        print(f"\nkyl's outputs match {checksums}", file=sys.stderr)
    return changed


def default_kyl():
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "kyl")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", metavar="FILE")
    parser.add_argument("--runs", type=int, default=3, help="runs per file and tool (default 3)")
    parser.add_argument("--kyl", default=default_kyl(), help="the kyl program (default build/kyl)")
    parser.add_argument("--baseline", metavar="PATH",
                        help="a second kyl program measured beside the first, e.g. an earlier build")
    parser.add_argument("--tools", default="kyl,bzip2,xz,zstd",
                        help="comma-separated tools among kyl, " + ", ".join(PEERS))
    parser.add_argument("--threads", default="1", help="comma-separated thread counts (default 1)")
    parser.add_argument("--scratch", default="/tmp",
                        help="folder for the scratch files (default /tmp; /dev/shm keeps disk writes out of the times)")
    parser.add_argument("--checksums", metavar="FILE",
                        help="record, or check against, the SHA-256 of kyl's outputs")
    parser.add_argument("--silesia", nargs="?", const=SILESIA_DIR, metavar="DIR",
                        help=f"add the Silesia files, unpacked to DIR (default {SILESIA_DIR})")
    args = parser.parse_args()
    if args.silesia:
        args.files += unpack_silesia(args.silesia)
    if not args.files:
        parser.error("give FILE... or --silesia")
    tools = args.tools.split(",")
    unknown = [t for t in tools if t != "kyl" and t not in PEERS]
    if args.baseline:
        if "kyl" not in tools:
            parser.error("--baseline needs kyl among the tools")
        tools.insert(tools.index("kyl") + 1, "baseline")
    if unknown or args.runs < 1:
        parser.error(f"unknown tool {unknown[0]}" if unknown else "--runs must be at least 1")
    try:
        thread_counts = sorted({int(n) for n in args.threads.split(",")})
    except ValueError:
        parser.error("--threads takes numbers separated by commas")
    if thread_counts[0] < 1:
        parser.error("--threads must be at least 1")
    configs = configurations(tools, thread_counts)
    if args.checksums and "kyl" not in tools:
        parser.error("--checksums needs kyl among the tools")
    names = [os.path.basename(f) for f in args.files]
    if len(set(names)) != len(names):
        parser.error("two files have the same name")
    kyl = {"kyl": os.path.abspath(args.kyl)}
    if "kyl" in tools and not os.access(kyl["kyl"], os.X_OK):
        parser.error(f"no kyl program at {kyl['kyl']} (build it, or give --kyl)")
    if args.baseline:
        kyl["baseline"] = os.path.abspath(args.baseline)
        if not os.access(kyl["baseline"], os.X_OK):
            parser.error(f"no kyl program at {kyl['baseline']}")
    install_missing(tools)

    per_file, digests = {}, {}
    try:
        with tempfile.TemporaryDirectory(prefix="kyl-compare-", dir=args.scratch) as scratch:
            for path, name in zip(args.files, names):
                print(f"{name}:", file=sys.stderr)
                per_file[name], digests[name] = measure(path, configs, kyl, args.runs, scratch)
    except Failure as failure:
        sys.exit(f"{name}: {failure}")
    print(f"{args.runs} run(s) per file and tool; kyl is {kyl['kyl']}"
          + (f", the baseline {kyl['baseline']}" if args.baseline else "") + "\n")
    print_table(per_file, configs)
    if args.checksums and check_digests(args.checksums, digests):
        sys.exit(3)


if __name__ == "__main__":
    main()
