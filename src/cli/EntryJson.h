#pragma once
// One tree item or search hit as the list shows it, for --json output.
#include <nlohmann/json.hpp>
#include <string>

#include "scan/VolumeParser.h"

namespace vel::cli {

// path, type ("dir" or "file"), deleted, size, size_text, created, accessed, modified,
// attributes; the texts are empty for an item that is no entry (the top item).
nlohmann::json entryJson(const VolumeParser& parser, ItemData entry, const std::string& path,
                         bool folder, bool deleted);

// One line of JSON on stdout; names that are not UTF-8 are repaired, never refused.
void putJsonLine(const nlohmann::json& line);

}  // namespace vel::cli
