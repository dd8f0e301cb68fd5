#!/usr/bin/env bash
# The NTFS deep scan and the advanced mode's MFT candidate search over a 2 GiB image, beside dd
# reading the same image, in turn, from a warm page cache; medians of ROUNDS. Then what each
# finds on the reformatted fixture beside The Sleuth Kit's fls.
# Usage: bench/ntfs-deep.sh [BUILD_DIR] [ROUNDS]
# The image is random data (sectors that start with "FILE" are as rare as on a used disk) with the
# reformatted fixture volume at its start; it lives in /tmp and is removed at the end.
set -euo pipefail
build="${1:-build}"
rounds="${2:-5}"
cli="$build/src/cli/vellorine-cli"
here="$(cd "$(dirname "$0")" && pwd)"
img="$(mktemp /tmp/ntfs-deep.XXXXXX.img)"
small="$(mktemp /tmp/ntfs-reformat.XXXXXX.img)"
trap 'rm -f "$img" "$small"' EXIT

xz -dc "$here/../tests/fixtures/images/ntfs-reformat.img.xz" >"$small"
head -c $((2048 * 1048576)) /dev/urandom >"$img"
dd if="$small" of="$img" conv=notrunc status=none
mib=$(($(stat -c %s "$img") / 1048576))
cat "$img" >/dev/null  # warm the cache

timed() {  # prints the seconds a command took
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc -l
}
median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

: >/tmp/ntfs-deep.dd
: >/tmp/ntfs-deep.deep
: >/tmp/ntfs-deep.adv
for r in $(seq "$rounds"); do
    d=$(timed dd if="$img" of=/dev/null bs=1M)
    s=$(timed "$cli" scan "$img" --start-sector 0 --fs NTFS --mode deep --json)
    a=$(timed "$cli" scan "$img" --start-sector 0 --fs NTFS --mode advanced --max-fs 100)
    printf 'round %d: dd %.3f s, deep scan %.3f s, candidate search %.3f s\n' "$r" "$d" "$s" "$a" >&2
    echo "$d" >>/tmp/ntfs-deep.dd
    echo "$s" >>/tmp/ntfs-deep.deep
    echo "$a" >>/tmp/ntfs-deep.adv
done
dd_m=$(median </tmp/ntfs-deep.dd)
deep_m=$(median </tmp/ntfs-deep.deep)
adv_m=$(median </tmp/ntfs-deep.adv)
rm -f /tmp/ntfs-deep.dd /tmp/ntfs-deep.deep /tmp/ntfs-deep.adv
printf 'dd:               %.3f s  %.0f MiB/s\n' "$dd_m" "$(echo "$mib / $dd_m" | bc -l)"
printf 'deep scan:        %.3f s  %.0f MiB/s  (%.0f%% of dd)\n' "$deep_m" \
    "$(echo "$mib / $deep_m" | bc -l)" "$(echo "100 * $dd_m / $deep_m" | bc -l)"
printf 'candidate search: %.3f s  %.0f MiB/s  (%.0f%% of dd)\n' "$adv_m" \
    "$(echo "$mib / $adv_m" | bc -l)" "$(echo "100 * $dd_m / $adv_m" | bc -l)"

# What is found of the old files on the reformatted volume.
old_total=$(python3 -c "import json,sys; m=json.load(open(sys.argv[1])); print(sum(e['type']=='file' for e in m['old']['entries']))" \
    "$here/../tests/fixtures/images/ntfs-reformat.manifest.json")
names=$(python3 -c "import json,sys; m=json.load(open(sys.argv[1])); print(' '.join(e['path'].split('/')[-1] for e in m['old']['entries'] if e['type']=='file'))" \
    "$here/../tests/fixtures/images/ntfs-reformat.manifest.json")
count_in() { local n=0 f; for f in $names; do grep -qF "/$f\"" "$1" && n=$((n + 1)); done; echo $n; }
fls -r -p "$small" 2>/dev/null | sed 's/$/"/; s/\t/\t\//' >/tmp/ntfs-deep.fls || true
"$cli" scan "$small" --mode deep --json 2>/dev/null >/tmp/ntfs-deep.ours || true
printf 'old files named on the reformatted volume (of %d): fls %d, deep scan %d\n' "$old_total" \
    "$(count_in /tmp/ntfs-deep.fls)" "$(count_in /tmp/ntfs-deep.ours)"
rm -f /tmp/ntfs-deep.fls /tmp/ntfs-deep.ours
