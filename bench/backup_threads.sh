#!/usr/bin/env bash
# How `tav backup` scales with its compress threads, on the reference disk
# (bench/make_reference_disk.sh) with a warm page cache, beside fsarchiver and partclone, and
# against the single-core compress rate of the same data (format_bench --data). Prints a table
# and the target checks, PASS or FAIL with their numbers.
#
# usage: backup_threads.sh [WORKDIR]          (default WORKDIR: /tmp/tav-backup-bench)
#   BENCH_REUSE_DISK=1  reuse WORKDIR/ref-pristine.img from an earlier run instead of making it
#   BENCH_SKIP_BUILD=1  use the tav and format_bench already built in WORKDIR/build-release
#   BENCH_RUNS=N        runs per row, the fastest counts (default 3)
#
# Rows: --compress normal and high with "CompressThreads" 1, 2 and automatic, the automatic one
# also under `taskset -c 0` (one core); fsarchiver savefs -j2 -Z3; partclone.ext4 | zstd -T0 -3
# and partclone.ext4 | gzip -6; the incremental after about 5% of the files changed. Every row
# is timed from a warm cache (the disk image is read once before), its time includes a final
# sync, and the load average is printed with it. With perf installed, the tav rows also show the
# CPU time and the instructions they took, which the machine's load does not change much.
# partclone and fsarchiver need root (a read-only loop device of the partition, attached and
# always detached by this script); without root or the tools their rows are skipped.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${1:-/tmp/tav-backup-bench}
runs=${BENCH_RUNS:-3}
mkdir -p "$work"
work=$(cd "$work" && pwd)
log="$work/threads-logs"
out="$work/threads-out"
rm -rf "$log" "$out"
mkdir -p "$log" "$out"

