#!/usr/bin/env bash
# The main job on a built-in sample: installs the dependencies, builds, assembles a sample
# volume file from the format's records and inspects it with `tav inspect`.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$top/build/tests/make_sample_volume" "$work/imbackup0.ego"
"$top/build/cli/tav" inspect "$work/imbackup0.ego"
