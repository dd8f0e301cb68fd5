#include <gtest/gtest.h>

#include "exfat/ExfatImageBuilder.h"
#include "fs/exfat/ExfatLayout.h"

using namespace vel;
using namespace vel::exfat;
using vel::test::ExfatImageBuilder;
using vel::test::exfatTimestamp;
using vel::test::SetFields;

namespace {
std::vector<ExfatEntry> walk(const std::vector<std::uint8_t>& bytes) {
    std::vector<ExfatEntry> sets;
    walkEntrySets(bytes.data(), bytes.size(), [&](const ExfatEntry& e) { sets.push_back(e); });
    return sets;
}

std::vector<std::uint8_t> join(const std::vector<std::vector<std::uint8_t>>& parts) {
    std::vector<std::uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
}  // namespace

TEST(ExfatTimestamp, DecodesEveryField) {
    CalendarTime t = decodeTimestamp(exfatTimestamp(2023, 11, 30, 23, 59, 58));
    EXPECT_EQ(t.year, 2023);
    EXPECT_EQ(t.month, 11);
    EXPECT_EQ(t.day, 30);
    EXPECT_EQ(t.hour, 23);
    EXPECT_EQ(t.minute, 59);
    EXPECT_EQ(t.second, 58);
    // Two-second count 29 is 58 seconds; the lowest timestamp is 1980-00-00.
    EXPECT_EQ(decodeTimestamp(29).second, 58);
    CalendarTime zero = decodeTimestamp(0);
    EXPECT_EQ(zero.year, 1980);
    EXPECT_EQ(zero.month, 0);
    // The year field is 7 bits: 127 is 2107.
    EXPECT_EQ(decodeTimestamp(0xFE000000u).year, 2107);
}

TEST(ExfatTimestamp, ShowsAsTheListsDateText) {
    EXPECT_EQ(dateText(decodeTimestamp(exfatTimestamp(2019, 6, 15, 13, 45, 59))),
              "06/15/2019  01:45 PM");
    EXPECT_EQ(dateText(decodeTimestamp(exfatTimestamp(2019, 6, 15, 12, 5, 0))),
              "06/15/2019  12:05 PM");
}

TEST(ExfatBootSector, AcceptsOnlyExfatWithSaneShifts) {
    ExfatImageBuilder img(16, 3);
    auto boot = parseBootSector(img.bootSector());
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->clusterSize(), 4096u);
    EXPECT_EQ(boot->rootCluster, 2u);
    EXPECT_EQ(boot->clusterCount, 16u);

    std::uint8_t copy[512];
    std::memcpy(copy, img.bootSector(), 512);
    copy[109] = 30;  // 2^39-byte clusters
    EXPECT_FALSE(parseBootSector(copy));
    std::memcpy(copy, img.bootSector(), 512);
    copy[108] = 200;
    EXPECT_FALSE(parseBootSector(copy));
    std::memcpy(copy, img.bootSector(), 512);
    std::memcpy(copy + 3, "NTFS ", 5);
    EXPECT_FALSE(parseBootSector(copy));
    std::memcpy(copy, img.bootSector(), 512);
    copy[7] = 'f';  // the name is compared exactly
    EXPECT_FALSE(parseBootSector(copy));
}

TEST(ExfatNames, GatherAllEntriesOfALongName) {
    std::u16string name(255, u'x');
    name[0] = u'\u00e9';
    name[254] = u'Z';
    auto set = ExfatImageBuilder::encodeSet({.name = name});
    ASSERT_EQ(set.size(), 32u * (2 + 17));
    std::size_t pos = 64;
    EXPECT_EQ(gatherName(set.data(), set.size(), pos), name);
    EXPECT_EQ(pos, set.size());
}

TEST(ExfatNames, StopAfterSeventeenEntriesAndAtTheBufferEnd) {
    // 20 name entries in a row: 17 are gathered, the rest are passed over as other entries.
    std::u16string name(300, u'a');
    auto set = ExfatImageBuilder::encodeSet({.name = name});
    std::size_t pos = 64;
    EXPECT_EQ(gatherName(set.data(), set.size(), pos).size(), 255u);
    EXPECT_EQ(pos, 64u + 17 * 32);
    EXPECT_EQ(walk(set).size(), 1u);

    // A name cut by the end of the directory's bytes gives what is there and reads no further.
    auto shortSet = ExfatImageBuilder::encodeSet({.name = std::u16string(40, u'b')});
    std::vector<std::uint8_t> cut(shortSet.begin(), shortSet.begin() + 64 + 32 + 16);
    pos = 64;
    EXPECT_EQ(gatherName(cut.data(), cut.size(), pos), std::u16string(15, u'b'));
    EXPECT_EQ(pos, 96u);
}

TEST(ExfatNames, EachEntryEndsAtItsFirstZeroUnit) {
    auto set = ExfatImageBuilder::encodeSet({.name = std::u16string(35, u'q')});
    // Second name entry: "qq", a zero unit, then junk; the third entry still counts.
    std::uint8_t* second = set.data() + 96 + 2;
    second[2 * 2] = 0;
    second[2 * 2 + 1] = 0;
    second[2 * 3] = 'J';
    std::size_t pos = 64;
    std::u16string got = gatherName(set.data(), set.size(), pos);
    EXPECT_EQ(got, std::u16string(15 + 2 + 5, u'q'));
    EXPECT_EQ(pos, set.size());
}

