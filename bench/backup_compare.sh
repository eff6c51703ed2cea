#!/usr/bin/env bash
# Times `tav backup` against general imaging and compression tools on the same reference disk
# (bench/make_reference_disk.sh) and prints them side by side, then the incremental backup after
# about 5% of the files changed, and two target checks.
#
# usage: backup_compare.sh [WORKDIR]          (default WORKDIR: /tmp/tav-backup-bench)
#   BENCH_REUSE_DISK=1  reuse WORKDIR/ref-pristine.img from an earlier run instead of making it
#   BENCH_SKIP_BUILD=1  use the tav already built in WORKDIR/build-release
#
# Builds tav in Release in WORKDIR/build-release. Every run starts with a cold page cache when
# run as root (sync; drop caches), and its time includes a final sync so that tools which leave
# data in the page cache pay for writing it like the rest. partclone and fsarchiver read the
# partition through a read-only loop device the script attaches (root only) and always detaches;
# no other device is touched. A tool that is not installed is listed as skipped.
# Everything stays in WORKDIR; it needs about 5 GiB free.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${1:-/tmp/tav-backup-bench}
mkdir -p "$work"
work=$(cd "$work" && pwd)
log="$work/logs"
rm -rf "$log" "$work/out"
mkdir -p "$log" "$work/out"
out="$work/out"

die() { echo "backup_compare: $*" >&2; exit 1; }
is_root() { [[ $(id -u) -eq 0 ]]; }

# ---- the loop device: attached by us, detached by us in every outcome ----------------------
loopdev=""
detach_loop() {
  if [[ -n $loopdev ]]; then
    losetup -d "$loopdev" 2>/dev/null || echo "backup_compare: could not detach $loopdev" >&2
    loopdev=""
  fi
}
trap detach_loop EXIT
trap 'exit 130' INT TERM

drop_caches() {
  sync
  if is_root && [[ -w /proc/sys/vm/drop_caches ]]; then
    echo 3 >/proc/sys/vm/drop_caches
  fi
}

# ---- build -----------------------------------------------------------------------------------
build="$work/build-release"
if [[ ${BENCH_SKIP_BUILD:-0} != 1 ]]; then
  echo "== building tav (Release) in $build"
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAV_BUILD_TESTS=OFF \
    -DTAV_BUILD_BENCH=OFF >"$log/cmake.log" 2>&1 ||
    { tail -20 "$log/cmake.log"; die "cmake failed"; }
  cmake --build "$build" --target tav -j2 >"$log/build.log" 2>&1 ||
    { tail -30 "$log/build.log"; die "build failed"; }
fi
tav="$build/bin/tav"
[[ -x $tav ]] || tav=$(find "$build" -name tav -type f -perm -u+x | head -1)
[[ -n $tav && -x $tav ]] || die "no tav binary in $build"
export TAV_HOME="$work/tav-home" TAV_RUN_DIR="$work/tav-run"
mkdir -p "$TAV_HOME" "$TAV_RUN_DIR"

# ---- the reference disk ----------------------------------------------------------------------
source "$repo/bench/reference_disk.sh"
used_full=$(used_bytes)
(( used_full > 0 )) || die "could not read the file system's block counts"

# ---- result rows -----------------------------------------------------------------------------
names=() secs=() sizes=() useds=() notes=()
add_row() { names+=("$1"); secs+=("$2"); sizes+=("$3"); useds+=("$4"); notes+=("$5"); }
skip_row() { add_row "$1" "" "" "" "$2"; echo "   $1: $2"; }

now() { date +%s.%N; }
size_of() { du -sb "$@" 2>/dev/null | awk '{s+=$1} END {printf "%d\n", s}'; }

