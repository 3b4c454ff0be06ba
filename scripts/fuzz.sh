#!/usr/bin/env bash
# Runs the libFuzzer targets of fuzz/ (one per parser of untrusted bytes),
# built with clang, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz/.
#
#   scripts/fuzz.sh --ci          every target for a fixed number of runs from
#                                 its committed seeds (the test command's stage)
#   scripts/fuzz.sh [SECONDS]     every target for SECONDS each (default 600),
#                                 growing a kept corpus in build-fuzz/corpus/
#   scripts/fuzz.sh --target NAME [SECONDS]   one target only (meta, journal,
#                                 key_file, acl, block, options)
#   scripts/fuzz.sh --seeds       rewrites the committed seeds in fuzz/corpus/
#
# A crash stops the run with the sanitizer's report; the input that caused it
# is left as build-fuzz/artifacts/<target>/crash-* (replay it with
# build-fuzz/fuzz/zuv_fuzz_<target> FILE) and belongs in a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(meta journal key_file acl block options)
# Runs per target in --ci mode: each target's share is a few seconds on two
# busy cores (the meta and journal targets go through a file per run and
# allocate the 128 KiB header area, so they run fewer).
declare -A ci_runs=([meta]=3000 [journal]=3000 [key_file]=30000 [acl]=20000 [block]=10000
                    [options]=50000)
# Inputs as long as a few table entries or journal records past a header.
declare -A max_len=([meta]=8192 [journal]=8192 [key_file]=512 [acl]=4096 [block]=8192
                    [options]=1024)

mode=long
seconds=600
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --ci) mode=ci ;;
    --seeds) mode=seeds ;;
    --target) only="${2:-}"; shift ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *[!0-9]*|'') echo "fuzz.sh: unknown argument '$1'" >&2; exit 2 ;;
    *) seconds="$1" ;;
  esac
  shift
done
if [ -n "$only" ]; then
  case " ${targets[*]} " in
    *" $only "*) targets=("$only") ;;
    *) echo "fuzz.sh: no target '$only' (${targets[*]})" >&2; exit 2 ;;
  esac
fi

build=build-fuzz
jobs=$(nproc 2>/dev/null || echo 2)
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUV_FUZZ=ON \
  -DZUV_BUILD_TESTS=OFF -DZUV_BUILD_TOOLS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$build" -j"$jobs" --target zuv_fuzz_all >/dev/null

if [ "$mode" = seeds ]; then
  rm -rf fuzz/corpus
  "$build/fuzz/zuv_fuzz_make_seeds" fuzz/corpus
  du -sh fuzz/corpus/*
  exit 0
fi

# Files the targets write for path-taking parsers go to a scratch directory
# that is removed afterwards; memory-backed when there is one.
scratch_base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_base=/dev/shm
scratch=$(mktemp -d "$scratch_base/zuv_fuzz_run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"
# A single allocation over the rss limit (2 GiB) is reported as a crash:
# that is a size taken from the input without a check.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
for t in "${targets[@]}"; do
  artifacts="$build/artifacts/$t"
  mkdir -p "$artifacts"
  if [ "$mode" = ci ]; then
    # New inputs go to a throw-away first corpus directory; the committed
    # seeds are only read.
    grown="$scratch/corpus-$t"
    limit=(-runs="${ci_runs[$t]}" -seed=1)
  else
    grown="$build/corpus/$t"
    limit=(-max_total_time="$seconds")
  fi
  mkdir -p "$grown"
  start=$(date +%s)
  if "$build/fuzz/zuv_fuzz_$t" "$grown" "fuzz/corpus/$t" "${limit[@]}" \
      -max_len="${max_len[$t]}" -timeout=20 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/" -print_final_stats=0 >"$scratch/$t.log" 2>&1; then
    echo "fuzz $t: ok, $(grep -o 'Done [0-9]* runs' "$scratch/$t.log" | tail -1 | cut -d' ' -f2) runs in $(( $(date +%s) - start ))s"
  else
    echo "fuzz $t: FAILED"
    grep -A40 -E '^==[0-9]+==ERROR|runtime error|deadly signal' "$scratch/$t.log" | head -60 || tail -40 "$scratch/$t.log"
    ls "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-* 2>/dev/null || true
    failed+=("$t")
  fi
done

echo "fuzz: $(( ${#targets[@]} - ${#failed[@]} )) passed, ${#failed[@]} failed"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failed target(s): ${failed[*]}"
  exit 1
fi