TEST(ExfatEntrySets, DecodeLiveDeletedAndSurrogateNames) {
    auto live = ExfatImageBuilder::encodeSet({.name = u"a\U0001F600.txt",
                                              .attributes = 0x21,
                                              .flags = 1,
                                              .firstCluster = 9,
                                              .validLength = 100,
                                              .dataLength = 4096,
                                              .created = exfatTimestamp(2001, 2, 3, 4, 5, 6),
                                              .modified = exfatTimestamp(2002, 2, 3, 4, 5, 6),
                                              .accessed = exfatTimestamp(2003, 2, 3, 4, 5, 6)});
    auto gone = ExfatImageBuilder::encodeSet({.name = u"old",
                                              .attributes = 0x10,
                                              .firstCluster = 12,
                                              .validLength = 4096,
                                              .deleted = true});
    std::vector<std::uint8_t> other(32, 0);
    other[0] = 0x83;  // a volume label entry between the sets
    auto sets = walk(join({live, other, std::vector<std::uint8_t>(64, 0), gone}));
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].name, "a\xF0\x9F\x98\x80.txt");
    EXPECT_EQ(sets[0].entryType, 0x85);
    EXPECT_EQ(sets[0].streamType, 0xC0);
    EXPECT_EQ(sets[0].attributes, 0x21);
    EXPECT_EQ(sets[0].secondaryFlags, 1);
    EXPECT_TRUE(sets[0].usesFatChain());
    EXPECT_EQ(sets[0].firstCluster, 9u);
    EXPECT_EQ(sets[0].validDataLength, 100u);
    EXPECT_EQ(sets[0].dataLength, 4096u);
    EXPECT_EQ(sets[0].nameLength, 7);  // UTF-16 units: the emoji takes two
    EXPECT_EQ(decodeTimestamp(sets[0].createTimestamp).year, 2001);
    EXPECT_EQ(decodeTimestamp(sets[0].modifiedTimestamp).year, 2002);
    EXPECT_EQ(decodeTimestamp(sets[0].accessedTimestamp).year, 2003);
    EXPECT_FALSE(sets[0].deleted());
    EXPECT_EQ(sets[1].name, "old");
    EXPECT_TRUE(sets[1].deleted());
    EXPECT_EQ(sets[1].streamType, 0x40);
    EXPECT_FALSE(sets[1].usesFatChain());
    EXPECT_TRUE(isDirectoryAttributes(sets[1].attributes));
}

TEST(ExfatEntrySets, ASetWithoutStreamOrNameInheritsNothing) {
    auto first =
        ExfatImageBuilder::encodeSet({.name = u"first", .firstCluster = 7, .validLength = 5000});
    auto bare = ExfatImageBuilder::encodeSet({.name = u"", .withStream = false});
    auto sets = walk(join({first, bare}));
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[1].name, "");
    EXPECT_EQ(sets[1].firstCluster, 0u);
    EXPECT_EQ(sets[1].validDataLength, 0u);
    EXPECT_EQ(sets[1].streamType, 0);
}

TEST(ExfatEntrySets, DirectoryAttributeSetIsExact) {
    for (std::uint16_t a : {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x30})
        EXPECT_TRUE(isDirectoryAttributes(a)) << a;
    for (std::uint16_t a : {0x00, 0x01, 0x17, 0x20, 0x31, 0x0F, 0x110})
        EXPECT_FALSE(isDirectoryAttributes(a)) << a;
}

TEST(ExfatEntrySets, TruncatedAndGarbageBuffersStayInside) {
    // Every prefix of a set, and random bytes, decode without reading past the buffer (run
    // under the sanitizer preset this catches any overrun).
    auto set = ExfatImageBuilder::encodeSet({.name = std::u16string(40, u'n'), .validLength = 1});
    for (std::size_t n = 0; n <= set.size(); ++n) {
        std::vector<std::uint8_t> prefix(set.begin(), set.begin() + static_cast<long>(n));
        auto sets = walk(prefix);
        EXPECT_EQ(sets.size(), n >= 32 ? 1u : 0u) << n;
    }
    std::vector<std::uint8_t> noise(4096);
    std::uint32_t x = 12345;
    for (auto& b : noise) {
        x = x * 1103515245 + 12345;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    for (std::size_t i = 0; i < noise.size(); i += 96) noise[i] = 0x85;
    auto sets = walk(noise);
    EXPECT_GE(sets.size(), 40u);
    for (const auto& s : sets) EXPECT_LE(s.name.size(), 255u * 3);
}

TEST(ExfatEntrySets, LeftoversOfAnOlderSetInReusedSlotsAreNotPartOfTheName) {
    // A deleted set with a 40-character name; a new live set took its first three slots.
    auto old = ExfatImageBuilder::encodeSet(
        {.name = std::u16string(40, u'o'), .validLength = 9, .deleted = true});
    auto fresh = ExfatImageBuilder::encodeSet({.name = u"new.txt", .validLength = 3});
    ASSERT_EQ(fresh.size(), 96u);
    std::vector<std::uint8_t> dir = old;
    std::copy(fresh.begin(), fresh.end(), dir.begin());
    auto sets = walk(dir);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].name, "new.txt");
    EXPECT_FALSE(sets[0].deleted());

    // Both deleted: the stream's name length ends the newer name.
    auto gone = ExfatImageBuilder::encodeSet({.name = u"short", .validLength = 3, .deleted = true});
    dir = old;
    std::copy(gone.begin(), gone.end(), dir.begin());
    sets = walk(dir);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].name, "short");

    // A live file entry does not take a deleted stream that follows it.
    auto lone = ExfatImageBuilder::encodeSet({.name = u"lone", .withStream = false});
    std::vector<std::uint8_t> mixed(lone.begin(), lone.begin() + 32);
    mixed.insert(mixed.end(), old.begin() + 32, old.end());
    sets = walk(mixed);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].validDataLength, 0u);
    EXPECT_EQ(sets[0].name, "");
}
