#!/usr/bin/env bash
# Carving figures: wall time and exact files of `vellorine-cli carve` (sector starts, and with
# --unaligned) beside PhotoRec on the same image in the same run, warm page cache.
# The image is 2 GiB of pseudo-random data with about 64 files made by the fixture generator
# (most at sector starts, some at odd offsets, some in two fragments); it is kept out of the
# repository. Needs ImageMagick, lame, sox, 7z (make-carve.sh's tools) and testdisk (photorec).
# Each carver runs ROUNDS times in turn; medians and the speed against photorec are printed.
# Usage: bench/carve.sh [BUILD_DIR] [SIZE_MIB] [ROUNDS]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-build}"
size="${2:-2048}"
rounds="${3:-3}"
cli="$(cd "$build" && pwd)/src/cli/vellorine-cli"
gen="$here/../tests/fixtures/carve-gen.py"
work="$(mktemp -d /tmp/carve-bench.XXXXXX)"
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

python3 "$gen" files "$work/files" --large
python3 "$gen" assemble "$work/files" --out "$work/disk.img" --manifest "$work/manifest.json" \
    --size "$size" --seed 3 --layout bench
echo "image: $size MiB, $(python3 -c "import json,sys; print(len(json.load(open(sys.argv[1]))['files']))" "$work/manifest.json") files" >&2

# Counts the files of a folder that equal an embedded file byte for byte, by placement.
exact() {  # exact DIR
    python3 - "$work/manifest.json" "$1" <<'EOF'
# A found file counts when it starts where an embedded file starts and equals it byte for byte.
# vellorine names files "<byte offset> .<ext>", photorec "f<sector>....<ext>".
import collections, hashlib, json, os, re, sys
m = json.load(open(sys.argv[1]))
at = {e["offset"]: e for e in m["files"]}
found, files = collections.Counter(), 0
for root, _, names in os.walk(sys.argv[2]):
    for n in names:
        if n == "report.xml":
            continue
        files += 1
        v = re.match(r"(\d+) \.", n)
        p = re.match(r"f(\d+)", n)
        offset = int(v.group(1)) if v else int(p.group(1)) * 512 if p else -1
        e = at.get(offset)
        if e and hashlib.sha256(open(os.path.join(root, n), "rb").read()).hexdigest() == e["sha256"]:
            found[e["placement"]] += 1
total = collections.Counter(e["placement"] for e in m["files"])
print("exact %d of %d (aligned %d/%d, unaligned %d/%d, fragmented %d/%d); files written %d" % (
    sum(found.values()), len(m["files"]), found["aligned"], total["aligned"], found["unaligned"],
    total["unaligned"], found["fragmented"], total["fragmented"], files))
EOF
}

# One timed run: "wall peak" on stdout; the found files stay in OUTDIR.
timed() {  # timed OUTDIR COMMAND...
    local out="$1" log="$work/time.log"
    shift
    rm -rf "$out"
    mkdir -p "$out"
    /usr/bin/time -f "%e %M" "$@" >/dev/null 2>"$log" || { tail -5 "$log" >&2; return 1; }
    tail -1 "$log"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

cat "$work/disk.img" >/dev/null
have_photorec=1
command -v photorec >/dev/null || { have_photorec=0; echo "photorec: not installed (apt-get install testdisk)" >&2; }
labels=("vellorine-cli carve" "vellorine-cli carve --unaligned" "photorec (everything)")
outs=("$work/v" "$work/u" "$work/p")
declare -A walls peaks
# In turn, round after round, so that a busy machine slows every carver alike.
for round in $(seq "$rounds"); do
    read -r w m < <(timed "$work/v" "$cli" carve "$work/disk.img" --out "$work/v")
    walls[0]+="$w "; peaks[0]="$m"
    read -r w m < <(timed "$work/u" "$cli" carve "$work/disk.img" --out "$work/u" --unaligned)
    walls[1]+="$w "; peaks[1]="$m"
    if [ "$have_photorec" = 1 ]; then
        # photorec writes its log into the working folder.
        read -r w m < <(cd "$work" && timed "$work/p" photorec /log /d "$work/p/recup" /cmd \
            "$work/disk.img" partition_none,fileopt,everything,enable,search)
        walls[2]+="$w "; peaks[2]="$m"
    fi
    echo "round $round done" >&2
done
last=$((have_photorec ? 2 : 1))
photorec_median=""
[ "$have_photorec" = 1 ] && photorec_median="$(tr ' ' '\n' <<<"${walls[2]}" | grep . | median)"
echo "median of $rounds rounds, $size MiB image:"
for i in $(seq 0 "$last"); do
    med="$(tr ' ' '\n' <<<"${walls[$i]}" | grep . | median)"
    ratio=""
    [ -n "$photorec_median" ] && ratio="$(awk -v p="$photorec_median" -v m="$med" 'BEGIN { printf "%.1fx photorec", p / m }')"
    printf '%-34s wall %7s s (%s)  peak %8s KiB  %s\n  %s\n' "${labels[$i]}" "$med" "${walls[$i]% }" \
        "${peaks[$i]}" "$ratio" "$(exact "${outs[$i]}")"
done
