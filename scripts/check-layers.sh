#!/usr/bin/env bash
# Checks that every folder includes only from the folders below it: check-layers.sh [TREE]
# (default: this checkout). The layers, bottom to top:
#   core < format < disk < image < engine < daemons/tavmount < daemons/tavserv < services < ui
#   < app, rescue (side by side: neither includes the other) < cli
# A file may include from its own layer and the layers below; no layer includes from tests/ or
# bench/, which may include anything. Every include against the order is printed as
# "FILE:LINE: ..." and makes the script fail (exit 1).
set -euo pipefail
tree=${1:-$(cd "$(dirname "$0")/.." && pwd)}
[ -d "$tree" ] || { echo "check-layers: no folder $tree" >&2; exit 2; }

# Folder and rank of each layer; folders of one rank are peers.
layers="core:0 format:1 disk:2 image:3 engine:4 daemons/tavmount:5 daemons/tavserv:6 services:7 ui:8 app:9 rescue:9 cli:10"

files=()
for entry in $layers; do
  folder=${entry%%:*}
  [ -d "$tree/$folder" ] || continue
  while IFS= read -r -d '' f; do files+=("${f#"$tree"/}"); done < <(
    find "$tree/$folder" -type f \( -name '*.h' -o -name '*.hh' -o -name '*.hpp' -o -name '*.c' \
      -o -name '*.cc' -o -name '*.cpp' -o -name '*.cxx' -o -name '*.inc' \) -print0 | sort -z)
done
[ ${#files[@]} -gt 0 ] || { echo "check-layers: no source files below $tree" >&2; exit 2; }

cd "$tree"
awk -v layers="$layers" '
  BEGIN {
    n = split(layers, entries, " ")
    for (i = 1; i <= n; ++i) { split(entries[i], kv, ":"); folder[i] = kv[1]; rank[kv[1]] = kv[2] + 0 }
    bad = 0
  }
  # The layer folder a path lies in ("" when none): the longest layer folder that prefixes it.
  function layer_of(path,    i, best) {
    best = ""
    for (i = 1; i <= n; ++i)
      if (index(path, folder[i] "/") == 1 && length(folder[i]) > length(best)) best = folder[i]
    return best
  }
  FNR == 1 { own = layer_of(FILENAME) }
  /^[ \t]*#[ \t]*include[ \t]*"/ {
    line = $0
    sub(/^[^"]*"/, "", line)
    sub(/".*$/, "", line)
    if (index(line, "tests/") == 1 || index(line, "bench/") == 1) {
      printf "%s:%d: includes \"%s\": the %s layer may not include test or benchmark code\n", FILENAME, FNR, line, own
      bad = 1
      next
    }
    target = layer_of(line)
    if (target == "" || target == own) next
    if (rank[target] >= rank[own]) {
      printf "%s:%d: includes \"%s\": the %s layer may include only from layers below it, and %s is %s\n",
             FILENAME, FNR, line, own, target, (rank[target] == rank[own] ? "beside it" : "above it")
      bad = 1
    }
  }
  END { exit bad }
' "${files[@]}" || { echo "check-layers: includes against the layer order (see above)" >&2; exit 1; }
