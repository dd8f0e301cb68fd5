#!/usr/bin/env bash
# The sector search for lost volumes over a 2 GiB image beside dd reading the same image, both
# from a warm page cache. Usage: bench/advance-scan.sh [BUILD_DIR] [ROUNDS]
# The image is random data (so the cheap first-byte test passes now and then, as on a used disk)
# with lost volumes at its start; it lives in /tmp and is removed at the end.
set -euo pipefail
build="${1:-build}"
rounds="${2:-3}"
cli="$build/src/cli/vellorine-cli"
here="$(cd "$(dirname "$0")" && pwd)"
img="$(mktemp /tmp/advance-scan.XXXXXX.img)"
trap 'rm -f "$img"' EXIT

head -c $((2048 * 1048576)) /dev/urandom >"$img"
xz -dc "$here/../tests/fixtures/images/lost-volumes.img.xz" | dd of="$img" conv=notrunc status=none
bytes=$(stat -c %s "$img")
cat "$img" >/dev/null  # warm the cache

best_dd=999999 best_scan=999999
for r in $(seq "$rounds"); do
    t0=$(date +%s.%N)
    dd if="$img" of=/dev/null bs=1M status=none
    t1=$(date +%s.%N)
    "$cli" volumes "$img" --advance --json >/dev/null 2>&1
    t2=$(date +%s.%N)
    d=$(echo "$t1 - $t0" | bc -l)
    s=$(echo "$t2 - $t1" | bc -l)
    printf 'round %d: dd %.3f s, advance scan %.3f s\n' "$r" "$d" "$s" >&2
    best_dd=$(echo "if ($d < $best_dd) $d else $best_dd" | bc -l)
    best_scan=$(echo "if ($s < $best_scan) $s else $best_scan" | bc -l)
done
mib=$((bytes / 1048576))
printf 'dd:           %.3f s  %.0f MiB/s\n' "$best_dd" "$(echo "$mib / $best_dd" | bc -l)"
printf 'advance scan: %.3f s  %.0f MiB/s\n' "$best_scan" "$(echo "$mib / $best_scan" | bc -l)"
printf 'ratio:        %.0f%% of dd (goal: at least 80%%)\n' "$(echo "100 * $best_dd / $best_scan" | bc -l)"
