#!/usr/bin/env bash
# Builds with coverage instrumentation in build-cov/, runs the whole test
# suite (which also runs the program and the store writer as child
# processes; their counts are merged in), and prints line and branch coverage
# of src/ per subsystem and in total.
#
#   scripts/coverage.sh            summary per subsystem
#   scripts/coverage.sh --files    also every file, least covered first
#   scripts/coverage.sh --html     also an HTML report in build-cov/coverage/
#   scripts/coverage.sh --errors   also every line of src/ that returns a
#                                  failure status and no test reached
#
# Branches that only exist for exception unwinding, and branches the compiler
# proves unreachable, are left out of the branch figures: they are not
# decisions of this program's code.
set -euo pipefail
cd "$(dirname "$0")/.."

files=0
html=0
errors=0
for a in "$@"; do
  case "$a" in
    --files) files=1 ;;
    --html) html=1 ;;
    --errors) errors=1 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "coverage.sh: unknown argument '$a'" >&2; exit 2 ;;
  esac
done

command -v gcovr >/dev/null || bash scripts/setup.sh
build=build-cov
jobs=$(nproc 2>/dev/null || echo 2)
# Counts from an earlier run would add up with this one, and the build's own
# test listing would write into files of the previous binaries.
[ -d "$build" ] && find "$build" -name '*.gcda' -delete
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZUV_COVERAGE=ON -DZUV_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j"$jobs" --target zuv_tests zuv_maintenance zuv_mkstore >/dev/null

find "$build" -name '*.gcda' -delete
echo "== tests (instrumented)"
"$build/tests/zuv_tests" --gtest_brief=1 >"$build/coverage-tests.log" 2>&1 || {
  tail -40 "$build/coverage-tests.log"
  echo "coverage: the test suite failed; figures would be wrong" >&2
  exit 1
}
tail -3 "$build/coverage-tests.log"

gcovr_args=(-r . --object-directory "$build" --filter 'src/' --exclude-throw-branches
            --exclude-unreachable-branches -j"$jobs")
gcovr "${gcovr_args[@]}" --json-summary "$build/coverage.json" --json "$build/coverage-lines.json" \
  >/dev/null
if [ "$html" = 1 ]; then
  mkdir -p "$build/coverage"
  gcovr "${gcovr_args[@]}" --html-details "$build/coverage/index.html" >/dev/null
  echo "HTML report: $build/coverage/index.html"
fi

python3 - "$build/coverage.json" "$files" "$build/coverage-lines.json" "$errors" <<'PY'
import json, sys

data = json.load(open(sys.argv[1]))
show_files = sys.argv[2] == "1"
areas = ["src/cli", "src/store", "src/codec", "src/ops", "src/setup"]
sums = {a: [0, 0, 0, 0] for a in areas + ["total"]}
rows = []
for f in data["files"]:
    name = f["filename"]
    area = "/".join(name.split("/")[:2])
    vals = [f["line_covered"], f["line_total"], f["branch_covered"], f["branch_total"]]
    rows.append((name, vals))
    for key in (area, "total"):
        if key in sums:
            sums[key] = [x + y for x, y in zip(sums[key], vals)]

def pct(c, t):
    return f"{100.0 * c / t:5.1f}%" if t else "    -"

print(f"{'':12} {'lines':>22} {'branches':>22}")
for key in areas + ["total"]:
    lc, lt, bc, bt = sums[key]
    label = "src (total)" if key == "total" else key
    print(f"{label:12} {pct(lc, lt)} {lc:6}/{lt:<6}    {pct(bc, bt)} {bc:6}/{bt:<6}")
if show_files:
    print()
    for name, (lc, lt, bc, bt) in sorted(rows, key=lambda r: (r[1][0] / r[1][1]) if r[1][1] else 1):
        print(f"{name:34} {pct(lc, lt)} {lc:5}/{lt:<5}  {pct(bc, bt)} {bc:5}/{bt:<5}")
if sys.argv[4] == "1":
    import re
    # A failure leaves a function as "return STATUS_X", "return s" (a
    # status passed up) or "return -N"; success returns are not listed.
    fail = re.compile(r"\breturn\s+(STATUS_(?!OK\b)[A-Z_]+|-\d+|s|st|status|rc)\s*;")
    lines = json.load(open(sys.argv[3]))
    print()
    print("failure returns no test reached:")
    n = 0
    for f in sorted(lines["files"], key=lambda f: f["file"]):
        src = open(f["file"]).read().split("\n")
        for l in f["lines"]:
            if l["count"] == 0 and not l.get("gcovr/noncode"):
                text = src[l["line_number"] - 1].strip()
                if fail.search(text):
                    print(f"  {f['file']}:{l['line_number']}: {text}")
                    n += 1
    print(f"  ({n} lines)")
PY
