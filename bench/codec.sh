#!/usr/bin/env bash
# Decoding one 2 MiB block (open, decompress, SHA-256) through the codec layer
# against the libraries called directly. Prints MB/s of decoded data for each
# and the ratio ours/direct; the layer should stay within 5% (ratio >= 0.95).
# Throughput is per CPU second, the best of several interleaved repetitions,
# since the machine is shared and wall time is noise.
#
#   bash bench/codec.sh [seconds per repetition, default 0.2] [repetitions, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."

min_time="${1:-0.2}"
reps="${2:-5}"

if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j2 --target zuv_bench_codec >/dev/null

csv="$(mktemp)"
trap 'rm -f "$csv"' EXIT
build/zuv_bench_codec --benchmark_min_time="$min_time" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_format=csv >"$csv" 2>/dev/null

# Rows look like: "decode/zstd-3/ours",iterations,real,cpu,unit,bytes_per_second,...
awk -F, '
  /^"decode\// {
    name = $1; gsub(/"/, "", name)
    if (name ~ /_(mean|median|stddev|cv)$/) next
    split(name, part, "/")
    key = part[2] "/" part[3]
    if ($6 + 0 > best[key]) best[key] = $6 + 0
  }
  END {
    n = split("zstd-3 zstd-9 lz4 raw aes-256-gcm chacha20-poly1305", order, " ")
    printf "%-20s %12s %12s %12s\n", "per 2 MiB block", "ours MB/s", "direct MB/s", "ours/direct"
    worst = 10
    for (i = 1; i <= n; i++) {
      c = order[i]; o = best[c "/ours"] / 1e6; d = best[c "/direct"] / 1e6
      r = d > 0 ? o / d : 0
      if (r < worst) worst = r
      printf "%-20s %12.0f %12.0f %12.3f\n", c, o, d, r
    }
    printf "lowest ratio %.3f (goal: at least 0.950)\n", worst
  }' "$csv"
