// Small volumes built byte by byte, for the walk's guards and the extraction rules.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "device/FileReadSeek.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"
#include "platform/Text.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

namespace vel {
namespace {

using test::TempDir;

// 512-byte sectors, one sector per cluster, one FAT.
struct Volume {
    int bits;
    std::vector<std::uint8_t> b;
    std::uint32_t reserved, fatSectors, rootEntries, total;

    explicit Volume(int fatBits) : bits(fatBits) {
        reserved = bits == 32 ? 8 : 1;
        rootEntries = bits == 32 ? 0 : 32;
        total = bits == 12 ? 1200 : (bits == 16 ? 5000 : 1200);
        fatSectors = bits == 12 ? 4 : (bits == 16 ? 20 : 10);
        b.assign(std::size_t{total} * 512, 0);
        b[0] = 0xEB, b[1] = 0x58, b[2] = 0x90;
        std::memcpy(&b[3], "ANYTHING", 8);
        put16(11, 512);
        b[13] = 1;
        put16(14, static_cast<std::uint16_t>(reserved));
        b[16] = 1;
        put16(17, static_cast<std::uint16_t>(rootEntries));
        b[21] = 0xF8;
        if (bits == 32) {
            put32(32, total);  // FAT32 keeps its sizes in the 32-bit fields
            put32(36, fatSectors);
            put32(44, 2);  // root cluster
        } else {
            put16(19, static_cast<std::uint16_t>(total));
            put16(22, static_cast<std::uint16_t>(fatSectors));
        }
        b[510] = 0x55;
        b[511] = 0xAA;
        setFat(0, 0x0FFFFFF8);
        setFat(1, 0x0FFFFFFF);
        if (bits == 32) setFat(2, 0x0FFFFFFF);
    }
    void put16(std::size_t at, std::uint16_t v) {
        b[at] = static_cast<std::uint8_t>(v);
        b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    void put32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    std::size_t fatStart() const { return std::size_t{reserved} * 512; }
    std::size_t rootStart() const { return fatStart() + std::size_t{fatSectors} * 512; }
    std::size_t dataStart() const { return rootStart() + std::size_t{rootEntries} * 32; }
    std::size_t cluster(std::uint32_t n) const { return dataStart() + std::size_t{n - 2} * 512; }
    std::uint32_t eoc() const { return bits == 32 ? 0x0FFFFFFF : (bits == 16 ? 0xFFFF : 0xFFF); }
    void setFat(std::uint32_t n, std::uint32_t v) {
        std::size_t f = fatStart();
        if (bits == 32) {
            put32(f + 4 * n, v);
        } else if (bits == 16) {
            put16(f + 2 * n, static_cast<std::uint16_t>(v));
        } else {
            std::size_t off = f + n + n / 2;
            std::uint16_t pair = static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
            if (n & 1)
                pair = static_cast<std::uint16_t>((pair & 0x000F) | ((v & 0xFFF) << 4));
            else
                pair = static_cast<std::uint16_t>((pair & 0xF000) | (v & 0xFFF));
            put16(off, pair);
        }
    }
    void chain(std::initializer_list<std::uint32_t> clusters) {
        std::vector<std::uint32_t> c(clusters);
        for (std::size_t i = 0; i < c.size(); ++i)
            setFat(c[i], i + 1 < c.size() ? c[i + 1] : eoc());
    }
    // Where the root's slot i lives.
    std::size_t rootSlot(std::size_t i) const {
        return bits == 32 ? cluster(2) + 32 * i : rootStart() + 32 * i;
    }
    void slot(std::size_t at, const char* name11, std::uint8_t attr, std::uint32_t first,
              std::uint32_t size, std::uint16_t date = 0x4E67, std::uint16_t time = 0x70A5) {
        std::memcpy(&b[at], name11, 11);
        b[at + 11] = attr;
        put16(at + 20, static_cast<std::uint16_t>(first >> 16));
        put16(at + 26, static_cast<std::uint16_t>(first));
        put32(at + 28, size);
        put16(at + 22, time);
        put16(at + 24, date);
        put16(at + 18, date);
    }
    // The "." and ".." pair a folder's first cluster starts with.
    void dots(std::uint32_t self, std::uint32_t parent) {
        slot(cluster(self), ".          ", 0x10, self, 0);
        slot(cluster(self) + 32, "..         ", 0x10, parent, 0);
    }
    void fill(std::uint32_t n, char c) { std::memset(&b[cluster(n)], c, 512); }
    std::string write(const TempDir& dir, const std::string& name = "v.img") const {
        std::string path = dir.file(name);
        test::writeFile(path, std::string(b.begin(), b.end()));
        return path;
    }
};

struct Scan {
    FileReadSeek reader;
    MemoryTree tree;
    NullSink sink;
    std::unique_ptr<VolumeParser> parser;
    WorkerResult result;

