// The fixture volumes made by mkfs.fat and mtools, scanned and saved through the core, against
// the manifests the generator wrote from the source files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <set>

#include "device/FileReadSeek.h"
#include "fs/common/FileSystemTable.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

// A deleted entry without a long name lost its first character to the deletion mark.
std::string expectedPath(const nlohmann::json& e) {
    std::string path = e["path"];
    if (!e["deleted"].get<bool>() || !e["short_name_only"].get<bool>()) return path;
    auto slash = path.rfind('/');
    std::size_t at = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, at) + "\xEF\xBF\xA5" + path.substr(at + 1);
}

std::int64_t dosTimeAsUtc(const std::string& text) {
    std::tm tm{};
    EXPECT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr) << text;
    return timegm(&tm);
}

struct Found {
    ItemData data;
    bool folder, deleted;
};

class FatImage : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        manifest = test::loadJson(test::sourceDir() + "/tests/fixtures/images/" + GetParam() +
                                  ".manifest.json");
        ASSERT_TRUE(reader.openDevice(test::fixtureImage(GetParam() + ".img")));
        std::string kind = manifest["kind"];
        VolumeDescriptor d{kind == "fat32" ? "FAT32" : (kind == "fat12" ? "FAT12" : "FAT16"), "",
                           "", "34", 0};
        parser = createParser(FileSystemTable::builtin(), d, {});
        ASSERT_NE(parser, nullptr);
        parser->attach(&reader, &tree, &sink);
        result = parser->runWorker(1);
        top = tree.firstChild(kNoItem);
    }

    // Everything found, walked as the results view and the saver walk it: the first level from
    // the tree, deeper levels through the parser's children.
    std::map<std::string, Found> walk() {
        std::map<std::string, Found> out;
        std::vector<std::pair<ItemData, std::string>> folders;
        for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c)) {
            ItemData e = tree.itemData(c);
            bool folder = parser->isFolder(e);
            EXPECT_EQ(tree.itemIcon(c), folder ? IconKind::Folder : IconKind::File);
            EXPECT_EQ(tree.itemColour(c) == kDeletedColour, parser->isDeleted(e, 0));
            std::string name = tree.itemText(c);
            EXPECT_TRUE(out.emplace(name, Found{e, folder, parser->isDeleted(e, 0)}).second)
                << name;
            if (folder) folders.push_back({e, name});
        }
        while (!folders.empty()) {
            auto [f, prefix] = folders.back();
            folders.pop_back();
            parser->forEachChild(f, [&](ItemData c) {
                std::string p = prefix + "/" + parser->entryName(c);
                bool folder = parser->isFolder(c);
                EXPECT_TRUE(out.emplace(p, Found{c, folder, parser->isDeleted(c, f)}).second) << p;
                if (folder) folders.push_back({c, p});
                return true;
            });
        }
        return out;
    }

    nlohmann::json manifest;
    FileReadSeek reader;
    MemoryTree tree;
    NullSink sink;
    std::unique_ptr<VolumeParser> parser;
    WorkerResult result;
    TreeItem top = kNoItem;
};

TEST_P(FatImage, ListsEveryLiveAndDeletedEntryWithItsName) {
    ASSERT_TRUE(result.started);
    ASSERT_TRUE(result.failureBox.empty()) << result.failureBox;
    ASSERT_NE(top, kNoItem);
    EXPECT_EQ(tree.itemText(top), "ROOT");
    auto found = walk();
    std::set<std::string> expected;
    for (const auto& e : manifest["entries"]) {
        std::string path = expectedPath(e);
        expected.insert(path);
        auto it = found.find(path);
        ASSERT_NE(it, found.end()) << "missing " << path;
        EXPECT_EQ(it->second.folder, e["type"] == "dir") << path;
        EXPECT_EQ(it->second.deleted, e["deleted"].get<bool>()) << path;
        if (e["type"] == "file") {
            EXPECT_EQ(parser->entrySize(it->second.data), e["size"].get<std::uint64_t>()) << path;
            std::string attrs = e["attributes"];
            std::string letters = parser->entryColumns(it->second.data).attributes;
            EXPECT_EQ(letters.find("-R") != std::string::npos, attrs == "+r") << path;
            EXPECT_EQ(letters.find("-H") != std::string::npos, attrs == "+h") << path;
        }
    }
    for (const auto& [path, f] : found) EXPECT_TRUE(expected.count(path)) << "unexpected " << path;
    // Folders with children got their expand placeholder.
    for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c))
        if (parser->hasChildren(tree.itemData(c))) {
            EXPECT_EQ(tree.itemText(tree.firstChild(c)), kPlaceholderText);
        }
}

