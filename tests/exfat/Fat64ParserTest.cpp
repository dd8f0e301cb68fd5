#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "exfat/ExfatImageBuilder.h"
#include "fs/exfat/Fat64Class.h"
#include "platform/FileTimes.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

std::string pattern(std::size_t size, char seed) {
    std::string s(size, 0);
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(seed + (i / 4096) * 7 + (i % 251));
    return s;
}

std::vector<std::uint8_t> fileSet(const std::u16string& name, std::uint32_t first,
                                  std::uint64_t size, std::uint8_t flags = 3,
                                  bool deleted = false) {
    return ExfatImageBuilder::encodeSet({.name = name,
                                         .flags = flags,
                                         .firstCluster = first,
                                         .validLength = size,
                                         .modified = exfatTimestamp(2020, 5, 6, 7, 8, 10),
                                         .accessed = exfatTimestamp(2021, 1, 2, 3, 4, 6),
                                         .deleted = deleted});
}

std::vector<std::uint8_t> folderSet(const std::u16string& name, std::uint32_t first,
                                    std::uint64_t size, std::uint8_t flags = 3,
                                    bool deleted = false) {
    return ExfatImageBuilder::encodeSet({.name = name,
                                         .attributes = 0x10,
                                         .flags = flags,
                                         .firstCluster = first,
                                         .validLength = size,
                                         .deleted = deleted});
}

struct Scan {
    explicit Scan(const ExfatImageBuilder& img, std::string sizeText = "1")
        : device(img.bytes()), parser(VolumeDescriptor{"exFAT", "", "", sizeText, 0}) {
        parser.attach(&device, &tree, &sink);
    }
    WorkerResult run() { return parser.runWorker(1); }

    // The children of a folder (0: the root) by name, in list order.
    std::vector<std::string> names(ItemData folder = 0) const {
        std::vector<std::string> out;
        parser.forEachChild(folder, [&](ItemData c) {
            out.push_back(parser.entryName(c));
            return true;
        });
        return out;
    }
    ItemData child(ItemData folder, const std::string& name) const {
        ItemData found = kNoData;
        parser.forEachChild(folder, [&](ItemData c) {
            if (parser.entryName(c) != name) return true;
            found = c;
            return false;
        });
        return found;
    }
    std::vector<std::string> topItems() const {
        std::vector<std::string> out;
        TreeItem top = tree.firstChild(kNoItem);
        for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c))
            out.push_back(tree.itemText(c));
        return out;
    }

    MemoryDevice device;
    Fat64Class parser;
    MemoryTree tree;
    NullSink sink;
};

std::vector<std::u16string> numbered(const std::u16string& stem, int count) {
    std::vector<std::u16string> out;
    for (int i = 0; i < count; ++i) {
        std::string n = std::to_string(i);
        out.push_back(stem + std::u16string(n.begin(), n.end()));
    }
    return out;
}

}  // namespace

TEST(Fat64Scan, RootIsReadAlongItsWholeChain) {
    ExfatImageBuilder img;
    // 70 sets of 3 entries need two 4 KiB clusters; the root's second cluster is not the next.
    img.chain({2, 9});
    std::vector<std::vector<std::uint8_t>> sets;
    for (const auto& n : numbered(u"file-", 70)) sets.push_back(fileSet(n, 0, 0));
    img.writeDirectory({2, 9}, sets);
    Scan scan(img);
    WorkerResult r = scan.run();
    EXPECT_TRUE(r.failureBox.empty());
    auto names = scan.names();
    ASSERT_EQ(names.size(), 70u);
    EXPECT_EQ(names.front(), "file-0");
    EXPECT_EQ(names.back(), "file-69");
    // The first root entry is also the hidden top record; the tree shows it once.
    EXPECT_EQ(scan.parser.entryName(0), "DUMMY ENTRY");
    auto top = scan.topItems();
    EXPECT_EQ(top.size(), 70u);
    EXPECT_EQ(std::count(top.begin(), top.end(), "file-0"), 1);
    EXPECT_EQ(std::count(top.begin(), top.end(), "DUMMY ENTRY"), 0);
}