    Scan(const std::string& path, int bits, ParserOptions options = {}) {
        EXPECT_TRUE(reader.openDevice(path));
        VolumeDescriptor d{bits == 32 ? "FAT32" : "FAT16", "", "", "1", 0};
        if (bits == 32)
            parser = std::make_unique<Fat32Class>(d, options);
        else
            parser = std::make_unique<Fat16Class>(d, options);
        parser->attach(&reader, &tree, &sink);
        result = parser->runWorker(1);
    }
    // Every entry below the root as "path" -> entry, walked through the parser's children.
    std::map<std::string, ItemData> all() const {
        std::map<std::string, ItemData> out;
        std::vector<std::pair<ItemData, std::string>> todo{{0, ""}};
        std::size_t guard = 0;
        while (!todo.empty() && ++guard < 100000) {
            auto [folder, prefix] = todo.back();
            todo.pop_back();
            parser->forEachChild(folder, [&](ItemData c) {
                std::string p = prefix + parser->entryName(c);
                out[p] = c;
                if (parser->isFolder(c)) todo.push_back({c, p + "/"});
                return true;
            });
        }
        return out;
    }
    std::vector<std::string> rootTexts() const {
        std::vector<std::string> t;
        TreeItem top = tree.firstChild(kNoItem);
        for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c))
            t.push_back(tree.itemText(c));
        return t;
    }
    std::string extract(const TempDir& dir, const std::string& entryPath, bool* ok = nullptr) {
        auto entries = all();
        auto it = entries.find(entryPath);
        EXPECT_NE(it, entries.end()) << entryPath;
        if (it == entries.end()) return "";
        std::string out = dir.file("out-" + std::to_string(it->second));
        bool r = parser->extractEntry(out, it->second);
        if (ok) *ok = r;
        return test::readFile(out);
    }
};

class FatVolume : public ::testing::TestWithParam<int> {
  protected:
    TempDir dir;
};

TEST_P(FatVolume, AttributeRulesAtEveryLevel) {
    Volume v(GetParam());
    v.slot(v.rootSlot(0), "LABEL      ", 0x08, 0, 0);
    v.slot(v.rootSlot(1), "PLAIN   TXT", 0x00, 0, 0);
    v.slot(v.rootSlot(2), "RO      TXT", 0x01, 0, 0);
    v.slot(v.rootSlot(3), "SYSHID  TXT", 0x27, 0, 0);
    v.slot(v.rootSlot(4), "FOLDER     ", 0x32, 5, 0);  // hidden + archive folder
    v.dots(5, 0);
    v.chain({5});
    v.slot(v.cluster(5) + 64, "INNER   TXT", 0x03, 0, 0);
    v.slot(v.cluster(5) + 96, "INLABEL    ", 0x08, 0, 0);
    Scan s(v.write(dir), GetParam());
    ASSERT_TRUE(s.result.failureBox.empty());
    EXPECT_EQ(s.rootTexts(),
              (std::vector<std::string>{"PLAIN.TXT", "RO.TXT", "SYSHID.TXT", "FOLDER"}));
    auto all = s.all();
    EXPECT_EQ(all.size(), 5u);
    ASSERT_TRUE(all.count("FOLDER/INNER.TXT"));
    EXPECT_TRUE(s.parser->isFolder(all["FOLDER"]));
    EXPECT_FALSE(s.parser->isFolder(all["FOLDER/INNER.TXT"]));
    EXPECT_EQ(s.parser->entryColumns(all["FOLDER/INNER.TXT"]).attributes, "-R-H");
}

TEST_P(FatVolume, LoopingDirectoryChainsAndAncestorLinksEnd) {
    Volume v(GetParam());
    v.slot(v.rootSlot(0), "LOOP       ", 0x10, 5, 0);
    v.dots(5, 0);
    v.chain({5, 6});
    v.setFat(6, 5);  // 5 -> 6 -> 5 ...
    v.slot(v.cluster(5) + 64, "A       TXT", 0x20, 0, 0);
    v.slot(v.cluster(6), "B       TXT", 0x20, 0, 0);
    // A folder entry naming its own parent, and one naming the root's folder again.
    v.slot(v.cluster(6) + 32, "BACK       ", 0x10, 5, 0);
    v.slot(v.cluster(6) + 64, "SELF       ", 0x10, 6, 0);
    Scan s(v.write(dir), GetParam());
    auto all = s.all();
    EXPECT_TRUE(all.count("LOOP/A.TXT"));
    EXPECT_TRUE(all.count("LOOP/B.TXT"));
    EXPECT_TRUE(all.count("LOOP/BACK"));
    EXPECT_FALSE(s.parser->hasChildren(all["LOOP/BACK"]));
    EXPECT_FALSE(s.parser->hasChildren(all["LOOP/SELF"]));
    EXPECT_EQ(all.size(), 5u);
}

TEST_P(FatVolume, FolderWithoutDotEntryContributesNothing) {
    Volume v(GetParam());
    v.slot(v.rootSlot(0), "REUSED     ", 0x10, 5, 0);
    v.chain({5});
    v.slot(v.cluster(5), "NOTADIR TXT", 0x20, 0, 0);  // file data, not a folder
    Scan s(v.write(dir), GetParam());
    auto all = s.all();
    EXPECT_EQ(all.size(), 1u);
    EXPECT_TRUE(all.count("REUSED"));
}

TEST_P(FatVolume, LongFolderChainIsFollowedWhole) {
    Volume v(GetParam());
    v.slot(v.rootSlot(0), "BIG        ", 0x10, 10, 0);
    v.slot(v.rootSlot(1), "SUB        ", 0x10, 200, 0);
    v.dots(200, 0);
    v.chain({200});
    // A folder below the root spanning 40 clusters, scattered.
    v.slot(v.cluster(200) + 64, "DEEP       ", 0x10, 10 + 0, 0);
    std::vector<std::uint32_t> clusters;
    for (std::uint32_t i = 0; i < 40; ++i) clusters.push_back(10 + i * 3);
    for (std::size_t i = 0; i < clusters.size(); ++i)
        v.setFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : v.eoc());
    v.dots(10, 200);
    int files = 0;
    for (std::uint32_t c : clusters)
        for (std::size_t k = (c == 10 ? 2 : 0); k < 16; ++k) {
            char name[24];
            std::snprintf(name, sizeof name, "F%05d  TXT", files++ % 100000);
            v.slot(v.cluster(c) + 32 * k, name, 0x20, 0, 0);
        }
    // The root's entry BIG names the same cluster as SUB/DEEP: decoded once only.
    Scan s(v.write(dir), GetParam());
    auto all = s.all();
    int found = 0;
    for (auto& [p, e] : all) found += p.rfind("BIG/F", 0) == 0 || p.rfind("SUB/DEEP/F", 0) == 0;
    EXPECT_EQ(found, files);
    EXPECT_TRUE(all.count("BIG/F00000.TXT") || all.count("SUB/DEEP/F00000.TXT"));
    char lastName[24];
    std::snprintf(lastName, sizeof lastName, "F%05d.TXT", files - 1);
    EXPECT_TRUE(all.count(std::string("BIG/") + lastName) ||
                all.count(std::string("SUB/DEEP/") + lastName));
}

