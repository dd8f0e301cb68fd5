#include "cli/EntryJson.h"

#include <cstdio>

namespace vel::cli {

nlohmann::json entryJson(const VolumeParser& parser, ItemData entry, const std::string& path,
                         bool folder, bool deleted) {
    bool isEntry = parser.isEntry(entry);
    EntryColumns cols = isEntry ? parser.entryColumns(entry) : EntryColumns{};
    std::uint64_t size = isEntry && !folder ? parser.entrySize(entry) : 0;
    std::string sizeText = isEntry && !folder ? parser.entrySizeText(entry) : "";
    nlohmann::json line = {{"path", path},
                           {"type", folder ? "dir" : "file"},
                           {"deleted", deleted},
                           {"size", size},
                           {"size_text", sizeText},
                           {"created", cols.created},
                           {"accessed", cols.accessed},
                           {"modified", cols.modified},
                           {"attributes", cols.attributes}};
    if (const std::string note = isEntry ? parser.recoveryNote(entry) : ""; !note.empty())
        line["recovery"] = note;
    return line;
}

void putJsonLine(const nlohmann::json& line) {
    std::puts(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

}  // namespace vel::cli