TEST(Fat64Scan, LoopingRootChainEnds) {
    ExfatImageBuilder img;
    img.setFat(2, 3);
    img.setFat(3, 2);  // back to the start
    img.writeDirectory({2, 3}, {fileSet(u"a", 0, 0), fileSet(u"b", 0, 0)});
    Scan scan(img);
    scan.run();
    EXPECT_EQ(scan.names(), (std::vector<std::string>{"a", "b"}));
}

TEST(Fat64Scan, ContiguousFolderIsReadOverItsDataLength) {
    ExfatImageBuilder img;
    img.chain({2});
    // Three clusters 5, 6, 7 without FAT entries, and a fourth cluster of stray sets past the
    // folder's length.
    img.writeDirectory({2}, {folderSet(u"big", 5, 3 * 4096)});
    std::vector<std::vector<std::uint8_t>> sets;
    for (const auto& n : numbered(u"inner-", 120)) sets.push_back(fileSet(n, 0, 0));
    img.writeDirectory({5, 6, 7}, sets);
    img.writeDirectory({8}, {fileSet(u"beyond", 0, 0)});
    Scan scan(img);
    scan.run();
    ItemData big = scan.child(0, "big");
    ASSERT_NE(big, kNoData);
    auto inner = scan.names(big);
    EXPECT_EQ(inner.size(), 120u);
    EXPECT_EQ(std::count(inner.begin(), inner.end(), "beyond"), 0);
    EXPECT_EQ(inner.back(), "inner-119");
}

TEST(Fat64Scan, ChainedFolderFollowsTheFatWithinItsLengthAndEndsOnLoops) {
    ExfatImageBuilder img;
    img.chain({2});
    img.writeDirectory({2},
                       {folderSet(u"frag", 10, 3 * 4096, 1), folderSet(u"loop", 20, 8 * 4096, 1)});
    img.chain({10, 14, 12, 11});  // four clusters linked, the folder says three
    std::vector<std::vector<std::uint8_t>> sets;
    for (const auto& n : numbered(u"f", 125)) sets.push_back(fileSet(n, 0, 0));
    img.writeDirectory({10, 14, 12}, sets);
    img.writeDirectory({11}, {fileSet(u"past-the-length", 0, 0)});
    img.setFat(20, 21);
    img.setFat(21, 20);
    img.writeDirectory({20}, {fileSet(u"x", 0, 0)});
    img.writeDirectory({21}, {fileSet(u"y", 0, 0)});
    Scan scan(img);
    scan.run();
    auto frag = scan.names(scan.child(0, "frag"));
    EXPECT_EQ(frag.size(), 125u);
    EXPECT_EQ(std::count(frag.begin(), frag.end(), "past-the-length"), 0);
    EXPECT_EQ(scan.names(scan.child(0, "loop")), (std::vector<std::string>{"x", "y"}));
}

TEST(Fat64Scan, FolderNamingAnAncestorOrAnotherFolderAddsNothing) {
    ExfatImageBuilder img;
    img.chain({2});
    img.chain({5});
    img.chain({6});
    img.writeDirectory(
        {2}, {folderSet(u"a", 5, 4096), folderSet(u"b", 5, 4096), folderSet(u"c", 6, 4096)});
    img.writeDirectory({5}, {fileSet(u"in-a", 0, 0), folderSet(u"up", 2, 4096)});
    img.writeDirectory({6}, {folderSet(u"self", 6, 4096), folderSet(u"back", 5, 4096)});
    Scan scan(img);
    scan.run();
    // "b" repeats "a"'s folder: one record carrying the later name, listed once.
    EXPECT_EQ(scan.names(), (std::vector<std::string>{"b", "c"}));
    ItemData b = scan.child(0, "b");
    EXPECT_EQ(scan.names(b), (std::vector<std::string>{"in-a", "up"}));
    EXPECT_TRUE(scan.names(scan.child(b, "up")).empty());
    ItemData c = scan.child(0, "c");
    EXPECT_TRUE(scan.names(scan.child(c, "self")).empty());
    EXPECT_TRUE(scan.names(scan.child(c, "back")).empty());
}

