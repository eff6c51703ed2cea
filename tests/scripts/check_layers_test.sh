#!/usr/bin/env bash
# scripts/check-layers.sh on small trees and on a copy of this checkout: it passes a tree that
# keeps the layer order, and fails, naming file and line, on each include planted against it.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
check="$top/scripts/check-layers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A tree whose includes all run downward (tests/ may include anything).
make_tree() {
  local t=$1
  mkdir -p "$t"/{core,format,disk,image,engine,daemons/tavmount/protocol,daemons/tavserv,services,ui,app,rescue,cli,tests}
  printf '#pragma once\n' > "$t/core/a.h"
  printf '#pragma once\n#include "core/a.h"\n' > "$t/format/f.h"
  printf '#include "disk/d.h"\n\n#include "core/a.h"\n#include "format/f.h"\n' > "$t/disk/d.cc"
  printf '#pragma once\n#include "format/f.h"\n' > "$t/disk/d.h"
  printf '#pragma once\n#include "disk/d.h"\n' > "$t/image/i.h"
  printf '#pragma once\n#include "image/i.h"\n' > "$t/engine/e.h"
  printf '#pragma once\n#include "core/a.h"\n' > "$t/daemons/tavmount/protocol/p.h"
  printf '#include "daemons/tavmount/protocol/p.h"\n#include "image/i.h"\n' > "$t/daemons/tavmount/m.cc"
  printf '#include "daemons/tavmount/protocol/p.h"\n' > "$t/daemons/tavserv/s.cc"
  printf '#pragma once\n#include "daemons/tavmount/protocol/p.h"\n#include "engine/e.h"\n' > "$t/services/s.h"
  printf '#pragma once\n#include "services/s.h"\n' > "$t/ui/u.h"
  printf '#include "ui/u.h"\n' > "$t/app/main.cc"
  printf '#include "ui/u.h"\n' > "$t/rescue/main.cc"
  printf '#include "services/s.h"\n#include "app/x.h"\n' > "$t/cli/c.cc"
  printf '#include "cli/c.h"\n#include "tests/t.h"\n' > "$t/tests/t.cc"
}

make_tree "$work/clean"
if ! out=$("$check" "$work/clean" 2>&1); then fail "a tree in layer order was refused: $out"; fi

# Each case: file to plant in, its line, and the include planted there.
cases=(
  "disk/planted.h|2|image/i.h"                      # the disk library reaching up to the catalogue
  "format/planted.cc|1|disk/d.h"
  "core/planted.h|3|cli/c.h"
  "app/planted.cc|2|rescue/r.h"                     # peers do not include each other
  "daemons/tavmount/planted.cc|1|daemons/tavserv/s.h"
  "daemons/tavmount/protocol/planted.h|2|services/s.h"
  "engine/planted.cc|1|tests/t.h"                   # product code never includes test code
  "image/planted.h|2|engine/e.h"
)
n=0
for c in "${cases[@]}"; do
  IFS='|' read -r file line include <<<"$c"
  n=$((n + 1))
  t="$work/case$n"
  make_tree "$t"
  { for ((i = 1; i < line; ++i)); do echo "// line $i"; done
    echo "#  include \"$include\"  // planted"; } > "$t/$file"
  if out=$("$check" "$t" 2>&1); then
    fail "$file including $include passed"
  elif ! grep -q "^$file:$line: includes \"$include\"" <<<"$out"; then
    fail "$file including $include: the report does not name $file:$line: $out"
  fi
done

# A copy of this checkout's layer folders passes, and fails on one planted upward include.
copy="$work/checkout"
mkdir -p "$copy"
for folder in core format disk image engine daemons services ui app rescue cli; do
  [ -d "$top/$folder" ] && cp -r "$top/$folder" "$copy/"
done
if ! out=$("$check" "$copy" 2>&1); then fail "this checkout breaks the layer order: $out"; fi
line=$(grep -n '^#include "' "$copy/disk/disk.h" | head -1 | cut -d: -f1)
sed -i "${line}i #include \"engine/backup.h\"" "$copy/disk/disk.h"
if out=$("$check" "$copy" 2>&1); then
  fail "disk/disk.h including engine/backup.h passed"
elif ! grep -q "^disk/disk.h:$line: " <<<"$out"; then
  fail "the report does not name disk/disk.h:$line: $out"
fi

[ $failures -eq 0 ] || exit 1
echo "check-layers: the order holds on the clean trees and ${n} planted includes plus one in the checkout are caught"
