#!/usr/bin/env bash
# The main job: an unattended firmware update on a fresh default lab, run the way an installation
# script runs it. The lab has two SCSI-family card readers: E: in its normal mode with firmware
# 1.00, F: waiting in its boot loader, which takes an image of any model. One image is built for
# them with zelfin-image, a configuration with zelfin-config (no windows, backups on), and zelfin
# runs it from build/bin: the image fits both readers, so both are updated.
# Afterwards each reader's firmware version, the backups and the log tell what happened.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
bin="$build/bin"
# Not build/lab: that is the build folder of the lab's own sources (its test list among them),
# which removing the run's lab would take with it.
lab="$build/run-lab"
jobdir="$lab/drive_c/Zelfin"  # C:\Zelfin in the lab

rm -rf "$lab"
"$bin/zelfin-lab" init "$lab" --scenario default >/dev/null
export ZELFIN_LAB="$lab" ZELFIN_UI=headless ZELFIN_TIME_SCALE=${ZELFIN_TIME_SCALE:-200}
mkdir -p "$jobdir"

# The reader's firmware version as zelfin-image reads it from a copy of its flash; with a second
# argument the copy is kept under that name.
version() {
    local id=$1 keep=${2:-} copy
    copy=$(mktemp)
    "$bin/zelfin-lab" dump "$lab" "$id" flash "$copy" >/dev/null
    # A flash written by an update keeps the reader's own boot block and signature area, so the
    # family may refuse it as an image (exit code 3); its version is still read.
    { "$bin/zelfin-image" info "$copy" --family scsi --json 2>/dev/null || true; } |
        sed -n 's/.*"version": *"\([0-9.]*\)".*/\1/p' | head -n 1
    if [[ -n $keep ]]; then cp "$copy" "$keep"; fi
    rm -f "$copy"
}

readers=(scsi-reader-1 scsi-reader-2)
declare -A before
for id in "${readers[@]}"; do before[$id]=$(version "$id" "$jobdir/$id.before"); done

echo "== Firmware image"
"$bin/zelfin-image" build "$jobdir/cr210-2.10.bin" --family scsi --type 0 --version 2.10 --feature 1 >/dev/null
"$bin/zelfin-image" info "$jobdir/cr210-2.10.bin" --family scsi | sed -n '4p;7p' | sed 's/^ */  /'

echo "== Configuration C:\\Zelfin\\run.cfg"
"$bin/zelfin-config" write "$jobdir/run.cfg" --option GUI=no --option BACKUP=yes \
    --download 'C:\Zelfin\cr210-2.10.bin' >/dev/null
"$bin/zelfin-config" show "$jobdir/run.cfg" | sed 's/^/  /'

echo "== zelfin /CFG C:\\Zelfin\\run.cfg"
set +e
(cd "$bin" && ./zelfin /CFG 'C:\Zelfin\run.cfg')
code=$?
set -e
echo "  exit code $code (a run without windows always ends with 255; the log tells the outcome)"

echo "== Readers"
for id in "${readers[@]}"; do
    printf '  %-14s firmware %s -> %s\n' "$id" "${before[$id]:-unknown}" "$(version "$id")"
done

echo "== Backups of the old firmware (C:\\WINDOWS\\TEMP\\Zelfin)"
shopt -s nullglob
backups=("$lab"/drive_c/WINDOWS/TEMP/Zelfin/*.bin)
if ((${#backups[@]} == 0)); then echo "  none"; fi
for b in "${backups[@]}"; do
    same=""
    for id in "${readers[@]}"; do
        if cmp -s "$b" "$jobdir/$id.before"; then same=" = old flash of $id"; fi
    done
    echo "  $(basename "$b") ($(stat -c %s "$b") bytes)$same"
done
rm -f "$jobdir"/*.before

echo "== Log C:\\Zelfin.log (last 25 lines)"
tail -n 25 "$lab/drive_c/Zelfin.log" | tr -d '\r' | sed 's/^/  /'
