#!/usr/bin/env bash
# Builds fuzz targets with clang (address and undefined-behaviour sanitizers) and runs each for
# SECONDS (default 60): fuzz.sh [SECONDS] [TARGET...], every target when none is named.
# Seeds: the sample volume and one unit of it, two small disk images, and a small storage (a full
# and an incremental snapshot over several volumes). A crash, leak or timeout makes the script
# fail; its reproducer is written to build-fuzz/findings/. Runs use a fixed seed, so a run of the
# same length explores the same inputs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(volume_inspector_fuzz unit_codec_fuzz disk_fuzz image_reader_fuzz)
dir="$top/build-fuzz"

cmake -S "$top" -B "$dir" -G Ninja -DTAV_WERROR=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTAV_FUZZ=ON -DTAV_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}" make_sample_volume make_reader_seed

mkdir -p "$dir/corpus/volume" "$dir/corpus/unit" "$dir/corpus/disk" "$dir/corpus/reader" "$dir/findings"
"$dir/bin/make_sample_volume" "$dir/corpus/volume/sample.ego"
# The sample's first unit (its location entry is the unit-info record's seg_start) seeds the
# unit target; a slice of the sample is a good enough start otherwise.
head -c 60000 "$dir/corpus/volume/sample.ego" | tail -c 20000 > "$dir/corpus/unit/slice.bin"

# Small disks for the disk target: an MBR disk with a primary and an extended partition holding
# a logical one, and a FAT12 file system with a file in it.
rm -f "$dir/corpus/disk/mbr.img" "$dir/corpus/disk/fat12.img"
truncate -s 128K "$dir/corpus/disk/mbr.img"
printf 'start=8, size=64, type=c\nstart=80, size=160, type=5\nstart=96, size=64, type=83\n' |
  sfdisk --quiet "$dir/corpus/disk/mbr.img"
mkfs.fat -C "$dir/corpus/disk/fat12.img" 160 >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -i "$dir/corpus/disk/fat12.img" "$top/README.md" ::/pagefile.sys

# The reader target takes several volume files in one container (tests/fuzz/volume_container.h).
"$dir/bin/make_reader_seed" "$dir/corpus/reader/storage.bin" >/dev/null

for target in "${targets[@]}"; do
  case $target in
    volume_inspector_fuzz) corpus="$dir/corpus/volume" ;;
    unit_codec_fuzz) corpus="$dir/corpus/unit" ;;
    disk_fuzz) corpus="$dir/corpus/disk" ;;
    image_reader_fuzz) corpus="$dir/corpus/reader" ;;
    *) echo "fuzz.sh: unknown target $target" >&2; exit 2 ;;
  esac
  echo "fuzz: $target for ${seconds}s"
  "$dir/bin/$target" -seed=1 -max_total_time="$seconds" -max_len=262144 -timeout=10 \
    -artifact_prefix="$dir/findings/$target-" -print_final_stats=1 "$corpus" 2>&1 | tail -12
done
