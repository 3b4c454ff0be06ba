#!/usr/bin/env bash
# Prune at scale. Prints:
#  - the planning time of 100,000 entries over that of 10,000, per catalog
#    shape (goal: at most 15; an O(n log n) plan gives about 12.5 in work,
#    and whatever the larger catalog loses to the slower cache comes on top),
#    for plans that start with emptied caches and, for comparison, for one
#    catalog planned again and again;
#  - the time of "prune --dry-run" over 20,000 header-only backups next to the
#    time of reading the same meta files with cat (goal: at most 1.5);
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

# How the plans are timed is explained in prune_bench.cc. In short: the
# goal is checked on plans of both sizes timed in pairs, caches emptied
# before each plan as after a real prune's scan, on the median ratio of the
# pairs; 5 runs of 30 pairs per plan, the runs of all plans in shuffled
# order, and the median of the 5 run medians is printed with the fastest
# plan of each size. The same catalogs planned again and again, as a loop
# leaves the caches, are printed after them for comparison.
echo "== planning in memory (Google Benchmark, CPU time per plan)"
common="--benchmark_format=csv --benchmark_enable_random_interleaving=true"
# shellcheck disable=SC2086
"$bench" --benchmark_filter='^growth/' --benchmark_repetitions=5 $common 2>/dev/null \
  >"$work/growth.csv"
# shellcheck disable=SC2086
"$bench" --benchmark_filter='^again/' --benchmark_repetitions=15 $common 2>/dev/null \
  >"$work/again.csv"
echo "  10k and 100k entries timed in pairs, caches emptied before each plan (goal <= 15x):"
awk -F, '
  NR == 1 { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i } next }
  /^"growth\// && !/_(mean|median|stddev|cv)"/ {
    name = $1; gsub(/"/, "", name); split(name, part, "/")
    id = part[2] ", " part[3]
    runs[id] = runs[id] " " $(col["ratio"])
    if (!(id in b10) || $(col["ms_10k"]) < b10[id]) b10[id] = $(col["ms_10k"])
    if (!(id in b100) || $(col["ms_100k"]) < b100[id]) b100[id] = $(col["ms_100k"])
  }
  END {
    for (id in runs) {
      k = split(runs[id], r, " ")
      for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (r[j] < r[i]) { t = r[i]; r[i] = r[j]; r[j] = t }
      m = r[int((k + 1) / 2)]
      printf "    %-26s fastest 10k %6.3f ms, 100k %6.3f ms   100k / 10k = %5.1fx (median pair)  %s\n",
        id, b10[id], b100[id], m, (k > 0 && m > 0 && m <= 15 ? "ok" : "MISSED")
    }
  }' "$work/growth.csv" | sort
echo "  for comparison, one catalog planned again and again (fastest plan of 15 runs):"
awk -F, '
  NR == 1 { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i } next }
  /^"again\// && !/_(mean|median|stddev|cv)"/ {
    name = $1; gsub(/"/, "", name); split(name, part, "/")
    id = part[2] ", " part[3]; n = part[4]; sub(/^n:/, "", n)
    if (!((id "/" n) in best) || $(col["best_ms"]) < best[id "/" n]) best[id "/" n] = $(col["best_ms"])
    ids[id] = 1
  }
  END {
    for (id in ids) {
      a = best[id "/10000"]; b = best[id "/100000"]
      printf "    %-26s fastest 10k %6.3f ms, 100k %6.3f ms   100k / 10k = %5.1fx\n", id, a, b,
        (a > 0 ? b / a : 0)
    }
  }' "$work/again.csv" | sort

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
cat "$work"/s20k/* >/dev/null  # both runs start from a warm page cache
t_cat=$(best_of_3 sh -c "cat '$work'/s20k/* > /dev/null")
t_prune=$(best_of_3 "$prog" prune --search-dir "$work/s20k" --dry-run --now "$now" --no-syslog --no-log)
"$prog" prune --search-dir "$work/s20k" --dry-run --now "$now" --no-syslog --no-log 2>&1 | tail -1 |
  sed 's/^[^ ]* \[[^]]*\] [A-Z]* *//; s/^/  /'
printf '  cat of the meta files: %.3f s\n  prune --dry-run:       %.3f s\n' "$t_cat" "$t_prune"
ratio=$(echo "$t_prune / $t_cat" | bc -l)
printf '  ratio prune / cat: %.2fx  (goal <= 1.5x) %s\n' "$ratio" \
  "$( [ "$(echo "$ratio <= 1.5" | bc -l)" = 1 ] && echo ok || echo MISSED)"
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
