#!/usr/bin/env bash
# Runs every README block marked "<!-- walkthrough -->" as a user would: each in a fresh shell
# (empty environment but PATH, a home of its own), from a folder whose build/ is the build
# folder given, stopping at the first command that fails. Paths under /tmp/ in the blocks are
# moved into a folder of this run, so that runs never meet each other or a user's files.
set -euo pipefail
readme=$(cd "$(dirname "$0")/.." && pwd)/README.md
build=$(cd "${1:-build}" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/project" "$root/home" "$root/tmp"
ln -s "$build" "$root/project/build"

blocks=0
failed=0
while IFS= read -r -d '' block; do
    blocks=$((blocks + 1))
    script="$root/walkthrough-$blocks.sh"
    printf '%s\n' "$block" | sed "s#/tmp/#$root/tmp/#g" >"$script"
    echo "== walkthrough $blocks ($(head -n 1 "$script" | cut -c1-60)...)"
    if ! (cd "$root/project" && env -i PATH="$PATH" HOME="$root/home" bash -euo pipefail "$script" \
        >"$root/out-$blocks.txt" 2>&1); then
        echo "walkthrough $blocks failed; its commands and output:"
        sed 's/^/  | /' "$script"
        sed 's/^/  > /' "$root/out-$blocks.txt"
        failed=$((failed + 1))
    fi
done < <(awk '
    /^<!-- walkthrough -->$/ { armed = 1; next }
    armed && /^```sh$/ { inside = 1; armed = 0; text = ""; next }
    inside && /^```$/ { printf "%s%c", text, 0; inside = 0; next }
    inside { text = text $0 "\n"; next }
    { armed = 0 }' "$readme")

echo "$blocks walkthroughs, $failed failed"
((blocks > 0 && failed == 0))
