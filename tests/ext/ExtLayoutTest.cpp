#include <gtest/gtest.h>

#include "ext/ExtBytes.h"
#include "fs/ext/ExtLayout.h"

using namespace vel;
using namespace vel::extfmt;
using namespace vel::test;

namespace {

struct SuperblockFields {
    std::uint32_t logBlock = 0;
    std::uint32_t firstDataBlock = 1;
    std::uint32_t blocksLo = 8193, blocksHi = 0;
    std::uint32_t blocksPerGroup = 8192;
    std::uint32_t inodesPerGroup = 1024;
    std::uint32_t inodes = 1024;
    std::uint16_t inodeSize = 256;
    std::uint32_t incompat = kIncompatFileType;
    std::uint16_t descSize = 0;
    std::uint16_t magic = kMagic;
    std::uint32_t rev = 1;
};

std::vector<std::uint8_t> superblock(const SuperblockFields& f) {
    std::vector<std::uint8_t> b(kSuperblockSize, 0);
    put32(b, sb::kInodeCount, f.inodes);
    put32(b, sb::kBlockCountLo, f.blocksLo);
    put32(b, sb::kBlockCountHi, f.blocksHi);
    put32(b, sb::kFirstDataBlock, f.firstDataBlock);
    put32(b, sb::kLogBlockSize, f.logBlock);
    put32(b, sb::kBlocksPerGroup, f.blocksPerGroup);
    put32(b, sb::kInodesPerGroup, f.inodesPerGroup);
    put16(b, sb::kMagic, f.magic);
    put32(b, sb::kRevLevel, f.rev);
    put32(b, sb::kFirstInode, 11);
    put16(b, sb::kInodeSize, f.inodeSize);
    put32(b, sb::kFeatureIncompat, f.incompat);
    put16(b, sb::kDescSize, f.descSize);
    return b;
}

std::optional<Superblock> parse(const std::vector<std::uint8_t>& b) {
    return parseSuperblock({b.data(), b.size()});
}

}  // namespace

TEST(ExtSuperblock, GeometryCountsThePartialLastGroupAndTheHighHalves) {
    // 1 KiB blocks: two whole groups of 8192 after block 1, and 100 blocks more.
    SuperblockFields small;
    small.blocksLo = 1 + 2 * 8192 + 100;
    small.inodes = 3 * 1024;
    auto s = parse(superblock(small));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->blockSize, 1024u);
    EXPECT_EQ(s->groupCount, 3u);
    EXPECT_EQ(s->descSize, 32u);
    EXPECT_EQ(s->descriptorsPerBlock(), 32u);
    EXPECT_TRUE(s->hasFileType());

    // 64bit: the block count's high half counts, descriptors are s_desc_size bytes.
    SuperblockFields big;
    big.logBlock = 2;
    big.firstDataBlock = 0;
    big.blocksLo = 0x10;
    big.blocksHi = 1;
    big.blocksPerGroup = 32768;
    big.inodesPerGroup = 8192;
    big.inodes = 0xFFFFFFFF;
    big.incompat = kIncompatFileType | kIncompat64Bit | kIncompatExtents;
    big.descSize = 64;
    s = parse(superblock(big));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->blockCount, 0x100000010ull);
    EXPECT_EQ(s->groupCount, 131073u);
    EXPECT_EQ(s->descSize, 64u);
    EXPECT_EQ(s->descriptorsPerBlock(), 64u);
    // The inode count never exceeds what the groups hold.
    EXPECT_EQ(s->inodeCount, 131073u * 8192);
}

