#!/usr/bin/env bash
# Speed and memory of synthetic-full and recompress, each next to its floor,
# measured in the same run:
#  - synthetic-full moves payloads without decoding them, so its floor is a
#    durable copy: cp of as many bytes as the new image holds, then sync of
#    the copy. Goal: at most 1.2 times that.
#  - recompress is bound by the codecs, so its floor is zuv_bench_synth: the
#    same blocks decoded and encoded with the same codec and level in a tight
#    loop, written back to back and flushed. Goal: at most 1.1 times that.
#  - Peak RSS of both at two store sizes: it must not grow with the image.
# Each figure is the best of REPS runs (default 3). Everything lives in one
# temporary folder under /tmp that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUV_BUILD_BENCH=ON >/dev/null
cmake --build build -j2 --target zuv_maintenance zuv_mkstore zuv_bench_synth >/dev/null
prog=$PWD/build/zuv_maintenance
mkstore=$PWD/build/zuv_mkstore
floor=$PWD/build/zuv_bench_synth
reps=${REPS:-3}
work=$(mktemp -d /tmp/zuv-bench-synth.XXXXXX)
trap 'rm -rf "$work"' EXIT

# timed CMD...: runs it, sets $secs (wall clock) and $rss_kib (peak RSS).
timed() {
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$work/rss" "$@" >"$work/stdout" 2>"$work/stderr" || {
    cat "$work/stderr" >&2
    return 1
  }
  t1=$(date +%s%N)
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  rss_kib=$(tail -n 1 "$work/rss")
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a + 0 < b + 0) ? a : b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1048576 }'; }

# chain DIR FULL_VOLUME INC_BLOCKS: a FULL of incompressible 2 MiB blocks and
# an INC that replaces some of them; prints the INC's meta path.
chain() {
  mkdir -p "$1"
  local full
  full=$("$mkstore" backup --dir "$1" --name db --block-size 2M --volume-size "$2" \
    --content random --stem db-full)
  "$mkstore" backup --dir "$1" --name db --kind inc --parent "$full" --blocks "$3" \
    --content random --seed 2 --stem db-inc
}

# synth_run TARGET DIR: one collapse into a fresh output folder.
synth_run() {
  rm -rf "$work/out" && mkdir -p "$work/out" && sync
  timed "$prog" synthetic-full --target "$1" --search-dir "$2" --out "$work/out" --name synth \
    --no-syslog --no-log
}

echo "== synthetic-full: chain of 448 MiB FULL + 64 MiB INC (512 MiB of payloads)"
inc=$(chain "$work/big" 448M 0-31)
best_synth="" best_cp=""
for _ in $(seq "$reps"); do
  synth_run "$inc" "$work/big"
  best_synth=$(min "$secs" "$best_synth")
  synth_rss_big=$rss_kib
  image=$(ls "$work"/out/*.csfb)
  image_bytes=$(stat -c %s "$image")
  rm -rf "$work/out" && mkdir -p "$work/out" && sync
  timed bash -c 'cp "$1" "$2" && sync "$2"' _ "$work/big/db-full.csfb" "$work/out/copy"
  best_cp=$(min "$secs" "$best_cp")
done
[ "$(stat -c %s "$work/big/db-full.csfb")" = "$image_bytes" ] || echo "(copy size differs from the new image)"
echo "new image $(mib "$image_bytes") MiB"
echo "synthetic-full ${best_synth}s   cp + sync ${best_cp}s   ratio $(ratio "$best_synth" "$best_cp") (goal <= 1.2)"
inc_small=$(chain "$work/small" 112M 0-7)
synth_run "$inc_small" "$work/small"
echo "peak RSS: $(mib $((rss_kib * 1024))) MiB for a 128 MiB chain, $(mib $((synth_rss_big * 1024))) MiB for 512 MiB"
rm -rf "$work/big" "$work/small" "$work/out"

# A realistic mixed store (about 3:1 with zstd), zstd level 3, to lz4.
echo
echo "== recompress: 512 MiB volume, zstd level 3 -> lz4"
mkdir -p "$work/pristine" "$work/r"
"$mkstore" backup --dir "$work/pristine" --name db --block-size 2M --volume-size 512M \
  --content mixed --codec zstd --level 3 --stem db >/dev/null
restore() { rm -f "$work"/r/* && cp "$work"/pristine/* "$work/r/" && sync; }
best_rc="" best_floor=""
for _ in $(seq "$reps"); do
  restore
  timed env ZUV_BENCH_META="$work/r/db.infb" ZUV_BENCH_OUT="$work/r/floor.out" \
    ZUV_BENCH_CODEC=lz4 ZUV_BENCH_LEVEL=3 "$floor" --benchmark_format=json
  best_floor=$(min "$secs" "$best_floor")
  rm -f "$work/r/floor.out" && sync
  timed "$prog" recompress --meta "$work/r/db.infb" --to lz4 --level 3 --no-syslog --no-log
  best_rc=$(min "$secs" "$best_rc")
  rc_rss_big=$rss_kib
done
echo "image $(mib "$(stat -c %s "$work/pristine/db.csfb")") MiB zstd -> $(mib "$(stat -c %s "$work/r/db.csfb")") MiB lz4"
echo "recompress ${best_rc}s   decode + encode + write + sync loop ${best_floor}s   ratio $(ratio "$best_rc" "$best_floor") (goal <= 1.1)"
rm -rf "$work/r" "$work/pristine" && mkdir -p "$work/r"
"$mkstore" backup --dir "$work/r" --name db --block-size 2M --volume-size 128M \
  --content mixed --codec zstd --level 3 --stem db >/dev/null
timed "$prog" recompress --meta "$work/r/db.infb" --to lz4 --level 3 --no-syslog --no-log
echo "peak RSS: $(mib $((rss_kib * 1024))) MiB for a 128 MiB volume, $(mib $((rc_rss_big * 1024))) MiB for 512 MiB"
