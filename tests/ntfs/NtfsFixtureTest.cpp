#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "device/FileReadSeek.h"
#include "fs/ntfs/ntfs.h"
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

// One scanned fixture volume (the image as made, or a copy with changes) and its manifest.
struct Volume {
    Volume(const std::string& name, const std::string& imagePath)
        : parser(VolumeDescriptor{"NTFS", "", "",
                                  std::to_string(fs::file_size(imagePath) / 1048576), 0}) {
        manifest = loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
        if (!reader.openDevice(imagePath)) throw std::runtime_error("cannot open " + imagePath);
        parser.attach(&reader, &tree, &sink);
        result = parser.runWorker(1);
        if (parser.rootIndex >= 0) walk(parser.rootIndex, "");
    }
    void walk(ItemData folder, const std::string& prefix) {
        parser.forEachChild(folder, [&](ItemData c) {
            std::string path = prefix + parser.entryName(c);
            bool isDir = parser.isFolder(c);
            found.emplace(path, Found{c, isDir, parser.isDeleted(c, folder)});
            if (isDir && parser.enterOnSave(c)) walk(c, path + "/");
            return true;
        });
    }

    nlohmann::json manifest;
    FileReadSeek reader;
    ntfs parser;
    MemoryTree tree;
    NullSink sink;
    WorkerResult result;
    std::multimap<std::string, Found> found;
};

Volume& volume(const std::string& name) {
    static std::map<std::string, std::unique_ptr<Volume>> volumes;
    auto& v = volumes[name];
    if (!v) v = std::make_unique<Volume>(name, fixtureImage(name + ".img"));
    return *v;
}

// A copy of the basic volume with its boot sector and the backup copy in its last sector wiped.
const std::string& wipedBootCopy() {
    static TempDir dir;
    static std::string path;
    if (path.empty()) {
        path = dir.file("wiped-boot.img");
        fs::copy_file(fixtureImage("ntfs-basic.img"), path);
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        std::string zeros(512, '\0');
        f.write(zeros.data(), 512);
        f.seekp(static_cast<std::streamoff>(fs::file_size(path) - 512));
        f.write(zeros.data(), 512);
    }
    return path;
}

void expectListingMatchesManifest(Volume& v) {
    std::size_t checked = 0;
    for (const auto& e : v.manifest["entries"]) {
        // Entries whose records were reused are not expected anywhere.
        if (e.contains("intact") && !e["intact"].get<bool>()) continue;
        std::string path = e["path"];
        ASSERT_EQ(v.found.count(path), 1u) << path;
        const Found& f = v.found.find(path)->second;
        EXPECT_EQ(f.folder, e["type"] == "dir") << path;
        EXPECT_EQ(f.deleted, e["deleted"].get<bool>()) << path;
        if (e["type"] == "file") {
            EXPECT_EQ(v.parser.entrySize(f.data), e["size"].get<std::uint64_t>()) << path;
        }
        ++checked;
    }
    EXPECT_GT(checked, 10u);
    // Everything else shown live is the volume's own metadata.
    for (const auto& [path, f] : v.found) {
        if (f.deleted || path.rfind("ORPHAN_ENTRY", 0) == 0) continue;
        bool inManifest = false;
        for (const auto& e : v.manifest["entries"]) inManifest = inManifest || e["path"] == path;
        EXPECT_TRUE(inManifest || path[0] == '$') << path;
    }
}

