#!/usr/bin/env bash
# The include graph of src/ runs one way:
#
#   base <- codec <- store <- {ops, setup} <- cli
#
# A file includes headers of its own directory and of the layers below it;
# ops/ and setup/ stand side by side and include neither each other. Inside a
# directory, files include each other without a cycle (a .h and its .cc count
# as one). Every include that breaks this is printed with its file and line,
# and the check fails.
#
# Usage: scripts/check-layers.sh [ROOT]   (ROOT: the tree to check, default
# the one this script is in). Needs bash, find and awk only.
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"

mapfile -d '' files < <(find src -type f \( -name '*.h' -o -name '*.cc' \) -print0 | sort -z)
if [ "${#files[@]}" -eq 0 ]; then
  echo "check-layers: no sources under $PWD/src" >&2
  exit 1
fi

awk '
function stem(name) {
  sub(/\.(h|cc)$/, "", name)
  return name
}
function fail(text) {
  print text > "/dev/stderr"
  bad++
}
# Depth-first walk; a unit met again while still on the path closes a cycle.
function walk(u,    i, n, next_units, v, k, text) {
  state[u] = 1
  path[++depth] = u
  n = split(adj[u], next_units, " ")
  for (i = 1; i <= n; i++) {
    v = next_units[i]
    if (state[v] == 1) {
      text = ""
      for (k = 1; k <= depth; k++) if (text != "" || path[k] == v) text = text path[k] " -> "
      fail("check-layers: include cycle: " text v " (" why[u, v] ")")
    } else if (state[v] == 0) {
      walk(v)
    }
  }
  depth--
  state[u] = 2
}
BEGIN {
  rank["base"] = 0; rank["codec"] = 1; rank["store"] = 2
  rank["ops"] = 3; rank["setup"] = 3; rank["cli"] = 4
  order = "base <- codec <- store <- {ops, setup} <- cli"
}
FNR == 1 {
  n = split(FILENAME, part, "/")
  dir = part[2]
  unit = dir "/" stem(part[n])
  units[unit] = 1
  if (n != 3 || !(dir in rank))
    fail(FILENAME ": not in a layer directory (src/<layer>/<file>; " order ")")
}
/^[ \t]*#[ \t]*include[ \t]*"/ {
  match($0, /"[^"]*"/)
  inc = substr($0, RSTART + 1, RLENGTH - 2)
  where = FILENAME ":" FNR ": #include \"" inc "\""
  if (split(inc, q, "/") != 2 || !(q[1] in rank)) {
    fail(where ": names no header of a layer (write \"<layer>/<file>.h\")")
    next
  }
  if (q[1] != dir && rank[q[1]] >= rank[dir]) {
    fail(where ": " dir "/ may not include " q[1] "/ (" order ")")
    next
  }
  to = q[1] "/" stem(q[2])
  if (to != unit && !((unit, to) in why)) {
    why[unit, to] = FILENAME ":" FNR
    adj[unit] = adj[unit] " " to
  }
}
END {
  for (u in units) if (state[u] == 0) walk(u)
  if (bad) {
    printf "check-layers: %d problem(s); the layers are %s\n", bad, order > "/dev/stderr"
    exit 1
  }
  printf "check-layers: ok (%d files)\n", FILES
}
' FILES="${#files[@]}" "${files[@]}"
