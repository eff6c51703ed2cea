#!/usr/bin/env bash
# Times, in one run on the reference disk (bench/make_reference_disk.sh): `tav backup` (normal
# compression), `tav validate` of that storage, `tav restore` of its partition onto a fresh
# partition, and `partclone.ext4 -c` then `partclone.ext4 -r` of the same partition; prints MB/s
# of the file system's used bytes for each, and two target checks:
#   1. tav restore has at least 1.5 times the throughput of partclone's restore;
#   2. tav validate has at least 2 times the throughput of our own backup.
#
# usage: restore_compare.sh [WORKDIR]          (default WORKDIR: /tmp/tav-restore-bench)
#   BENCH_REUSE_DISK=1  reuse WORKDIR/ref-pristine.img from an earlier run instead of making it
#   BENCH_SKIP_BUILD=1  use the tav already built in WORKDIR/build-release
#
# Builds tav in Release in WORKDIR/build-release. Every run starts with a cold page cache when
# run as root (sync; drop caches) and its time includes a final sync. partclone reads and writes
# the partitions through loop devices the script attaches (root only) and always detaches; no
# other device is touched. partclone is not a dependency of the suite: when it is missing (or
# without root) its rows and the first check are skipped with the reason.
# Everything stays in WORKDIR; it needs about 4 GiB free.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${1:-/tmp/tav-restore-bench}
mkdir -p "$work"
work=$(cd "$work" && pwd)
log="$work/logs"
out="$work/out"
rm -rf "$log" "$out"
mkdir -p "$log" "$out"

die() { echo "restore_compare: $*" >&2; exit 1; }
is_root() { [[ $(id -u) -eq 0 ]]; }
have() { command -v "$1" >/dev/null 2>&1; }

# ---- loop devices: attached by us, detached by us in every outcome ---------------------------
loops=()
detach_loops() {
  local l
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || echo "restore_compare: could not detach $l" >&2; done
  loops=()
}
trap detach_loops EXIT
trap 'exit 130' INT TERM
attached=""
attach() {  # attach FILE OFFSET SIZE [-r]: sets $attached to the device (not in a subshell)
  attached=$(losetup --find --show ${4:-} -o "$2" --sizelimit "$3" "$1") || { attached=""; return 1; }
  loops+=("$attached")
}

drop_caches() {
  sync
  if is_root && [[ -w /proc/sys/vm/drop_caches ]]; then echo 3 >/proc/sys/vm/drop_caches; fi
}

# ---- build and reference disk ----------------------------------------------------------------
build="$work/build-release"
if [[ ${BENCH_SKIP_BUILD:-0} != 1 ]]; then
  echo "== building tav (Release) in $build"
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAV_BUILD_TESTS=OFF \
    -DTAV_BUILD_BENCH=OFF >"$log/cmake.log" 2>&1 || { tail -20 "$log/cmake.log"; die "cmake failed"; }
  cmake --build "$build" --target tav -j2 >"$log/build.log" 2>&1 || { tail -30 "$log/build.log"; die "build failed"; }
fi
tav="$build/bin/tav"
[[ -x $tav ]] || die "no tav binary in $build"
export TAV_HOME="$work/tav-home" TAV_RUN_DIR="$work/tav-run"
mkdir -p "$TAV_HOME" "$TAV_RUN_DIR"

source "$repo/bench/reference_disk.sh"
part_bytes=$((part_size * 512))
used=$(used_bytes)
(( used > 0 )) || die "could not read the file system's block counts"

# A fresh destination disk: the reference disk's table, nothing in the partition.
fresh_disk() {
  rm -f "$1"
  truncate -s "$(stat -c %s "$img")" "$1"
  sfdisk -d "$img" | sfdisk --quiet "$1" >/dev/null
}

# ---- timed runs ------------------------------------------------------------------------------
names=() secs=() notes=()
now() { date +%s.%N; }
timed() {  # timed NAME COMMAND...
  local name=$1 slug=${1//[^A-Za-z0-9]/_} t0 t1 rc
  shift
  drop_caches
  echo "   $name ..."
  t0=$(now)
  "$@" >"$log/$slug.out" 2>"$log/$slug.err"
  rc=$?
  sync
  t1=$(now)
  names+=("$name")
  if (( rc != 0 )); then
    tail -5 "$log/$slug.err" >&2
    secs+=(""); notes+=("FAILED (exit $rc, see $log/$slug.err)")
    return 1
  fi
  secs+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}')"); notes+=("")
}
skip() { names+=("$1"); secs+=(""); notes+=("$2"); echo "   $1: $2"; }
fs_check() {  # fs_check DISK NAME: the restored file system must check clean
  if ! e2fsck -fn "$1?offset=$part_offset" >"$log/check-$2.log" 2>&1 &&
     ! { dd if="$1" of="$out/check.img" bs=1M iflag=skip_bytes,count_bytes skip="$part_offset" \
           count="$part_bytes" status=none && e2fsck -fn "$out/check.img" >"$log/check-$2.log" 2>&1; }; then
    echo "   WARNING: the file system restored by $2 does not check clean (see $log/check-$2.log)"
  fi
  rm -f "$out/check.img"
}

