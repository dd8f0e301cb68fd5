#include "fs/ext/ExtProbe.h"

#include "fs/common/Endian.h"

namespace vel {

namespace {
constexpr std::uint64_t kMaxSizeBytes = std::uint64_t{1} << 62;
}

VolumeStart extSuperblock(const std::uint8_t* s, bool primaryOnly) {
    if (le16(s + 56) != 0xEF53) return {};
    std::uint32_t logBlock = le32(s + 24);
    if (logBlock > 6) return {};
    std::uint64_t blockSize = 1024u << logBlock;
    if (le32(s + 0) == 0 || le32(s + 32) == 0 || le32(s + 40) == 0) return {};
    if (le32(s + 20) != (logBlock == 0 ? 1u : 0u)) return {};
    if (le32(s + 76) > 1) return {};
    if (primaryOnly && le16(s + 90) != 0) return {};
    std::uint64_t blocks = le32(s + 4);
    if (le32(s + 96) & 0x80) blocks |= static_cast<std::uint64_t>(le32(s + 0x150)) << 32;
    if (blocks == 0 || blocks >= kMaxSizeBytes / blockSize) return {};
    return {"extX", static_cast<std::int64_t>(blocks * blockSize)};
}

FileSystemRow extFileSystemRow() {
    FileSystemRow r;
    r.name = "extX";
    r.aliases = {"ext2", "ext3", "ext4"};
    r.mbrTypes = {{0x83, "found ext2...", "found extx..."}};
    r.gptTypes = {gptGuid("0FC63DAF-8483-4772-8E79-3D69D8477DE4")};
    r.foundStatus = "found extX...";
    r.probe = [](const std::uint8_t* b, VolumeStart& out) {
        out = extSuperblock(b + 1024, true);
        return !out.fileSystem.empty();
    };
    // The superblock's magic lies 56 bytes in; the volume starts two sectors before it.
    r.sectorKeys = {{56, 0x53}};
    r.sectorTest = [](const std::uint8_t* s, SectorHit& hit) {
        VolumeStart v = extSuperblock(s, true);
        if (v.fileSystem.empty()) return false;
        hit.sizeBytes = v.sizeBytes;
        hit.startOffset = -2;
        hit.extentSectors = v.sizeBytes / 512;
        return true;
    };
    r.family = "ext";
    return r;
}

}  // namespace vel
