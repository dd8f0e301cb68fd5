#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "fs/ext/Jbd2.h"

using namespace vel;
using namespace vel::jbd2;

namespace {

constexpr std::uint32_t kBs = 1024;

void putBe16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void putBe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

std::vector<std::uint8_t> header(std::uint32_t type, std::uint32_t sequence) {
    std::vector<std::uint8_t> b(kBs, 0);
    putBe32(b, hdr::kMagic, kMagic);
    putBe32(b, hdr::kBlockType, type);
    putBe32(b, hdr::kSequence, sequence);
    return b;
}

Superblock features(std::uint32_t incompat) {
    Superblock s;
    s.blockSize = kBs;
    s.featureIncompat = incompat;
    return s;
}

struct TagIn {
    std::uint64_t block;
    std::uint32_t flags;
};

// A descriptor block with tags laid out as sb says; a UUID follows each tag without same-UUID.
std::vector<std::uint8_t> descriptor(std::uint32_t sequence, const Superblock& sb,
                                     const std::vector<TagIn>& tags) {
    auto b = header(kDescriptor, sequence);
    std::size_t at = kHeaderSize;
    for (const TagIn& t : tags) {
        putBe32(b, at + tag::kBlockNr, static_cast<std::uint32_t>(t.block));
        if (sb.csumV3()) {
            putBe32(b, at + tag::kFlags3, t.flags);
            putBe32(b, at + tag::kBlockNrHigh3, static_cast<std::uint32_t>(t.block >> 32));
            putBe32(b, at + 12, 0xDEADBEEF);  // checksum: never read as a field
        } else {
            putBe16(b, at + 4, 0xBEEF);
            putBe16(b, at + tag::kFlags, static_cast<std::uint16_t>(t.flags));
            if (sb.is64Bit())
                putBe32(b, at + tag::kBlockNrHigh, static_cast<std::uint32_t>(t.block >> 32));
        }
        at += sb.tagSize();
        if (!(t.flags & kTagSameUuid)) {
            std::memset(b.data() + at, 0xAB, kUuidSize);
            at += kUuidSize;
        }
    }
    return b;
}

}  // namespace

