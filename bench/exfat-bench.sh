#!/usr/bin/env bash
# exFAT figures: scan time and memory for a folder of many files, save memory for one large
# contiguous file (the copy is streamed, so peak memory must not grow with the file).
# Needs root (loop + FUSE mount). Usage: bench/exfat-bench.sh [BUILD_DIR] [FILES] [BIG_MIB]
set -euo pipefail
build="${1:-build}"
files="${2:-20000}"
big="${3:-512}"
cli="$build/src/cli/vellorine-cli"
work="$(mktemp -d)"
mnt="$work/mnt"
loop=""
cleanup() {
    mountpoint -q "$mnt" 2>/dev/null && umount "$mnt" || true
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

img="$work/bench.img"
truncate -s $((big + 64 + files / 100))M "$img"
mkfs.exfat -c 4K "$img" >/dev/null
loop="$(losetup -f --show "$img")"
mkdir -p "$mnt"
mount.exfat-fuse -o noatime "$loop" "$mnt"
mkdir "$mnt/many"
(cd "$mnt/many" && seq -f 'file-with-a-name-%06g.txt' 1 "$files" | xargs touch)
head -c $((big * 1048576)) /dev/zero | tr '\0' 'x' >"$mnt/big.bin"
sync
umount "$mnt"
losetup -d "$loop"
loop=""

echo "== scan: $files files in one folder" >&2
"$cli" scan "$img" --stats >/dev/null
echo "== save: one contiguous file of $big MiB" >&2
mkdir "$work/out"
"$cli" save "$img" --out "$work/out" --path ROOT/big.bin --stats
cmp <(head -c $((big * 1048576)) /dev/zero | tr '\0' 'x') "$work/out/big.bin" && echo "big.bin identical" >&2
