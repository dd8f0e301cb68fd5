#pragma once
// Walks everything a scan found: the first level from the results tree (as the parser put it
// there), deeper levels from the parser's own records, without inserting them into the tree.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "scan/ResultsTree.h"
#include "scan/VolumeParser.h"

namespace vel {

struct WalkedItem {
    std::string path;  // captions joined by "/", from the top item
    ItemData data = kNoData;
    bool folder = false;
    bool deleted = false;
    int depth = 0;
};

// Parents before children, each folder entered once however its links loop. visit returns
// false to skip an item's children.
void walkResults(const VolumeParser& parser, const ResultsTree& tree, TreeItem top,
                 const std::function<bool(const WalkedItem&)>& visit);

// Whether the scan found no file (live or deleted) besides the file system's own metadata.
bool foundNoFiles(const VolumeParser& parser, const ResultsTree& tree, TreeItem top);

// The file system's own bookkeeping rather than anyone's file: an entry the parser marks as
// metadata ($MFT, $LogFile, $Extend ...) or anything inside such a folder ($Extend's $Quota).
// folders: the folders the entry lies in, outermost first, the top item's left out.
bool isSystemEntry(const VolumeParser& parser, ItemData entry,
                   const std::vector<ItemData>& folders);
// The same for an item of the tree, its folders read from the tree.
bool isSystemItem(const VolumeParser& parser, const ResultsTree& tree, TreeItem item);

// Folders and files a scan found, as a listing counts them (the top item not included).
struct EntryTotals {
    std::int64_t folders = 0;
    std::int64_t files = 0;
    std::int64_t deletedFiles = 0;
    std::uint64_t bytes = 0;  // the files' sizes as their records give them
};
// Everything below top.
EntryTotals countResults(const VolumeParser& parser, const ResultsTree& tree, TreeItem top);
// The files below top that Save would write now: checked items whole, partly checked folders
// with the checked part of what they show.
EntryTotals countChecked(const VolumeParser& parser, const ResultsTree& tree, TreeItem top);
// "1,234 folders, 56,789 files (321 deleted), 12.34 GB": after a scan, and for the checked part.
std::string totalsText(const EntryTotals& totals);

// The entry a path names ("ROOT/docs/a.txt"); the top item itself gives kNoData with found set.
struct FoundPath {
    bool found = false;
    TreeItem item = kNoItem;  // set when the path ends at an item of the tree
    ItemData data = kNoData;
};
FoundPath findResultPath(const VolumeParser& parser, const ResultsTree& tree, TreeItem top,
                         const std::string& path);

}  // namespace vel
