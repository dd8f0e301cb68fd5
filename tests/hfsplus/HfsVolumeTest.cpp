// The parser on volumes built byte by byte: links, odd names, times, the node walk, what a
// damaged volume does to it, and the command line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <map>

#include "device/readWriteInterface.h"
#include "fs/hfsplus/HFSP.h"
#include "hfsplus/HfsImageBuilder.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "scan/ResultsWalk.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
using Builder = HfsImageBuilder;

namespace {

constexpr std::int64_t kHfsEpoch = 2082844800;

struct Scanned {
    Scanned(std::vector<std::uint8_t> image, int mode = 1)
        : device(std::move(image)), parser(VolumeDescriptor{"HFS+", "", "0", "1", 0}) {
        parser.attach(&device, &tree, &sink);
        result = parser.runWorker(mode);
        walkResults(parser, tree, tree.firstChild(kNoItem), [&](const WalkedItem& w) {
            if (w.depth > 0) paths[w.path.substr(5)] = w.data;
            return true;
        });
    }
    bool aborted() const { return result.failureBox == "Work Aborted...."; }

    MemorySource device;
    HFSP parser;
    MemoryTree tree;
    NullSink sink;
    WorkerResult result;
    std::map<std::string, ItemData> paths;  // below ROOT, in the order walked
};

std::string bytes(std::size_t n, char seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7 + i / 4096);
    return s;
}

}  // namespace

