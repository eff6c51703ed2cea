# The reference disk of the backup and restore benchmarks, sourced by them. Needs `repo`, `work`,
# `log` and a `die` function from the sourcing script; sets `pristine` (the disk as made),
# `img` (a fresh sparse copy to work on), `part_start`, `part_size` and `part_offset` (its one
# partition, from the MBR), and defines used_bytes.
# BENCH_REUSE_DISK=1 reuses WORKDIR/ref-pristine.img from an earlier run.

pristine="$work/ref-pristine.img"
img="$work/ref.img"
if [[ ${BENCH_REUSE_DISK:-0} != 1 || ! -f $pristine ]]; then
  echo "== making the reference disk"
  "$repo/bench/make_reference_disk.sh" "$pristine" >"$log/make_disk.log" 2>&1 ||
    { cat "$log/make_disk.log"; die "making the reference disk failed"; }
fi
cp --sparse=always "$pristine" "$img"

read -r part_start part_size < <(sfdisk -d "$img" |
  sed -n 's/.*start= *\([0-9]*\), *size= *\([0-9]*\).*/\1 \2/p' | head -1)
[[ -n ${part_start:-} ]] || die "no partition in $img"
part_offset=$((part_start * 512))

used_bytes() {  # used bytes of the ext4 file system in $img: (blocks - free blocks) * block size
  dumpe2fs -h "$img?offset=$part_offset" 2>/dev/null | awk -F: '
    /^Block count/ {n=$2} /^Free blocks/ {f=$2} /^Block size/ {b=$2}
    END {printf "%d\n", (n - f) * b}'
}
