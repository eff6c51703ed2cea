#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60), seeded with the
# sample volume and one unit of it, and with two small disk images. Findings are written to
# build-fuzz/findings/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
dir="$top/build-fuzz"
"$top/scripts/build.sh" "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTAV_FUZZ=ON \
  -DTAV_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo

mkdir -p "$dir/corpus/volume" "$dir/corpus/unit" "$dir/corpus/disk" "$dir/findings"
"$dir/tests/make_sample_volume" "$dir/corpus/volume/sample.ego"
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

for target in volume_inspector_fuzz unit_codec_fuzz disk_fuzz; do
  case $target in
    volume_inspector_fuzz) corpus="$dir/corpus/volume" ;;
    unit_codec_fuzz) corpus="$dir/corpus/unit" ;;
    disk_fuzz) corpus="$dir/corpus/disk" ;;
  esac
  echo "fuzz: $target for ${seconds}s"
  "$dir/tests/fuzz/$target" -max_total_time="$seconds" -max_len=262144 -timeout=10 \
    -artifact_prefix="$dir/findings/$target-" -print_final_stats=1 "$corpus" 2>&1 | tail -12
done
