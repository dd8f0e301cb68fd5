#include "fs/ext/ExtProbe.h"

#include "fs/ext/ExtLayout.h"
#include "fs/ext/ext2Class.h"

namespace vel {

VolumeStart extSuperblock(const std::uint8_t* s, bool primaryOnly) {
    // The lost-volume scan has only the superblock's first sector; the rest reads as zeros.
    auto parsed = extfmt::parseSuperblock(ByteView(s, 512));
    if (!parsed || (primaryOnly && parsed->blockGroupNr != 0)) return {};
    return {"extX", static_cast<std::int64_t>(parsed->volumeBytes())};
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
    r.create = [](const VolumeDescriptor& volume, const ParserOptions& options) {
        return std::make_unique<ext2Class>(volume, options);
    };
    r.family = "ext";
    return r;
}

}  // namespace vel