TEST(Fat64Scan, DeepNestingNeedsNoRecursion) {
    const std::uint32_t depth = 3000;
    ExfatImageBuilder img(depth + 8, 0);  // 512-byte clusters
    img.chain({2});
    img.writeDirectory({2}, {folderSet(u"d", 3, 512)});
    for (std::uint32_t i = 0; i < depth; ++i) {
        img.chain({3 + i});
        img.writeDirectory({3 + i}, {folderSet(u"d", 4 + i, 512)});
    }
    Scan scan(img, "4");
    scan.run();
    ItemData f = 0;
    std::uint32_t levels = 0;
    while ((f = scan.child(f, "d")) != kNoData) ++levels;
    EXPECT_EQ(levels, depth + 1);
}

TEST(Fat64Scan, TreeShowsDeletedLookFolderTestAndColumns) {
    ExfatImageBuilder img;
    img.chain({2});
    img.chain({5});
    auto attrs = ExfatImageBuilder::encodeSet({.name = u"attrs",
                                               .attributes = 0x27,
                                               .firstCluster = 0,
                                               .validLength = 0,
                                               .created = exfatTimestamp(2010, 1, 2, 3, 4, 0),
                                               .modified = exfatTimestamp(2011, 12, 31, 23, 59, 0),
                                               .accessed = exfatTimestamp(2012, 6, 7, 12, 0, 0)});
    auto sizes = ExfatImageBuilder::encodeSet(
        {.name = u"sized", .firstCluster = 7, .validLength = 1536, .dataLength = 8192});
    img.writeDirectory({2}, {folderSet(u"gone", 5, 4096, 3, true), attrs, sizes,
                             fileSet(u"DUMMY ENTRY", 0, 0), fileSet(u"erased", 0, 0, 3, true)});
    img.writeDirectory({5}, {fileSet(u"inside", 0, 0)});
    Scan scan(img);
    scan.run();
    EXPECT_EQ(scan.topItems(),
              (std::vector<std::string>{"gone", "attrs", "sized", "DUMMY ENTRY", "erased"}));
    TreeItem top = scan.tree.firstChild(kNoItem);
    TreeItem gone = scan.tree.firstChild(top);
    EXPECT_EQ(scan.tree.itemIcon(gone), IconKind::Folder);
    EXPECT_EQ(scan.tree.itemColour(gone), kDeletedColour);
    TreeItem attrsItem = scan.tree.nextSibling(gone);
    EXPECT_EQ(scan.tree.itemIcon(attrsItem), IconKind::File);
    EXPECT_NE(scan.tree.itemColour(attrsItem), kDeletedColour);
    // A live file inside a deleted folder takes the folder's look when the folder is filled.
    ASSERT_TRUE(scan.parser.fillFolder(gone, FillReason::Selection));
    TreeItem inside = scan.tree.firstChild(gone);
    EXPECT_EQ(scan.tree.itemText(inside), "inside");
    EXPECT_EQ(scan.tree.itemColour(inside), kDeletedColour);

    ItemData a = scan.tree.itemData(attrsItem);
    EntryColumns cols = scan.parser.entryColumns(a);
    EXPECT_EQ(cols.created, "01/02/2010  03:04 AM");
    EXPECT_EQ(cols.modified, "12/31/2011  11:59 PM");
    EXPECT_EQ(cols.accessed, "06/07/2012  12:00 PM");
    EXPECT_EQ(cols.attributes, "-R-H-S-A");
    ItemData sized = scan.child(0, "sized");
    EXPECT_EQ(scan.parser.entrySizeText(sized), "1.50 KB");  // valid data length, not 8 KiB
    EXPECT_EQ(scan.parser.entrySize(sized), 1536u);
}

