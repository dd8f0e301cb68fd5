#!/usr/bin/env bash
# Image reading figures: the whole media of an EWF, a QCOW2 and a VHD image read and hashed,
# ours (vellorine-cli volumes --verify) beside the formats' own tools in the same run (ewfverify;
# qemu-img convert to raw, then md5sum), each run in turn RUNS times, medians and ratios.
# Needs ewf-tools and qemu-utils. Usage: bench/image-read.sh [BUILD_DIR] [MIB] [RUNS]
set -euo pipefail
build="${1:-build}"
mib="${2:-256}"
runs="${3:-3}"
cli="$(cd "$build" && pwd)/src/cli/vellorine-cli"
work="$(mktemp -d /tmp/image-bench.XXXXXX)"
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work"

# Half text-like (compressible), half noise: chunks of both kinds.
python3 - "$mib" <<'EOF'
import random, sys
mib = int(sys.argv[1])
r = random.Random(3)
with open("disk.img", "wb") as f:
    for i in range(mib):
        if i % 2:
            f.write(r.randbytes(1 << 20))
        else:
            f.write((b"line %08d of a text-like region\n" % i) * (1 << 15))
EOF
truncate -s "${mib}M" disk.img
ewfacquire -u -q -t disk -c deflate:fast -d sha1 disk.img >/dev/null
qemu-img convert -O qcow2 disk.img disk.qcow2
qemu-img convert -O vpc disk.img disk.vhd
echo "media: $mib MiB" >&2

seconds() {  # seconds COMMAND...: wall time of one run
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
median() { sort -n | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}'; }
tool_raw() { qemu-img convert -O raw "$1" "$work/out.raw" && md5sum "$work/out.raw"; }

compare() {  # compare LABEL IMAGE PEER-LABEL PEER...
    local label=$1 image=$2 peerLabel=$3
    shift 3
    local ours=() theirs=()
    cat "$image" >/dev/null
    for ((i = 0; i < runs; i++)); do
        ours+=("$(seconds "$cli" volumes "$image" --verify)")
        theirs+=("$(seconds "$@")")
    done
    local a b
    a=$(printf '%s\n' "${ours[@]}" | median)
    b=$(printf '%s\n' "${theirs[@]}" | median)
    printf '%-6s vellorine %7.2f s   %-22s %7.2f s   ratio %5.2f\n' "$label" "$a" "$peerLabel" \
        "$b" "$(echo "$a / $b" | bc -l)"
}

compare EWF disk.E01 "ewfverify" ewfverify -q disk.E01
compare QCOW2 disk.qcow2 "qemu-img convert+md5" tool_raw disk.qcow2
compare VHD disk.vhd "qemu-img convert+md5" tool_raw disk.vhd
