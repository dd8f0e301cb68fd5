#!/usr/bin/env bash
# FAT32 figures: wall time and peak memory of scanning and saving a volume of many files, beside
# The Sleuth Kit (fls -r -p, tsk_recover -a) on the same image in the same run.
# No root needed (mkfs.fat + mtools). Usage: bench/fat-scan.sh [BUILD_DIR] [FILES]
set -euo pipefail
build="${1:-build}"
files="${2:-20000}"
cli="$(cd "$build" && pwd)/src/cli/vellorine-cli"
work="$(mktemp -d /tmp/fat-bench.XXXXXX)"
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1

# A camera-like tree: one big DCIM folder, many ordinary folders, small files of varied size.
src="$work/src"
mkdir -p "$src/DCIM/100CAMERA"
dcim=$((files / 4 < 9999 ? files / 4 : 9999))
python3 - "$src" "$files" "$dcim" <<'EOF'
import os, sys, random
src, files, dcim = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(7)
for i in range(files):
    if i < dcim:
        path = os.path.join(src, "DCIM", "100CAMERA", "IMG_%04d.JPG" % i)
    else:
        # About 100 long names per folder: mtools takes time quadratic in a folder's long names.
        d = os.path.join(src, "folder %03d with a long name" % (i % max(1, (files - dcim) // 100)))
        os.makedirs(d, exist_ok=True)
        path = os.path.join(d, "document number %06d.txt" % i)
    with open(path, "wb") as f:
        f.write(rnd.randbytes(rnd.randint(100, 12000)))
EOF
img="$work/fat32.img"
mb=$(( (files * 16 / 1024) + 300 ))
mkfs.fat -C -F 32 -s 8 "$img" $((mb * 1024)) >/dev/null
mcopy -s -m -i "$img" "$src"/* ::/
# Some deleted files as well.
mdeltree -i "$img" "::/folder 007 with a long name"
rm -rf "$src"
echo "image: $mb MiB, $files files" >&2

measure() {  # measure LABEL COMMAND...: prints "LABEL wall S peak KiB"
    local label="$1"
    shift
    local log="$work/time.log"
    /usr/bin/time -v "$@" >/dev/null 2>"$log" || { tail -5 "$log" >&2; return 1; }
    local wall peak
    wall=$(grep "Elapsed (wall clock)" "$log" | awk '{print $NF}')
    peak=$(grep "Maximum resident set size" "$log" | awk '{print $NF}')
    printf '%-28s wall %8s  peak %8s KiB\n' "$label" "$wall" "$peak"
}

# Warm the page cache so every tool reads from memory.
cat "$img" >/dev/null
measure "vellorine-cli scan --json" "$cli" scan "$img" --json
measure "fls -r -p" fls -r -p "$img"
rm -rf "$work/out-v" "$work/out-t"
measure "vellorine-cli save" "$cli" save "$img" --out "$work/out-v"
measure "tsk_recover -a" tsk_recover -a "$img" "$work/out-t"
echo "saved: vellorine $(find "$work/out-v" -type f | wc -l) files," \
    "tsk_recover $(find "$work/out-t" -type f | wc -l) files" >&2