TEST(Fat64Scan, BootSectorFailures) {
    {
        ExfatImageBuilder img;
        std::memcpy(img.bootSector() + 3, "MSDOS", 5);
        Scan scan(img);
        WorkerResult r = scan.run();
        EXPECT_FALSE(r.endSequence);
        EXPECT_EQ(r.failureBox, "Selected Drive is not in exFat Format");
        EXPECT_TRUE(r.notices.empty());
    }
    {
        ExfatImageBuilder img;
        Scan scan(img);
        scan.device.source.failAll();
        WorkerResult r = scan.run();
        EXPECT_FALSE(r.endSequence);
        EXPECT_EQ(r.failureBox, "Selected Drive is not in exFat Format");
        EXPECT_EQ(r.notices, (std::vector<std::string>{"cant read file"}));
    }
    {
        ExfatImageBuilder img;
        ExfatImageBuilder::put32(img.bootSector() + 96, 0);  // no root cluster
        Scan scan(img);
        WorkerResult r = scan.run();
        EXPECT_TRUE(r.endSequence);
        EXPECT_EQ(r.failureBox, "error...");
        EXPECT_NE(scan.tree.firstChild(kNoItem), kNoItem);  // the top item is there
    }
    {
        ExfatImageBuilder img;
        Scan scan(img);
        // The advanced mode needs a FAT and a heap picked first; without them it rebuilds nothing.
        const WorkerResult advanced = scan.parser.runWorker(2);
        EXPECT_TRUE(advanced.started);
        EXPECT_EQ(advanced.remarks,
                  std::vector<std::string>{"no FAT or heap location chosen: nothing to rebuild"});
        EXPECT_FALSE(scan.parser.runWorker(3).started);
    }
}

TEST(Fat64NextCluster, BoundsCountAndValues) {
    ExfatImageBuilder img(32);
    img.setFat(5, 9);
    img.setFat(9, 0xFFFFFFFF);
    Scan scan(img);
    ASSERT_TRUE(scan.parser.checkBootSector());
    EXPECT_EQ(scan.parser.clusterCount(), 34u);
    scan.parser.resetNextClusterCalls();
    std::size_t reads = scan.device.reads.size();
    EXPECT_EQ(scan.parser.nextCluster(0), 0xFFFFFFFFu);
    EXPECT_EQ(scan.parser.nextCluster(1), 0xFFFFFFFFu);
    EXPECT_EQ(scan.parser.nextCluster(34), 0xFFFFFFFFu);
    EXPECT_EQ(scan.parser.nextCluster(0xFFFFFFF0u), 0xFFFFFFFFu);
    EXPECT_EQ(scan.device.reads.size(), reads);  // out-of-range numbers read nothing
    EXPECT_EQ(scan.parser.nextCluster(5), 9u);
    EXPECT_EQ(scan.parser.lastNextCluster(), 9u);
    EXPECT_EQ(scan.parser.nextCluster(33), 0u);
    EXPECT_EQ(scan.parser.nextClusterCalls(), 6u);
    scan.parser.options.driveFormatted = true;
    EXPECT_EQ(scan.parser.nextCluster(5), 0xFFFFFFFFu);
    scan.parser.options.driveFormatted = false;
    scan.device.source.failAll();
    EXPECT_EQ(scan.parser.nextCluster(5), 0xFFFFFFFFu);
}

namespace {
struct Extraction : ::testing::Test {
    ExfatImageBuilder img{700};
    TempDir out;
    std::map<std::string, std::string> data;