TEST(ExtSuperblock, RejectsGeometryNoVolumeHas) {
    struct Case {
        const char* what;
        void (*change)(SuperblockFields&);
    };
    const Case cases[] = {
        {"magic", [](SuperblockFields& f) { f.magic = 0xEF54; }},
        {"128 KiB blocks", [](SuperblockFields& f) { f.logBlock = 7; }},
        {"inode size not a power of two", [](SuperblockFields& f) { f.inodeSize = 200; }},
        {"inode size past the block", [](SuperblockFields& f) { f.inodeSize = 2048; }},
        {"64bit with 32-byte descriptors",
         [](SuperblockFields& f) {
             f.incompat |= kIncompat64Bit;
             f.descSize = 32;
         }},
        {"a group bigger than its bitmap", [](SuperblockFields& f) { f.blocksPerGroup = 8200; }},
        {"no blocks past the first", [](SuperblockFields& f) { f.blocksLo = 1; }},
        {"first data block 1 with 4 KiB blocks", [](SuperblockFields& f) { f.logBlock = 2; }},
        {"no inodes per group", [](SuperblockFields& f) { f.inodesPerGroup = 0; }},
        {"first data block 0 with 1 KiB blocks", [](SuperblockFields& f) { f.firstDataBlock = 0; }},
        {"a size past 2^62 bytes",
         [](SuperblockFields& f) {
             f.logBlock = 6;
             f.firstDataBlock = 0;
             f.blocksPerGroup = 8 * 65536;
             f.inodesPerGroup = 1;
             f.incompat |= kIncompat64Bit;
             f.descSize = 64;
             f.blocksHi = 0x4000;
         }},
        {"revision 2", [](SuperblockFields& f) { f.rev = 2; }},
        {"more inodes than 32 bits number",
         [](SuperblockFields& f) {
             f.blocksPerGroup = 8;
             f.blocksLo = 0xFFFFFFFF;
         }},
    };
    for (const Case& c : cases) {
        SuperblockFields f;
        c.change(f);
        EXPECT_FALSE(parse(superblock(f))) << c.what;
    }
}

TEST(ExtSuperblock, DescriptorBlocksFollowTheCopyOrTheirMetaGroup) {
    SuperblockFields f;
    f.blocksLo = 1 + 40 * 256;
    f.blocksPerGroup = 256;
    f.inodesPerGroup = 16;
    f.inodes = 40 * 16;
    f.incompat |= kIncompat64Bit;
    f.descSize = 64;
    auto b = superblock(f);
    put32(b, sb::kFeatureRoCompat, kRoCompatSparseSuper);
    auto s = parse(b);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->descriptorsPerBlock(), 16u);
    // Classic: the table follows the superblock copy, 16 descriptors (64 bytes each) a block.
    EXPECT_EQ(s->descriptorBlock(0, 0), 2u);
    EXPECT_EQ(s->descriptorBlock(15, 0), 2u);
    EXPECT_EQ(s->descriptorBlock(16, 0), 3u);
    EXPECT_EQ(s->descriptorBlock(33, 1), 1u + 256 + 1 + 2);
    // Sparse copies: 0, 1 and the powers of 3, 5 and 7.
    for (std::uint32_t g : {0u, 1u, 3u, 9u, 25u, 49u}) EXPECT_TRUE(s->groupHasSuperblock(g)) << g;
    for (std::uint32_t g : {2u, 4u, 6u, 10u, 16u, 48u}) EXPECT_FALSE(s->groupHasSuperblock(g)) << g;

    // meta_bg from meta group 1 on: a meta group's table starts its first group (after a
    // superblock copy where there is one); the backup is in its second group.
    put32(b, sb::kFeatureIncompat, f.incompat | kIncompatMetaBg);
    put32(b, sb::kFirstMetaBg, 1);
    s = parse(b);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->descriptorBlock(5, 0), 2u);
    EXPECT_EQ(s->descriptorBlock(16, 0), 1u + 16 * 256);
    EXPECT_EQ(s->descriptorBlock(20, 1), 1u + 17 * 256);
    EXPECT_EQ(s->descriptorBlock(32, 0), 1u + 32 * 256);
}

