#include <gtest/gtest.h>

#include <map>

#include "ext/ExtBytes.h"
#include "fs/ext/ExtBlockMap.h"
#include "fs/ext/ExtLayout.h"

using namespace vel;
using namespace vel::extfmt;
using namespace vel::test;

namespace {

constexpr std::uint32_t kBs = 1024;

// Index and pointer blocks by number; any other block cannot be read.
struct Blocks {
    std::map<std::uint64_t, std::vector<std::uint8_t>> blocks;
    int reads = 0;

    std::vector<std::uint8_t>& at(std::uint64_t n) {
        auto& b = blocks[n];
        b.resize(kBs, 0);
        return b;
    }
    ReadBlock reader() {
        return [this](std::uint64_t n, std::uint8_t* out) {
            ++reads;
            auto it = blocks.find(n);
            if (it == blocks.end()) return false;
            std::memcpy(out, it->second.data(), kBs);
            return true;
        };
    }
};

struct Mapped {
    std::vector<BlockRun> runs;
    MapResult result;
};

Mapped map(const std::vector<std::uint8_t>& area, bool extents, Blocks& blocks,
           std::uint64_t fileBlocks, std::uint64_t volumeBlocks = 1 << 20) {
    Mapped m;
    MapLimits limits{kBs, volumeBlocks, fileBlocks};
    m.result = mapBlocks(area.data(), extents, limits, blocks.reader(), [&](const BlockRun& r) {
        m.runs.push_back(r);
        return true;
    });
    return m;
}

bool same(const BlockRun& a, const BlockRun& b) {
    return a.logical == b.logical && a.physical == b.physical && a.count == b.count &&
           a.unwritten == b.unwritten;
}

void expectRuns(const Mapped& m, const std::vector<BlockRun>& want, bool complete) {
    EXPECT_EQ(m.result.complete, complete);
    ASSERT_EQ(m.runs.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(same(m.runs[i], want[i])) << "run " << i << ": " << m.runs[i].logical << "+"
                                              << m.runs[i].count << " at " << m.runs[i].physical;
}

}  // namespace

TEST(ExtExtentWalk, LeavesInTheInodeWithHolesUnwrittenAndHighStarts) {
    std::vector<std::uint8_t> area(60, 0);
    putExtentHeader(area, 0, 3, 4, 0);
    putExtent(area, 0, 0, 0, 2, 500);
    putExtent(area, 0, 1, 10, 32768 + 3, 600);  // unwritten
    putExtent(area, 0, 2, 20, 5, (7ull << 32) | 700);
    Blocks none;
    Mapped m = map(area, true, none, 24, 1ull << 40);
    // Block 2..9 and 13..19 are holes; the last extent is cut at the file's end.
    expectRuns(m, {{0, 500, 2, false}, {10, 600, 3, true}, {20, (7ull << 32) | 700, 4, false}},
               true);
    EXPECT_EQ(none.reads, 0);
}

TEST(ExtExtentWalk, IndexNodesAreFollowedInOrder) {
    // More extents than the inode holds: its root points at two leaf blocks.
    std::vector<std::uint8_t> area(60, 0);
    putExtentHeader(area, 0, 2, 4, 1);
    putExtentIndex(area, 0, 0, 0, 900);
    putExtentIndex(area, 0, 1, 100, 901);
    Blocks blocks;
    auto& left = blocks.at(900);
    putExtentHeader(left, 0, 5, 84, 0);
    for (int i = 0; i < 5; ++i) putExtent(left, 0, i, i * 10, 1, 1000 + i);
    auto& right = blocks.at(901);
    putExtentHeader(right, 0, 1, 84, 0);
    putExtent(right, 0, 0, 100, 8, 2000);
    Mapped m = map(area, true, blocks, 108);
    ASSERT_EQ(m.runs.size(), 6u);
    EXPECT_TRUE(m.result.complete);
    EXPECT_TRUE(same(m.runs[4], {40, 1004, 1, false}));
    EXPECT_TRUE(same(m.runs[5], {100, 2000, 8, false}));
}

TEST(ExtExtentWalk, HostileTreesEndAndSayTheyAreIncomplete) {
    struct Case {
        const char* what;
        std::uint16_t rootDepth;
        std::uint16_t childDepth;
        std::uint64_t child;
        std::uint64_t extentStart;
        std::size_t wantRuns;
    };
    const Case cases[] = {
        // The leaf block points back at itself as an index node: read once, then refused.
        {"loop", 2, 1, 900, 0, 0},
        {"depth that does not step down", 2, 2, 900, 0, 0},
        {"child outside the volume", 1, 0, 5000, 0, 0},
        {"unreadable child", 1, 0, 777, 0, 0},
        {"extent outside the volume", 1, 0, 900, 4095, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> area(60, 0);
        putExtentHeader(area, 0, 1, 4, c.rootDepth);
        putExtentIndex(area, 0, 0, 0, c.child);
        Blocks blocks;
        auto& node = blocks.at(900);
        putExtentHeader(node, 0, 1, 84, c.childDepth);
        if (c.childDepth == 0)
            putExtent(node, 0, 0, 0, 4, c.extentStart);
        else
            putExtentIndex(node, 0, 0, 0, 900);
        Mapped m = map(area, true, blocks, 4, 4096);
        EXPECT_FALSE(m.result.complete) << c.what;
        EXPECT_EQ(m.runs.size(), c.wantRuns) << c.what;
        EXPECT_LE(blocks.reads, 2) << c.what;
    }

    // Overlapping extents: what was given once is not given again.
    std::vector<std::uint8_t> area(60, 0);
    putExtentHeader(area, 0, 2, 4, 0);
    putExtent(area, 0, 0, 0, 10, 100);
    putExtent(area, 0, 1, 5, 10, 300);
    Blocks none;
    expectRuns(map(area, true, none, 15), {{0, 100, 10, false}, {10, 305, 5, false}}, false);
    // A header that is not one.
    area[0] = 0;
    expectRuns(map(area, true, none, 15), {}, false);
}

TEST(ExtBlockPointers, DirectIndirectDoubleAndTripleWithHoles) {
    constexpr std::uint64_t kPer = kBs / 4;  // pointers a block
    std::vector<std::uint8_t> area(60, 0);
    Blocks blocks;
    // Direct: 0 and 1 adjacent (one run), 2 a hole, 3 elsewhere.
    put32(area, 0, 50);
    put32(area, 4, 51);
    put32(area, 12, 70);
    // Single indirect (logical 12 on): its entry 1 only.
    put32(area, 48, 800);
    put32(blocks.at(800), 4, 90);
    // Double indirect (12 + 256 on): second pointer block, entry 2.
    put32(area, 52, 801);
    put32(blocks.at(801), 4, 802);
    put32(blocks.at(802), 8, 95);
    // Triple indirect (12 + 256 + 65536 on): the very first data block, and one the volume
    // does not have.
    put32(area, 56, 803);
    put32(blocks.at(803), 0, 804);
    put32(blocks.at(804), 0, 805);
    put32(blocks.at(805), 0, 99);
    put32(blocks.at(805), 4, 99999);
    const std::uint64_t tripleStart = 12 + kPer + kPer * kPer;
    Mapped m = map(area, false, blocks, tripleStart + 2, 10000);
    expectRuns(m,
               {{0, 50, 2, false},
                {3, 70, 1, false},
                {13, 90, 1, false},
                {12 + kPer + kPer + 2, 95, 1, false},
                {tripleStart, 99, 1, false}},
               false);

    // Nothing past the file's last block is read.
    Blocks counted = blocks;
    counted.reads = 0;
    expectRuns(map(area, false, counted, 4, 10000), {{0, 50, 2, false}, {3, 70, 1, false}}, true);
    EXPECT_EQ(counted.reads, 0);

    // One pointer block named at two levels is read once.
    put32(area, 52, 800);
    Blocks again = blocks;
    again.reads = 0;
    Mapped twice = map(area, false, again, 12 + kPer + kPer * kPer, 10000);
    EXPECT_FALSE(twice.result.complete);
    EXPECT_EQ(again.reads, 1);
}
