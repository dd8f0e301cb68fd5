#!/usr/bin/env bash
# Scan benchmark: an NTFS volume with 100,000 files (made once with mkfs.ntfs and ntfs-3g, kept
# outside the repository), scanned by vellorine-cli and listed by The Sleuth Kit's fls in the
# same run. Prints wall time, CPU time (the machine may be shared), peak memory and peak memory
# per MFT record of both.
# Needs root (loop and FUSE mount) to make the image. Usage: bench/ntfs-scan.sh [IMAGE] [FILES]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
img="${1:-/tmp/vellorine-bench/ntfs-100k.img}"
files="${2:-100000}"
cli="${VELLORINE_CLI:-$here/build/src/cli/vellorine-cli}"
[ -x "$cli" ] || { echo "build vellorine-cli first ($cli)" >&2; exit 1; }

if [ ! -f "$img" ]; then
    mkdir -p "$(dirname "$img")"
    work="$(mktemp -d)"
    loop=""
    trap 'mountpoint -q "$work/mnt" && umount "$work/mnt"; [ -n "$loop" ] && losetup -d "$loop"; rm -rf "$work"' EXIT
    truncate -s 800M "$img.part"
    mkfs.ntfs -F -Q -c 4096 -p 0 -H 0 -S 0 -L bench "$img.part" >/dev/null 2>&1
    loop="$(losetup -f --show "$img.part")"
    mkdir "$work/mnt"
    ntfs-3g -o big_writes "$loop" "$work/mnt"
    # 100 folders of small files (resident data), a few larger ones, and some deleted.
    python3 - "$work/mnt" "$files" <<'PY'
import os, sys
root, total = sys.argv[1], int(sys.argv[2])
per = 1000
for d in range((total + per - 1) // per):
    folder = os.path.join(root, "folder-%03d" % d)
    os.mkdir(folder)
    for i in range(min(per, total - d * per)):
        with open(os.path.join(folder, "file-%05d.txt" % i), "wb") as f:
            f.write(b"x" * (i % 700) if i % 100 else b"y" * 20000)
for i in range(0, per, 10):
    os.remove(os.path.join(root, "folder-000", "file-%05d.txt" % i))
PY
    umount "$work/mnt"
    losetup -d "$loop"
    loop=""
    mv "$img.part" "$img"
fi

records=$(( $(istat "$img" 0 | sed -n 's/.*\$DATA.*size: \([0-9]*\).*/\1/p' | head -1) / 1024 ))
measure() {  # measure NAME COMMAND...
    local name="$1"
    shift
    /usr/bin/time -f "%e %M %U %S" -o "$tmp" "$@" >/dev/null 2>"$tmp.err" || { cat "$tmp.err" >&2; exit 1; }
    read -r wall kib user sys <"$tmp"
    printf '%-16s wall %6.2f s   cpu %6.2f s   peak %8d KiB   %6.1f bytes/record\n' "$name" "$wall" \
        "$(echo "$user + $sys" | bc -l)" "$kib" "$(echo "$kib * 1024 / $records" | bc -l)"
}
tmp="$(mktemp)"
echo "image $img: $records MFT records"
# Page cache warm for both.
cat "$img" >/dev/null
for round in 1 2 3; do
    measure "vellorine-cli" "$cli" scan "$img" --json
    measure "fls -r -p" fls -r -p "$img"
done
rm -f "$tmp" "$tmp.err"
