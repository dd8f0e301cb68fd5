#include "scan/ResultsWalk.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <vector>

#include "scan/Formats.h"

namespace vel {

void walkResults(const VolumeParser& parser, const ResultsTree& tree, TreeItem top,
                 const std::function<bool(const WalkedItem&)>& visit) {
    WalkedItem topItem{tree.itemText(top), tree.itemData(top), true, false, 0};
    if (!visit(topItem)) return;

    struct Pending {
        ItemData data;
        std::string path;
        bool deleted;
        int depth;
    };
    std::unordered_set<ItemData> entered;
    std::vector<Pending> stack;
    // First level as the tree holds it, so its colours are the parser's own decision.
    std::vector<Pending> firstLevel;
    for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c)) {
        ItemData d = tree.itemData(c);
        if (!parser.isEntry(d)) continue;
        firstLevel.push_back(
            {d, topItem.path + "/" + tree.itemText(c), tree.itemColour(c) == kDeletedColour, 1});
    }
    stack.assign(firstLevel.rbegin(), firstLevel.rend());
    while (!stack.empty()) {
        Pending p = std::move(stack.back());
        stack.pop_back();
        bool folder = parser.isFolder(p.data);
        WalkedItem w{p.path, p.data, folder, p.deleted, p.depth};
        if (!visit(w) || !folder || !entered.insert(p.data).second) continue;
        std::vector<Pending> children;
        parser.forEachChild(p.data, [&](ItemData child) {
            children.push_back({child, p.path + "/" + parser.entryName(child),
                                parser.isDeleted(child, p.data), p.depth + 1});
            return true;
        });
        stack.insert(stack.end(), std::make_move_iterator(children.rbegin()),
                     std::make_move_iterator(children.rend()));
    }
}

bool foundNoFiles(const VolumeParser& parser, const ResultsTree& tree, TreeItem top) {
    bool found = false;
    walkResults(parser, tree, top, [&](const WalkedItem& w) {
        if (found || (w.depth > 0 && parser.isMetadata(w.data))) return false;
        found = w.depth > 0 && !w.folder;
        return !found;
    });
    return !found;
}

bool isSystemEntry(const VolumeParser& parser, ItemData entry,
                   const std::vector<ItemData>& folders) {
    if (parser.isEntry(entry) && parser.isMetadata(entry)) return true;
    for (ItemData folder : folders)
        if (parser.isEntry(folder) && parser.isMetadata(folder)) return true;
    return false;
}

bool isSystemItem(const VolumeParser& parser, const ResultsTree& tree, TreeItem item) {
    // Up to the item below the top: the top item stands for the volume itself. The guard ends
    // the climb on a tree whose parent links loop.
    TreeItem at = item;
    for (int depth = 0; at != kNoItem && tree.parent(at) != kNoItem && depth < 4096; ++depth) {
        const ItemData d = tree.itemData(at);
        if (parser.isEntry(d) && parser.isMetadata(d)) return true;
        at = tree.parent(at);
    }
    return false;
}

namespace {
// Adds entry and everything below it, each folder entered once.
void addBelow(const VolumeParser& parser, ItemData entry, bool deleted,
              std::unordered_set<ItemData>& entered, EntryTotals& totals) {
    std::vector<std::pair<ItemData, bool>> stack{{entry, deleted}};
    while (!stack.empty()) {
        const ItemData e = stack.back().first;
        const bool gone = stack.back().second;
        stack.pop_back();
        if (!parser.isFolder(e)) {
            ++totals.files;
            totals.deletedFiles += gone;
            totals.bytes += parser.entrySize(e);
            continue;
        }
        // Folders a save does not enter (NTFS's "." link back to the root) are not counted.
        if (!parser.enterOnSave(e)) continue;
        ++totals.folders;
        if (!entered.insert(e).second) continue;
        parser.forEachChild(e, [&](ItemData child) {
            stack.push_back({child, parser.isDeleted(child, e)});
            return true;
        });
    }
}

std::string withSeparators(std::int64_t n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > (n < 0 ? 1 : 0); at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}
}  // namespace

EntryTotals countResults(const VolumeParser& parser, const ResultsTree& tree, TreeItem top) {
    EntryTotals totals;
    std::unordered_set<ItemData> entered;
    for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c)) {
        const ItemData d = tree.itemData(c);
        if (parser.isEntry(d))
            addBelow(parser, d, tree.itemColour(c) == kDeletedColour, entered, totals);
    }
    return totals;
}

EntryTotals countChecked(const VolumeParser& parser, const ResultsTree& tree, TreeItem top) {
    EntryTotals totals;
    if (!top || tree.checkState(top) == CheckState::Unchecked) return totals;
    if (tree.checkState(top) == CheckState::Checked) return countResults(parser, tree, top);
    std::unordered_set<ItemData> entered;
    std::vector<TreeItem> partial{top};
    while (!partial.empty()) {
        const TreeItem item = partial.back();
        partial.pop_back();
        for (TreeItem c = tree.firstChild(item); c; c = tree.nextSibling(c)) {
            const ItemData d = tree.itemData(c);
            const CheckState state = tree.checkState(c);
            if (state == CheckState::Unchecked || !parser.isEntry(d)) continue;
            if (state == CheckState::Checked)
                addBelow(parser, d, tree.itemColour(c) == kDeletedColour, entered, totals);
            else
                partial.push_back(c);
        }
    }
    return totals;
}

std::string totalsText(const EntryTotals& t) {
    std::string text = withSeparators(t.folders) + (t.folders == 1 ? " folder, " : " folders, ") +
                       withSeparators(t.files) + (t.files == 1 ? " file" : " files");
    if (t.deletedFiles > 0) text += " (" + withSeparators(t.deletedFiles) + " deleted)";
    return text + ", " +
           sizeText(static_cast<std::int64_t>(
               std::min<std::uint64_t>(t.bytes, std::numeric_limits<std::int64_t>::max())));
}

FoundPath findResultPath(const VolumeParser& parser, const ResultsTree& tree, TreeItem top,
                         const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    FoundPath result;
    if (parts.empty() || parts[0] != tree.itemText(top)) return result;
    result.item = top;
    result.data = tree.itemData(top);
    for (std::size_t i = 1; i < parts.size(); ++i) {
        bool matched = false;
        if (result.item != kNoItem) {
            for (TreeItem c = tree.firstChild(result.item); c; c = tree.nextSibling(c)) {
                if (tree.itemText(c) == parts[i] && parser.isEntry(tree.itemData(c))) {
                    result.item = c;
                    result.data = tree.itemData(c);
                    matched = true;
                    break;
                }
            }
        }
        if (!matched && parser.isEntry(result.data) && parser.isFolder(result.data)) {
            ItemData folder = result.data;
            parser.forEachChild(folder, [&](ItemData child) {
                if (parser.entryName(child) != parts[i]) return true;
                result.item = kNoItem;
                result.data = child;
                matched = true;
                return false;
            });
        }
        if (!matched) return FoundPath{};
    }
    result.found = true;
    return result;
}

}  // namespace vel
