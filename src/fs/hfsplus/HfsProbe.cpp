#include "fs/hfsplus/HfsProbe.h"

#include "fs/common/Endian.h"

namespace vel {

namespace {
// Larger volumes come from garbage; the scan lists nothing that big.
constexpr std::int64_t kMaxMiB = 20971519;
}  // namespace

std::int64_t hfsPlusVolumeBytes(const std::uint8_t* h) {
    // "H+" version 4, or "HX" (case-sensitive HFSX) version 5: both read alike.
    if (h[0] != 'H' || (h[1] != '+' && h[1] != 'X') || h[2] != 0) return -1;
    std::uint64_t blockSize = be32(h + 40);
    if (!isPowerOfTwo(blockSize) || blockSize < 512) return -1;
    std::uint64_t bytes = blockSize * be32(h + 44);
    return bytes >= (std::uint64_t{1} << 62) ? 0 : static_cast<std::int64_t>(bytes);
}

FileSystemRow hfsPlusFileSystemRow() {
    FileSystemRow r;
    r.name = "HFS+";
    r.aliases = {"HFSX"};
    r.gptTypes = {gptGuid("48465300-0000-11AA-AA11-00306543ECAC")};
    r.foundStatus = "found HFS+...";
    r.probe = [](const std::uint8_t* b, VolumeStart& out) {
        std::int64_t bytes = hfsPlusVolumeBytes(b + 1024);
        if (bytes < 0) return false;
        out.sizeBytes = bytes;
        return true;
    };
    r.sectorKeys = {{0, 'H'}};
    r.sectorTest = [](const std::uint8_t* s, SectorHit& hit) {
        std::int64_t bytes = hfsPlusVolumeBytes(s);
        if (bytes < 0) return false;
        hit.listed = bytes / 1048576 <= kMaxMiB;
        hit.sizeBytes = bytes;
        hit.startOffset = -2;
        hit.extentSectors = bytes / 512;
        return true;
    };
    r.sizeFromGptEntry = true;
    r.selectedStatus = "HFS+ partition selected....";
    r.family = "hfs";
    return r;
}

}  // namespace vel