# timed NAME OUTPUT-PATH USED COMMAND... : runs COMMAND from a cold cache, adds a row.
timed() {
  local name=$1 target=$2 used=$3
  shift 3
  local slug=${name//[^A-Za-z0-9]/_}
  drop_caches
  echo "   $name ..."
  local t0 t1 rc
  t0=$(now)
  "$@" >"$log/$slug.out" 2>"$log/$slug.err"
  rc=$?
  sync
  t1=$(now)
  if (( rc != 0 )); then
    tail -5 "$log/$slug.err" >&2
    add_row "$name" "" "" "" "FAILED (exit $rc, see $log/$slug.err)"
    return 1
  fi
  add_row "$name" "$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}')" \
    "$(size_of "$target")" "$used" ""
}

have() { command -v "$1" >/dev/null 2>&1; }

echo "== full backups of $(awk -v u="$used_full" 'BEGIN {printf "%.1f", u / 1048576}') MiB used" \
  "(load average: $(cut -d' ' -f1-3 /proc/loadavg))"

# tav: one fresh storage directory per compression level.
tav_ok=1
for level in none normal high; do
  if ! timed "tav backup --compress $level" "$out/tav-$level" "$used_full" \
      "$tav" --yes backup "$img" "$out/tav-$level" --compress "$level"; then
    tav_ok=0
  fi
done

# Tools that read the partition as a block device get a read-only loop device.
if is_root && have losetup; then
  loopdev=$(losetup --find --show -r -o "$part_offset" --sizelimit $((part_size * 512)) "$img") ||
    { loopdev=""; echo "   could not attach a loop device"; }
fi

pc() { partclone.ext4 -c -q -s "$loopdev" -L "$log/partclone-$1.log" "${@:2}"; }
pc_clone() { pc plain -O "$1"; }
pc_gzip() { pc gzip -o - | gzip -6 >"$1"; }
pc_zstd() { pc zstd -o - | zstd -q -T0 >"$1"; }

# Each line: row name; function; output file; programs it needs.
for entry in "partclone.ext4 -c;pc_clone;partclone.img;partclone.ext4" \
            "partclone.ext4 | gzip -6;pc_gzip;partclone.img.gz;partclone.ext4 gzip" \
            "partclone.ext4 | zstd -T0;pc_zstd;partclone.img.zst;partclone.ext4 zstd"; do
  IFS=';' read -r name fn file needs <<<"$entry"
  missing=""
  for t in $needs; do have "$t" || missing+=" $t"; done
  if [[ -n $missing ]]; then skip_row "$name" "skipped (not installed:$missing)"
  elif [[ -z $loopdev ]]; then skip_row "$name" "skipped (needs root for a loop device)"
  else timed "$name" "$out/$file" "$used_full" "$fn" "$out/$file"
  fi
done

fsa="fsarchiver savefs -j2 -Z3"
if ! have fsarchiver; then skip_row "$fsa" "skipped (not installed)"
elif [[ -z $loopdev ]]; then skip_row "$fsa" "skipped (needs root for a loop device)"
else
  timed "$fsa" "$out/fsarchiver.fsa" "$used_full" \
    fsarchiver savefs -o -j2 -Z3 "$out/fsarchiver.fsa" "$loopdev"
fi
detach_loop

if ! have qemu-img; then skip_row "qemu-img convert -c -O qcow2" "skipped (not installed)"
else
  timed "qemu-img convert -c -O qcow2" "$out/ref.qcow2" "$used_full" \
    qemu-img convert -c -O qcow2 "$img" "$out/ref.qcow2"
fi

# ---- the incremental -------------------------------------------------------------------------
echo "== changing about 5% of the files"
"$repo/bench/make_reference_disk.sh" --change "$img" >"$log/change.log" 2>&1 ||
  { cat "$log/change.log"; die "changing the reference disk failed"; }
grep 'change rewrites' "$log/change.log" | sed 's/^make_reference_disk: /   /'
used_changed=$(used_bytes)
inc_name="tav backup --type incremental"
if [[ $tav_ok == 1 && -d $out/tav-normal ]]; then
  before=$(size_of "$out/tav-normal")
  if timed "$inc_name" "$out/tav-normal" "$used_changed" \
      "$tav" --yes backup "$img" "$out/tav-normal" --type incremental --compress normal; then
    # The incremental's output is what it added to the storage.
    sizes[-1]=$(( sizes[-1] - before ))
  fi
else
  skip_row "$inc_name" "skipped (the full tav backup failed)"
fi

# ---- the table -------------------------------------------------------------------------------
find_row() {  # index of the row named $1 that has a time, else -1
  local i
  for i in "${!names[@]}"; do
    if [[ ${names[$i]} == "$1" && -n ${secs[$i]} ]]; then echo "$i"; return; fi
  done
  echo -1
}
mib() { awk -v b="$1" 'BEGIN {printf "%.1f", b / 1048576}'; }

ref=$(find_row "tav backup --compress normal")
ref_s=""; ref_b=""
if (( ref >= 0 )); then ref_s=${secs[$ref]}; ref_b=${sizes[$ref]}; fi

echo
echo "Reference disk: 1 GiB MBR image, one ext4 partition, $(mib "$used_full") MiB used"
echo "MB/s: used bytes of the file system / 10^6 / seconds. Ratios: to tav backup --compress"
echo "normal. Times include a final sync."
rule=$(printf '%*s' 32 '' | tr ' ' -)
printf '%-32s %9s %9s %11s %8s %8s\n' tool seconds "MB/s" "output MiB" "time x" "size x"
printf '%-32s %9s %9s %11s %8s %8s\n' "$rule" ------- ------- ---------- ------ ------
for i in "${!names[@]}"; do
  if [[ -z ${secs[$i]} ]]; then
    printf '%-32s %s\n' "${names[$i]}" "${notes[$i]}"
    continue
  fi
  awk -v n="${names[$i]}" -v s="${secs[$i]}" -v b="${sizes[$i]}" -v u="${useds[$i]}" \
      -v rs="$ref_s" -v rb="$ref_b" 'BEGIN {
    tx = (rs != "" && rs > 0) ? sprintf("%.2f", s / rs) : "-"
    sx = (rb != "" && rb > 0) ? sprintf("%.2f", b / rb) : "-"
    mbs = s > 0 ? u / 1e6 / s : 0
    printf "%-32s %9.2f %9.1f %11.1f %8s %8s\n", n, s, mbs, b / 1048576, tx, sx }'
