#!/usr/bin/env bash
# Decoding one 2 MiB block (open, decompress, SHA-256) through the codec layer
# against the libraries called directly. Prints MB/s of decoded data for each
# and the ratio ours/direct; the layer should stay within 5% (ratio >= 0.95).
# Every round decodes the same payload both ways in alternating order on this
# thread's CPU clock, and each side's fastest round counts, since the machine
# is shared and other processes only ever add time.
#
#   bash bench/codec.sh [seconds of CPU time per case, default 1]
set -euo pipefail
cd "$(dirname "$0")/.."

min_time="${1:-1}"

# The benchmarks are built only on request; an existing build keeps its type.
cmake -S . -B build -DZUV_BUILD_BENCH=ON >/dev/null
cmake --build build -j2 --target zuv_bench_codec >/dev/null

csv="$(mktemp)"
trap 'rm -f "$csv"' EXIT
build/zuv_bench_codec --benchmark_min_time="$min_time" --benchmark_format=csv >"$csv" 2>/dev/null

# A header row names the columns, counters included; rows look like
# "decode/zstd-3",iterations,...,ours_MBps,direct_MBps,ratio.
awk -F, '
  NR == 1 { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i }; next }
  /^"decode\// {
    name = $1; gsub(/"/, "", name); sub(/^decode\//, "", name)
    ours[name] = $(col["ours_MBps"]); direct[name] = $(col["direct_MBps"])
    rounds[name] = $(col["iterations"])
  }
  END {
    n = split("zstd-3 zstd-9 lz4 raw aes-256-gcm chacha20-poly1305", order, " ")
    printf "%-20s %12s %12s %12s %8s\n", "per 2 MiB block", "ours MB/s", "direct MB/s", "ours/direct", "rounds"
    worst = 10
    for (i = 1; i <= n; i++) {
      c = order[i]; o = ours[c] + 0; d = direct[c] + 0
      r = d > 0 ? o / d : 0
      if (r < worst) worst = r
      printf "%-20s %12.0f %12.0f %12.3f %8d\n", c, o, d, r, rounds[c]
    }
    printf "lowest ratio %.3f (goal: at least 0.950)\n", worst
  }' "$csv"