die() { echo "backup_threads: $*" >&2; exit 1; }
have() { command -v "$1" >/dev/null 2>&1; }
is_root() { [[ $(id -u) -eq 0 ]]; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

loopdev=""
detach_loop() {
  if [[ -n $loopdev ]]; then
    losetup -d "$loopdev" 2>/dev/null || echo "backup_threads: could not detach $loopdev" >&2
    loopdev=""
  fi
}
trap detach_loop EXIT
trap 'exit 130' INT TERM

# ---- build -----------------------------------------------------------------------------------
build="$work/build-release"
if [[ ${BENCH_SKIP_BUILD:-0} != 1 ]]; then
  echo "== building tav and format_bench (Release) in $build"
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAV_BUILD_TESTS=OFF \
    >"$log/cmake.log" 2>&1 || { tail -20 "$log/cmake.log"; die "cmake failed"; }
  cmake --build "$build" --target tav format_bench -j2 >"$log/build.log" 2>&1 ||
    { tail -30 "$log/build.log"; die "build failed"; }
fi
tav=$(find "$build/" -name tav -type f -perm -u+x | head -1)
fbench=$(find "$build/" -name format_bench -type f -perm -u+x | head -1)
[[ -n $tav ]] || die "no tav binary in $build"
export TAV_HOME="$work/threads-home" TAV_RUN_DIR="$work/tav-run"
mkdir -p "$TAV_HOME" "$TAV_RUN_DIR"

# ---- the reference disk ----------------------------------------------------------------------
source "$repo/bench/reference_disk.sh"
used_full=$(used_bytes)
(( used_full > 0 )) || die "could not read the file system's block counts"
cores=$(nproc)

# ---- rows ------------------------------------------------------------------------------------
names=() secs=() sizes=() useds=() cpus=() instrs=() loads=() notes=()
add_row() {
  names+=("$1"); secs+=("$2"); sizes+=("$3"); useds+=("$4"); cpus+=("$5"); instrs+=("$6"); loads+=("$7")
  notes+=("$8")
}
skip_row() { add_row "$1" "" "" "" "" "" "" "$2"; echo "   $1: $2"; }
now() { date +%s.%N; }
size_of() { du -sb "$@" 2>/dev/null | awk '{s+=$1} END {printf "%d\n", s}'; }
settings() {  # settings THREADS: "CompressThreads" for the next tav run (empty: automatic)
  if [[ -n $1 ]]; then printf '[Adjustment]\nCompressThreads=%s\n' "$1" >"$TAV_HOME/Settings.ini"
  else rm -f "$TAV_HOME/Settings.ini"; fi
}
warm() { cat "$img" >/dev/null; }

# timed NAME TARGET USED PREP COMMAND...: runs PREP then COMMAND `runs` times from a warm cache,
# keeps the fastest run (its time, CPU time and instructions), adds a row. PREP empties TARGET.
timed() {
  local name=$1 target=$2 used=$3 prep=$4
  shift 4
  local slug=${name//[^A-Za-z0-9]/_} best="" best_cpu="" best_ins="" best_load="" i rc t0 t1 s
  echo "   $name ..."
  for ((i = 0; i < runs; i++)); do
    eval "$prep"
    warm
    sync
    local l
    l=$(load)
    t0=$(now)
    if [[ $perf == 1 && ($1 == "$tav" || $1 == taskset) ]]; then
      perf stat -x, -e task-clock,instructions,cycles -o "$log/$slug.perf" "$@" >"$log/$slug.out" 2>"$log/$slug.err"
    else
      "$@" >"$log/$slug.out" 2>"$log/$slug.err"
    fi
    rc=$?
    sync
    t1=$(now)
    if (( rc != 0 )); then
      tail -5 "$log/$slug.err" >&2
      add_row "$name" "" "" "" "" "" "" "FAILED (exit $rc, see $log/$slug.err)"
      return 1
    fi
    s=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')
    if [[ -z $best ]] || awk -v s="$s" -v b="$best" 'BEGIN {exit !(s < b)}'; then
      best=$s best_load=$l best_cpu="" best_ins=""
      if [[ -f $log/$slug.perf ]]; then
        best_cpu=$(awk -F, '$3 == "task-clock" {printf "%.2f", $1 / 1000}' "$log/$slug.perf")
        best_ins=$(awk -F, '$3 ~ /^instructions/ && $1 ~ /^[0-9.]+$/ {printf "%.2f", $1 / 1e9}' "$log/$slug.perf")
      fi
    fi
  done
  add_row "$name" "$best" "$(size_of "$target")" "$used" "$best_cpu" "$best_ins" "$best_load" ""
}

perf=0
if have perf && perf stat -e instructions true >/dev/null 2>&1; then perf=1; fi

echo "== $(awk -v u="$used_full" 'BEGIN {printf "%.1f", u / 1048576}') MiB used, $cores logical processors," \
  "$runs runs per row (fastest counts), load average now $(load)"

for level in normal high; do
  for threads in 1 2 ""; do
    settings "$threads"
    dir="$out/tav-$level-${threads:-auto}"
    timed "tav $level, ${threads:-auto} threads" "$dir" "$used_full" "rm -rf '$dir'" \
      "$tav" --yes backup "$img" "$dir" --compress "$level"
  done
  settings ""
  dir="$out/tav-$level-auto-one-core"
  timed "tav $level, auto, taskset -c 0" "$dir" "$used_full" "rm -rf '$dir'" \
    taskset -c 0 "$tav" --yes backup "$img" "$dir" --compress "$level"
done

# ---- the other tools -------------------------------------------------------------------------
if is_root && have losetup; then
  loopdev=$(losetup --find --show -r -o "$part_offset" --sizelimit $((part_size * 512)) "$img") ||
    { loopdev=""; echo "   could not attach a loop device"; }
fi
pc() { partclone.ext4 -c -q -s "$loopdev" -L "$log/partclone-$1.log" -o - 2>/dev/null; }
pc_zstd() { pc zstd | zstd -q -T0 -3 >"$1"; }
pc_gzip() { pc gzip | gzip -6 >"$1"; }
for entry in "partclone.ext4 | zstd -T0 -3;pc_zstd;partclone.img.zst;partclone.ext4 zstd" \
            "partclone.ext4 | gzip -6;pc_gzip;partclone.img.gz;partclone.ext4 gzip"; do
  IFS=';' read -r name fn file needs <<<"$entry"
  missing=""
  for t in $needs; do have "$t" || missing+=" $t"; done
  if [[ -n $missing ]]; then skip_row "$name" "skipped (not installed:$missing)"
  elif [[ -z $loopdev ]]; then skip_row "$name" "skipped (needs root for a loop device)"
  else timed "$name" "$out/$file" "$used_full" "rm -f '$out/$file'" "$fn" "$out/$file"
  fi
done
fsa="fsarchiver savefs -j2 -Z3"
if ! have fsarchiver; then skip_row "$fsa" "skipped (not installed)"
elif [[ -z $loopdev ]]; then skip_row "$fsa" "skipped (needs root for a loop device)"
else
  timed "$fsa" "$out/fsarchiver.fsa" "$used_full" "rm -f '$out/fsarchiver.fsa'" \
    fsarchiver savefs -o -j2 -Z3 "$out/fsarchiver.fsa" "$loopdev"
fi
detach_loop

# ---- the single-core compress rate of the same data ------------------------------------------
rate_normal="" rate_high=""
if [[ -n $fbench ]]; then
  echo "   format_bench --data (the partition's non-zero units) ..."
  dd if="$img" of="$work/partition.raw" bs=1M iflag=skip_bytes,count_bytes skip="$part_offset" \
    count=$((part_size * 512)) status=none
  taskset -c 0 "$fbench" --data="$work/partition.raw" --benchmark_filter=NONE >"$log/format_bench.out" 2>&1
  rm -f "$work/partition.raw"
  sed 's/^/   /' "$log/format_bench.out" | grep -v '^   *$' | head -12
  rate_normal=$(awk '/^single-core rate normal/ {print $4}' "$log/format_bench.out")
  rate_high=$(awk '/^single-core rate high/ {print $4}' "$log/format_bench.out")
else
  echo "   format_bench was not built: no single-core rate"
fi

# ---- the incremental -------------------------------------------------------------------------
echo "== changing about 5% of the files"
"$repo/bench/make_reference_disk.sh" --change "$img" >"$log/change.log" 2>&1 ||
  { cat "$log/change.log"; die "changing the reference disk failed"; }
used_changed=$(used_bytes)
full_dir="$out/tav-normal-auto"
inc_name="tav incremental, normal, auto"
if [[ -d $full_dir ]]; then
  # Each run adds to a copy of the full storage; the output is what it added.
  timed "$inc_name" "$out/inc" "$used_changed" "rm -rf '$out/inc'; cp -a '$full_dir' '$out/inc'" \
    "$tav" --yes backup "$img" "$out/inc" --type incremental --compress normal &&
    sizes[-1]=$(( sizes[-1] - $(size_of "$full_dir") ))
else
  skip_row "$inc_name" "skipped (the full backup failed)"
fi

# ---- the table -------------------------------------------------------------------------------
find_row() {
  local i
  for i in "${!names[@]}"; do
    if [[ ${names[$i]} == "$1" && -n ${secs[$i]} ]]; then echo "$i"; return; fi
  done
  echo -1
}
echo
echo "Reference disk: $(awk -v u="$used_full" 'BEGIN {printf "%.1f", u / 1048576}') MiB used;" \
  "warm cache; MB/s = used bytes / 10^6 / seconds; CPU s and Ginstr from perf stat (tav rows)."
printf '%-34s %8s %8s %10s %7s %8s  %s\n' row seconds "MB/s" "out MiB" "CPU s" Ginstr "load (1 5 15 min)"
for i in "${!names[@]}"; do
  if [[ -z ${secs[$i]} ]]; then printf '%-34s %s\n' "${names[$i]}" "${notes[$i]}"; continue; fi
  awk -v n="${names[$i]}" -v s="${secs[$i]}" -v b="${sizes[$i]}" -v u="${useds[$i]}" -v c="${cpus[$i]:--}" \
      -v g="${instrs[$i]:--}" -v l="${loads[$i]}" 'BEGIN {
    printf "%-34s %8.2f %8.1f %10.1f %7s %8s  %s\n", n, s, u / 1e6 / s, b / 1048576, c, g, l }'
done

# ---- the target checks -----------------------------------------------------------------------
echo
normal=$(find_row "tav normal, auto threads")
fsa_i=$(find_row "$fsa")
gz=$(find_row "partclone.ext4 | gzip -6")
inc=$(find_row "$inc_name")
check() {  # check TITLE CONDITION-AWK-EXPR DETAIL-AWK-PRINTF VARS...
  local title=$1 cond=$2 detail=$3
  shift 3
  awk "$@" -v title="$title" "BEGIN { ok = ($cond); printf \"%s: %s\\n\", title, ok ? \"PASS\" : \"FAIL\"; $detail }"
}
if (( normal < 0 || fsa_i < 0 )); then
  echo "check 1 (normal >= 1.3x the throughput of $fsa): SKIP (a row did not run)"
else
  check "check 1 (normal >= 1.3x the throughput of $fsa)" "f / t >= 1.3" \
    'printf "   %.2fx (tav %.2f s, fsarchiver %.2f s)\n", f / t, t, f' -v t="${secs[$normal]}" -v f="${secs[$fsa_i]}"
fi
if (( normal < 0 || gz < 0 )); then
  echo "check 2 (normal output <= 1.05x partclone | gzip -6): SKIP (a row did not run)"
else
  check "check 2 (normal output <= 1.05x partclone | gzip -6)" "a / b <= 1.05" \
    'printf "   %.3fx (tav %.1f MiB, partclone | gzip -6 %.1f MiB)\n", a / b, a / 1048576, b / 1048576' \
    -v a="${sizes[$normal]}" -v b="${sizes[$gz]}"
fi
if (( normal < 0 )) || [[ -z $rate_normal ]]; then
  echo "check 3 (normal >= 85% of $cores x the single-core compress rate): SKIP (a row did not run)"
else
  # Beside the measured rate, the one its CPU time allows when it has every core to itself
  # (used bytes over CPU seconds / cores): on a busy machine that is the figure to compare.
  check "check 3 (normal >= 85% of $cores x the single-core compress rate)" "m / (c * r) >= 0.85" \
    'printf "   %.1f%% (tav %.1f MB/s, %d x %.1f MB/s)", 100 * m / (c * r), m, c, r;
     if (cpu > 0) printf "; from its CPU time on idle cores: %.1f%% (%.1f MB/s)", 100 * u / 1e6 / (cpu / c) / (c * r), u / 1e6 / (cpu / c);
     printf "\n"' \
    -v m="$(awk -v u="$used_full" -v s="${secs[$normal]}" 'BEGIN {print u / 1e6 / s}')" -v c="$cores" -v r="$rate_normal" \
    -v u="$used_full" -v cpu="${cpus[$normal]:-0}"
fi
if (( normal < 0 || inc < 0 )); then
  echo "check 4 (incremental <= 0.33x the full backup's time): SKIP (a row did not run)"
else
  check "check 4 (incremental <= 0.33x the full backup's time)" "i / f <= 0.33" \
    'printf "   %.2fx (incremental %.2f s, full %.2f s)\n", i / f, i, f' -v i="${secs[$inc]}" -v f="${secs[$normal]}"
fi
[[ -n $rate_high ]] && echo "(single-core rate at high: $rate_high MB/s)"
echo "logs: $log"
