#!/usr/bin/env bash
# Prune at scale. Prints:
#  - the time to plan a prune, and a delete, of 100,000 backups in memory,
#    for a few catalog shapes (budget: 50 ms per plan);
#  - the time of "prune --dry-run" over 20,000 header-only backups next to a
#    plain C loop that opens each meta file, reads its 131072 header bytes once
#    and closes it (goal: at most 1.2x; the scan reads only the header bytes it
#    uses, the fields up to 0x648D);
#  - the peak resident memory of "prune --dry-run" over 100,000 entries
#    (goal: under 64 MiB).
# Sparse meta files keep the stores small on disk; everything is removed at
# the end. Run from anywhere; builds what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUV_BUILD_BENCH=ON >/dev/null
cmake --build build -j2 --target zuv_maintenance zuv_bench_prune >/dev/null
prog=$PWD/build/zuv_maintenance
bench=$PWD/build/zuv_bench_prune

work=$(mktemp -d /tmp/zuv-prune-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# CPU time per plan, caches emptied before each (see prune_bench.cc); the
# median of 5 runs.
echo "== planning 100,000 backups in memory (median CPU time per plan, budget 50 ms)"
"$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_format=csv 2>/dev/null >"$work/plans.csv"
awk -F, '
  NR == 1 { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i } next }
  /_median"/ {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name); split(name, part, "/")
    ms = $(col["cpu_time"])
    printf "  %-6s %-18s %7.2f ms  %s\n", part[1], part[2], ms, (ms <= 50 ? "ok" : "MISSED")
  }' "$work/plans.csv"

# Best of three wall-clock runs, in seconds.
best_of_3() {
  local best="" t0 t1 d
  for _ in 1 2 3; do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    d=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$d < $best" | bc -l)" = 1 ]; then best=$d; fi
  done
  echo "$best"
}

echo
echo "== prune --dry-run over 20,000 header-only backups"
mkdir "$work/s20k"
now=$("$bench" --make-store "$work/s20k" 20000)
# Both sides start from a warm page cache. The floor is a plain C loop that
# opens each meta file, reads its 131072 header bytes once and closes it.
"$bench" --read-headers "$work/s20k" >/dev/null
t_loop=$(best_of_3 "$bench" --read-headers "$work/s20k")
t_prune=$(best_of_3 "$prog" prune --search-dir "$work/s20k" --dry-run --now "$now" --no-syslog --no-log)
"$prog" prune --search-dir "$work/s20k" --dry-run --now "$now" --no-syslog --no-log 2>&1 | tail -1 |
  sed 's/^[^ ]* \[[^]]*\] [A-Z]* *//; s/^/  /'
printf '  C loop reading each header whole: %.3f s\n  prune --dry-run:                  %.3f s\n' \
  "$t_loop" "$t_prune"
ratio=$(echo "$t_prune / $t_loop" | bc -l)
printf '  ratio prune / loop: %.2fx  (goal <= 1.2x) %s\n' "$ratio" \
  "$( [ "$(echo "$ratio <= 1.2" | bc -l)" = 1 ] && echo ok || echo MISSED)"
rm -rf "$work/s20k"

echo
echo "== peak memory of prune --dry-run over 100,000 entries"
mkdir "$work/s100k"
now=$("$bench" --make-store "$work/s100k" 100000)
/usr/bin/time -f '%M' -o "$work/rss" \
  "$prog" prune --search-dir "$work/s100k" --dry-run --now "$now" --no-syslog --no-log 2>/dev/null
kib=$(cat "$work/rss")
printf '  peak RSS: %.1f MiB  (goal < 64 MiB) %s\n' "$(echo "$kib / 1024" | bc -l)" \
  "$( [ "$kib" -lt 65536 ] && echo ok || echo MISSED)"
