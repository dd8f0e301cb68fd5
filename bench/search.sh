#!/usr/bin/env bash
# Search benchmark: the files whose names match \.txt$ on an NTFS volume of 200,000 files (made
# once by the scan benchmark's generator, kept outside the repository), found by
# `vellorine-cli search` and by The Sleuth Kit's `fls -r -p | grep -E`, in turn, in one run.
# Prints medians of the rounds: the search step alone (--stats: wall time and, as the machine may
# be shared, its processor time), the whole command (scan and search) and fls | grep, their
# ratio, and the hit counts of both.
# Needs root to make the image. Usage: bench/search.sh [IMAGE] [FILES] [ROUNDS]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
img="${1:-/tmp/vellorine-bench/ntfs-200k.img}"
files="${2:-200000}"
rounds="${3:-5}"
cli="${VELLORINE_CLI:-$here/build/src/cli/vellorine-cli}"
[ -x "$cli" ] || { echo "build vellorine-cli first ($cli)" >&2; exit 1; }
[ -f "$img" ] || "$here/bench/ntfs-scan.sh" "$img" "$files" >&2

pattern='\.txt$'
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
now() { date +%s.%N; }
cat "$img" >/dev/null  # page cache warm for both

for ((round = 1; round <= rounds; round++)); do
    t0=$(now)
    "$cli" search "$img" --pattern "$pattern" --stats >"$tmp/ours.out" 2>"$tmp/ours.err"
    t1=$(now)
    fls -r -p "$img" | grep -E "$pattern" >"$tmp/fls.out" || true
    t2=$(now)
    step=$(sed -n 's/^stats: search wall \([0-9.]*\) s.*/\1/p' "$tmp/ours.err")
    cpu=$(sed -n 's/^stats: search cpu \([0-9.]*\) s.*/\1/p' "$tmp/ours.err")
    echo "$step $cpu $(echo "$t1 - $t0" | bc -l) $(echo "$t2 - $t1" | bc -l)" >>"$tmp/times"
done

python3 - "$tmp/times" "$(wc -l <"$tmp/ours.out")" "$(wc -l <"$tmp/fls.out")" "$img" <<'EOF'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1])]
step, cpu, ours, fls = (statistics.median(c) for c in zip(*rows))
print("image %s, %d rounds, pattern \\.txt$" % (sys.argv[4], len(rows)))
print("%-34s median %7.3f s   cpu %.3f s" % ("search step (vellorine --stats)", step, cpu))
print("%-34s median %7.3f s   %6s hits" % ("vellorine-cli search (scan+search)", ours, sys.argv[2]))
print("%-34s median %7.3f s   %6s hits" % ("fls -r -p | grep -E", fls, sys.argv[3]))
print("ratio vellorine-cli / fls|grep: %.2f" % (ours / fls))
EOF
