#!/usr/bin/env bash
# Prune at scale. Prints:
#  - the planning time of 100,000 entries over that of 10,000, per catalog
#    shape (goal: at most 15; an O(n log n) plan gives about 12.5 in work,
#    and whatever the larger catalog loses to the slower cache comes on top);
#  - the time of "prune --dry-run" over 20,000 header-only backups next to the
#    time of reading the same meta files with cat (goal: at most 1.5);
#  - the peak resident memory of "prune --dry-run" over 100,000 entries
#    (goal: under 64 MiB).
# Sparse meta files keep the stores small on disk; everything is removed at
# the end. Run from anywhere; builds what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target zuv_maintenance zuv_bench_prune >/dev/null
prog=$PWD/build/zuv_maintenance
bench=$PWD/build/zuv_bench_prune

work=$(mktemp -d /tmp/zuv-prune-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The machine is shared: a build of someone else's that starts while one
# size runs skews that size alone: one run per size gave 11.9x and 15.5x
# for the same code a minute apart. So each plan is timed
# in five repetitions, the repetitions of all sizes and shapes run in a
# shuffled order (a burst of load then hits both sizes alike), and both the
# median and the best of the five are printed. The goal is checked on the
# best: load from elsewhere only ever adds time, so the best is the closest
# to what the plan itself costs; the ratio of the medians stands beside it.
echo "== planning in memory (Google Benchmark, CPU time per plan, 5 runs in shuffled order)"
"$bench" --benchmark_format=csv --benchmark_repetitions=5 \
  --benchmark_enable_random_interleaving=true 2>/dev/null >"$work/plan.csv"
awk -F, '
  /^"BM_/ {
    name = $1; gsub(/"/, "", name)
    stat = ""
    if (name ~ /_(mean|median|stddev|cv)$/) {
      stat = name; sub(/.*_/, "", stat); sub(/_[a-z]+$/, "", name)
    }
    sub(/shape:0/, "one long chain", name)
    sub(/shape:1/, "many short chains", name)
    sub(/shape:2/, "many names", name)
    split(name, part, "/n:")
    n = part[2]; sub(/\/.*/, "", n)  # the entry count, without "/min_time:..."
    id = part[1] "/" n
    if (stat == "median") median[id] = $4
    if (stat == "" && (!(id in best) || $4 < best[id])) best[id] = $4
    key[part[1]] = 1
  }
  END {
    for (k in key) {
      for (s = 10000; s <= 100000; s *= 10)
        printf "%s\t  %-34s n=%-6d median %7.2f ms  best %7.2f ms\n", k, k, s, median[k "/" s], best[k "/" s]
      if (best[k "/10000"] <= 0 || best[k "/100000"] <= 0) {
        printf "%s\t  %-34s no figure for 10k or 100k  MISSED\n", k, k
        continue
      }
      r = best[k "/100000"] / best[k "/10000"]
      m = median[k "/10000"] > 0 ? median[k "/100000"] / median[k "/10000"] : 0
      printf "%s\t  %-34s 100k / 10k = %5.1fx best, %5.1fx median  (goal <= 15x) %s\n", k, k, r, m,
        (r <= 15 ? "ok" : "MISSED")
    }
  }' "$work/plan.csv" | sort -s -t"$(printf '\t')" -k1,1 | cut -f2-

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