    // name -> record index after the scan
    std::unique_ptr<Scan> scan;
    void build(const std::vector<std::vector<std::uint8_t>>& sets) {
        img.chain({2});
        img.writeDirectory({2}, sets);
        scan = std::make_unique<Scan>(img);
        scan->run();
    }
    ItemData entry(const std::string& name) { return scan->child(0, name); }
    std::string save(const std::string& name, bool* ok = nullptr) {
        std::string path = out.file(name);
        bool r = scan->parser.extractEntry(path, entry(name));
        if (ok) *ok = r;
        return fs::exists(path) ? readFile(path) : std::string("<none>");
    }
};
}  // namespace

TEST_F(Extraction, ContiguousFileIsCutAtItsSizeAndCopiedInBoundedBlocks) {
    std::string small = pattern(10000, 'a');
    std::string large = pattern(600 * 4096 - 100, 'k');  // several copy blocks
    img.fill({3, 4, 5}, small);
    std::vector<std::uint32_t> run;
    for (std::uint32_t c = 10; c < 610; ++c) run.push_back(c);
    img.fill(run, large);
    build({fileSet(u"small", 3, small.size()), fileSet(u"large", 10, large.size())});
    bool ok = false;
    EXPECT_EQ(save("small", &ok), small);
    EXPECT_TRUE(ok);
    EXPECT_EQ(save("large", &ok), large);
    EXPECT_TRUE(ok);
    // No read larger than the copy block, whatever the file's size.
    EXPECT_LE(scan->device.largestRead, 1u << 20);
    EXPECT_EQ(scan->parser.nextClusterCalls(), 0u);
}

TEST_F(Extraction, ChainedFilesFollowTheFat) {
    std::string frag = pattern(3 * 4096 + 5, 'f');
    img.chain({20, 7, 31, 4});
    img.fill({20, 7, 31, 4}, frag);
    std::string one = pattern(4096, 'o');
    img.chain({40});
    img.fill({40}, one);
    build({fileSet(u"frag", 20, frag.size(), 1), fileSet(u"one", 40, one.size(), 1)});
    bool ok = false;
    EXPECT_EQ(save("frag", &ok), frag);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scan->parser.nextClusterCalls(), 3u);
    EXPECT_EQ(save("one", &ok), one);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scan->parser.nextClusterCalls(), 0u);  // one cluster: no FAT lookup
}

