#!/usr/bin/env bash
# Read speed through a mounted snapshot beside the source it was taken from.
#
#   sudo bench/mount_read_bench.sh [BUILD_DIR] [WORKDIR] [MIB]
#
# Makes a disk image with one ext4 partition holding one file of MIB MiB (default 512) of random
# data, stores it with `tav backup`, mounts the snapshot with `tav mount` (through the mount daemon,
# a read-only loop device over its served file) and mounts the source partition read-only through
# a loop device of its own. Then, each from a cold page cache, it reads the file:
#   - sequentially in 1 MiB blocks (MB/s),
#   - at 2000 random 4 KiB-aligned places, 4 KiB each (mean and 99th percentile latency, in us),
# from the source and from the snapshot, prints both and checks the target: sequential reading
# through the snapshot at least 50% of the source's. Exit status 0 when it passes, 1 when not,
# 2 when it could not measure, 3 when the machine lacks root, FUSE, loop devices or a tool.
#
# BUILD_DIR defaults to build/ of the checkout (bin/tav and bin/tavmount are used from it);
# WORKDIR to a new temporary directory, removed at the end.
set -euo pipefail
export LC_ALL=C

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
work=${2:-}
mib=${3:-512}

skip() { echo "mount_read_bench: skipped: $*" >&2; exit 3; }
[ "$(id -u)" = 0 ] || skip "needs root"
[ -c /dev/fuse ] || skip "no /dev/fuse"
[ -c /dev/loop-control ] || skip "no loop devices"
for tool in sfdisk mkfs.ext4 losetup mount python3; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
tav=$build/bin/tav
daemon=$build/bin/tavmount
[ -x "$tav" ] && [ -x "$daemon" ] || { echo "mount_read_bench: build tav and tavmount in $build first" >&2; exit 2; }

own_work=0
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/tav-mount-bench.XXXXXX)
  own_work=1
fi
mkdir -p "$work"
work=$(cd "$work" && pwd -P)
export TAV_RUN_DIR=$work/run
export PATH=$(dirname "$daemon"):$PATH
mkdir -p "$TAV_RUN_DIR" "$work/snap" "$work/source"

source_loop=""
daemon_pid=""
cleanup() {
  set +e
  mountpoint -q "$work/snap" && "$tav" umount "$work/snap" >/dev/null
  mountpoint -q "$work/snap" && umount -l "$work/snap"
  mountpoint -q "$work/source" && umount "$work/source"
  [ -n "$source_loop" ] && losetup -d "$source_loop"
  if [ -n "$daemon_pid" ]; then
    kill "$daemon_pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$daemon_pid" 2>/dev/null
  fi
  mountpoint -q "$TAV_RUN_DIR/tavmount" && umount -l "$TAV_RUN_DIR/tavmount"
  if [ "$own_work" = 1 ] && ! grep -q " $work/" /proc/self/mountinfo; then rm -rf "$work"; fi
}
trap cleanup EXIT

echo "making a disk with a $mib MiB file ..." >&2
mkdir -p "$work/files"
head -c $((mib << 20)) /dev/urandom >"$work/files/big.bin"
part_sectors=$(((mib + mib / 8 + 64) * 2048))
rm -f "$work/disk.img" "$work/ext.img"
truncate -s $(((part_sectors + 2048) * 512)) "$work/disk.img"
echo "start=2048, size=$part_sectors, type=83" | sfdisk --quiet "$work/disk.img" >/dev/null
truncate -s $((part_sectors * 512)) "$work/ext.img"
mkfs.ext4 -q -F -d "$work/files" "$work/ext.img"
dd if="$work/ext.img" of="$work/disk.img" bs=1M seek=1 conv=notrunc status=none
rm -f "$work/ext.img" "$work/files/big.bin"

echo "storing it ..." >&2
"$tav" backup "$work/disk.img" "$work/store" >/dev/null

# The daemon runs in the foreground as our child so that it is stopped at the end.
"$daemon" --foreground >"$work/daemon.log" 2>&1 &
daemon_pid=$!
for _ in $(seq 1 100); do [ -S "$TAV_RUN_DIR/tavmount.sock" ] && break; sleep 0.05; done

"$tav" mount "$work/store" --snapshot 1 --partition 1 "$work/snap" >&2
source_loop=$(losetup --find --show --read-only --offset $((2048 * 512)) --sizelimit $((part_sectors * 512)) "$work/disk.img")
mount -o ro,noload -t ext4 "$source_loop" "$work/source"

python3 - "$work/source/big.bin" "$work/snap/big.bin" <<'EOF'
import os, random, sys, time

def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")

def sequential(path):
    drop_caches()
    fd = os.open(path, os.O_RDONLY)
    total = 0
    start = time.perf_counter()
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            break
        total += len(chunk)
    elapsed = time.perf_counter() - start
    os.close(fd)
    return total / elapsed / 1e6

def random_reads(path, count=2000):
    size = os.path.getsize(path)
    rng = random.Random(7)
    offsets = [rng.randrange(0, size // 4096) * 4096 for _ in range(count)]
    drop_caches()
    fd = os.open(path, os.O_RDONLY)
    # Read-ahead would turn later random reads into cache hits.
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)
    times = []
    for off in offsets:
        start = time.perf_counter()
        os.pread(fd, 4096, off)
        times.append((time.perf_counter() - start) * 1e6)
    os.close(fd)
    times.sort()
    return sum(times) / len(times), times[int(len(times) * 0.99)]

source, snap = sys.argv[1], sys.argv[2]
rows = []
for name, path in (("source", source), ("snapshot", snap)):
    mbps = sequential(path)
    mean, p99 = random_reads(path)
    rows.append((name, mbps, mean, p99))
print(f"{'':10} {'sequential MB/s':>16} {'random 4K mean us':>18} {'random 4K p99 us':>17}")
for name, mbps, mean, p99 in rows:
    print(f"{name:10} {mbps:16.1f} {mean:18.1f} {p99:17.1f}")
ratio = rows[1][1] / rows[0][1]
verdict = "PASS" if ratio >= 0.5 else "FAIL"
print(f"target: sequential through the snapshot >= 50% of the source: {ratio * 100:.0f}% {verdict}")
sys.exit(0 if ratio >= 0.5 else 1)
EOF
