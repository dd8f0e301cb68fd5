#include "fs/hfsplus/HfsProbe.h"

#include "fs/hfsplus/HFSP.h"
#include "fs/hfsplus/HfsLayout.h"

namespace vel {

namespace {
// Larger volumes come from garbage; the scan lists nothing that big.
constexpr std::int64_t kMaxMiB = 20971519;
}  // namespace

std::int64_t hfsPlusVolumeBytes(const std::uint8_t* h) {
    // The parser's own rule, so the probe and the parser never disagree on a header.
    auto header = hfs::parseVolumeHeader({h, hfs::kVolumeHeaderSize});
    if (!header) return -1;
    std::uint64_t bytes = header->volumeBytes();
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
    r.create = [](const VolumeDescriptor& v, const ParserOptions& o) {
        return std::make_unique<HFSP>(v, o);
    };
    r.selectedStatus = "HFS+ partition selected....";
    r.family = "hfs";
    return r;
}

}  // namespace vel