echo "== $(awk -v u="$used" 'BEGIN {printf "%.1f", u / 1048576}') MiB used" \
  "(load average: $(cut -d' ' -f1-3 /proc/loadavg))"
store="$out/store"
if timed "tav backup" "$tav" --yes backup "$img" "$store" --compress normal; then
  timed "tav validate" "$tav" validate "$store"
  fresh_disk "$out/dest.img"
  timed "tav restore" "$tav" restore "$store" --snapshot 1 --partition 1 --to "$out/dest.img:1" --yes &&
    fs_check "$out/dest.img" tav
else
  skip "tav validate" "skipped (the backup failed)"
  skip "tav restore" "skipped (the backup failed)"
fi
rm -f "$out/dest.img"

if ! have partclone.ext4; then
  skip "partclone.ext4 -c" "skipped (partclone is not installed)"
  skip "partclone.ext4 -r" "skipped (partclone is not installed)"
elif ! is_root; then
  skip "partclone.ext4 -c" "skipped (needs root for loop devices)"
  skip "partclone.ext4 -r" "skipped (needs root for loop devices)"
else
  attach "$img" "$part_offset" "$part_bytes" -r || die "could not attach a loop device"
  src=$attached
  if timed "partclone.ext4 -c" partclone.ext4 -c -q -s "$src" -O "$out/partclone.img" -L "$log/partclone-c.log"; then
    fresh_disk "$out/dest.img"
    attach "$out/dest.img" "$part_offset" "$part_bytes" || die "could not attach a loop device"
    dst=$attached
    timed "partclone.ext4 -r" partclone.ext4 -r -q -s "$out/partclone.img" -O "$dst" -L "$log/partclone-r.log"
    detach_loops
    fs_check "$out/dest.img" partclone
  else
    skip "partclone.ext4 -r" "skipped (partclone.ext4 -c failed)"
  fi
  detach_loops
  rm -f "$out/dest.img" "$out/partclone.img"
fi

# ---- the table and the checks ----------------------------------------------------------------
mbs() {  # MB/s of the row named $1, or empty
  local i
  for i in "${!names[@]}"; do
    if [[ ${names[$i]} == "$1" && -n ${secs[$i]} ]]; then
      awk -v u="$used" -v s="${secs[$i]}" 'BEGIN {printf "%.1f", (s > 0 ? u / 1e6 / s : 0)}'
      return
    fi
  done
}
echo
echo "Reference disk: 1 GiB MBR image, one ext4 partition, $(awk -v u="$used" 'BEGIN {printf "%.1f", u / 1048576}') MiB used"
echo "MB/s: used bytes of the file system / 10^6 / seconds (times include a final sync)."
printf '%-22s %9s %9s\n' step seconds "MB/s"
printf '%-22s %9s %9s\n' ---------------------- ------- -------
for i in "${!names[@]}"; do
  if [[ -z ${secs[$i]} ]]; then printf '%-22s %s\n' "${names[$i]}" "${notes[$i]}"; continue; fi
  printf '%-22s %9s %9s\n' "${names[$i]}" "${secs[$i]}" "$(mbs "${names[$i]}")"
done
echo
ratio_check() {  # ratio_check TITLE NUMERATOR-ROW DENOMINATOR-ROW TARGET
  local a b
  a=$(mbs "$2"); b=$(mbs "$3")
  if [[ -z $a || -z $b ]]; then echo "$1: SKIP (${2} or ${3} did not run)"; return; fi
  awk -v t="$1" -v a="$a" -v b="$b" -v x="$4" -v na="$2" -v nb="$3" 'BEGIN {
    r = (b > 0 ? a / b : 0)
    printf "%s: %s\n   %.2fx (%s %.1f MB/s, %s %.1f MB/s)\n", t, (r >= x ? "PASS" : "FAIL"), r, na, a, nb, b }'
}
ratio_check "check 1 (tav restore >= 1.5x partclone.ext4 -r)" "tav restore" "partclone.ext4 -r" 1.5
ratio_check "check 2 (tav validate >= 2x tav backup)" "tav validate" "tav backup" 2
echo
echo "logs: $log"