TEST_P(FatVolume, ExtractionFollowsChainsAndContinuesDeletedFiles) {
    Volume v(GetParam());
    // live: clusters 20, 7, 30 (fragmented), 1300 bytes
    v.chain({20, 7, 30});
    v.fill(20, 'a');
    v.fill(7, 'b');
    v.fill(30, 'c');
    v.slot(v.rootSlot(0), "LIVE    BIN", 0x20, 20, 1300);
    // deleted: FAT entries 0, data at 40, 41, 42
    v.fill(40, 'x');
    v.fill(41, 'y');
    v.fill(42, 'z');
    v.slot(v.rootSlot(1),
           "\xE5"
           "ELETED BIN",
           0x20, 40, 1100);
    // live but its chain ends early: not written whole
    v.chain({50});
    v.fill(50, 'q');
    v.slot(v.rootSlot(2), "SHORT   BIN", 0x20, 50, 1000);
    // a chain that loops
    v.chain({60, 61});
    v.setFat(61, 60);
    v.slot(v.rootSlot(3), "LOOPED  BIN", 0x20, 60, 5000);
    v.slot(v.rootSlot(4), "EMPTY   TXT", 0x20, 0, 0);
    // deleted around a cluster a live file owns now: 70, (71), 72
    v.fill(70, 'm');
    v.chain({71});
    v.fill(71, 'L');
    v.fill(72, 'n');
    v.slot(v.rootSlot(5),
           "\xE5"
           "ROUND  BIN",
           0x20, 70, 1000);
    v.slot(v.rootSlot(6), "OWNER   BIN", 0x20, 71, 10);
    Scan s(v.write(dir), GetParam());
    bool ok = false;
    EXPECT_EQ(s.extract(dir, "LIVE.BIN", &ok),
              std::string(512, 'a') + std::string(512, 'b') + std::string(276, 'c'));
    EXPECT_TRUE(ok);
    EXPECT_EQ(s.extract(dir,
                        "\xEF\xBF\xA5"
                        "ELETED.BIN",
                        &ok),
              std::string(512, 'x') + std::string(512, 'y') + std::string(76, 'z'));
    EXPECT_TRUE(ok);
    EXPECT_EQ(s.extract(dir,
                        "\xEF\xBF\xA5"
                        "ROUND.BIN",
                        &ok),
              std::string(512, 'm') + std::string(488, 'n'));
    EXPECT_TRUE(ok);
    const auto entries = s.all();
    EXPECT_EQ(s.parser->recoveryNote(entries.at("\xEF\xBF\xA5"
                                                "ROUND.BIN")),
              "recovered by the free-cluster assumption");
    EXPECT_EQ(s.parser->recoveryNote(entries.at("LIVE.BIN")), "");
    EXPECT_EQ(s.extract(dir, "SHORT.BIN", &ok), std::string(512, 'q'));
    EXPECT_FALSE(ok);
    EXPECT_LE(s.extract(dir, "LOOPED.BIN", &ok).size(), 5000u);
    EXPECT_FALSE(ok);
    EXPECT_EQ(s.extract(dir, "EMPTY.TXT", &ok), "");
    EXPECT_TRUE(ok);
}

