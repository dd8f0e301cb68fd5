// How partition tables and the lost-volume scan know FAT volumes.
#include <cstring>

#include "fs/common/Endian.h"
#include "fs/common/FileSystemTable.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"

namespace vel {

namespace {

bool fatProbe(const std::uint8_t* b, bool fat32, VolumeStart& out) {
    FatGeometry g;
    if (!readBiosParameterBlock(b, fat32, g)) return false;
    out.sizeBytes = static_cast<std::int64_t>(g.totalSectors * g.bytesPerSector);
    return true;
}

bool fatSectorTest(const std::uint8_t* s, bool fat32, SectorHit& hit) {
    VolumeStart v;
    if (!fatProbe(s, fat32, v)) return false;
    hit.sizeBytes = v.sizeBytes;
    hit.extentSectors = v.sizeBytes / 512;
    return true;
}

// The parameter blocks of a boot sector and its copy agree; the boot code may not.
constexpr std::size_t kFat32ParameterBytes = 90;

// The scan met a FAT32 boot sector: it may be the copy in the reserved sectors of a volume whose
// first sector is gone. The copy names its own sector; the FAT lies behind the reserved sectors.
void fat32PlaceHit(const std::uint8_t* s, const SectorPeek& peek, SectorHit& hit) {
    FatGeometry g;
    if (!readBiosParameterBlock(s, true, g)) return;
    const std::uint32_t field = le16(s + kBackupBootField);
    if (field == 0 || field >= g.reservedSectors) return;
    const std::int64_t scale = g.bytesPerSector / 512;
    auto same = [](const std::uint8_t* a, const std::uint8_t* b) {
        return std::memcmp(a, b, kFat32ParameterBytes) == 0;
    };
    // FAT entry 0 carries the media byte, entry 1 the end-of-chain mark.
    auto fatAt = [&](std::int64_t delta) {
        std::uint8_t fat[512];
        if (!peek(delta + std::int64_t{g.reservedSectors} * scale, fat, sizeof fat)) return false;
        return fat[0] == s[21] && fat[1] == 0xFF && fat[2] == 0xFF && (fat[3] & 0x0F) == 0x0F;
    };
    placeBootCopy(s, peek, std::int64_t{field} * scale, same, fatAt, hit);
}

FileSystemRow fatRow(const char* name, bool fat32) {
    FileSystemRow r;
    r.name = name;
    r.gptTypes = {gptGuid(kBasicDataGuid)};
    r.probe = [fat32](const std::uint8_t* b, VolumeStart& out) { return fatProbe(b, fat32, out); };
    r.sectorKeys = {{0, 0xEB}, {0, 0xE9}};
    r.sectorTest = [fat32](const std::uint8_t* s, SectorHit& hit) {
        return fatSectorTest(s, fat32, hit);
    };
    r.family = "fat";
    return r;
}

}  // namespace

FileSystemRow fat32FileSystemRow() {
    FileSystemRow r = fatRow("FAT32", true);
    r.mbrTypes = {{0x0B, "found FAT 32...", "found FAT 32..."},
                  {0x0C, "found FAT 32...", "found FAT 32..."}};
    r.foundStatus = "found FAT 32...";
    r.placeHit = fat32PlaceHit;
    r.backupBoot = [](const readWriteInterface& volume, std::int64_t, std::uint8_t* out) {
        return fat32BackupBootSector(volume, out);
    };
    r.create = [](const VolumeDescriptor& v, const ParserOptions& o) {
        return std::make_unique<Fat32Class>(v, o);
    };
    return r;
}

FileSystemRow fat16FileSystemRow() {
    FileSystemRow r = fatRow("FAT16", false);
    r.aliases = {"FAT"};
    r.mbrTypes = {{0x04, "found FAT 16...", "found FAT 16..."},
                  {0x06, "found FAT 16...", "found FAT 16..."},
                  {0x0E, "found FAT 16...", "found FAT 16..."}};
    r.foundStatus = "found FAT 16...";
    r.create = [](const VolumeDescriptor& v, const ParserOptions& o) {
        return std::make_unique<Fat16Class>(v, o);
    };
    return r;
}

FileSystemRow fat12FileSystemRow() {
    // Found by its type byte only: the FAT16 probe recognises FAT12 boot sectors too.
    FileSystemRow r;
    r.name = "FAT12";
    r.mbrTypes = {{0x01, "", ""}};
    r.create = [](const VolumeDescriptor& v, const ParserOptions& o) {
        return std::make_unique<Fat16Class>(v, o);
    };
    r.family = "fat";
    return r;
}

}  // namespace vel
