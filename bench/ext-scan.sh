#!/usr/bin/env bash
# Scan benchmark: an ext4 volume with 500,000 files (made once with mke2fs -d from a generated
# tree, kept outside the repository; no root needed), scanned by vellorine-cli and listed by The
# Sleuth Kit's fls in the same run. Prints wall time, CPU time (the machine may be shared), peak
# memory and peak memory per inode in use of each; the scan is timed with its JSON lines and with
# its tree text (closer to what fls prints: fls prints no times). Three rounds in turn, then
# medians and their ratios to fls.
# Usage: bench/ext-scan.sh [IMAGE] [FILES]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
img="${1:-/tmp/vellorine-bench/ext4-500k.img}"
files="${2:-500000}"
cli="${VELLORINE_CLI:-$here/build/src/cli/vellorine-cli}"
[ -x "$cli" ] || { echo "build vellorine-cli first ($cli)" >&2; exit 1; }
for tool in mke2fs debugfs dumpe2fs fls python3 bc; do
    command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done

if [ ! -f "$img" ]; then
    mkdir -p "$(dirname "$img")"
    work="$(mktemp -d "$(dirname "$img")/src.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
    # Folders of 1,000 files: mke2fs -d links each name after searching its folder from the
    # start, so one huge folder would take hours. Small files (one block), every hundredth of
    # 20,000 bytes.
    python3 - "$work/src" "$files" <<'PY'
import os, sys
root, total = sys.argv[1], int(sys.argv[2])
per = 1000
for d in range((total + per - 1) // per):
    folder = os.path.join(root, "folder-%03d" % d)
    os.makedirs(folder)
    for i in range(min(per, total - d * per)):
        with open(os.path.join(folder, "file-%05d.txt" % i), "wb") as f:
            f.write(b"x" * (i % 700) if i % 100 else b"y" * 20000)
PY
    mke2fs -q -F -t ext4 -b 4096 -N $((files + files / 10)) -E root_owner=0:0 -d "$work/src" \
        "$img.part" 3G
    # A hundred deleted files, as debugfs deletes them (block maps kept).
    for i in $(seq 0 10 990); do printf 'rm /folder-000/file-%05d.txt\n' "$i"; done >"$work/rm"
    debugfs -w -f "$work/rm" "$img.part" >/dev/null 2>&1
    mv "$img.part" "$img"
fi

inodes=$(dumpe2fs -h "$img" 2>/dev/null | awk -F: '/^Inode count/ {n=$2} /^Free inodes/ {f=$2} END {print n - f}')
declare -A walls=() peaks=()
measure() {  # measure KEY NAME COMMAND...
    local key="$1" name="$2"
    shift 2
    /usr/bin/time -f "%e %M %U %S" -o "$tmp" "$@" >"$tmp.out" 2>"$tmp.err" || { cat "$tmp.err" >&2; exit 1; }
    read -r wall kib user sys <"$tmp"
    walls[$key]+="$wall "
    peaks[$key]+="$kib "
    printf '%-16s wall %6.2f s   cpu %6.2f s   peak %8d KiB   %6.1f bytes/inode   %d lines\n' \
        "$name" "$wall" "$(echo "$user + $sys" | bc -l)" "$kib" \
        "$(echo "$kib * 1024 / $inodes" | bc -l)" "$(wc -l <"$tmp.out")"
}
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
tmp="$(mktemp)"
echo "image $img: $inodes inodes in use"
# Page cache warm for both.
cat "$img" >/dev/null
for round in 1 2 3; do
    measure json "scan --json" "$cli" scan "$img" --json
    measure tree "scan (tree)" "$cli" scan "$img"
    measure fls "fls -r -p" fls -r -p "$img"
done
flsWall=$(echo "${walls[fls]}" | median)
flsPeak=$(echo "${peaks[fls]}" | median)
echo "medians:"
for key in json tree fls; do
    wall=$(echo "${walls[$key]}" | median)
    peak=$(echo "${peaks[$key]}" | median)
    printf '  %-5s wall %6.2f s (%.2f x fls)   peak %8d KiB (%.2f x fls, %.1f bytes/inode)\n' \
        "$key" "$wall" "$(echo "$wall / $flsWall" | bc -l)" "$peak" \
        "$(echo "$peak / $flsPeak" | bc -l)" "$(echo "$peak * 1024 / $inodes" | bc -l)"
done
rm -f "$tmp" "$tmp.out" "$tmp.err"
