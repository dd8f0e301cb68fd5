#!/usr/bin/env bash
# Deleted files back from the ext3/ext4 journal: vellorine-cli save beside extundelete and
# ext4magic on the journal fixture images (files deleted with rm on a mounted volume). For each
# tool and image: deleted files given back with the right content, how many of those under
# their original path, how many with their modification time, and the median wall time of three
# rounds taken in turn.
# Usage: bench/ext-journal.sh [ROUNDS]
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-3}"
cli="${VELLORINE_CLI:-$here/build/src/cli/vellorine-cli}"
[ -x "$cli" ] || { echo "build vellorine-cli first ($cli)" >&2; exit 1; }
for tool in extundelete ext4magic python3 xz; do
    command -v "$tool" >/dev/null || { echo "$tool is needed (apt-get install $tool)" >&2; exit 1; }
done
work="$(mktemp -d /tmp/ext-journal-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

run() {  # run TOOL IMAGE OUT: recovers everything deleted into OUT
    case "$1" in
    vellorine) "$cli" save "$2" --out "$3" --no-report >/dev/null 2>&1 ;;
    extundelete) mkdir -p "$3" && (cd "$3" && timeout 300 extundelete --restore-all "$2" >/dev/null 2>&1) ;;
    ext4magic) timeout 300 ext4magic "$2" -r -d "$3" >/dev/null 2>&1 ;;
    esac
}

for name in ext3-journal ext4-journal; do
    img="$work/$name.img"
    xz -dc "$here/tests/fixtures/images/$name.img.xz" >"$img"
    for tool in vellorine extundelete ext4magic; do
        times=()
        for r in $(seq "$rounds"); do
            out="$work/$name-$tool-$r"
            t0=$(date +%s.%N)
            run "$tool" "$img" "$out"
            echo "rc=$?" >"$out.rc"
            t1=$(date +%s.%N)
            times+=("$(echo "$t1 - $t0" | bc -l)")
        done
        python3 - "$here/tests/fixtures/images/$name.manifest.json" "$out" "$tool" "$name" \
            "$(cat "$out.rc")" "${times[@]}" <<'PY'
import hashlib, json, os, statistics, sys
manifest, out, tool, name, rc = sys.argv[1:6]
times = sorted(float(t) for t in sys.argv[6:])
want = [e for e in json.load(open(manifest))["entries"] if e["type"] == "file" and e["deleted"]]
found = {}
for d, _, files in os.walk(out):
    for f in files:
        p = os.path.join(d, f)
        found.setdefault(hashlib.sha256(open(p, "rb").read()).hexdigest(), []).append(p)
content = path = mtime = 0
for e in want:
    paths = found.get(e["sha256"], [])
    if not paths:
        continue
    content += 1
    # Ours saves under ROOT-less paths; extundelete under RECOVERED_FILES.
    rels = [os.path.relpath(p, out).removeprefix("RECOVERED_FILES/") for p in paths]
    if e["path"] in rels:
        path += 1
    if any(os.stat(p).st_mtime_ns // 10**9 == e["mtime"] for p in paths):
        mtime += 1
print("%-13s %-11s by content %d/%d  under own path %d/%d  mtime %d/%d  median %.3f s  (%s)"
      % (name, tool, content, len(want), path, len(want), mtime, len(want),
         statistics.median(times), rc))
PY
    done
done
