// Which entries count as the file system's own files, on real volumes and by the folder rule.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "device/FileReadSeek.h"
#include "fs/common/FileSystemTable.h"
#include "scan/MemoryTree.h"
#include "scan/ResultsWalk.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

struct Scanned {
    ItemData entry = kNoData;
    bool system = false;
};

// Scans a fixture volume and tells, for every path below the top item, whether it is a system
// entry by its folders as the parser links them.
std::map<std::string, Scanned> scanSystemEntries(const std::string& image,
                                                 const std::string& fileSystem, int mode) {
    const std::string path = fixtureImage(image + ".img");
    FileReadSeek reader;
    EXPECT_TRUE(reader.openDevice(path));
    const VolumeDescriptor volume{fileSystem, "", "", std::to_string(fs::file_size(path) >> 20), 0};
    auto parser = createParser(FileSystemTable::builtin(), volume, ParserOptions{});
    EXPECT_NE(parser, nullptr);
    MemoryTree tree;
    NullSink sink;
    parser->attach(&reader, &tree, &sink);
    parser->runWorker(mode);
    std::map<std::string, Scanned> out;
    std::vector<ItemData> folders;
    std::function<void(ItemData, const std::string&)> walk = [&](ItemData folder,
                                                                 const std::string& prefix) {
        parser->forEachChild(folder, [&](ItemData c) {
            const std::string p = prefix + parser->entryName(c);
            out[p] = {c, isSystemEntry(*parser, c, folders)};
            if (parser->isFolder(c) && parser->enterOnSave(c) && folders.size() < 32) {
                folders.push_back(c);
                walk(c, p + "/");
                folders.pop_back();
            }
            return true;
        });
    };
    const TreeItem top = tree.firstChild(kNoItem);
    for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c)) {
        const ItemData d = tree.itemData(c);
        if (!parser->isEntry(d)) continue;
        out[tree.itemText(c)] = {d, isSystemEntry(*parser, d, {})};
        if (parser->isFolder(d) && parser->enterOnSave(d)) {
            folders.push_back(d);
            walk(d, tree.itemText(c) + "/");
            folders.pop_back();
        }
    }
    parser->attach(nullptr, nullptr, nullptr);
    return out;
}

}  // namespace

TEST(SystemEntries, NtfsMetafilesAndExtendsContentsButNotTheRecycleBin) {
    const auto found = scanSystemEntries("recycle-ntfs", "NTFS", 1);
    struct Case {
        const char* path;
        bool system;
    };
    for (const Case& c :
         {Case{"$MFTMirr", true}, Case{"$LogFile", true}, Case{"$UpCase", true},
          Case{"$BadClus", true}, Case{"$Extend", true}, Case{"$Extend/$Quota", true},
          Case{"$Extend/$ObjId", true}, Case{"$RECYCLE.BIN", false},
          Case{"$RECYCLE.BIN/S-1-5-21-1000-1001/report.docx", false},
          Case{"$RECYCLE.BIN/S-1-5-21-1000-1001/$IA1B2C3.docx", false}, Case{"root.jpg", false},
          Case{"photos/Gone Photo.jpg", false},
          Case{"Old Pics/Inner Dir/Deeper Photo.jpg", false}}) {
        SCOPED_TRACE(c.path);
        auto it = found.find(c.path);
        ASSERT_NE(it, found.end());
        EXPECT_EQ(it->second.system, c.system);
    }
}

TEST(SystemEntries, EachMftCopyOfADeepScanHasItsOwnMetafiles) {
    // Deep entries are numbered in disk order: a record's place in its own MFT decides.
    const auto found = scanSystemEntries("ntfs-reformat", "NTFS", 3);
    int copies = 0;
    for (const std::string copy : {"ORPHAN_ENTRY/MFT_COPY_0", "ORPHAN_ENTRY/MFT_COPY_1"}) {
        SCOPED_TRACE(copy);
        auto root = found.find(copy);
        ASSERT_NE(root, found.end());
        EXPECT_FALSE(root->second.system);  // the copy's root holds everyone's files
        int metafiles = 0, files = 0;
        for (const auto& [path, s] : found) {
            if (path.rfind(copy + "/", 0) != 0) continue;
            const std::string name = path.substr(copy.size() + 1);
            const bool metafile = name.rfind("$", 0) == 0 && name.find('/') == std::string::npos &&
                                  name != "$RECYCLE.BIN";
            EXPECT_EQ(s.system, metafile || name.rfind("$Extend/", 0) == 0) << path;
            metafiles += metafile;
            files += !s.system;
        }
        EXPECT_GE(metafiles, 3);
        EXPECT_GT(files, 0);
        ++copies;
    }
    EXPECT_EQ(copies, 2);
}
