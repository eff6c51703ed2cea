#!/usr/bin/env bash
# The main job on a built-in sample: installs the dependencies, builds, makes the sample disk
# image (FAT32 and ext4 partitions with a few files), backs it up into a storage directory with
# `tav backup`, lists the storage with `tav list`, (as root, with FUSE and loop devices) mounts
# the snapshot's ext4 partition read-only with `tav mount` and lists a file from it, validates the
# storage with `tav validate`, and restores the ext4 partition with `tav restore` onto a fresh
# sample disk (whose files differ: they are random), then checks it with e2fsck and compares a
# file with the original.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build"

work=$(mktemp -d)
daemon_pid=""
cleanup() {
  set +e
  if mountpoint -q "$work/mnt" 2>/dev/null; then "$top/build/bin/tav" umount "$work/mnt" >/dev/null; fi
  if [ -n "$daemon_pid" ]; then
    kill "$daemon_pid" 2>/dev/null
    wait "$daemon_pid" 2>/dev/null
  fi
  # Nothing may be mounted below the directory when it is removed.
  grep -q " $work/" /proc/self/mountinfo || rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
"$top/tests/fixtures/make_sample_disk.sh" sample.img >/dev/null
"$top/build/bin/tav" disks sample.img
"$top/build/bin/tav" backup sample.img backups --comment "demo"
"$top/build/bin/tav" list backups

if [ "$(id -u)" = 0 ] && [ -c /dev/fuse ] && [ -c /dev/loop-control ]; then
  # The mount daemon of this demo: its socket and served file in the demo's directory.
  export TAV_RUN_DIR="$work/run"
  mkdir -p "$TAV_RUN_DIR" "$work/mnt"
  "$top/build/bin/tavmount" --foreground 2>/dev/null &
  daemon_pid=$!
  for _ in $(seq 1 100); do [ -S "$TAV_RUN_DIR/tavmount.sock" ] && break; sleep 0.05; done
  "$top/build/bin/tav" mount backups --snapshot 1 --partition 2 "$work/mnt"
  "$top/build/bin/tav" mounts
  ls -l "$work/mnt/docs/notes"
  head -n 3 "$work/mnt/docs/notes/notes.txt"
  "$top/build/bin/tav" umount "$work/mnt"
else
  echo "demo: mounting the snapshot skipped (needs root, /dev/fuse and loop devices)"
fi

"$top/build/bin/tav" validate backups

# A fresh sample disk: its random files differ from the backed-up one's until the restore.
"$top/tests/fixtures/make_sample_disk.sh" fresh.img >/dev/null
"$top/build/bin/tav" restore backups --snapshot 1 --partition 2 --to fresh.img:2 --yes
ext_start=83968 ext_sectors=47104  # partition 2 of the sample disk
dd if=sample.img of=original-ext.img bs=512 skip=$ext_start count=$ext_sectors status=none
dd if=fresh.img of=restored-ext.img bs=512 skip=$ext_start count=$ext_sectors status=none
e2fsck -fn restored-ext.img
debugfs -R "dump /photos/random.bin original.bin" original-ext.img 2>/dev/null
debugfs -R "dump /photos/random.bin restored.bin" restored-ext.img 2>/dev/null
cmp original.bin restored.bin
echo "demo: the restored partition checks clean and holds the backed-up photos/random.bin"
