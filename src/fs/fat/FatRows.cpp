// How partition tables and the lost-volume scan know FAT volumes.
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
