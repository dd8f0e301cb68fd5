// The FAT advanced mode: the table and slot tests, the geometry measured from folder starts, the
// search over a source, and a tree rebuilt when the root is gone.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "device/readWriteInterface.h"
#include "fs/common/Endian.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/FatAdvanced.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::fatadv;

namespace {

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v));
    put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

// A live file entry "REPORT  TXT" of 1000 bytes at cluster 5, written 2021-06-15 13:45:20.
std::array<std::uint8_t, 32> fileSlot() {
    std::array<std::uint8_t, 32> s{};
    std::memcpy(s.data(), "REPORT  TXT", 11);
    s[11] = 0x20;
    const std::uint16_t date = ((2021 - 1980) << 9) | (6 << 5) | 15;
    const std::uint16_t time = (13 << 11) | (45 << 5) | 10;
    for (std::size_t at : {14, 22}) put16(&s[at], time);
    for (std::size_t at : {16, 18, 24}) put16(&s[at], date);
    put16(&s[26], 5);
    put32(&s[28], 1000);
    return s;
}

}  // namespace

TEST(FatAdvanced, SlotTests) {
    struct Case {
        const char* what;
        std::function<void(std::uint8_t*)> change;
        bool fat32, fat16;
    } cases[] = {
        {"a sound file entry", [](std::uint8_t*) {}, true, true},
        {"zero creation tenths", [](std::uint8_t* s) { s[13] = 0; }, true, true},
        {"month 13", [](std::uint8_t* s) { put16(s + 24, (41 << 9) | (13 << 5) | 1); }, false,
         false},
        {"day 0", [](std::uint8_t* s) { put16(s + 16, (41 << 9) | (1 << 5)); }, false, false},
        {"hour 24", [](std::uint8_t* s) { put16(s + 22, 24 << 11); }, false, false},
        {"minute 60", [](std::uint8_t* s) { put16(s + 14, 60 << 5); }, false, false},
        {"cluster past the volume", [](std::uint8_t* s) { put16(s + 26, 100); }, false, false},
        {"attributes 0x21", [](std::uint8_t* s) { s[11] = 0x21; }, false, false},
        {"an empty file", [](std::uint8_t* s) { put32(s + 28, 0); }, false, true},
        {"a deleted file", [](std::uint8_t* s) { s[0] = 0xE5; }, true, true},
        {"a dot entry",
         [](std::uint8_t* s) {
             std::memcpy(s, ".          ", 11);
             s[11] = 0x10;
             put32(s + 28, 0);
         },
         false, false},
        {"a live folder",
         [](std::uint8_t* s) {
             s[11] = 0x10;
             put32(s + 28, 0);
         },
         true, true},
        {"a live folder with a size", [](std::uint8_t* s) { s[11] = 0x10; }, false, false},
        {"a long-name fragment",
         [](std::uint8_t* s) {
             s[0] = 0x41;
             s[1] = 'r';
             s[11] = 0x0F;
             s[12] = 0;
             s[26] = 0;
         },
         true, true},
        {"a fragment with a cluster",
         [](std::uint8_t* s) {
             s[0] = 0x41;
             s[11] = 0x0F;
             s[26] = 3;
         },
         false, false},
    };
    for (const Case& c : cases) {
        auto slot = fileSlot();
        c.change(slot.data());
        EXPECT_EQ(acceptFat32Slot(slot.data(), 64), c.fat32) << c.what;
        EXPECT_EQ(acceptFat16Slot(slot.data(), 64), c.fat16) << c.what;
    }
    auto label = fileSlot();
    std::memcpy(label.data(), "VOLUME     ", 11);
    label[11] = 0x08;
    put32(&label[28], 0);
    EXPECT_TRUE(fat32RootMark(label.data()));
    EXPECT_FALSE(fat32RootMark(fileSlot().data()));
}

