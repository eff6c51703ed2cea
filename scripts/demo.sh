#!/usr/bin/env bash
# The main job on a built-in sample: installs the dependencies, builds, makes the sample disk
# image (FAT32 and ext4 partitions with a few files), backs it up into a storage directory with
# `tav backup` and lists the storage with `tav list`.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$top/tests/fixtures/make_sample_disk.sh" sample.img >/dev/null
"$top/build/cli/tav" disks sample.img
"$top/build/cli/tav" backup sample.img backups --comment "demo"
"$top/build/cli/tav" list backups
