#!/usr/bin/env bash
# The main job: a fresh default lab in the build folder, shown as Zelfin sees it.
set -euo pipefail
build=${1:-build}
bin="$build/bin"
lab="$build/lab"

"$bin/zelfin-lab" init "$lab" --scenario default
"$bin/zelfin-lab" show "$lab"