TEST_P(FatVolume, DeletedFileStopsAtTheVolumeEnd) {
    Volume v(GetParam());
    std::uint32_t total = v.total - static_cast<std::uint32_t>(v.dataStart() / 512);
    std::uint32_t lastCluster = total + 1;  // clusters 2 .. total+1
    v.fill(lastCluster, 'e');
    v.slot(v.rootSlot(0),
           "\xE5"
           "ATEND  BIN",
           0x20, lastCluster, 2000);
    Scan s(v.write(dir), GetParam());
    bool ok = true;
    EXPECT_EQ(s.extract(dir,
                        "\xEF\xBF\xA5"
                        "ATEND.BIN",
                        &ok),
              std::string(512, 'e'));
    EXPECT_FALSE(ok);
}

TEST_P(FatVolume, FormattedDriveReadsFilesContiguouslyAndFoldersOneCluster) {
    Volume v(GetParam());
    v.chain({20, 7});  // the FAT says 20 -> 7; a formatted volume's FAT is not to be trusted
    v.fill(20, 'a');
    v.fill(21, 'b');
    v.fill(7, 'n');
    v.slot(v.rootSlot(0), "FILE    BIN", 0x20, 20, 1024);
    v.slot(v.rootSlot(1), "DIR        ", 0x10, 5, 0);
    v.dots(5, 0);
    v.chain({5, 6});
    v.slot(v.cluster(5) + 64, "FIRST   TXT", 0x20, 0, 0);
    v.slot(v.cluster(6), "SECOND  TXT", 0x20, 0, 0);
    Scan s(v.write(dir), GetParam(), ParserOptions{.driveFormatted = true});
    auto all = s.all();
    EXPECT_TRUE(all.count("DIR/FIRST.TXT"));
    EXPECT_FALSE(all.count("DIR/SECOND.TXT"));
    bool ok = false;
    EXPECT_EQ(s.extract(dir, "FILE.BIN", &ok), std::string(512, 'a') + std::string(512, 'b'));
    EXPECT_TRUE(ok);
}