TEST(HfsVolume, HardLinksSymlinksAndNamesWithNulAndSlash) {
    Builder b;
    std::u16string privateName = std::u16string(4, u'\0') + u"HFS+ Private Data";
    std::uint32_t priv = b.folder(2, privateName);
    Builder::FileOptions inode;  // four different dates
    inode.create = 3500000000u;
    inode.contentMod = 3600000000u;
    inode.attributeMod = 3700000000u;
    inode.access = 3650000000u;
    b.file(priv, u"iNode77", "the linked bytes", inode);
    Builder::FileOptions link;
    link.type = 0x686C6E6B;     // "hlnk"
    link.creator = 0x6866732B;  // "hfs+"
    link.special = 77;
    link.contentMod = 3700000000u;
    b.file(2, u"link.txt", "", link);
    link.special = 99;  // no iNode99
    b.file(2, u"dangling", "", link);
    Builder::FileOptions symlink;
    symlink.type = 0x736C6E6B;     // "slnk"
    symlink.creator = 0x72686170;  // "rhap"
    b.file(2, u"to-target", "../some/where", symlink);
    b.file(2, u"a/b", "slash");

    Scanned s(b.build());
    ASSERT_FALSE(s.aborted());
    // The NULs are shown, not cut at: U+2400 each.
    const std::string shownPrivate =
        "\xe2\x90\x80\xe2\x90\x80\xe2\x90\x80\xe2\x90\x80HFS+ Private Data";
    ASSERT_TRUE(s.paths.count(shownPrivate + "/iNode77"));
    ASSERT_TRUE(s.paths.count("link.txt"));
    EXPECT_FALSE(s.parser.isFolder(s.paths["link.txt"]));
    EXPECT_EQ(s.parser.entrySize(s.paths["link.txt"]), 16u);
    EXPECT_TRUE(s.paths.count("a/b"));

    TempDir out;
    StopFlag stop;
    FolderSaver saver(s.parser, s.sink, stop);
    SaveReport report = saver.saveItem(s.tree, s.tree.firstChild(kNoItem), out.path());
    // A hard link is saved with its file's data and times: content modification and access
    // (looked at before reading the file moves its access time).
    struct stat st {};
    ASSERT_EQ(::stat(out.file("link.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 3600000000 - kHfsEpoch);
    EXPECT_EQ(st.st_atime, 3650000000 - kHfsEpoch);
    EXPECT_EQ(readFile(out.file("link.txt")), "the linked bytes");
    // A symbolic link is saved as a small regular file holding its target.
    ASSERT_EQ(::lstat(out.file("to-target").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(out.file("to-target")), "../some/where");
    EXPECT_EQ(readFile(out.file("a_b")), "slash");
    EXPECT_EQ(readFile(out.file(shownPrivate + "/iNode77")), "the linked bytes");
    // A link to nothing is reported and leaves no file.
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, out.file("dangling"));
    EXPECT_NE(::lstat(out.file("dangling").c_str(), &st), 0);
}

TEST(HfsVolume, EveryNodeIsReadTheLastOneAndLoopingChainsIncluded) {
    Builder b;
    b.leafCapacity = 2;
    std::vector<std::string> names;
    for (char c : std::string("edcba")) {
        std::u16string n = u"file-";
        n += static_cast<char16_t>(c);
        b.file(2, n, std::string(1, c));
        names.push_back(std::string("file-") + c);
    }
    std::vector<std::uint8_t> image = b.build();
    ASSERT_EQ(b.catalogNodes, 7u);  // header, three thread leaves, three record leaves
    {
        Scanned s(image);
        ASSERT_EQ(s.paths.size(), names.size());
        // Siblings come in the order their records are chained, as the catalog sorts them.
        std::vector<std::string> order;
        s.parser.forEachChild(2, [&](ItemData c) {
            order.push_back(s.parser.entryName(c));
            return true;
        });
        EXPECT_EQ(order, names);
    }
    // The last leaf links back to the first: still every record, once.
    Builder::put32(image, Builder::catalogNodeOffset(6), 1);
    Scanned looped(image);
    EXPECT_EQ(looped.paths.size(), names.size());
}

TEST(HfsVolume, DamagedStructuresAreSkippedWithoutCrashOrEndlessLoop) {
    Builder b;
    b.leafCapacity = 4;
    b.file(2, u"one", bytes(100, '1'));
    b.file(2, u"two", bytes(9000, '2'));
    Builder::FileOptions past;
    past.extents = {{250, 10}};  // runs past the volume's 256 blocks
    b.file(2, u"past-end", bytes(40000, 'p'), past);
    Builder::FileOptions hostile;
    hostile.extents = {{1, 0xFFFFFFFF}};
    hostile.logicalSize = std::uint64_t{1} << 40;
    b.file(2, u"huge", "", hostile);
    const std::vector<std::uint8_t> good = b.build();
    const std::size_t header = Builder::catalogNodeOffset(0);
    const std::size_t lastLeaf = Builder::catalogNodeOffset(b.catalogNodes - 1);

    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        int mode;
        bool aborted;
        std::size_t listed;
    };
    const Case cases[] = {
        {"intact", [](auto&) {}, 1, false, 4},
        {"node size not a power of two", [&](auto& img) { Builder::put16(img, header + 32, 3000); },
         1, true, 0},
        {"node size not a power of two, deep mode finds the leaves",
         [&](auto& img) { Builder::put16(img, header + 32, 3000); }, 3, false, 4},
        {"node count far beyond the catalog file",
         [&](auto& img) { Builder::put32(img, header + 36, 0xFFFFFFFF); }, 1, false, 4},
        {"record offset beyond its node",
         [&](auto& img) { Builder::put16(img, lastLeaf + Builder::kNode - 2, 0xFFF0); }, 1, false,
         3},
        {"record count beyond what a node holds",
         [&](auto& img) { Builder::put16(img, lastLeaf + 10, 0xFFFF); }, 1, false, 4},
        {"catalog extents cut short of its last node",
         [&](auto& img) { Builder::put32(img, 1024 + 272 + 20, b.catalogNodes - 1); }, 1, false, 2},
        // The deep search finds that node, and what it indexes is not taken for deleted.
        {"catalog extents cut short, deep mode",
         [&](auto& img) { Builder::put32(img, 1024 + 272 + 20, b.catalogNodes - 1); }, 3, false, 4},
        {"primary volume header wiped",
         [](auto& img) { std::fill(img.begin() + 1024, img.begin() + 1536, 0); }, 1, false, 4},
        {"both volume headers wiped",
         [](auto& img) {
             std::fill(img.begin() + 1024, img.begin() + 1536, 0);
             std::fill(img.end() - 1024, img.end() - 512, 0);
         },
         1, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> image = good;
        c.damage(image);
        Scanned s(image, c.mode);
        EXPECT_EQ(s.aborted(), c.aborted);
        EXPECT_EQ(s.paths.size(), c.listed);
        for (const auto& [path, data] : s.paths) EXPECT_FALSE(s.parser.isDeleted(data, 2)) << path;
    }

    Scanned s(good);
    TempDir out;
    EXPECT_TRUE(s.parser.extractEntry(out.file("two"), s.paths.at("two")));
    EXPECT_EQ(readFile(out.file("two")), bytes(9000, '2'));
    // Blocks past the volume's end are not data: the file is reported as not whole, and a
    // terabyte claimed over them is not written.
    EXPECT_FALSE(s.parser.extractEntry(out.file("past-end"), s.paths.at("past-end")));
    EXPECT_FALSE(s.parser.extractEntry(out.file("huge"), s.paths.at("huge")));
    struct stat st {};
    EXPECT_NE(::stat(out.file("huge").c_str(), &st), 0);  // nothing could be read: no file
}

TEST(HfsVolume, AnUnreadableSectorCostsOnlyWhatItHolds) {
    Builder b;
    b.leafCapacity = 3;  // nodes 1-2 threads, 3-4 records
    for (char c : std::string("abcde")) b.file(2, std::u16string(1, c), bytes(3 * 4096, c));
    const std::vector<std::uint8_t> image = b.build();
    const std::int64_t bad = 64 * 4096 + 4096 + 512;  // in the first file's second block
    auto listed = [&](std::int64_t from) {
        MemorySource device(image);
        device.failSector(from / 512);
        HFSP parser(VolumeDescriptor{"HFS+", "", "0", "1", 0});
        parser.attach(&device, nullptr, nullptr);
        parser.runWorker(1);
        std::size_t n = 0;
        parser.forEachChild(2, [&](ItemData) { return ++n; });
        return n;
    };
    EXPECT_EQ(listed(bad), 5u);
    EXPECT_EQ(listed(static_cast<std::int64_t>(Builder::catalogNodeOffset(1)) + 1024), 5u);
    // A node's offset table: its records are lost, the other node's are not.
    EXPECT_EQ(listed(static_cast<std::int64_t>(Builder::catalogNodeOffset(3)) + 4096 - 512), 3u);

    MemorySource device(image);
    device.failSector(bad / 512);
    HFSP parser(VolumeDescriptor{"HFS+", "", "0", "1", 0});
    parser.attach(&device, nullptr, nullptr);
    parser.runWorker(1);
    TempDir out;
    ReadDamageScope damage;
    EXPECT_FALSE(parser.extractEntry(out.file("a"), 16));
    EXPECT_EQ(damage.unreadableBytes(), 512u);
    std::string got = readFile(out.file("a")), want = bytes(3 * 4096, 'a');
    ASSERT_EQ(got.size(), want.size());
    // The bad sector reads as zeros; every other byte comes back in its place.
    want.replace(4096 + 512, 512, 512, '\0');
    EXPECT_EQ(got, want);
}

TEST(HfsVolume, OverflowExtentsAreFollowedAndAMissingOneIsReported) {
    Builder b;
    Builder::FileOptions o;
    // Ten one-block extents, each before the one it follows on disk; two in an overflow record.
    for (std::uint32_t i = 0; i < 10; ++i) o.extents.push_back({200 - 2 * i, 1});
    const std::string data = bytes(10 * 4096 - 123, 'x');
    b.file(2, u"scattered", data, o);
    std::vector<std::uint8_t> image = b.build();
    {
        Scanned s(image);
        ASSERT_EQ(s.parser.overflow().size(), 1u);
        TempDir out;
        ASSERT_TRUE(s.parser.extractEntry(out.file("f"), s.paths.at("scattered")));
        EXPECT_EQ(readFile(out.file("f")), data);
    }
    // Without its overflow record the file cannot come back whole.
    Builder::put16(image, 3 * Builder::kBlock + 10, 0);
    Scanned s(image);
    TempDir out;
    EXPECT_FALSE(s.parser.extractEntry(out.file("f"), s.paths.at("scattered")));
    EXPECT_EQ(readFile(out.file("f")), data.substr(0, 8 * 4096));
}

TEST(HfsVolume, CommandLineFindsHfsPlusAndHfsxAndReportsAnAbortedScanAsAFailure) {
    Builder b;
    b.file(2, u"kept.txt", "kept");
    std::vector<std::uint8_t> image = b.build();
    TempDir dir;
    writeFile(dir.file("good.img"), std::string(image.begin(), image.end()));
    image[1025] = 'X';  // HFSX: case-sensitive names, read the same
    writeFile(dir.file("hfsx.img"), std::string(image.begin(), image.end()));
    std::fill(image.begin() + 1024, image.begin() + 1536, 0);
    std::fill(image.end() - 1024, image.end() - 512, 0);
    writeFile(dir.file("wiped.img"), std::string(image.begin(), image.end()));

    for (const char* name : {"good.img", "hfsx.img"}) {
        CliResult found = runCli({"scan", dir.file(name), "--json"});
        ASSERT_EQ(found.exitCode, 0) << name << found.err;
        EXPECT_NE(found.out.find("\"path\":\"ROOT/kept.txt\""), std::string::npos) << name;
    }
    CliResult deep = runCli({"scan", dir.file("good.img"), "--mode", "deep", "--json"});
    ASSERT_EQ(deep.exitCode, 0) << deep.err;
    EXPECT_NE(deep.out.find("\"path\":\"ROOT/kept.txt\""), std::string::npos);
    CliResult wiped =
        runCli({"scan", dir.file("wiped.img"), "--start-sector", "0", "--fs", "HFS+"});
    EXPECT_EQ(wiped.exitCode, 1);
    EXPECT_NE(wiped.err.find("Work Aborted...."), std::string::npos) << wiped.err;
}
