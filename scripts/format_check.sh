#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Holds the C and C++ lines changed since .clang-format last changed (or, while
# it is not committed, since the last commit) to the style it states.  Only
# those lines: the files written before it keep their layout until they are
# next touched.  Prints what clang-format would change and fails if anything.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
base="$(git log -1 --format=%H -- .clang-format 2>/dev/null || true)"
[ -n "$base" ] || base=HEAD
# The version the package gives; git-clang-format comes with it.
changes="$(git clang-format --diff --extensions c,cc,cpp,h,hpp "$base" -- 2>&1 || true)"
case "$changes" in
    "" | "no modified files to format" | "clang-format did not modify any files")
        echo "Formatting: the lines changed since ${base:0:12} keep .clang-format's style."
        ;;
    *)
        echo "$changes"
        echo "Formatting: the lines above differ from .clang-format's style (git clang-format $base fixes them)." >&2
        exit 1
        ;;
esac