TEST_F(Extraction, BrokenAndLoopingChainsGiveShortFilesReportedUnwritten) {
    std::string data1 = pattern(3 * 4096, 'b');
    img.setFat(20, 21);
    img.setFat(21, 0);  // freed: the chain stops here
    img.fill({20, 21, 22}, data1);
    img.setFat(30, 31);
    img.setFat(31, 30);
    img.fill({30, 31}, pattern(2 * 4096, 'l'));
    build({fileSet(u"broken", 20, data1.size(), 1), fileSet(u"loop", 30, 50 * 4096, 1)});
    bool ok = true;
    EXPECT_EQ(save("broken", &ok), data1.substr(0, 2 * 4096));
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_EQ(save("loop", &ok).size(), 2u * 4096);
    EXPECT_FALSE(ok);
    // The times are still set on a short file.
    struct stat st {};
    ASSERT_EQ(::stat(out.file("broken").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, fromCalendarAsUtc(2020, 5, 6, 7, 8, 10).seconds);
}

TEST_F(Extraction, TimesAreTheOnDiskCalendarTakenAsUtc) {
    img.fill({3}, "hello");
    build({ExfatImageBuilder::encodeSet({.name = u"t",
                                         .firstCluster = 3,
                                         .validLength = 5,
                                         .modified = exfatTimestamp(2019, 6, 15, 13, 45, 58),
                                         .accessed = exfatTimestamp(2019, 6, 16, 8, 0, 0)}),
           ExfatImageBuilder::encodeSet({.name = u"bad-date",
                                         .firstCluster = 3,
                                         .validLength = 5,
                                         .modified = 0,
                                         .accessed = 0x1F << 16 | 2 << 21})});
    // Times are looked at before the file is read (reading would move its access time).
    ASSERT_TRUE(scan->parser.extractEntry(out.file("t"), entry("t")));
    struct stat st {};
    ASSERT_EQ(::stat(out.file("t").c_str(), &st), 0);
    EXPECT_EQ(readFile(out.file("t")), "hello");
    bool ok = false;
    EXPECT_EQ(st.st_mtime, 1560606358);  // 2019-06-15 13:45:58 UTC
    EXPECT_EQ(st.st_atime, 1560672000);  // 2019-06-16 08:00:00 UTC
    // Month 0 and 31 February still give a written file.
    EXPECT_EQ(save("bad-date", &ok), "hello");
    EXPECT_TRUE(ok);
}

TEST_F(Extraction, SizesZeroValidLengthAndOutOfRangeClusters) {
    std::string d = pattern(8192, 'v');
    img.fill({3, 4}, d);
    build({fileSet(u"empty", 0, 0),
           ExfatImageBuilder::encodeSet(
               {.name = u"valid-part", .firstCluster = 3, .validLength = 1000, .dataLength = 8192}),
           ExfatImageBuilder::encodeSet({.name = u"claims-more",
                                         .firstCluster = 3,
                                         .validLength = 1u << 30,
                                         .dataLength = 5000}),
           fileSet(u"before-heap", 1, 100), fileSet(u"past-heap", 5000, 100),
           fileSet(u"runs-off", img.clusters(), 5 * 4096)});
    bool ok = false;
    EXPECT_EQ(save("empty", &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(save("valid-part", &ok), d.substr(0, 1000));
    EXPECT_TRUE(ok);
    EXPECT_EQ(save("claims-more", &ok), d.substr(0, 5000));
    EXPECT_TRUE(ok);
    EXPECT_EQ(save("before-heap", &ok), "<none>");
    EXPECT_FALSE(ok);
    EXPECT_EQ(save("past-heap", &ok), "<none>");
    EXPECT_FALSE(ok);
    // The heap ends two clusters into the file: the rest is not there.
    EXPECT_EQ(save("runs-off", &ok).size(), 2u * 4096);
    EXPECT_FALSE(ok);
}

TEST_F(Extraction, FormattedDriveTakesEveryFileAsContiguous) {
    std::string d = pattern(3 * 4096, 'z');
    img.fill({12, 13, 14}, d);
    img.chain({12, 40, 41});  // a stale chain that a format would have cleared
    build({fileSet(u"f", 12, d.size(), 1)});
    scan->parser.options.driveFormatted = true;
    bool ok = false;
    EXPECT_EQ(save("f", &ok), d);
    EXPECT_TRUE(ok);
}

TEST_F(Extraction, UnwritableDestinationIsReported) {
    img.fill({3}, "x");
    build({fileSet(u"x", 3, 1)});
    EXPECT_FALSE(scan->parser.extractEntry(out.file("no/such/dir/x"), entry("x")));
    EXPECT_FALSE(scan->parser.extractEntry(out.file("y"), 0));  // the top record
}

TEST(Fat64Robustness, GarbageVolumesEndAndStayInBounds) {
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        ExfatImageBuilder img(48, static_cast<std::uint8_t>(seed % 4));
        std::vector<std::uint8_t> bytes = img.bytes();
        std::uint32_t x = seed * 2654435761u;
        // Everything past the boot sector is noise, with many entry-set openers in it.
        for (std::size_t i = 512; i < bytes.size(); ++i) {
            x = x * 1103515245 + 12345;
            bytes[i] = static_cast<std::uint8_t>(x >> 16);
            if (i % 32 == 0 && (x >> 8) % 3 == 0) bytes[i] = (x & 1) ? 0x85 : 0x05;
            if (i % 32 == 0 && (x >> 8) % 3 == 1) bytes[i] = (x & 1) ? 0xC0 : 0xC1;
        }
        MemoryDevice device(bytes);
        Fat64Class parser(VolumeDescriptor{"exFAT", "", "", "1", 0});
        MemoryTree tree;
        NullSink sink;
        parser.attach(&device, &tree, &sink);
        parser.runWorker(1);
        // Records only ever name earlier records as parents, so no walk can loop.
        for (std::size_t i = 1; i < parser.records().size(); ++i)
            EXPECT_LT(parser.records()[i].links.parentIndex, i);
        TempDir out;
        std::size_t extracted = 0;
        for (std::size_t i = 1; i < parser.records().size() && extracted < 40; ++i) {
            if (parser.isFolder(static_cast<ItemData>(i))) continue;
            parser.extractEntry(out.file("f"), static_cast<ItemData>(i));
            ++extracted;
            if (fs::exists(out.file("f"))) {
                EXPECT_LE(fs::file_size(out.file("f")),
                          static_cast<std::uintmax_t>(48) * (512u << (seed % 4)));
            }
        }
    }
}

TEST(Fat64Scan, LiveFoldersKeepClustersThatAnOldDeletedFolderNamed) {
    ExfatImageBuilder img;
    img.chain({2});
    img.chain({6});
    img.chain({5});
    // "old" was deleted; its cluster 5 now holds the live folder a/new.
    img.writeDirectory({2}, {folderSet(u"old", 5, 4096, 3, true), folderSet(u"a", 6, 4096)});
    img.writeDirectory({6}, {folderSet(u"new", 5, 4096)});
    img.writeDirectory({5}, {fileSet(u"current.txt", 0, 0)});
    Scan scan(img);
    scan.run();
    ItemData fresh = scan.child(scan.child(0, "a"), "new");
    EXPECT_EQ(scan.names(fresh), (std::vector<std::string>{"current.txt"}));
    EXPECT_TRUE(scan.names(scan.child(0, "old")).empty());
}

TEST(Fat64Robustness, DamagedCopiesOfARealVolumeEndAndStayInBounds) {
    std::string image = readFile(fixtureImage("exfat-part.img"));
    const std::size_t volumeStart = 2048 * 512;
    for (std::uint32_t round = 1; round <= 10; ++round) {
        std::vector<std::uint8_t> bytes(image.begin(), image.end());
        std::uint32_t x = round * 40503u;
        // Damage the FAT and the start of the heap, where the root and the folders are.
        auto field = [&](std::size_t off) {
            const std::uint8_t* p = bytes.data() + volumeStart + off;
            return static_cast<std::size_t>(p[0] | p[1] << 8 | p[2] << 16) * 512;
        };
        const std::size_t fat = volumeStart + field(80), heap = volumeStart + field(88);
        for (int k = 0; k < 600; ++k) {
            x = x * 1103515245 + 12345;
            std::size_t at = k % 2 ? fat + (x >> 8) % 8192 : heap + (x >> 8) % (32u << 10);
            x = x * 1103515245 + 12345;
            bytes[at] = static_cast<std::uint8_t>(x >> 16);
        }
        MemoryDevice device(bytes);
        Fat64Class parser(VolumeDescriptor{"exFAT", "", "", "11", 2048});
        MemoryTree tree;
        NullSink sink;
        parser.attach(&device, &tree, &sink);
        parser.runWorker(1);
        for (std::size_t i = 1; i < parser.records().size(); ++i)
            EXPECT_LT(parser.records()[i].links.parentIndex, i);
        TempDir out;
        const std::uint64_t heapBytes =
            static_cast<std::uint64_t>(parser.clusterCount()) * parser.clusterSize();
        for (std::size_t i = 1; i < parser.records().size() && i < 200; ++i) {
            auto e = static_cast<ItemData>(i);
            if (parser.isFolder(e)) continue;
            std::string path = out.file("f" + std::to_string(i));
            parser.extractEntry(path, e);
            if (fs::exists(path)) {
                EXPECT_LE(fs::file_size(path), std::min(parser.entrySize(e), heapBytes));
            }
        }
    }
}