TEST_P(FatVolume, DeletedFolderDoesNotTakeALiveFoldersCluster) {
    Volume v(GetParam());
    // A deleted folder met first (inside A) names the cluster a live folder now uses.
    v.slot(v.rootSlot(0), "A          ", 0x10, 9, 0);
    v.slot(v.rootSlot(1), "NEW        ", 0x10, 5, 0);
    v.slot(v.rootSlot(2),
           "\xE5"
           "ONE       ",
           0x10, 8, 0);
    v.dots(9, 0);
    v.chain({9});
    v.slot(v.cluster(9) + 64,
           "\xE5"
           "LD        ",
           0x10, 5, 0);
    v.dots(5, 0);
    v.chain({5});
    v.slot(v.cluster(5) + 64, "KEEP    TXT", 0x20, 0, 0);
    v.dots(8, 0);
    v.slot(v.cluster(8) + 64,
           "\xE5"
           "OST    TXT",
           0x20, 0, 0);
    v.slot(v.cluster(8) + 96, "STILL   TXT", 0x20, 0, 0);
    Scan s(v.write(dir), GetParam());
    auto all = s.all();
    std::string old =
        "A/\xEF\xBF\xA5"
        "LD";
    ASSERT_TRUE(all.count("NEW/KEEP.TXT"));
    ASSERT_TRUE(all.count(old));
    EXPECT_FALSE(s.parser->hasChildren(all[old]));
    EXPECT_FALSE(s.parser->isDeleted(all["NEW"], 0));
    std::string gone =
        "\xEF\xBF\xA5"
        "ONE";
    ASSERT_TRUE(all.count(gone + "/STILL.TXT"));
    EXPECT_TRUE(all.count(gone + "/\xEF\xBF\xA5"
                                 "OST.TXT"));
    // A file listed in a deleted folder has the deleted look.
    EXPECT_TRUE(s.parser->isDeleted(all[gone + "/STILL.TXT"], all[gone]));
    EXPECT_TRUE(s.parser->isDeleted(all[gone], 0));
    EXPECT_FALSE(s.parser->isDeleted(all["NEW/KEEP.TXT"], all["NEW"]));
}

TEST_P(FatVolume, WrongKindOrModeIsRefused) {
    Volume v(GetParam());
    std::string path = v.write(dir);
    FileReadSeek reader;
    ASSERT_TRUE(reader.openDevice(path));
    MemoryTree tree;
    VolumeDescriptor d{"x", "", "", "1", 0};
    std::unique_ptr<VolumeParser> other;
    std::string box;
    if (GetParam() == 32) {
        other = std::make_unique<Fat16Class>(d);
        box = "Selected Drive is not in Fat16 Format";
    } else {
        other = std::make_unique<Fat32Class>(d);
        box = "Selected Drive is not in Fat32 Format";
    }
    other->attach(&reader, &tree, nullptr);
    WorkerResult r = other->runWorker(1);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.endSequence);
    EXPECT_EQ(r.failureBox, box);
    Scan s(path, GetParam());
    EXPECT_TRUE(s.result.failureBox.empty());
    // The advanced mode needs a FAT location picked first; without one it rebuilds nothing.
    const WorkerResult advanced = s.parser->runWorker(2);
    EXPECT_TRUE(advanced.started);
    EXPECT_EQ(advanced.remarks,
              std::vector<std::string>{"no FAT location chosen: nothing to rebuild"});
    EXPECT_FALSE(s.parser->runWorker(3).started);
}

TEST_P(FatVolume, DamagedBiosParameterBlocksAreRefused) {
    for (int damage = 0; damage < 5; ++damage) {
        Volume v(GetParam());
        switch (damage) {
            case 0:
                v.put16(11, 500);
                break;  // bytes per sector
            case 1:
                v.b[13] = 3;
                break;  // sectors per cluster
            case 2:
                v.b[16] = 0;
                break;  // no FAT
            case 3:
                v.b[510] = 0;
                break;  // signature
            case 4:
                v.put16(19, 3);
                v.put32(32, 0);
                break;  // no room for data
        }
        Scan s(v.write(dir, "d" + std::to_string(damage) + ".img"), GetParam());
        EXPECT_FALSE(s.result.failureBox.empty()) << damage;
    }
}

