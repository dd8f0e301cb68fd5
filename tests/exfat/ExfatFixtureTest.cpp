#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "device/FileReadSeek.h"
#include "fs/exfat/Fat64Class.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

struct Found {
    ItemData data;
    bool folder;
    bool deleted;
};

// One scanned fixture volume and its manifest, shared by the tests of this file.
struct Volume {
    Volume(const std::string& name, std::int64_t startSector)
        : parser(descriptor(name, startSector)) {
        manifest = loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
        if (!reader.openDevice(fixtureImage(name + ".img")))
            throw std::runtime_error("cannot open fixture " + name);
        parser.attach(&reader, &tree, &sink);
        result = parser.runWorker(1);
        walk(0, "");
    }
    static VolumeDescriptor descriptor(const std::string& name, std::int64_t startSector) {
        auto bytes = static_cast<std::int64_t>(fs::file_size(fixtureImage(name + ".img")));
        std::int64_t mib = (bytes - startSector * 512) / 1048576;
        return VolumeDescriptor{"exFAT", "", "", std::to_string(mib), startSector};
    }
    void walk(ItemData folder, const std::string& prefix) {
        parser.forEachChild(folder, [&](ItemData c) {
            std::string path = prefix + parser.entryName(c);
            bool isDir = parser.isFolder(c);
            found.emplace(path, Found{c, isDir, parser.isDeleted(c, folder)});
            if (isDir) walk(c, path + "/");
            return true;
        });
    }

    nlohmann::json manifest;
    FileReadSeek reader;
    Fat64Class parser;
    MemoryTree tree;
    NullSink sink;
    WorkerResult result;
    std::multimap<std::string, Found> found;
};

// The fixture volumes: a whole-image volume and one in a partition at sector 2048.
Volume& volume(const std::string& name) {
    static Volume basic("exfat-basic", 0);
    static Volume part("exfat-part", 2048);
    return name == "exfat-basic" ? basic : part;
}
Volume& basic() {
    return volume("exfat-basic");
}

struct ExfatFixture : ::testing::TestWithParam<std::string> {
    Volume& v() { return volume(GetParam()); }
};

std::int64_t twoSecondFloor(std::int64_t t) {
    return t - (t % 2 + 2) % 2;
}

}  // namespace

TEST_P(ExfatFixture, ListsEveryLiveAndDeletedEntryWithItsNameTypeAndSize) {
    Volume& v = this->v();
    EXPECT_TRUE(v.result.failureBox.empty());
    std::size_t expected = 0;
    for (const auto& e : v.manifest["entries"]) {
        ++expected;
        std::string path = e["path"];
        ASSERT_EQ(v.found.count(path), 1u) << path;
        const Found& f = v.found.find(path)->second;
        EXPECT_EQ(f.folder, e["type"] == "dir") << path;
        EXPECT_EQ(f.deleted, e["deleted"].get<bool>()) << path;
        if (e["type"] == "file") {
            EXPECT_EQ(v.parser.entrySize(f.data), e["size"].get<std::uint64_t>()) << path;
        }
    }
    // Nothing more than the volume holds (the label, bitmap and up-case entries are not files).
    EXPECT_EQ(v.found.size(), expected);
}

TEST_P(ExfatFixture, FirstLevelOfTheTreeIsTheRootFolder) {
    Volume& v = this->v();
    std::set<std::string> rootNames;
    for (const auto& e : v.manifest["entries"]) {
        std::string path = e["path"];
        if (path.find('/') == std::string::npos) rootNames.insert(path);
    }
    TreeItem top = v.tree.firstChild(kNoItem);
    EXPECT_EQ(v.tree.itemText(top), "ROOT");
    std::set<std::string> shown;
    std::size_t items = 0;
    for (TreeItem c = v.tree.firstChild(top); c; c = v.tree.nextSibling(c), ++items) {
        shown.insert(v.tree.itemText(c));
        ItemData d = v.tree.itemData(c);
        EXPECT_EQ(v.tree.itemColour(c) == kDeletedColour, v.parser.isDeleted(d, 0));
        EXPECT_EQ(v.tree.itemIcon(c) == IconKind::Folder, v.parser.isFolder(d));
    }
    EXPECT_EQ(items, rootNames.size());
    EXPECT_EQ(shown, rootNames);
}

TEST(ExfatFixtureContent, CoversContiguousAndChainedFoldersAndFiles) {
    // The rules the image is meant to exercise are really in it.
    Volume& v = basic();
    std::size_t rootSets = 0;
    for (const auto& e : v.manifest["entries"])
        rootSets += e["path"].get<std::string>().find('/') == std::string::npos;
    // More root entry sets than one 4 KiB cluster holds (128 entries, 3 or more a set).
    EXPECT_GT(rootSets * 3, 128u);
    std::uint32_t cluster = v.manifest["cluster_size"];
    auto rec = [&](const std::string& path) -> const ExfatEntry& {
        return v.parser.record(v.found.find(path)->second.data);
    };
    EXPECT_FALSE(rec("many").usesFatChain());
    EXPECT_GT(rec("many").dataLength, 2u * cluster);
    EXPECT_TRUE(rec("left").usesFatChain());
    EXPECT_GT(rec("left").dataLength, 2u * cluster);
    EXPECT_FALSE(rec("big.bin").usesFatChain());
    EXPECT_TRUE(rec("frag-a.bin").usesFatChain());
    EXPECT_TRUE(rec("deleted-contig.bin").deleted());
    EXPECT_EQ(v.parser.entryName(0), "DUMMY ENTRY");
}