TEST(Jbd2Tags, EveryLayoutGivesItsBlocksAndFlags) {
    struct Case {
        const char* name;
        std::uint32_t incompat;
        std::size_t tagSize;
        bool wide;
    };
    const Case cases[] = {
        {"32-bit", 0, 8, false},
        {"64bit", kIncompat64Bit, 12, true},
        {"csum v2 32-bit", kIncompatCsumV2, 10, false},
        {"csum v2 64bit", kIncompatCsumV2 | kIncompat64Bit, 14, true},
        {"csum v3 32-bit", kIncompatCsumV3, 16, false},
        {"csum v3 64bit", kIncompatCsumV3 | kIncompat64Bit, 16, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Superblock sb = features(c.incompat);
        EXPECT_EQ(sb.tagSize(), c.tagSize);
        const std::uint64_t high = std::uint64_t{0x12} << 32;
        const std::vector<TagIn> in = {{high | 100, 0},
                                       {high | 101, kTagSameUuid | kTagEscaped},
                                       {7, kTagSameUuid | kTagDeleted},
                                       {high | 0xFFFFFFFF, kTagSameUuid | kTagLastTag},
                                       {999, kTagSameUuid}};  // after the last tag: not read
        auto block = descriptor(5, sb, in);
        auto tags = parseDescriptorTags({block.data(), block.size()}, sb);
        ASSERT_EQ(tags.size(), 4u);
        for (std::size_t i = 0; i < tags.size(); ++i) {
            // Without 64bit the high half is not stored at all.
            const std::uint64_t want = c.wide ? in[i].block : in[i].block & 0xFFFFFFFF;
            EXPECT_EQ(tags[i].block, want) << i;
            EXPECT_EQ(tags[i].flags, in[i].flags) << i;
        }
        EXPECT_FALSE(tags[0].escaped());
        EXPECT_TRUE(tags[1].escaped());
    }
}

TEST(Jbd2Tags, TagsStopAtTheBlockEndAndBeforeTheChecksumTail) {
    // Same-UUID tags without a last-tag flag fill the block; with a tail the last 4 bytes are not
    // tag space.
    for (std::uint32_t incompat : {0u, kIncompatCsumV2, kIncompatCsumV3}) {
        const Superblock sb = features(incompat);
        std::vector<TagIn> in;
        const std::size_t room = kBs - kHeaderSize - (sb.hasBlockTail() ? 4 : 0) - kUuidSize;
        const std::size_t fit = room / sb.tagSize();  // the first tag has its UUID after it
        in.push_back({1, 0});
        for (std::size_t i = 1; i < fit; ++i) in.push_back({i + 1, kTagSameUuid});
        auto block = descriptor(1, sb, in);
        if (sb.hasBlockTail()) std::memset(block.data() + kBs - 4, 0xFF, 4);
        auto tags = parseDescriptorTags({block.data(), block.size()}, sb);
        EXPECT_EQ(tags.size(), fit) << incompat;
        // A block cut short gives only the tags inside it.
        auto cut = parseDescriptorTags({block.data(), 40}, sb);
        EXPECT_LE(kHeaderSize + kUuidSize + cut.size() * sb.tagSize(), 40u + sb.tagSize());
    }
}

TEST(Jbd2Revoke, CountsBoundTheEntriesIn32And64BitLayouts) {
    for (bool wide : {false, true}) {
        const Superblock sb = features(wide ? kIncompat64Bit | kIncompatCsumV3 : 0);
        auto b = header(kRevoke, 9);
        const std::size_t width = wide ? 8 : 4;
        putBe32(b, revoke::kCount, static_cast<std::uint32_t>(revoke::kHeadSize + 3 * width));
        for (std::size_t i = 0; i < 4; ++i) {
            if (wide) putBe32(b, revoke::kHeadSize + i * 8, 1);
            putBe32(b, revoke::kHeadSize + i * width + (wide ? 4 : 0),
                    static_cast<std::uint32_t>(50 + i));
        }
        const std::uint64_t high = wide ? std::uint64_t{1} << 32 : 0;
        EXPECT_EQ(parseRevokeBlock({b.data(), b.size()}, sb),
                  (std::vector<std::uint64_t>{high | 50, high | 51, high | 52}));
        // A count past the block is cut at its end (less the tail).
        putBe32(b, revoke::kCount, 0xFFFFFFFF);
        const std::size_t tail = sb.hasBlockTail() ? 4 : 0;
        EXPECT_EQ(parseRevokeBlock({b.data(), b.size()}, sb).size(),
                  (kBs - tail - revoke::kHeadSize) / width);
    }
}

TEST(Jbd2Superblock, VersionsAndBadGeometry) {
    auto b = header(kSuperblockV2, 0);
    putBe32(b, jsb::kBlockSize, kBs);
    putBe32(b, jsb::kMaxLen, 64);
    putBe32(b, jsb::kFirst, 1);
    putBe32(b, jsb::kSequence, 77);
    putBe32(b, jsb::kFeatureIncompat, kIncompat64Bit | kIncompatCsumV3);
    auto s = parseSuperblock({b.data(), b.size()});
    ASSERT_TRUE(s);
    EXPECT_EQ(s->version, 2u);
    EXPECT_EQ(s->sequence, 77u);
    EXPECT_EQ(s->tagSize(), 16u);
    // Version 1 has no feature words, whatever those bytes hold.
    putBe32(b, hdr::kBlockType, kSuperblockV1);
    s = parseSuperblock({b.data(), b.size()});
    ASSERT_TRUE(s);
    EXPECT_EQ(s->featureIncompat, 0u);
    EXPECT_EQ(s->tagSize(), 8u);
    struct Bad {
        std::size_t field;
        std::uint32_t value;
    };
    for (Bad bad : {Bad{jsb::kBlockSize, 1000}, Bad{jsb::kBlockSize, 1u << 17},
                    Bad{jsb::kMaxLen, 2}, Bad{jsb::kFirst, 0}, Bad{jsb::kFirst, 62},
                    Bad{hdr::kBlockType, kDescriptor}, Bad{hdr::kMagic, 0}}) {
        auto c = b;
        putBe32(c, bad.field, bad.value);
        EXPECT_FALSE(parseSuperblock({c.data(), c.size()})) << bad.field << " " << bad.value;
    }
}

namespace {

// A journal of kBlocks blocks held in memory; blocks not written read as zeros.
struct Journal {
    std::uint32_t blocks = 32;
    std::uint32_t incompat = kIncompat64Bit | kIncompatCsumV3;
    std::map<std::uint32_t, std::vector<std::uint8_t>> data;

    Journal(std::uint32_t n, std::uint32_t sequence, std::uint32_t incompatFeatures)
        : blocks(n), incompat(incompatFeatures) {
        auto b = header(kSuperblockV2, 0);
        putBe32(b, jsb::kBlockSize, kBs);
        putBe32(b, jsb::kMaxLen, n);
        putBe32(b, jsb::kFirst, 1);
        putBe32(b, jsb::kSequence, sequence);
        putBe32(b, jsb::kFeatureIncompat, incompat);
        data[0] = b;
    }
    std::uint32_t wrap(std::uint32_t at) const { return 1 + (at - 1) % (blocks - 1); }
    // One transaction from journal block at: a descriptor, a copy of each volume block (its
    // first byte tells which), then its commit. Returns the block after the commit.
    std::uint32_t transaction(std::uint32_t at, std::uint32_t sequence,
                              const std::vector<std::uint64_t>& volumeBlocks, bool commit = true) {
        std::vector<TagIn> tags;
        for (std::size_t i = 0; i < volumeBlocks.size(); ++i)
            tags.push_back(
                {volumeBlocks[i],
                 (i ? kTagSameUuid : 0u) | (i + 1 == volumeBlocks.size() ? kTagLastTag : 0u)});
        data[wrap(at)] = descriptor(sequence, features(incompat), tags);
        for (std::uint64_t v : volumeBlocks) {
            at = wrap(at + 1);
            data[at] = std::vector<std::uint8_t>(kBs, static_cast<std::uint8_t>(v));
        }
        at = wrap(at + 1);
        if (commit) data[at] = header(kCommit, sequence);
        return wrap(at + 1);
    }
    ReadJournalBlock reader() const {
        return [this](std::uint32_t n, std::uint8_t* out) {
            auto it = data.find(n);
            if (it == data.end())
                std::memset(out, 0, kBs);
            else
                std::memcpy(out, it->second.data(), kBs);
            return true;
        };
    }
};

std::vector<std::uint32_t> sequences(const Log& log) {
    std::vector<std::uint32_t> s;
    for (const Transaction& t : log.transactions) s.push_back(t.sequence);
    return s;
}

}  // namespace

TEST(Jbd2Log, TransactionsComeOldestFirstWithTheirCopiesAcrossTheWrap) {
    Journal j(16, 104, kIncompat64Bit | kIncompatCsumV3);
    // Written in order 100..103 around a ring of 15 log blocks: 103 wraps past the end.
    std::uint32_t at = 5;
    at = j.transaction(at, 100, {40, 41});
    at = j.transaction(at, 101, {42});
    at = j.transaction(at, 102, {43});
    ASSERT_EQ(at, 15u);
    at = j.transaction(at, 103, {44, 45});  // descriptor at 15, copies at 1 and 2, commit at 3
    EXPECT_EQ(at, 4u);
    auto log = readLog(j.reader(), kBs, 16);
    ASSERT_TRUE(log);
    EXPECT_EQ(sequences(*log), (std::vector<std::uint32_t>{100, 101, 102, 103}));
    const Transaction& last = log->transactions.back();
    ASSERT_EQ(last.copies.size(), 2u);
    EXPECT_EQ(last.copies[0].block, 44u);
    EXPECT_EQ(last.copies[0].journalBlock, 1u);
    EXPECT_EQ(last.copies[1].journalBlock, 2u);
    EXPECT_EQ(log->transactions[0].copies[1].journalBlock, 7u);
    EXPECT_EQ(log->incomplete, 0u);
}

TEST(Jbd2Log, UncommittedAndOverwrittenTransactionsAreLeftOut) {
    struct Case {
        const char* name;
        std::function<void(Journal&)> write;
        std::vector<std::uint32_t> kept;
        std::uint32_t incomplete;
    };
    const Case cases[] = {
        {"no commit", [](Journal& j) { j.transaction(1, 7, {9}, false); }, {}, 1},
        {"commit of another sequence",
         [](Journal& j) {
             j.transaction(1, 7, {9}, false);
             j.data[3] = header(kCommit, 8);
         },
         {},
         1},
        // 8 starts inside 7's copies and ends just before 7's commit: 7's commit still holds
        // but its copies are partly 8's.
        {"newer inside older",
         [](Journal& j) {
             j.transaction(1, 7, {20, 21, 22, 23, 24, 25});
             j.transaction(3, 8, {30});
         },
         {8},
         1},
        {"two pieces of one transaction",
         [](Journal& j) {
             std::vector<TagIn> one = {{50, kTagLastTag}};
             j.data[1] = descriptor(7, features(j.incompat), one);
             j.data[3] = descriptor(7, features(j.incompat), {{51, kTagLastTag}});
             auto r = header(kRevoke, 7);
             putBe32(r, revoke::kCount, revoke::kHeadSize + 8);
             putBe32(r, revoke::kHeadSize + 4, 60);
             j.data[5] = r;
             j.data[6] = header(kCommit, 7);
         },
         {7},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Journal j(16, 9, kIncompat64Bit | kIncompatCsumV3);
        c.write(j);
        auto log = readLog(j.reader(), kBs, 16);
        ASSERT_TRUE(log);
        EXPECT_EQ(sequences(*log), c.kept);
        EXPECT_EQ(log->incomplete, c.incomplete);
    }
    // The two-piece transaction: both copies, and the revoked block.
    Journal j(16, 9, kIncompat64Bit | kIncompatCsumV3);
    cases[3].write(j);
    auto log = readLog(j.reader(), kBs, 16);
    ASSERT_TRUE(log && log->transactions.size() == 1);
    const Transaction& t = log->transactions[0];
    ASSERT_EQ(t.copies.size(), 2u);
    EXPECT_EQ(t.copies[1].block, 51u);
    EXPECT_EQ(t.copies[1].journalBlock, 4u);
    EXPECT_EQ(t.revoked, (std::vector<std::uint64_t>{60}));
}

TEST(Jbd2Log, HostileJournalsEnd) {
    // A descriptor claiming more copies than the ring holds; a block size that is not the
    // volume's; a journal shorter than its superblock says.
    Journal j(16, 5, 0);
    std::vector<TagIn> many;
    for (int i = 0; i < 100; ++i) many.push_back({static_cast<std::uint64_t>(i), kTagSameUuid});
    j.data[1] = descriptor(3, features(0), many);
    j.data[2] = header(kCommit, 3);
    auto log = readLog(j.reader(), kBs, 16);
    ASSERT_TRUE(log);
    EXPECT_TRUE(log->transactions.empty());
    EXPECT_FALSE(readLog(j.reader(), 4096, 16));
    auto shorter = readLog(j.reader(), kBs, 8);
    ASSERT_TRUE(shorter);
    EXPECT_TRUE(shorter->transactions.empty());
    EXPECT_FALSE(readLog(j.reader(), kBs, 3));

    // Pieces of one sequence that lead round the ring into each other, without a commit.
    Journal ring(17, 5, 0);
    for (std::uint32_t at : {1u, 5u, 9u, 13u})
        ring.data[at] = descriptor(4, features(0),
                                   {{1, 0}, {2, kTagSameUuid}, {3, kTagSameUuid | kTagLastTag}});
    log = readLog(ring.reader(), kBs, 17);
    ASSERT_TRUE(log);
    EXPECT_TRUE(log->transactions.empty());
    // One piece of the ring made a commit: the chain from the piece after it ends there.
    ring.data[13] = header(kCommit, 4);
    log = readLog(ring.reader(), kBs, 17);
    ASSERT_TRUE(log);
    EXPECT_EQ(sequences(*log), (std::vector<std::uint32_t>{4}));
    EXPECT_EQ(log->transactions[0].firstBlock, 1u);
    EXPECT_EQ(log->transactions[0].copies.size(), 9u);
}