done

# ---- the target checks -----------------------------------------------------------------------
echo
check1="check 1 (normal >= 3x throughput of partclone|gzip -6, output <= 110% of it)"
check2="check 2 (incremental <= 50% of full backup time)"
gz=$(find_row "partclone.ext4 | gzip -6")
inc=$(find_row "$inc_name")
if [[ -z $ref_s ]]; then
  echo "$check1: SKIP (tav backup --compress normal did not run)"
elif (( gz < 0 )); then
  echo "$check1: SKIP (partclone|gzip did not run)"
else
  awk -v title="$check1" -v ts="$ref_s" -v tb="$ref_b" -v gs="${secs[$gz]}" -v gb="${sizes[$gz]}" '
  BEGIN {
    speed = gs / ts; size = tb / gb
    printf "%s: %s\n", title, (speed >= 3 && size <= 1.10) ? "PASS" : "FAIL"
    printf "   throughput %.2fx (tav normal %.2f s, partclone|gzip -6 %.2f s)\n", speed, ts, gs
    printf "   output %.1f%% (tav normal %.1f MiB, partclone|gzip -6 %.1f MiB)\n",
      size * 100, tb / 1048576, gb / 1048576 }'
fi
if [[ -z $ref_s || $inc -lt 0 ]]; then
  echo "$check2: SKIP (a tav backup did not run)"
else
  awk -v title="$check2" -v fs="$ref_s" -v is="${secs[$inc]}" 'BEGIN {
    r = is / fs
    printf "%s: %s\n", title, (r <= 0.5 ? "PASS" : "FAIL")
    printf "   incremental %.2f s = %.1f%% of the full normal backup, %.2f s\n", is, r * 100, fs }'
fi
echo
echo "logs: $log"
