#pragma once
#include <memory>
#include <string>

#include "scan/VolumeParser.h"

namespace vel {

enum class ParserKind { None, Ntfs, Fat32, Fat16, Exfat, Ext, Hfsp };

// The parser for a descriptor's file-system name (case ignored); None for names no parser reads
// (and for parsers not built into this program yet).
ParserKind chooseParser(const std::string& fileSystem);
std::unique_ptr<VolumeParser> createParser(ParserKind kind, const VolumeDescriptor& volume);
// The status line before the worker starts ("" for none).
std::string parserSelectedStatus(ParserKind kind);

}  // namespace vel