TEST(ExtGroupDescriptor, SixtyFourByteDescriptorsCarryHighHalves) {
    // Three descriptors at a 64-byte stride; each inode table has a high half.
    std::vector<std::uint8_t> table(3 * 64, 0);
    for (std::uint32_t g = 0; g < 3; ++g) {
        put32(table, g * 64 + gd::kInodeTableLo, 100 + g);
        put32(table, g * 64 + gd::kInodeTableHi, g);
        put16(table, g * 64 + gd::kItableUnusedLo, 5);
        put16(table, g * 64 + gd::kItableUnusedHi, 1);
        put16(table, g * 64 + gd::kFlags, kGroupInodeUninit);
    }
    GroupDescriptor d = parseGroupDescriptor(table.data() + 2 * 64, 64);
    EXPECT_EQ(d.inodeTable, (2ull << 32) | 102);
    EXPECT_EQ(d.itableUnused, 0x10005u);
    EXPECT_EQ(d.flags, kGroupInodeUninit);
    // A 32-byte stride lands in the middle of descriptor 0, on its high halves.
    EXPECT_EQ(parseGroupDescriptor(table.data() + 32, 32).inodeTable, 0u);
    // 32-byte descriptors have no high half to read.
    EXPECT_EQ(parseGroupDescriptor(table.data() + 2 * 64, 32).inodeTable, 102u);
}

TEST(ExtInode, TimesSizesAndTheFieldsBeyond128Bytes) {
    std::vector<std::uint8_t> b(256, 0);
    put16(b, ino::kMode, kTypeRegular | 0644);
    put16(b, ino::kLinksCount, 1);
    put32(b, ino::kSizeLo, 0x10);
    put32(b, ino::kSizeHi, 2);
    put32(b, ino::kFlags, kFlagExtents);
    put32(b, ino::kMtime, 0x8583B000);  // 2,240,000,000 - 2^32 as a signed word
    put32(b, ino::kAtime, 0xFE1ECC80);  // 1969
    put32(b, ino::kCtime, 100);
    put16(b, ino::kExtraIsize, 32);
    put32(b, ino::kMtimeExtra, (987654321u << 2) | 1);  // epoch bit: +2^32 seconds
    put32(b, ino::kAtimeExtra, 250000000u << 2);
    put32(b, ino::kCrtime, 42);
    put32(b, ino::kCrtimeExtra, 7u << 2);

    Inode n = decodeInode(b.data(), 256, false);
    EXPECT_EQ(n.size, (2ull << 32) | 0x10);
    EXPECT_TRUE(n.usesExtents());
    EXPECT_TRUE(n.inUse());
    EXPECT_EQ(decodeTime(n.mtime), (UnixTime{2240000000, 987654321}));
    EXPECT_EQ(decodeTime(n.atime), (UnixTime{-31536000, 250000000}));
    ASSERT_TRUE(n.hasCrtime);
    EXPECT_EQ(decodeTime(n.crtime), (UnixTime{42, 7}));

    // In a 128-byte inode the same words are other inodes' bytes: whole seconds only.
    Inode old = decodeInode(b.data(), 128, false);
    EXPECT_EQ(decodeTime(old.mtime), (UnixTime{2240000000ll - (1ll << 32), 0}));
    EXPECT_FALSE(old.hasCrtime);
    // An extra size running past the inode is not trusted.
    put16(b, ino::kExtraIsize, 200);
    EXPECT_FALSE(decodeInode(b.data(), 256, false).atime.hasExtra);

    // A folder's high size word is something else on volumes without large folders.
    put16(b, ino::kMode, kTypeDirectory | 0755);
    EXPECT_EQ(decodeInode(b.data(), 256, false).size, 0x10u);
    EXPECT_EQ(decodeInode(b.data(), 256, true).size, (2ull << 32) | 0x10);

    // A short link keeps its target in the block area, a long one in a block.
    put16(b, ino::kMode, kTypeSymlink | 0777);
    put32(b, ino::kFlags, 0);
    put32(b, ino::kSizeHi, 0);
    EXPECT_TRUE(isFastSymlink(decodeInode(b.data(), 256, false)));
    put32(b, ino::kSizeLo, 60);
    EXPECT_FALSE(isFastSymlink(decodeInode(b.data(), 256, false)));
}

namespace {
struct Seen {
    std::uint32_t inode;
    std::string name;
    bool deleted;
    bool operator==(const Seen&) const = default;
};
std::vector<Seen> walk(const std::vector<std::uint8_t>& block, DirBlockOptions o = {}) {
    if (o.blockSize == 0) o.blockSize = static_cast<std::uint32_t>(block.size());
    if (o.inodeCount == 0) o.inodeCount = 1000;
    std::vector<Seen> seen;
    walkDirectoryBlock(block.data(), block.size(), o, [&](const DirEntry& e) {
        seen.push_back({e.inode, std::string(e.name), e.deleted});
    });
    return seen;
}
}  // namespace

