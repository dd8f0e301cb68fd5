#include "search/PatternSearch.h"

#include <chrono>
#include <cstdio>
#include <unordered_set>

#include "core/VolumeDescriptor.h"

namespace vel {

namespace {
constexpr std::int64_t kStopPollEvery = 256;
// The hit count is told at a pace a reader can follow, and always at the end.
constexpr std::chrono::milliseconds kStatusEvery{50};
}  // namespace

std::vector<ItemData> SearchResult::foldersOf(const SearchHit& hit) const {
    std::vector<ItemData> chain;
    // Parents come before their children in the table, so the walk up always ends.
    for (std::int32_t f = hit.folder; f >= 0 && static_cast<std::size_t>(f) < folders.size();
         f = folders[static_cast<std::size_t>(f)].parent) {
        chain.push_back(folders[static_cast<std::size_t>(f)].entry);
        if (folders[static_cast<std::size_t>(f)].parent >= f) break;
    }
    return {chain.rbegin(), chain.rend()};
}

SearchResult PatternSearch::searchTree(const SearchPattern& pattern, const ResultsTree& tree,
                                       TreeItem top) {
    std::vector<Start> starts;
    const std::string base = tree.itemText(top);
    // The first level as the parser put it into the tree, with the colours it chose.
    for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c)) {
        ItemData e = tree.itemData(c);
        if (parser_.isEntry(e))
            starts.push_back({e, base, tree.itemText(c), tree.itemColour(c) == kDeletedColour});
    }
    return run(pattern, starts);
}

SearchResult PatternSearch::searchEntry(const SearchPattern& pattern, ItemData entry,
                                        const std::string& path, bool deletedLook) {
    std::size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return run(pattern, {{entry, parent, name, deletedLook}});
}

SearchResult PatternSearch::run(const SearchPattern& pattern, const std::vector<Start>& starts) {
    SearchResult result;
    std::int64_t sinceStopPoll = 0;
    std::size_t toldHits = 0;
    auto lastTold = std::chrono::steady_clock::time_point{};
    auto tellHits = [&](bool always) {
        auto now = std::chrono::steady_clock::now();
        if (toldHits == result.hits.size() || (!always && now - lastTold < kStatusEvery)) return;
        char status[64];
        std::snprintf(status, sizeof status, "searched file %lld",
                      static_cast<long long>(result.hits.size()));
        sink_.setStatusText(status);
        toldHits = result.hits.size();
        lastTold = now;
    };

    auto addHit = [&](ItemData file, std::int32_t folder, const std::string& folderPath,
                      const std::string& name, bool deleted) {
        result.hits.push_back({file, folder, folderPath + "/" + name, deleted});
        if (onHit) onHit(result.hits.back());
        tellHits(false);
    };

    // Folders are walked depth first in each one's own child order, as the tree would list them;
    // each is entered once however the on-disk links loop.
    struct Level {
        std::vector<ItemData> children;
        std::size_t next = 0;
        ItemData folder;
        std::int32_t index;
        std::string path;
        bool deleted;
    };
    std::unordered_set<ItemData> entered;
    std::vector<Level> stack;
    auto enter = [&](ItemData folder, std::int32_t parent, std::string path, bool deleted) {
        if (!parser_.enterOnSave(folder) || !entered.insert(folder).second) return;
        auto index = static_cast<std::int32_t>(result.folders.size());
        result.folders.push_back({folder, parent});
        Level level{{}, 0, folder, index, std::move(path), deleted};
        parser_.forEachChild(folder, [&](ItemData c) {
            level.children.push_back(c);
            return true;
        });
        stack.push_back(std::move(level));
    };

    sink_.setProgressRange(static_cast<std::int64_t>(starts.size()));
    for (std::size_t i = 0; i < starts.size() && !result.stopped; ++i) {
        sink_.setProgressPosition(static_cast<std::int64_t>(i));
        if (stop_.requested()) {
            result.stopped = true;
            break;
        }
        const Start& s = starts[i];
        if (!parser_.isFolder(s.entry)) {
            ++result.filesTested;
            if (pattern.matches(s.name)) addHit(s.entry, -1, s.parentPath, s.name, s.deleted);
            continue;
        }
        enter(s.entry, -1, s.parentPath + "/" + trim(s.name), s.deleted);
        while (!stack.empty()) {
            if (++sinceStopPoll >= kStopPollEvery) {
                sinceStopPoll = 0;
                if (stop_.requested()) {
                    result.stopped = true;
                    break;
                }
            }
            Level& level = stack.back();
            if (level.next >= level.children.size()) {
                stack.pop_back();
                continue;
            }
            ItemData child = level.children[level.next++];
            if (!parser_.isEntry(child)) continue;
            const std::string name = parser_.entryName(child);
            if (parser_.isFolder(child)) {
                bool deleted = level.deleted || parser_.isDeleted(child, level.folder);
                std::string path = level.path + "/" + trim(name);
                enter(child, level.index, std::move(path), deleted);  // level may move
            } else {
                // The deleted look is asked only of hits: most names do not match.
                ++result.filesTested;
                if (pattern.matches(name))
                    addHit(child, level.index, level.path, name,
                           level.deleted || parser_.isDeleted(child, level.folder));
            }
        }
        stack.clear();
    }
    tellHits(true);
    sink_.setProgressPosition(static_cast<std::int64_t>(starts.size()));
    return result;
}

}  // namespace vel
