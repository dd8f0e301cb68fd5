#include "scan/ParserChoice.h"

namespace vel {

ParserKind chooseParser(const std::string& fileSystem) {
    (void)fileSystem;
    return ParserKind::None;
}

std::unique_ptr<VolumeParser> createParser(ParserKind kind, const VolumeDescriptor& volume) {
    (void)kind;
    (void)volume;
    return nullptr;
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