TEST_P(FatImage, SavesEveryFileByteExactWithItsDosTime) {
    ASSERT_NE(top, kNoItem);
    test::TempDir out;
    FolderSaver saver(*parser, sink, parser->stopRequested);
    SaveReport report = saver.saveItem(tree, top, out.path());
    EXPECT_TRUE(report.failures.empty()) << report.failures.front().path;
    std::int64_t files = 0;
    for (const auto& e : manifest["entries"]) {
        std::string path = out.path() + "/" + expectedPath(e);
        if (e["type"] == "dir") {
            EXPECT_TRUE(fs::is_directory(path)) << path;
            continue;
        }
        ++files;
        ASSERT_TRUE(fs::is_regular_file(path)) << path;
        EXPECT_EQ(test::sha256File(path), e["sha256"].get<std::string>()) << path;
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        // The volume holds local calendar time; it becomes the file's time as if it were UTC.
        EXPECT_EQ(st.st_mtim.tv_sec, dosTimeAsUtc(e["dos_mtime"])) << path;
    }
    EXPECT_EQ(report.filesWritten, files);
}

TEST_P(FatImage, VolumeLayoutIsWhatTheFixtureMeansToTest) {
    ASSERT_NE(top, kNoItem);
    std::string kind = manifest["kind"];
    if (auto* p16 = dynamic_cast<Fat16Class*>(parser.get())) {
        EXPECT_EQ(p16->isFat12(), kind == "fat12");
    } else {
        auto* p32 = dynamic_cast<Fat32Class*>(parser.get());
        ASSERT_NE(p32, nullptr);
        // The root spans several clusters and is not contiguous.
        const auto& root = p32->rootClusters();
        ASSERT_GT(root.size(), 2u);
        bool gap = false;
        for (std::size_t i = 1; i < root.size(); ++i) gap = gap || root[i] != root[i - 1] + 1;
        EXPECT_TRUE(gap);
    }
    // "Many Files" spans more than 21 clusters on the larger volumes.
    auto found = walk();
    std::size_t many = 0;
    for (const auto& [path, f] : found) many += path.rfind("Many Files/", 0) == 0;
    std::size_t expectedMany = 0;
    for (const auto& e : manifest["entries"])
        expectedMany += e["path"].get<std::string>().rfind("Many Files/", 0) == 0;
    EXPECT_EQ(many, expectedMany);
    auto* fat = dynamic_cast<FatVolumeParser*>(parser.get());
    ASSERT_NE(fat, nullptr);
    std::uint64_t folderBytes = (expectedMany * 4 + 2) * 32;  // each name takes 4 slots
    if (kind != "fat12") {
        EXPECT_GT(folderBytes / fat->geometry().clusterSize, 21u);
    }
}

TEST_P(FatImage, OemNameDoesNotMatter) {
    char boot[11] = {};
    ASSERT_TRUE(reader.readAt(0, boot, sizeof boot));
    EXPECT_EQ(std::string(boot + 3, 8), manifest["oem"].get<std::string>());
    EXPECT_TRUE(result.failureBox.empty());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FatImage,
                         ::testing::Values("fat12-mkfs", "fat12-msdos", "fat16-mkfs", "fat16-msdos",
                                           "fat32-mkfs", "fat32-msdos"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

}  // namespace
}  // namespace vel
