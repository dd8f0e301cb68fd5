// The HFS+ decoders on byte-built nodes: catalog records live and stale, and how a fork's
// extents are found.
#include <gtest/gtest.h>

#include <functional>

#include "fs/common/FileSystemTable.h"
#include "fs/hfsplus/HfsFork.h"
#include "fs/hfsplus/HfsLayout.h"
#include "fs/hfsplus/HfsProbe.h"

using namespace vel;
using namespace vel::hfs;

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xFFFF);
}

// A catalog file record for id under parent named name, at offset of node.
std::size_t putFileRecord(Bytes& node, std::size_t at, std::uint32_t parent, std::uint32_t id,
                          const std::u16string& name, std::uint32_t start, std::uint32_t count) {
    put16(node, at, static_cast<std::uint32_t>(6 + 2 * name.size()));
    put32(node, at + 2, parent);
    put16(node, at + 6, static_cast<std::uint32_t>(name.size()));
    for (std::size_t i = 0; i < name.size(); ++i) put16(node, at + 8 + 2 * i, name[i]);
    std::size_t d = at + 8 + 2 * name.size();
    put16(node, d, kFileRecord);
    put32(node, d + 8, id);
    put32(node, d + 88 + 4, count * 4096);
    put32(node, d + 88 + 12, count);
    put32(node, d + 88 + 16, start);
    put32(node, d + 88 + 20, count);
    return d + 248 - at;
}

Bytes leafNode(std::uint16_t count) {
    Bytes n(4096, 0);
    n[8] = 0xFF;
    n[9] = 1;
    put16(n, 10, count);
    put16(n, 4094, 14);
    return n;
}

}  // namespace

TEST(HfsLayout, CatalogRecordsAreTakenOnlyWhenWhole) {
    Bytes n = leafNode(1);
    std::size_t length = putFileRecord(n, 14, 2, 20, u"name.txt", 100, 2);
    ByteView v(n.data(), n.size());
    auto r = parseCatalogRecord(v, 14, 4000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, 20u);
    EXPECT_EQ(r->keyParentId, 2u);
    EXPECT_EQ(r->keyName, u"name.txt");
    EXPECT_EQ(r->length, length);
    EXPECT_EQ(r->dataFork.extents[0], (Extent{100, 2}));

    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::size_t limit;
    };
    const Case cases[] = {
        {"record cut by the limit", [](Bytes&) {}, 14 + length - 1},
        {"key shorter than its name", [](Bytes& b) { put16(b, 14, 8); }, 4000},
        {"name longer than 255", [](Bytes& b) { put16(b, 20, 300); }, 4000},
        {"unknown record type", [](Bytes& b) { put16(b, 14 + 24, 7); }, 4000},
        {"zero ID", [](Bytes& b) { put32(b, 14 + 24 + 8, 0); }, 4000},
        {"key length running off the node", [](Bytes& b) { put16(b, 14, 0xFFFE); }, 4096},
    };
    for (const Case& c : cases) {
        Bytes bad = n;
        c.damage(bad);
        EXPECT_FALSE(parseCatalogRecord({bad.data(), bad.size()}, 14, c.limit)) << c.what;
    }
    EXPECT_FALSE(parseCatalogRecord(v, 4090, 4096));
}

TEST(HfsLayout, StaleRecordsAreFoundInANodesSlack) {
    Bytes n = leafNode(0);
    for (std::size_t i = 14; i < 900; ++i) n[i] = static_cast<std::uint8_t>(i * 37);
    std::size_t a = putFileRecord(n, 1000, 18, 41, u"old draft.txt", 153, 2);
    putFileRecord(n, 1000 + a + 40, 18, 42, u"gone.bin", 200, 1);
    // A record whose extents have a gap is not a record written by a file system.
    putFileRecord(n, 2400, 18, 43, u"noise", 0, 5);
    std::vector<std::pair<std::size_t, std::uint32_t>> found;
    carveCatalogRecords(
        {n.data(), n.size()}, 14, 4094,
        [&](std::size_t at, const CatalogRecord& r) { found.emplace_back(at, r.id); });
    EXPECT_EQ(found, (std::vector<std::pair<std::size_t, std::uint32_t>>{{1000, 41},
                                                                         {1000 + a + 40, 42}}));
}

TEST(HfsLayout, ForkExtentsContinueInTheOverflowRecordsInForkOrder) {
    HfsOverflowMap overflow;
    ExtentRecord second{}, third{}, other{};
    second[0] = {50, 3};
    second[1] = {40, 2};
    third[0] = {10, 5};
    other[0] = {99, 99};
    overflow[{kDataFork, 7, 4}] = second;
    overflow[{kDataFork, 7, 9}] = third;
    overflow[{kResourceFork, 7, 4}] = other;  // the resource fork's, never the data fork's
    overflow[{kDataFork, 8, 4}] = other;
    std::vector<Extent> first = {{20, 1}, {30, 3}};

    HfsForkExtents whole = mapFork(first, 14, 7, kDataFork, overflow);
    EXPECT_TRUE(whole.complete);
    EXPECT_EQ(whole.blocks, 14u);
    EXPECT_EQ(whole.extents, (std::vector<Extent>{{20, 1}, {30, 3}, {50, 3}, {40, 2}, {10, 5}}));

    overflow.erase({kDataFork, 7, 9});
    HfsForkExtents cut = mapFork(first, 14, 7, kDataFork, overflow);
    EXPECT_FALSE(cut.complete);
    EXPECT_EQ(cut.blocks, 9u);
    // An empty record adds nothing: the lookups end.
    overflow[{kDataFork, 7, 9}] = ExtentRecord{};
    EXPECT_EQ(mapFork(first, 14, 7, kDataFork, overflow).blocks, 9u);
}

TEST(HfsLayout, OneVolumeHeaderRuleForTheParserAndTheProbe) {
    struct Case {
        const char* what;
        char second;
        std::uint16_t version;
        std::uint32_t blockSize, blocks;
        std::int64_t bytes;  // -1: no header
    } cases[] = {
        {"HFS+", '+', 4, 4096, 2048, 4096 * 2048},
        {"HFSX", 'X', 5, 512, 10, 5120},
        {"another signature", 'D', 4, 4096, 2048, -1},
        {"version with a high byte", '+', 0x0104, 4096, 2048, -1},
        {"block size not a power of two", '+', 4, 3000, 2048, -1},
        {"block size below 512", '+', 4, 256, 2048, -1},
        {"no blocks", '+', 4, 4096, 0, -1},
        {"too large to be real", '+', 4, 1u << 31, 0xFFFFFFFF, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes first(1536, 0);
        first[1024] = 'H';
        first[1025] = static_cast<std::uint8_t>(c.second);
        put16(first, 1024 + 2, c.version);
        put32(first, 1024 + 40, c.blockSize);
        put32(first, 1024 + 44, c.blocks);
        EXPECT_EQ(parseVolumeHeader({first.data() + 1024, 512}).has_value(), c.bytes >= 0);
        EXPECT_EQ(hfsPlusVolumeBytes(first.data() + 1024), c.bytes);
        EXPECT_EQ(FileSystemTable::builtin().probe(first.data()).fileSystem,
                  c.bytes >= 0 ? "HFS+" : "");
    }
}
