#!/usr/bin/env bash
# Save benchmark: an NTFS volume (made once with mkfs.ntfs and ntfs-3g, kept outside the
# repository) with large files, many small ones and a sparse one, saved whole by vellorine-cli
# (temporary names, hashing while writing, the recovery report) and by The Sleuth Kit's
# tsk_recover followed by sha256sum over what it wrote (the same result in two passes), in turns
# in the same run. Prints the median wall and CPU time of each and their ratio.
# Needs root (loop and FUSE mount) to make the image. Usage: bench/save.sh [IMAGE] [ROUNDS]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
img="${1:-/tmp/vellorine-bench/ntfs-save.img}"
rounds="${2:-5}"
cli="${VELLORINE_CLI:-$here/build/src/cli/vellorine-cli}"
[ -x "$cli" ] || { echo "build vellorine-cli first ($cli)" >&2; exit 1; }

if [ ! -f "$img" ]; then
    mkdir -p "$(dirname "$img")"
    work="$(mktemp -d)"
    loop=""
    trap 'mountpoint -q "$work/mnt" && umount "$work/mnt"; [ -n "$loop" ] && losetup -d "$loop"; rm -rf "$work"' EXIT
    truncate -s 600M "$img.part"
    mkfs.ntfs -F -Q -c 4096 -p 0 -H 0 -S 0 -L bench "$img.part" >/dev/null 2>&1
    loop="$(losetup -f --show "$img.part")"
    mkdir "$work/mnt"
    ntfs-3g -o big_writes "$loop" "$work/mnt"
    python3 - "$work/mnt" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(7)
os.mkdir(os.path.join(root, "large"))
for i in range(30):
    with open(os.path.join(root, "large", "big-%02d.bin" % i), "wb") as f:
        f.write(rnd.randbytes(12 << 20))
for d in range(20):
    folder = os.path.join(root, "small-%02d" % d)
    os.mkdir(folder)
    for i in range(250):
        with open(os.path.join(folder, "f-%03d.txt" % i), "wb") as f:
            f.write(rnd.randbytes(rnd.randrange(100, 40000)))
with open(os.path.join(root, "sparse.bin"), "wb") as f:
    f.truncate(256 << 20)
    f.seek(100 << 20)
    f.write(rnd.randbytes(1 << 20))
PY
    umount "$work/mnt"
    losetup -d "$loop"
    loop=""
    mv "$img.part" "$img"
fi

out="$(mktemp -d)"
tmp="$(mktemp)"
trap 'rm -rf "$out" "$tmp" "$tmp.err"' EXIT
declare -A walls cpus
measure() {  # measure NAME COMMAND...
    local name="$1"
    shift
    rm -rf "$out/dir"
    /usr/bin/time -f "%e %U %S" -o "$tmp" "$@" >/dev/null 2>"$tmp.err" || { cat "$tmp.err" >&2; exit 1; }
    read -r wall user sys <"$tmp"
    walls[$name]+="$wall "
    cpus[$name]+="$(echo "$user + $sys" | bc -l) "
}
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
peer() {
    tsk_recover -a "$img" "$out/dir" >/dev/null && find "$out/dir" -type f -print0 | xargs -0 sha256sum >/dev/null
}
export -f peer
export img out

cat "$img" >/dev/null  # page cache warm for both
for round in $(seq "$rounds"); do
    measure vellorine "$cli" save "$img" --out "$out/dir"
    measure peer bash -c peer
done
v=$(echo "${walls[vellorine]}" | median); p=$(echo "${walls[peer]}" | median)
vc=$(echo "${cpus[vellorine]}" | median); pc=$(echo "${cpus[peer]}" | median)
echo "image $img, $rounds rounds, medians"
printf '%-34s wall %6.2f s   cpu %6.2f s\n' "vellorine-cli save" "$v" "$vc"
printf '%-34s wall %6.2f s   cpu %6.2f s\n' "tsk_recover -a + sha256sum" "$p" "$pc"
printf 'ratio (vellorine / peer)            wall %6.2f     cpu %6.2f\n' \
    "$(echo "$v / $p" | bc -l)" "$(echo "$vc / $pc" | bc -l)"