TEST(ExtDirectoryBlock, LiveEntriesThenWhatTheSlackStillHolds) {
    std::vector<std::uint8_t> b(1024, 0);
    putDirent(b, 0, 2, 12, ".", kFtDirectory);
    putDirent(b, 12, 2, 12, "..", kFtDirectory);
    // "a.txt" absorbed the deleted "gone.txt" and "old.bin" (their record lengths kept), and an
    // older entry whose name would run out of the slack.
    putDirent(b, 24, 12, 64, "a.txt", kFtRegular);
    putDirent(b, 40, 13, 16, "gone.txt", kFtRegular);
    putDirent(b, 56, 14, 16, "old.bin", kFtRegular);
    putDirent(b, 72, 18, 28, "name-running-past!!!", kFtRegular);
    // The last record runs to the block's end; leftovers in its slack: one sound, the others
    // naming an inode past the count, a bad type.
    putDirent(b, 88, 15, 1024 - 88, "last", kFtDirectory);
    putDirent(b, 100, 1000, 20, "tail-old", kFtSymlink);  // the last inode there is
    putDirent(b, 120, 5000, 16, "toobig", kFtRegular);
    putDirent(b, 136, 17, 16, "badtype", 9);
    EXPECT_EQ(walk(b), (std::vector<Seen>{{2, ".", false},
                                          {2, "..", false},
                                          {12, "a.txt", false},
                                          {13, "gone.txt", true},
                                          {14, "old.bin", true},
                                          {15, "last", false},
                                          {1000, "tail-old", true}}));
}

TEST(ExtDirectoryBlock, ClearedFirstSlotsBrokenChainsAndHashTreeNodes) {
    // A block's first entry is deleted by clearing its inode; the checksum tail is no name.
    std::vector<std::uint8_t> b(1024, 0);
    putDirent(b, 0, 0, 24, "first-gone", kFtRegular);
    putDirent(b, 24, 30, 1024 - 24 - 12, "kept", kFtRegular);
    putDirent(b, 1012, 0, 12, "", kFtChecksumTail);
    EXPECT_EQ(walk(b), (std::vector<Seen>{{0, "first-gone", true}, {30, "kept", false}}));

    // A record length running past the block breaks the chain; the rest is searched as slack.
    std::vector<std::uint8_t> broken(1024, 0);
    putDirent(broken, 0, 31, 2000, "bad", kFtRegular);
    putDirent(broken, 16, 32, 16, "found", kFtRegular);
    EXPECT_EQ(walk(broken), (std::vector<Seen>{{32, "found", true}}));

    // A hash tree's interior node: one empty record over the block, then count and limit. Its
    // hash/block pairs must not turn into names.
    std::vector<std::uint8_t> node(1024, 0);
    put16(node, 4, 1024);
    put16(node, 8, (1024 - 8) / 8);
    put16(node, 10, 3);
    for (int i = 0; i < 3; ++i) {
        put32(node, 16 + 8 * i, 0x00000020);  // hashes that look like small inode numbers
        put32(node, 20 + 8 * i, 0x00040020 + i);
    }
    DirBlockOptions hashed;
    hashed.hashedDirectory = true;
    EXPECT_TRUE(walk(node, hashed).empty());

    // The root of the tree sits in the slack of "..".
    std::vector<std::uint8_t> root(1024, 0);
    putDirent(root, 0, 40, 12, ".", kFtDirectory);
    putDirent(root, 12, 2, 1012, "..", kFtDirectory);
    root[29] = 8;  // info length
    putDirent(root, 40, 41, 16, "fake", kFtRegular);
    hashed.firstBlock = true;
    EXPECT_EQ(walk(root, hashed), (std::vector<Seen>{{40, ".", false}, {2, "..", false}}));
    // Without the index flag the same bytes are ordinary slack.
    EXPECT_EQ(walk(root).size(), 3u);
}
