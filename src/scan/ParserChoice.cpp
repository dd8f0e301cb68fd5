#include "scan/ParserChoice.h"

#include "fs/exfat/Fat64Class.h"
#include "fs/ext/ext2Class.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"
#include "fs/ntfs/ntfs.h"

namespace vel {

ParserKind chooseParser(const std::string& fileSystem) {
    if (equalsIgnoreCase(fileSystem, "ntfs")) return ParserKind::Ntfs;
    if (equalsIgnoreCase(fileSystem, "fat64") || equalsIgnoreCase(fileSystem, "exFat"))
        return ParserKind::Exfat;
    if (equalsIgnoreCase(fileSystem, "fat32")) return ParserKind::Fat32;
    // "FAT12" is what the partition walk reports for type 0x01; the FAT12/16 parser reads it.
    if (equalsIgnoreCase(fileSystem, "fat16") || equalsIgnoreCase(fileSystem, "fat") ||
        equalsIgnoreCase(fileSystem, "fat12"))
        return ParserKind::Fat16;
    if (equalsIgnoreCase(fileSystem, "extX")) return ParserKind::Ext;
    return ParserKind::None;
}

std::unique_ptr<VolumeParser> createParser(ParserKind kind, const VolumeDescriptor& volume) {
    switch (kind) {
        case ParserKind::Exfat:
            return std::make_unique<Fat64Class>(volume);
        case ParserKind::Fat32:
            return std::make_unique<Fat32Class>(volume);
        case ParserKind::Fat16:
            return std::make_unique<Fat16Class>(volume);
        case ParserKind::Ntfs:
            return std::make_unique<ntfs>(volume);
        case ParserKind::Ext:
            return std::make_unique<ext2Class>(volume);
        default:
            return nullptr;
    }
}

std::string parserSelectedStatus(ParserKind kind) {
    switch (kind) {
        case ParserKind::Ntfs:
            return "ntfs partition selected....";
        case ParserKind::Hfsp:
            return "HFS+ partition selected....";
        default:
            return "";
    }
}

}  // namespace vel