TEST(FatAdvanced, TableSignatures) {
    struct Case {
        std::vector<std::uint8_t> start;
        bool fat16, fat32, exfat, heap;
    } cases[] = {
        // mkfs.fat keeps FAT32's top bits clear; other formatters set them.
        {{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}, false, true, false, false},
        {{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF}, false, true, false, false},
        // A driver clears the clean-shutdown flag while the volume is mounted.
        {{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x07}, false, true, false, false},
        {{0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true, true, true, false},
        {{0xF8, 0xFF, 0xFF, 0xFF, 0x03, 0x00, 0x04, 0x00}, true, false, false, false},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, false, false, true},
        {{0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, false, false, false},
    };
    for (const Case& c : cases) {
        std::uint8_t sector[512] = {};
        std::memcpy(sector, c.start.data(), c.start.size());
        EXPECT_EQ(fatStartSignature(sector, TableKind::Fat16), c.fat16);
        EXPECT_EQ(fatStartSignature(sector, TableKind::Fat32), c.fat32);
        EXPECT_EQ(fatStartSignature(sector, TableKind::Exfat), c.exfat);
        EXPECT_EQ(heapStartSignature(sector), c.heap);
    }
}

TEST(FatAdvanced, ClusterSizeIsMeasuredFromFolderStarts) {
    // Folders at clusters 3, 10 and 40 of a volume with 4-sector clusters from byte 40960, and
    // one stray sector that agrees with nothing.
    std::vector<ClusterVote> votes;
    for (std::uint32_t c : {3u, 10u, 40u}) votes.push_back({40960 + (c - 2) * 2048, c});
    votes.push_back({777 * 512, 9});
    const auto ranked = rankClusterSizes(votes, {512, 1024, 2048, 4096}, 1024);
    EXPECT_EQ(ranked.front().clusterBytes, 2048u);
    EXPECT_EQ(ranked.front().dataStart, 40960);
    EXPECT_EQ(ranked.front().agreeing, 3u);
    EXPECT_LE(ranked[1].agreeing, 1u);
    // A data start before the allowed minimum does not count.
    EXPECT_EQ(bestDataStart(votes, 2048, 50000).agreeing, 1u);
    // One folder fits every size; a tie goes to the start preferred.
    const std::vector<ClusterVote> one{{8192, 4}};
    EXPECT_EQ(bestDataStart(one, 512, 0, 7168).dataStart, 7168);
}

TEST(FatAdvanced, SearchKeepsTheFirstTablesInVolumeOrderAndMeasuresTheClusters) {
    // 24 MiB, so the search crosses its 10 MiB reads; five FAT starts, at most three kept.
    MemorySource source(MemorySource::Sparse{24 << 20});
    const std::uint8_t fat[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::int64_t places[] = {1024, 17408, (10 << 20) - 512, (10 << 20) + 4096, 20 << 20};
    for (std::int64_t at : places) source.put(at, fat, sizeof fat);
    // Folders at clusters 2..5 of 8-sector clusters from byte 65536.
    for (std::uint32_t c = 2; c < 6; ++c) {
        std::uint8_t dots[64] = {};
        std::memcpy(dots, ".          ", 11);
        std::memcpy(dots + 32, "..         ", 11);
        dots[11] = dots[43] = 0x10;
        put16(dots + 26, static_cast<std::uint16_t>(c));
        source.put(65536 + (c - 2) * 4096, dots, sizeof dots);
    }
    Fat16Class parser(VolumeDescriptor{"FAT16", "", "", "24", 0});
    parser.attach(&source, nullptr, nullptr);
    CandidateLists lists = parser.searchCandidates(3);
    EXPECT_EQ(parser.fatCandidates, (std::vector<std::int64_t>{places[0], places[1], places[2]}));
    EXPECT_EQ(lists.tables,
              (std::vector<std::string>{"FAT_ENTRY:0", "FAT_ENTRY:1", "FAT_ENTRY:2"}));
    EXPECT_EQ(parser.folderStarts().size(), 4u);
    EXPECT_EQ(parser.detectedSectorsPerCluster(), 8u);
    ASSERT_FALSE(lists.clusterSizes.empty());
    EXPECT_EQ(lists.clusterSizes.front(), "8 (detected)");
    EXPECT_EQ(std::count(lists.clusterSizes.begin(), lists.clusterSizes.end(), "8"), 0);
}

TEST(FatAdvanced, EntriesNoWalkReachesGoUnderTheOrphanFolder) {
    // The FAT16 volume without its boot sector, and its root region wiped too: the folders
    // below the root are found by the entry scan alone.
    const std::string image = test::readFile(test::fixtureImage("fat16-noboot.img"));
    const nlohmann::json m =
        test::loadJson(test::sourceDir() + "/tests/fixtures/images/fat16-noboot.manifest.json");
    const std::int64_t fatBytes = m["geometry"]["fatBytes"], fatStart = m["geometry"]["fatStart"];
    MemorySource source(image);
    const std::int64_t root = fatStart + 2 * fatBytes;
    std::vector<std::uint8_t> zeros(
        static_cast<std::size_t>(m["geometry"]["dataStart"].get<std::int64_t>() - root));
    source.put(root, zeros.data(), zeros.size());

    MemoryTree tree;
    Fat16Class parser(VolumeDescriptor{"FAT16", "", "", m["volume"]["sizeText"], 0});
    parser.attach(&source, &tree, nullptr);
    parser.searchCandidates(3);
    parser.advancedChoice.table = 0;
    parser.runWorker(2);

    std::map<std::string, int> seen = test::entryPathCounts(parser, 0);
    EXPECT_EQ(seen["ORPHAN ENTRY/Sub folder/deep file with long name.txt"], 1);
    EXPECT_EQ(seen["ORPHAN ENTRY/NOTES.TXT"], 1);
    EXPECT_EQ(seen["ORPHAN ENTRY/entry number 200 with a long name.txt"], 1);
    // Nothing of the wiped root is left, and each entry is listed once.
    EXPECT_EQ(seen.count("readme.txt"), 0u);
    for (const auto& [path, count] : seen) EXPECT_EQ(count, 1) << path;
}
