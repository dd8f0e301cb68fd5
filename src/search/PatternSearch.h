#pragma once
// The search over what a scan found: every file below the top item (the first level as the tree
// holds it, deeper levels from the parser's own records) whose name the pattern matches.
// Works through the parser interface only, so every file system is searched alike.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scan/ResultsTree.h"
#include "scan/ScanSink.h"
#include "scan/VolumeParser.h"
#include "scan/WorkerControl.h"
#include "search/SearchPattern.h"

namespace vel {

inline constexpr const char* kSearchFinishedText = "Searching Finished";

// A folder the search entered. parent indexes SearchResult::folders; -1 is the search's start.
struct SearchFolder {
    ItemData entry = kNoData;
    std::int32_t parent = -1;
};

struct SearchHit {
    ItemData entry = kNoData;
    std::int32_t folder = -1;  // the folder it is in (SearchResult::folders), -1: the start
    std::string path;          // captions joined by "/", from the top item
    bool deleted = false;      // its deleted look, or that of a folder it is in
};

struct SearchResult {
    std::vector<SearchFolder> folders;
    std::vector<SearchHit> hits;
    std::int64_t filesTested = 0;
    bool stopped = false;

    // The folders from the start down to the hit's own folder.
    std::vector<ItemData> foldersOf(const SearchHit& hit) const;
};

class PatternSearch {
  public:
    // stop ends the walk (and holds it while paused); the sink gets the progress and the status
    // line "searched file %lld" with the hit count.
    PatternSearch(const VolumeParser& parser, ScanSink& sink, const StopFlag& stop)
        : parser_(parser), sink_(sink), stop_(stop) {}

    // Everything below the tree's top item.
    SearchResult searchTree(const SearchPattern& pattern, const ResultsTree& tree, TreeItem top);
    // Everything below a folder entry whose path is path; a file entry is tested itself.
    SearchResult searchEntry(const SearchPattern& pattern, ItemData entry, const std::string& path,
                             bool deletedLook);

    // Called on the searching thread for each hit as it is found.
    std::function<void(const SearchHit&)> onHit;

  private:
    struct Start {
        ItemData entry;
        std::string parentPath, name;
        bool deleted;
    };
    SearchResult run(const SearchPattern& pattern, const std::vector<Start>& starts);

    const VolumeParser& parser_;
    ScanSink& sink_;
    const StopFlag& stop_;
};

}  // namespace vel
