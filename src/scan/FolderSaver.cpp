#include "scan/FolderSaver.h"

#include <cstdio>
#include <unordered_set>

#include "platform/OutputFile.h"
#include "platform/OutputPath.h"

namespace vel {

namespace {
std::vector<ItemData> childrenOf(const VolumeParser& parser, ItemData folder) {
    std::vector<ItemData> children;
    parser.forEachChild(folder, [&](ItemData child) {
        children.push_back(child);
        return true;
    });
    return children;
}
}  // namespace

std::int64_t FolderSaver::countFolderFiles(ItemData folder) {
    std::int64_t count = 0;
    std::unordered_set<ItemData> seen{folder};
    std::vector<ItemData> pending{folder};
    while (!pending.empty()) {
        ItemData f = pending.back();
        pending.pop_back();
        parser_.forEachChild(f, [&](ItemData child) {
            if (!parser_.isFolder(child))
                ++count;
            else if (parser_.enterOnSave(child) && seen.insert(child).second)
                pending.push_back(child);
            return true;
        });
    }
    return count;
}

std::int64_t FolderSaver::countFiles(const ResultsTree& tree, TreeItem item) {
    ItemData data = tree.itemData(item);
    if (parser_.isEntry(data)) return parser_.isFolder(data) ? countFolderFiles(data) : 1;
    std::int64_t count = 0;
    for (TreeItem c = tree.firstChild(item); c; c = tree.nextSibling(c)) {
        ItemData e = tree.itemData(c);
        if (!parser_.isEntry(e)) continue;
        count += parser_.isFolder(e) ? (parser_.enterOnSave(e) ? countFolderFiles(e) : 0) : 1;
    }
    return count;
}

std::string FolderSaver::folderDestination(ItemData folder, const std::string& destination,
                                           SaveReport& report) {
    // A folder without a usable name keeps its files in the parent's destination.
    auto name = safeFileName(trim(parser_.entryName(folder)));
    if (!name) return destination;
    std::string path = joinPath(destination, *name);
    if (!makeFolder(path)) report.failures.push_back(path + "/");
    return path;
}

void FolderSaver::saveOne(ItemData file, const std::string& destination, SaveReport& report) {
    ++report.filesHandled;
    std::string name = safeFileName(trim(parser_.entryName(file))).value_or("unnamed");
    std::string path = uniqueOutputPath(destination, name);
    sink_.setStatusText("saving File  " + path);
    if (onFileSizeText) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "File size: %ld kb",
                      static_cast<long>(parser_.saveSizeKiB(file)));
        onFileSizeText(buf);
    }
    if (!parser_.skipOnSave(file)) {
        ReadDamageScope damage;
        const bool whole = parser_.extractEntry(path, file);
        // Unreadable sectors were written as zeros: the file is there, but not as it was.
        if (damage.unreadableBytes() > 0)
            report.damaged.push_back(path);
        else if (whole)
            ++report.filesWritten;
        else
            report.failures.push_back(path);
    }
    if (onFileSizeText) onFileSizeText("");
}

void FolderSaver::dumpFolder(ItemData folder, const std::string& destination, SaveReport& report) {
    struct Level {
        std::vector<ItemData> children;
        std::size_t next = 0;
        std::string destination;
    };
    std::unordered_set<ItemData> seen{folder};
    std::vector<Level> stack;
    stack.push_back({childrenOf(parser_, folder), 0, trimRight(destination)});
    while (!stack.empty()) {
        if (stop_.requested()) {
            report.stopped = true;
            return;
        }
        Level& level = stack.back();
        if (level.next >= level.children.size()) {
            stack.pop_back();
            continue;
        }
        ItemData child = level.children[level.next++];
        sink_.setProgressPosition(report.filesHandled);
        if (parser_.isFolder(child)) {
            // Each folder is entered once, however the on-disk links loop.
            if (!parser_.enterOnSave(child) || !seen.insert(child).second) continue;
            std::string dest = folderDestination(child, level.destination, report);
            stack.push_back({childrenOf(parser_, child), 0, dest});
        } else {
            saveOne(child, level.destination, report);
        }
    }
}

SaveReport FolderSaver::saveEntry(ItemData entry, const std::string& outputDir) {
    SaveReport report;
    if (!parser_.isEntry(entry)) return report;
    if (parser_.isFolder(entry))
        dumpFolder(entry, outputDir, report);
    else
        saveOne(entry, outputDir, report);
    return report;
}

SaveReport FolderSaver::saveItem(const ResultsTree& tree, TreeItem item,
                                 const std::string& outputDir) {
    ItemData data = tree.itemData(item);
    if (parser_.isEntry(data)) return saveEntry(data, outputDir);
    SaveReport report;
    // The top item stands for the volume: its children are the first level.
    for (TreeItem c = tree.firstChild(item); c && !report.stopped; c = tree.nextSibling(c)) {
        ItemData e = tree.itemData(c);
        if (!parser_.isEntry(e)) continue;
        if (stop_.requested()) {
            report.stopped = true;
            break;
        }
        if (parser_.isFolder(e)) {
            if (!parser_.enterOnSave(e)) continue;
            dumpFolder(e, folderDestination(e, outputDir, report), report);
        } else {
            saveOne(e, outputDir, report);
        }
    }
    return report;
}

SaveReport FolderSaver::saveFile(ItemData file, const std::string& outputDir) {
    SaveReport report;
    if (parser_.isEntry(file) && !parser_.isFolder(file)) saveOne(file, outputDir, report);
    return report;
}

SaveReport FolderSaver::saveFiles(const std::vector<PlacedFile>& files,
                                  const std::string& outputDir) {
    SaveReport report;
    for (const PlacedFile& f : files) {
        if (stop_.requested()) {
            report.stopped = true;
            break;
        }
        if (!parser_.isEntry(f.file) || parser_.isFolder(f.file)) continue;
        sink_.setProgressPosition(report.filesHandled);
        std::string destination = trimRight(outputDir);
        for (ItemData folder : f.folders)
            if (parser_.isEntry(folder))
                destination = folderDestination(folder, destination, report);
        saveOne(f.file, destination, report);
    }
    return report;
}

}  // namespace vel
