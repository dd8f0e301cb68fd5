// The ext parser on volumes made by mke2fs and debugfs, against the manifests of what was put
// on them and what was deleted, and beside The Sleuth Kit's listing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "device/FileReadSeek.h"
#include "ext/ExtFixtureSupport.h"
#include "fs/common/FileSystemTable.h"
#include "fs/ext/ext2Class.h"
#include "platform/OutputFile.h"
#include "platform/Text.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

struct ExtFixture : ::testing::TestWithParam<std::string> {
    Volume& v() { return volume(GetParam()); }
};

}  // namespace

TEST_P(ExtFixture, ListsEveryLiveAndDeletedEntryWithItsNameTypeAndSize) {
    checkListing(v());
}

TEST_P(ExtFixture, SavesEveryIntactFileByteExactWithItsExactTimes) {
    checkSaves(v());
}

namespace {
// The Sleuth Kit's listing: path -> (folder, deleted), its orphan folder under our name, without
// special files.
std::map<std::string, std::pair<bool, bool>> tskListing(const std::string& image) {
    std::map<std::string, std::pair<bool, bool>> out;
    FILE* p = ::popen(("fls -r -p '" + image + "' 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char line[4096];
    while (std::fgets(line, sizeof line, p)) {
        std::string l(line);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        auto tab = l.find('\t');
        if (tab == std::string::npos || l.size() < 3) continue;
        std::string path = l.substr(tab + 1);
        const char type = l[0] != '-' ? l[0] : l[2];  // the name's type, else the inode's
        if (path == "$OrphanFiles" || (type != 'r' && type != 'd' && type != 'l')) continue;
        if (path.rfind("$OrphanFiles/", 0) == 0) path = "ORPHAN_ENTRY/" + path.substr(13);
        bool deleted = l.find(" * ") != std::string::npos && l.find(" * ") < tab;
        out[path] = {type == 'd', deleted};
    }
    ::pclose(p);
    return out;
}
}  // namespace

TEST_P(ExtFixture, AgreesWithTheSleuthKitListing) {
    if (std::system("command -v fls >/dev/null 2>&1") != 0) GTEST_SKIP() << "fls not installed";
    Volume& v = this->v();
    auto tsk = tskListing(v.image);
    ASSERT_FALSE(tsk.empty());
    std::set<std::string> ours;
    for (const auto& [path, f] : v.found) ours.insert(path);
    std::size_t eightBit = 0;
    for (const auto& [path, t] : tsk) {
        // The Sleuth Kit prints 8-bit names as they are; ours are shown in UTF-8.
        if (!isValidUtf8(path)) {
            ++eightBit;
            continue;
        }
        const Found* f = v.at(path);
        ASSERT_NE(f, nullptr) << path;
        EXPECT_EQ(f->folder, t.first) << path;
        EXPECT_EQ(f->deleted, t.second) << path;
        ours.erase(path);
    }
    // Nothing more than fls lists, besides the orphan folder itself.
    ours.erase("ORPHAN_ENTRY");
    EXPECT_EQ(ours.size(), eightBit);
}

INSTANTIATE_TEST_SUITE_P(Images, ExtFixture,
                         ::testing::Values("ext2-1k", "ext3-4k", "ext4-64", "ext4-small"),
                         [](const auto& info) {
                             std::string n = info.param;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

TEST(ExtFixtureContent, TheImagesHoldWhatTheyAreMeantToTest) {
    using namespace extfmt;
    Volume& ext2 = volume("ext2-1k");
    EXPECT_EQ(ext2.parser.superblock()->blockSize, 1024u);
    EXPECT_EQ(ext2.parser.superblock()->inodeSize, 128u);
    EXPECT_NE(le32(ext2.kept("sparse-triple.bin").block + 4 * 14), 0u);  // triple-indirect
    EXPECT_NE(le32(ext2.kept("big-gone.bin").block + 4 * 13), 0u);       // double-indirect

    Volume& ext4 = volume("ext4-64");
    const Superblock& s = *ext4.parser.superblock();
    EXPECT_EQ(s.descSize, 64u);
    EXPECT_NE((s.blockCount - s.firstDataBlock) % s.blocksPerGroup, 0u);  // partial last group
    std::uint32_t lastGroupFiles = 0;
    for (const auto& [path, f] : ext4.found) {
        const ExtInode* n = ext4.inode(path);
        if (n && (n->number - 1) / s.inodesPerGroup == s.groupCount - 1) ++lastGroupFiles;
    }
    EXPECT_GT(lastGroupFiles, 10u);
    auto depth = [&](const std::string& path) { return le16(ext4.kept(path).block + 6); };
    EXPECT_EQ(depth("sparse-many.bin"), 1u);  // more extents than the inode holds
    EXPECT_EQ(depth("frag.bin"), 1u);
    EXPECT_GT(le16(ext4.kept("prealloc.bin").block + 2), 2u);  // with the unwritten one
    EXPECT_TRUE(ext4.kept("hashed").flags & kFlagIndex);

    Volume& small = volume("ext4-small");
    const Superblock& m = *small.parser.superblock();
    EXPECT_TRUE(m.hasMetaBg());
    EXPECT_GT(m.groupCount, m.descriptorsPerBlock());
    EXPECT_GT(small.kept("tiny/t140.txt").number / m.inodesPerGroup, m.descriptorsPerBlock());
    EXPECT_TRUE(small.kept("docs/inline-more.txt").flags & kFlagInlineData);
    EXPECT_TRUE(small.kept("docs/small-folder").flags & kFlagInlineData);
}

TEST(ExtFixtureContent, AFolderOfHundredThousandNames) {
    Volume& v = volume("ext4-100k");
    const auto& folder = v.manifest["folder"];
    const std::size_t count = folder["count"];
    std::size_t names = 0;
    bool inOrder = true;
    char expected[32];
    for (const auto& [path, f] : v.found) {
        if (path.rfind("huge/", 0) != 0) continue;
        std::snprintf(expected, sizeof expected, "huge/f%06zu", names);
        inOrder = inOrder && path == expected && !f.folder && !f.deleted;
        ++names;
    }
    EXPECT_EQ(names, count);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(v.parser.entrySize(v.at("huge/f099999")->data),
              folder["second_half"]["size"].get<std::uint64_t>());
    ASSERT_NE(v.at("readme.txt"), nullptr);
}

TEST(ExtDamagedVolumes, UnreadableBlocksKeepTheirPlaceAndTheScanGoesOn) {
    Volume& clean = volume("ext4-64");
    const std::uint32_t bs = clean.parser.superblock()->blockSize;
    // The second block of big.bin, and the block of the folder "gone".
    std::uint64_t bigBlock = 0, goneBlock = 0;
    auto first = [&](const std::string& path) {
        std::uint64_t at = 0;
        const ExtInode& n = clean.kept(path);
        extfmt::mapBlocks(n.block, true, clean.parser.limitsFor(n.size), clean.parser.blockReader(),
                          [&](const extfmt::BlockRun& r) {
                              at = r.physical;
                              return false;
                          });
        return at;
    };
    bigBlock = first("big.bin") + 1;
    goneBlock = first("gone");
    ASSERT_NE(bigBlock, 1u);

    const std::string bytes = readFile(clean.image);
    for (std::uint64_t bad : {bigBlock, goneBlock}) {
        MemorySource reader(bytes);
        reader.failSector(static_cast<std::int64_t>(bad * bs / 512));
        ext2Class parser(descriptorFor(clean.image));
        MemoryTree tree;
        NullSink sink;
        parser.attach(&reader, &tree, &sink);
        parser.runWorker(1);
        std::map<std::string, ItemData> names;
        parser.forEachChild(parser.rootEntry(), [&](ItemData c) {
            names[parser.entryName(c)] = c;
            return true;
        });
        ASSERT_TRUE(names.count("big.bin"));
        TempDir out;
        const bool whole = parser.extractEntry(out.file("big.bin"), names["big.bin"]);
        std::string damaged = readFile(out.file("big.bin"));
        clean.parser.extractEntry(out.file("clean"), clean.at("big.bin")->data);
        std::string good = readFile(out.file("clean"));
        ASSERT_EQ(damaged.size(), good.size());
        if (bad == bigBlock) {
            // Zeros where the bad sector was, everything else in its place.
            EXPECT_FALSE(whole);
            EXPECT_EQ(damaged.substr(bs, 512), std::string(512, '\0'));
            good.replace(bs, 512, std::string(512, '\0'));
        } else {
            EXPECT_TRUE(whole);
        }
        EXPECT_EQ(damaged, good);
        // A save lists the file as damaged, not as whole.
        TempDir saved;
        StopFlag stop;
        SaveReport report =
            FolderSaver(parser, sink, stop).saveItem(tree, tree.firstChild(kNoItem), saved.path());
        EXPECT_EQ(std::count(report.incomplete.begin(), report.incomplete.end(),
                             saved.file("big.bin") + ".incomplete"),
                  bad == bigBlock ? 1 : 0);
        EXPECT_GT(parser.unreadableReads(), 0u);
        // Only the failing sector is lost: the source's retry reads the rest of the block.
        EXPECT_EQ(reader.badSectors().sectors(),
                  std::vector<std::int64_t>{static_cast<std::int64_t>(bad * bs / 512)});
        // Everything at the first level is still there; only the bad folder's names are gone.
        EXPECT_TRUE(names.count("docs") && names.count("gone") && names.count("hashed"));
        std::size_t goneChildren = 0;
        parser.forEachChild(names["gone"], [&](ItemData) { return ++goneChildren, true; });
        EXPECT_EQ(goneChildren, bad == goneBlock ? 0u : 2u);
    }
}

TEST(ExtDamagedVolumes, SuperblockFoundFromABackupOrWhereTheVolumeReallyStarts) {
    Volume& clean = volume("ext4-64");
    const std::string bytes = readFile(clean.image);
    const extfmt::Superblock& s = *clean.parser.superblock();
    auto listed = [](const ext2Class& p) {
        std::size_t n = 0;
        for (const ExtEntry& e : p.entryMap().entries) n += e.listed();
        return n;
    };
    std::string wiped = bytes;
    std::fill(wiped.begin() + 1024, wiped.begin() + 2048, '\0');
    struct Case {
        const char* what;
        std::string image;
        std::uint64_t fsOffset;
        std::string remark;
    };
    const Case cases[] = {
        {"primary wiped: group 1's copy gives the geometry", wiped, 0,
         "superblock damaged: read from its backup copy at sector " +
             std::to_string(s.groupFirstBlock(1) * s.blockSize / 512) + " of the volume"},
        {"the volume said to start 64 KiB early", std::string(65536, '\0') + bytes, 65536,
         "the file system starts at sector 128 of the volume"},
        {"no superblock anywhere", std::string(bytes.size(), '\0'), 0,
         "no ext superblock at the start of the volume, nor a copy found further on"},
    };
    for (const Case& c : cases) {
        MemorySource source(c.image);
        ext2Class parser({"extX", "", "", std::to_string(c.image.size() >> 20), 0});
        MemoryTree tree;
        NullSink sink;
        parser.attach(&source, &tree, &sink);
        WorkerResult result = parser.runWorker(1);
        EXPECT_EQ(result.remarks, std::vector<std::string>{c.remark}) << c.what;
        EXPECT_EQ(parser.fileSystemOffset(), c.fsOffset) << c.what;
        EXPECT_EQ(listed(parser),
                  c.fsOffset == 0 && !parser.superblock() ? 0 : listed(clean.parser))
            << c.what;
    }
}

TEST(ExtCommandLine, ScansAndSavesAnExtVolume) {
    for (const char* name : {"extX", "EXTx", "ext4"}) {
        auto parser =
            createParser(FileSystemTable::builtin(), {name, "", "", "8", 0}, ParserOptions{});
        EXPECT_NE(dynamic_cast<ext2Class*>(parser.get()), nullptr) << name;
    }

    std::string image = fixtureImage("ext4-64.img");
    CliResult scan = runCli({"scan", image, "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    auto lines = scanJsonByPath(scan.out);
    ASSERT_TRUE(lines.count("ROOT/docs/a.txt"));
    EXPECT_EQ(lines["ROOT/docs/a.txt"]["size"], 12);
    EXPECT_EQ(lines["ROOT/docs/a.txt"]["attributes"], "-OR-GR-UW-UR");
    ASSERT_TRUE(lines.count("ROOT/trash/inside.txt"));
    EXPECT_TRUE(lines["ROOT/trash/inside.txt"]["deleted"].get<bool>());
    EXPECT_FALSE(lines.count("ROOT/a-fifo"));

    TempDir out;
    CliResult save = runCli({"save", image, "--out", out.path(), "--path", "ROOT/sparse-many.bin"});
    ASSERT_EQ(save.exitCode, 0) << save.err;
    std::string expected;
    for (const auto& e : volume("ext4-64").manifest["entries"])
        if (e["path"] == "sparse-many.bin") expected = e["sha256"];
    EXPECT_EQ(sha256File(out.file("sparse-many.bin")), expected);

    // A custom volume: the whole image given as an extX volume at sector 0.
    CliResult custom = runCli({"scan", fixtureImage("ext2-1k.img"), "--start-sector", "0",
                               "--size-mb", "8", "--fs", "extX", "--json"});
    ASSERT_EQ(custom.exitCode, 0) << custom.err;
    EXPECT_NE(custom.out.find("\"path\":\"ROOT/ORPHAN_ENTRY/"), std::string::npos);
    // The modes that have no worker for ext volumes say so.
    CliResult deep = runCli({"scan", image, "--mode", "deep"});
    EXPECT_EQ(deep.exitCode, 1);
}