TEST_P(FatVolume, RandomDirectoryContentNeitherCrashesNorHangs) {
    std::mt19937 rng(1234 + static_cast<unsigned>(GetParam()));
    for (int round = 0; round < 30; ++round) {
        Volume v(GetParam());
        std::size_t from = v.fatStart() + 8;
        for (std::size_t i = from; i < v.b.size(); ++i)
            v.b[i] =
                static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : (rng() % 3 == 0 ? 0x10 : i % 7));
        Scan s(v.write(dir, "r.img"), GetParam());
        auto* fat = dynamic_cast<FatVolumeParser*>(s.parser.get());
        ASSERT_NE(fat, nullptr);
        auto all = s.all();
        // Each record is reached at most once, and every name is shown as valid text.
        EXPECT_LT(all.size(), fat->records().size() + 1);
        std::size_t n = 0;
        for (auto& [p, e] : all) {
            EXPECT_TRUE(isValidUtf8(s.parser->entryName(e)));
            if (++n > 50) continue;
            if (!s.parser->isFolder(e)) s.parser->extractEntry(dir.file("x"), e);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatVolume, ::testing::Values(12, 16, 32),
                         [](const auto& info) { return "FAT" + std::to_string(info.param); });

TEST(FatNextCluster, Fat12DecodesTwelveBitEntries) {
    TempDir dir;
    Volume v(12);
    v.setFat(2, 0x7AB);
    v.setFat(3, 0xABC);
    v.setFat(4, 0xFF8);
    v.setFat(5, 0xFF7);  // bad cluster
    FileReadSeek reader;
    ASSERT_TRUE(reader.openDevice(v.write(dir)));
    Fat16Class p(VolumeDescriptor{"FAT12", "", "", "1", 0});
    p.attach(&reader, nullptr, nullptr);
    p.openVolume();
    ASSERT_TRUE(p.checkBootSector());
    ASSERT_TRUE(p.isFat12());
    p.loadFat();
    EXPECT_EQ(p.nextCluster(2), 0x7AB);
    EXPECT_EQ(p.nextCluster(3), 0xABC);
    EXPECT_EQ(p.nextCluster(4), Fat16Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(5), Fat16Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(0), Fat16Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(1), Fat16Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(p.geometry().clusterLimit), Fat16Class::kEndOfChain);
    EXPECT_EQ(p.chainNext(2), 0u);  // 0x7AB is beyond this small volume
}

TEST(FatNextCluster, Fat16Bounds) {
    TempDir dir;
    Volume v(16);
    v.setFat(2, 3);
    v.setFat(3, 0xFFF8);
    FileReadSeek reader;
    ASSERT_TRUE(reader.openDevice(v.write(dir)));
    Fat16Class p(VolumeDescriptor{"FAT16", "", "", "1", 0});
    p.attach(&reader, nullptr, nullptr);
    p.openVolume();
    ASSERT_TRUE(p.checkBootSector());
    EXPECT_FALSE(p.isFat12());
    p.loadFat();
    EXPECT_EQ(p.nextCluster(2), 3);
    EXPECT_EQ(p.nextCluster(3), Fat16Class::kEndOfChain);
    std::uint32_t limit = p.geometry().clusterLimit;
    EXPECT_EQ(limit, 5000u - 1 - 20 - 2 + 2);  // data sectors + 2
    EXPECT_EQ(p.nextCluster(limit), Fat16Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(70000), Fat16Class::kEndOfChain);
}

TEST(FatNextCluster, Fat32MasksEndsAndGuards) {
    TempDir dir;
    Volume v(32);
    v.setFat(5, 0xF0000006);  // top four bits are reserved
    v.setFat(6, 0x0FFFFFF8);  // an end marker other than 0x0FFFFFFF
    v.setFat(7, 0x0FFFFFF7);  // bad cluster
    v.setFat(8, 9);
    FileReadSeek reader;
    ASSERT_TRUE(reader.openDevice(v.write(dir)));
    Fat32Class p(VolumeDescriptor{"FAT32", "", "", "1", 0});
    p.attach(&reader, nullptr, nullptr);
    p.openVolume();
    ASSERT_TRUE(p.checkBootSector());
    EXPECT_EQ(p.nextCluster(5), 6u);
    EXPECT_EQ(p.nextCluster(6), Fat32Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(7), Fat32Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(0), Fat32Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(p.geometry().clusterLimit), Fat32Class::kEndOfChain);
    EXPECT_EQ(p.nextCluster(8), 9u);
    // During the scan a cluster looked up twice ends the chain there.
    EXPECT_EQ(p.nextCluster(8), Fat32Class::kEndOfChain);
    p.options.driveFormatted = true;
    EXPECT_EQ(p.nextCluster(5), Fat32Class::kEndOfChain);
}

}  // namespace
}  // namespace vel
