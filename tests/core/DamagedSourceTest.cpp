// Whole volumes read through a source with failing sectors, and from two threads at once.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "fs/fat/Fat32Class.h"
#include "fs/ntfs/ntfs.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

namespace {

std::shared_ptr<MemorySource> imageInMemory(const std::string& name) {
    return std::make_shared<MemorySource>(readFile(fixtureImage(name + ".img")));
}

// Every path below the root with its entry.
template <class Parser>
std::map<std::string, ItemData> listing(const Parser& p, ItemData root) {
    std::map<std::string, ItemData> out;
    std::vector<std::pair<ItemData, std::string>> todo{{root, ""}};
    while (!todo.empty()) {
        auto [folder, prefix] = todo.back();
        todo.pop_back();
        p.forEachChild(folder, [&](ItemData c) {
            std::string path = prefix + p.entryName(c);
            if (out.emplace(path, c).second && p.isFolder(c) && p.enterOnSave(c))
                todo.push_back({c, path + "/"});
            return true;
        });
    }
    return out;
}

struct NtfsScan {
    explicit NtfsScan(const readWriteInterface& source)
        : parser(VolumeDescriptor{"NTFS", "", "", std::to_string(source.byteSize() >> 20), 0}) {
        parser.attach(&source, &tree, &sink);
        parser.runWorker(1);
        paths = listing(parser, parser.rootIndex);
    }
    ntfs parser;
    MemoryTree tree;
    NullSink sink;
    std::map<std::string, ItemData> paths;
};

}  // namespace

TEST(DamagedSource, AnUnreadableSectorInTheMftCostsOnlyTheRecordItHolds) {
    auto clean = imageInMemory("ntfs-basic");
    NtfsScan before(*clean);
    ASSERT_GT(before.paths.size(), 50u);
    // A file's record, well inside the MFT and away from the records the tree hangs on.
    std::string victim;
    for (const auto& [path, e] : before.paths)
        if (!before.parser.isFolder(e) && path.find('/') != std::string::npos && e > 64)
            victim = path;
    ASSERT_FALSE(victim.empty());
    const std::int64_t sector =
        static_cast<std::int64_t>(
            before.parser.entries[static_cast<std::size_t>(before.paths[victim])].recordOffset) /
        512;

    auto damaged = imageInMemory("ntfs-basic");
    damaged->failSector(sector);
    NtfsScan after(*damaged);
    std::set<std::string> lost;
    for (const auto& [path, e] : before.paths)
        if (!after.paths.count(path)) lost.insert(path);
    EXPECT_EQ(lost, std::set<std::string>{victim});
    EXPECT_EQ(damaged->badSectors().sectors(), std::vector<std::int64_t>{sector});
}

TEST(DamagedSource, FatSectorsAndFileSectorsThatFailAreReportedNotHidden) {
    auto source = imageInMemory("fat32-mkfs");
    Fat32Class probe(VolumeDescriptor{"FAT32", "", "", "34", 0});
    MemoryTree probeTree;
    probe.attach(source.get(), &probeTree, nullptr);
    probe.runWorker(1);
    auto paths = listing(probe, 0);
    const ItemData file = paths.at("SHORT.TXT");  // 3000 bytes over six clusters
    const std::int64_t dataSector =
        probe.clusterOffset(probe.record(file).firstCluster()) / 512 + 1;
    const std::int64_t fatSector = probe.geometry().fatStart / 512 + 3;

    source->failSector(dataSector);
    source->failSector(fatSector);
    Fat32Class parser(VolumeDescriptor{"FAT32", "", "", "34", 0});
    MemoryTree tree;
    NullSink sink;
    parser.attach(source.get(), &tree, &sink);
    parser.runWorker(1);
    auto again = listing(parser, 0);
    EXPECT_TRUE(again.count("SHORT.TXT"));
    EXPECT_TRUE(again.count("readme.txt"));
    // The scan read the FAT; the file's data waits for the save.
    EXPECT_EQ(source->badSectors().sectors(), std::vector<std::int64_t>{fatSector});

    TempDir out;
    StopFlag stop;
    FolderSaver saver(parser, sink, stop);
    SaveReport damaged = saver.saveEntry(again.at("SHORT.TXT"), out.path());
    EXPECT_EQ(damaged.filesWritten, 0);
    EXPECT_EQ(damaged.incomplete, std::vector<std::string>{out.file("SHORT.TXT.incomplete")});
    // The file is all there but the failed sector, which is zeros.
    std::string saved = readFile(out.file("SHORT.TXT.incomplete"));
    ASSERT_EQ(saved.size(), 3000u);
    EXPECT_EQ(saved.substr(512, 512), std::string(512, '\0'));
    EXPECT_TRUE(source->badSectors().contains(dataSector));
    SaveReport whole = saver.saveEntry(again.at("readme.txt"), out.path());
    EXPECT_EQ(whole.filesWritten, 1);
    EXPECT_TRUE(whole.incomplete.empty());
}

TEST(DamagedSource, OneSourceServesTwoScansAndASaveAtOnce) {
    auto source = imageInMemory("ntfs-basic");
    std::unique_ptr<NtfsScan> a, b;
    std::thread first([&] { a = std::make_unique<NtfsScan>(*source); });
    std::thread second([&] { b = std::make_unique<NtfsScan>(*source); });
    first.join();
    second.join();
    EXPECT_EQ(a->paths, b->paths);
    ASSERT_GT(a->paths.size(), 50u);

    // The list's texts come from memory while a save reads the disk on another thread.
    TempDir out;
    std::thread save([&] {
        StopFlag stop;
        NullSink sink;
        FolderSaver saver(a->parser, sink, stop);
        SaveReport r = saver.saveEntry(a->parser.rootIndex, out.path());
        EXPECT_TRUE(r.failures.empty());
    });
    std::size_t dated = 0;
    for (int round = 0; round < 20; ++round)
        for (const auto& [path, e] : a->paths) dated += !a->parser.entryColumns(e).modified.empty();
    save.join();
    EXPECT_EQ(dated, 20 * a->paths.size());
}
