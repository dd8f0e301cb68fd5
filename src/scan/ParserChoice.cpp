#include "scan/ParserChoice.h"

#include "fs/exfat/Fat64Class.h"

namespace vel {

ParserKind chooseParser(const std::string& fileSystem) {
    if (equalsIgnoreCase(fileSystem, "fat64") || equalsIgnoreCase(fileSystem, "exFat"))
        return ParserKind::Exfat;
    return ParserKind::None;
}

std::unique_ptr<VolumeParser> createParser(ParserKind kind, const VolumeDescriptor& volume) {
    switch (kind) {
        case ParserKind::Exfat:
            return std::make_unique<Fat64Class>(volume);
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
