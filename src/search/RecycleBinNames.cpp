#include "search/RecycleBinNames.h"

#include <cctype>
#include <unordered_map>
#include <vector>

#include "core/EntryWriter.h"
#include "core/VolumeDescriptor.h"
#include "scan/VolumeParser.h"
#include "search/RecycleBinIndex.h"

namespace vel {

namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return i == a.size() && !b[i];
}

// Windows names the folder "$RECYCLE.BIN" on most volumes and "$Recycle.Bin" on the system one.
bool isRecycleBin(const std::string& name) {
    return equalsIgnoringCase(name, "$RECYCLE.BIN") || equalsIgnoringCase(name, "$RECYCLEBIN");
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The former name an index file records, or "" when it cannot be read or names nothing.
std::string readFormerName(VolumeParser& parser, ItemData index) {
    const std::uint64_t size = parser.entrySize(index);
    if (size < recycle::kV1PathOffset || size > recycle::kMaxIndexBytes) return "";
    MemoryWriter data(static_cast<std::size_t>(size));
    if (!parser.writeEntry(index, data)) return "";
    auto decoded = recycle::decodeIndexFile(data.bytes().data(), data.bytes().size());
    return decoded ? recycle::formerName(decoded->path) : "";
}

std::vector<ItemData> childrenOf(const VolumeParser& parser, ItemData folder) {
    std::vector<ItemData> children;
    parser.forEachChild(folder, [&](ItemData c) {
        children.push_back(c);
        return true;
    });
    return children;
}

std::size_t restoreUserFolder(VolumeParser& parser, ItemData user) {
    const std::vector<ItemData> entries = childrenOf(parser, user);
    // Data-file name ("$R" + suffix) -> former name, from this user's index files only.
    std::unordered_map<std::string, std::string> names;
    for (ItemData e : entries) {
        if (parser.isFolder(e)) continue;
        std::string name = parser.entryName(e);
        if (!startsWith(name, "$I")) continue;
        std::string former = readFormerName(parser, e);
        if (!former.empty()) names["$R" + name.substr(2)] = std::move(former);
    }
    if (names.empty()) return 0;
    std::size_t renamed = 0;
    for (ItemData e : entries) {
        auto it = names.find(trimRight(parser.entryName(e)));
        if (it == names.end()) continue;
        parser.setEntryName(e, it->second);
        ++renamed;
    }
    return renamed;
}

}  // namespace

std::size_t restoreRecycleBinNames(VolumeParser& parser) {
    const ResultsTree* tree = parser.resultsTree;
    if (!tree) return 0;
    TreeItem top = parser.volumeRootItem ? parser.volumeRootItem : tree->firstChild(kNoItem);
    if (top == kNoItem) return 0;
    std::vector<ItemData> bins;
    for (TreeItem c = tree->firstChild(top); c; c = tree->nextSibling(c)) {
        ItemData e = tree->itemData(c);
        if (parser.isEntry(e) && parser.isFolder(e) && isRecycleBin(tree->itemText(c)))
            bins.push_back(e);
    }
    std::size_t renamed = 0;
    for (ItemData bin : bins)
        for (ItemData user : childrenOf(parser, bin))
            if (parser.isFolder(user)) renamed += restoreUserFolder(parser, user);
    return renamed;
}

}  // namespace vel