TEST_P(ExfatFixture, SavesEveryIntactFileByteExactWithItsTimes) {
    Volume& v = this->v();
    TempDir out;
    StopFlag stop;
    FolderSaver saver(v.parser, v.sink, stop);
    SaveReport report = saver.saveItem(v.tree, v.tree.firstChild(kNoItem), out.path());
    std::set<std::string> incomplete(report.incomplete.begin(), report.incomplete.end());
    std::size_t files = 0, assumed = 0;
    for (const auto& e : v.manifest["entries"]) {
        if (e["type"] != "file") continue;
        ++files;
        std::string path = e["path"];
        std::string saved = out.file(path);
        struct stat st {};
        if (!e["intact"].get<bool>()) {
            // Deleted between the clusters of a live file, its chain cleared: the free clusters
            // after its first one give it back whole, and the note says how.
            ++assumed;
            ASSERT_EQ(::stat(saved.c_str(), &st), 0) << path;
            EXPECT_EQ(sha256File(saved), e["sha256"].get<std::string>()) << path;
            EXPECT_EQ(v.parser.recoveryNote(v.found.find(path)->second.data),
                      "recovered by the free-cluster assumption");
            continue;
        }
        ASSERT_EQ(::stat(saved.c_str(), &st), 0) << path;
        // The volume was written under UTC, so the on-disk calendar time is the UTC time at
        // two-second resolution (the 10 ms field is not applied).
        EXPECT_EQ(st.st_mtime, twoSecondFloor(e["mtime"].get<std::int64_t>())) << path;
        EXPECT_EQ(st.st_atime, twoSecondFloor(e["atime"].get<std::int64_t>())) << path;
        EXPECT_EQ(sha256File(saved), e["sha256"].get<std::string>()) << path;
    }
    EXPECT_EQ(report.filesHandled, static_cast<std::int64_t>(files));
    EXPECT_TRUE(report.incomplete.empty());
    EXPECT_EQ(assumed, std::string(GetParam()) == "exfat-basic" ? 1u : 0u);
    EXPECT_TRUE(report.failures.empty());
}

INSTANTIATE_TEST_SUITE_P(Images, ExfatFixture, ::testing::Values("exfat-basic", "exfat-part"),
                         [](const auto& info) {
                             std::string n = info.param;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

TEST(ExfatFixtureContent, CommandLineScansAndSavesTheVolume) {
    std::string image = fixtureImage("exfat-basic.img");
    CliResult scan = runCli({"scan", image, "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    std::map<std::string, nlohmann::json> lines = scanJsonByPath(scan.out);
    ASSERT_TRUE(lines.count("ROOT/docs/Ünïcødé/résumé.txt"));
    EXPECT_EQ(lines["ROOT/docs/Ünïcødé/résumé.txt"]["size"], 8);
    ASSERT_TRUE(lines.count("ROOT/trash/inner/t2.bin"));
    EXPECT_TRUE(lines["ROOT/trash/inner/t2.bin"]["deleted"].get<bool>());
    EXPECT_EQ(lines["ROOT/trash"]["type"], "dir");

    TempDir out;
    CliResult save = runCli({"save", image, "--out", out.path(), "--path", "ROOT/big.bin"});
    ASSERT_EQ(save.exitCode, 0) << save.err;
    std::string expected;
    for (const auto& e : basic().manifest["entries"])
        if (e["path"] == "big.bin") expected = e["sha256"];
    EXPECT_EQ(sha256File(out.file("big.bin")), expected);

    // A volume inside a partition, given as a custom volume.
    CliResult part = runCli({"scan", fixtureImage("exfat-part.img"), "--start-sector", "2048",
                             "--size-mb", "11", "--fs", "exFAT", "--json"});
    ASSERT_EQ(part.exitCode, 0) << part.err;
    EXPECT_NE(part.out.find("\"path\":\"ROOT/old-photos/2011/img-0001.jpg\""), std::string::npos);
}

namespace {
// The Sleuth Kit's listing of a volume: path -> (folder, deleted), without its metadata files.
std::map<std::string, std::pair<bool, bool>> tskListing(const std::string& image,
                                                        std::int64_t startSector) {
    std::map<std::string, std::pair<bool, bool>> out;
    std::string cmd =
        "fls -r -p -o " + std::to_string(startSector) + " '" + image + "' 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char line[4096];
    while (std::fgets(line, sizeof line, p)) {
        std::string l(line);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        auto tab = l.find('\t');
        if (tab == std::string::npos || l.size() < 3) continue;
        std::string path = l.substr(tab + 1);
        if (path.empty() || path[0] == '$' ||
            path.find("(Volume Label Entry)") != std::string::npos)
            continue;
        bool folder = l[0] == 'd';
        bool deleted = l.find(" * ") != std::string::npos && l.find(" * ") < tab;
        out[path] = {folder, deleted};
    }
    ::pclose(p);
    return out;
}
}  // namespace

TEST_P(ExfatFixture, AgreesWithTheSleuthKitListing) {
    if (std::system("command -v fls >/dev/null 2>&1") != 0) GTEST_SKIP() << "fls not installed";
    Volume& v = this->v();
    auto tsk = tskListing(fixtureImage(GetParam() + ".img"), v.parser.volume.startSector);
    ASSERT_FALSE(tsk.empty());
    std::map<std::string, std::pair<bool, bool>> ours;
    for (const auto& [path, f] : v.found) ours[path] = {f.folder, f.deleted};
    EXPECT_EQ(ours, tsk);
}