void expectSavedFilesMatchManifest(Volume& v) {
    TempDir out;
    StopFlag stop;
    FolderSaver saver(v.parser, v.sink, stop);
    SaveReport report = saver.saveEntry(v.parser.rootIndex, out.path());
    std::size_t files = 0;
    for (const auto& e : v.manifest["entries"]) {
        if (e["type"] != "file" || !e["intact"].get<bool>()) continue;
        ++files;
        std::string path = e["path"];
        std::string saved = out.file(path);
        struct stat st {};
        ASSERT_EQ(::stat(saved.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mtime, e["mtime"].get<std::int64_t>()) << path;
        EXPECT_EQ(sha256File(saved), e["sha256"].get<std::string>()) << path;
    }
    EXPECT_GT(files, 5u);
    EXPECT_TRUE(report.failures.empty()) << report.failures.front().path;
    // The bad-cluster file is never read; the root's "." is not entered.
    EXPECT_FALSE(fs::exists(out.file("$BadClus")));
}

class NtfsFixture : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(NtfsFixture, ListsEveryLiveAndIntactDeletedEntry) {
    expectListingMatchesManifest(volume(GetParam()));
}

TEST_P(NtfsFixture, SavesEveryIntactFileByteExactWithItsModificationTime) {
    expectSavedFilesMatchManifest(volume(GetParam()));
}

TEST_P(NtfsFixture, FirstLevelShowsTheRootsChildrenAndTheOrphanNode) {
    Volume& v = volume(GetParam());
    TreeItem top = v.tree.firstChild(kNoItem);
    ASSERT_NE(top, kNoItem);
    EXPECT_EQ(v.tree.itemText(top), "ROOT");
    std::set<std::string> shown;
    std::string last;
    for (TreeItem c = v.tree.firstChild(top); c; c = v.tree.nextSibling(c)) {
        last = v.tree.itemText(c);
        shown.insert(last);
        ItemData d = v.tree.itemData(c);
        EXPECT_EQ(v.tree.itemColour(c) == kDeletedColour, v.parser.isDeleted(d, v.parser.rootIndex))
            << last;
        EXPECT_EQ(v.tree.itemIcon(c) == IconKind::Folder, v.parser.isFolder(d)) << last;
    }
    EXPECT_EQ(last, "ORPHAN_ENTRY");
    for (const auto& e : v.manifest["entries"]) {
        std::string path = e["path"];
        if (path.find('/') == std::string::npos &&
            (!e.contains("intact") || e["intact"].get<bool>())) {
            EXPECT_EQ(shown.count(path), 1u) << path;
        }
    }
    EXPECT_EQ(shown.count("."), 0u);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsFixture,
                         ::testing::Values("ntfs-basic", "ntfs-512", "ntfs-64k", "ntfs-4kn"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST(NtfsFixtureBasic, HoldsTheCasesItIsMeantToCover) {
    // The image really has what the other tests rely on.
    Volume& v = volume("ntfs-basic");
    auto entry = [&](const std::string& path) { return v.found.find(path)->second.data; };
    std::uint8_t record[1024];
    ASSERT_TRUE(v.parser.readRecord(entry("listed/many-runs.bin"), record));
    bool hasList = false;
    for (const auto& a : ntfsfmt::attributeHeaders(record))
        hasList = hasList || a.type == ntfsfmt::kAttributeList;
    EXPECT_TRUE(hasList);
    DataStream d;
    ASSERT_TRUE(v.parser.loadDataStream(entry("listed/many-runs.bin"), d));
    EXPECT_GT(d.runs.size(), 100u);
    ASSERT_TRUE(v.parser.loadDataStream(entry("packed/with-zero-unit.txt"), d));
    EXPECT_TRUE(d.compressed);
    ASSERT_TRUE(v.parser.loadDataStream(entry("sparse.bin"), d));
    bool sparse = false;
    for (const auto& r : d.runs) sparse = sparse || r.sparse;
    EXPECT_TRUE(sparse);
    EXPECT_LT(d.initializedSize, d.realSize);
    ASSERT_TRUE(v.parser.loadDataStream(entry("resident-600.txt"), d));
    EXPECT_TRUE(d.resident);
    EXPECT_EQ(v.parser.clusterSize, 4096u);
    EXPECT_EQ(volume("ntfs-512").parser.clusterSize, 512u);
    EXPECT_EQ(volume("ntfs-64k").parser.clusterSize, 65536u);
    EXPECT_EQ(volume("ntfs-64k").parser.recordsPerCluster, 64u);
}

TEST(NtfsFixtureBasic, FillingAFolderTwiceAddsNothingTheSecondTime) {
    Volume& v = volume("ntfs-basic");
    TreeItem top = v.tree.firstChild(kNoItem);
    TreeItem docs = kNoItem;
    for (TreeItem c = v.tree.firstChild(top); c; c = v.tree.nextSibling(c))
        if (v.tree.itemText(c) == "docs") docs = c;
    ASSERT_NE(docs, kNoItem);
    EXPECT_EQ(v.tree.itemText(v.tree.firstChild(docs)), kPlaceholderText);
    EXPECT_TRUE(v.parser.fillFolder(docs, FillReason::Expansion));
    std::set<std::string> names;
    for (TreeItem c = v.tree.firstChild(docs); c; c = v.tree.nextSibling(c))
        names.insert(v.tree.itemText(c));
    EXPECT_EQ(names.count("letters"), 1u);
    EXPECT_EQ(names.count("empty.txt"), 1u);
    EXPECT_EQ(names.count(kPlaceholderText), 0u);
    EXPECT_FALSE(v.parser.fillFolder(docs, FillReason::Expansion));
    std::size_t count = 0;
    for (TreeItem c = v.tree.firstChild(docs); c; c = v.tree.nextSibling(c)) ++count;
    EXPECT_EQ(count, names.size());
}

TEST(NtfsFixtureBasic, AVolumeWithoutItsBootSectorIsFoundByTheMftSearch) {
    Volume v("ntfs-basic", wipedBootCopy());
    EXPECT_EQ(v.parser.clusterSize, 4096u);
    EXPECT_TRUE(v.parser.mftReady);
    expectListingMatchesManifest(v);
    expectSavedFilesMatchManifest(v);

    FileReadSeek reader;
    ASSERT_TRUE(reader.openDevice(wipedBootCopy()));
    EXPECT_TRUE(ntfsMftSearchFinds(reader, fs::file_size(wipedBootCopy())));
    TempDir dir;
    writeFile(dir.file("zeros.img"), std::string(4 << 20, '\0'));
    FileReadSeek zeros;
    ASSERT_TRUE(zeros.openDevice(dir.file("zeros.img")));
    EXPECT_FALSE(ntfsMftSearchFinds(zeros, 4 << 20));
}

TEST(NtfsFixtureBasic, CommandLineScansAndSavesTheVolumeEvenWithoutBootSector) {
    // Without either boot sector the image is no volume at sector 0 by itself (a disk whose
    // table is gone holds an MFT somewhere too); given as one, the MFT search reads it.
    CliResult asked = runCli({"scan", wipedBootCopy()});
    EXPECT_EQ(asked.exitCode, 2) << asked.err;
    for (const std::vector<std::string>& source :
         {std::vector<std::string>{fixtureImage("ntfs-basic.img")},
          std::vector<std::string>{wipedBootCopy(), "--start-sector", "0", "--fs", "NTFS"}}) {
        const std::string& image = source[0];
        std::vector<std::string> args = {"scan"};
        args.insert(args.end(), source.begin(), source.end());
        args.push_back("--json");
        CliResult scan = runCli(args);
        ASSERT_EQ(scan.exitCode, 0) << scan.err;
        std::map<std::string, nlohmann::json> lines = scanJsonByPath(scan.out);
        ASSERT_TRUE(lines.count("ROOT/docs/Ünïcødé/résumé.txt")) << image;
        EXPECT_EQ(lines["ROOT/docs/Ünïcødé/résumé.txt"]["size"], 8);
        ASSERT_TRUE(lines.count("ROOT/trash/inner/t2.bin"));
        EXPECT_TRUE(lines["ROOT/trash/inner/t2.bin"]["deleted"].get<bool>());

        TempDir out;
        args = {"save"};
        args.insert(args.end(), source.begin(), source.end());
        args.insert(args.end(), {"--out", out.path(), "--path", "ROOT/packed"});
        CliResult save = runCli(args);
        ASSERT_EQ(save.exitCode, 0) << save.err;
        for (const auto& e : volume("ntfs-basic").manifest["entries"]) {
            std::string path = e["path"];
            if (path.rfind("packed/", 0) == 0) {
                EXPECT_EQ(sha256File(out.file(path.substr(7))), e["sha256"].get<std::string>())
                    << path;
            }
        }
    }
}
