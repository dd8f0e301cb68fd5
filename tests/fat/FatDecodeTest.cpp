#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "fs/fat/FatEntry.h"

namespace vel {
namespace {

using Slot = std::array<std::uint8_t, 32>;

Slot shortSlot(const char* name11, std::uint8_t attr, std::uint8_t caseBits = 0) {
    Slot s{};
    std::memcpy(s.data(), name11, 11);
    s[11] = attr;
    s[12] = caseBits;
    return s;
}

// The long-name fragments of name for a short entry, in disk order (last fragment first).
std::vector<Slot> longNameSlots(const std::u16string& name, const Slot& forShort,
                                bool deleted = false) {
    std::size_t count = (name.size() + 12) / 13;
    if (count == 0) count = 1;
    std::uint8_t sum = shortNameChecksum(forShort.data());
    std::vector<Slot> slots;
    for (std::size_t k = count; k-- > 0;) {
        Slot s{};
        s[0] = static_cast<std::uint8_t>((k + 1) | (k + 1 == count ? 0x40 : 0));
        if (deleted) s[0] = kDeletedMark;
        s[11] = kAttrLongName;
        s[13] = sum;
        static const int offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (int u = 0; u < 13; ++u) {
            std::size_t i = k * 13 + static_cast<std::size_t>(u);
            char16_t c = i < name.size() ? name[i] : (i == name.size() ? u'\0' : u'\xFFFF');
            s[static_cast<std::size_t>(offs[u])] = static_cast<std::uint8_t>(c & 0xFF);
            s[static_cast<std::size_t>(offs[u]) + 1] = static_cast<std::uint8_t>(c >> 8);
        }
        slots.push_back(s);
    }
    return slots;
}

std::optional<std::string> joinFor(const std::vector<Slot>& fragments, const Slot& shortEntry) {
    LongNameBuilder b;
    for (const auto& f : fragments) b.addFragment(f.data());
    return b.takeFor(shortEntry.data());
}

TEST(Format83Name, PaddingAndExtension) {
    EXPECT_EQ(format83Name("README  TXT"), "README.TXT");
    EXPECT_EQ(format83Name("FOO        "), "FOO");
    EXPECT_EQ(format83Name("DOCS       "), "DOCS");
    EXPECT_EQ(format83Name("A       B  "), "A.B");
    EXPECT_EQ(format83Name("LONGNAMEEXT"), "LONGNAME.EXT");
    EXPECT_EQ(format83Name("MY FILE TX "), "MY FILE.TX");
    EXPECT_EQ(format83Name("ABC"), "ABC");  // too short for an extension
}

TEST(ShortEntryName, DeletedMarkCaseFlagsAndKanjiByte) {
    auto live = shortSlot("ABC     TXT", kAttrArchive);
    EXPECT_EQ(shortEntryName(live.data()), "ABC.TXT");
    auto del = live;
    del[0] = kDeletedMark;
    EXPECT_EQ(shortEntryName(del.data()),
              "\xEF\xBF\xA5"
              "BC.TXT");  // U+FFE5 then BC.TXT
    // Lower-case flags of byte 12: 0x08 the name, 0x10 the extension.
    EXPECT_EQ(shortEntryName(shortSlot("README  TXT", 0x20, 0x08).data()), "readme.TXT");
    EXPECT_EQ(shortEntryName(shortSlot("README  TXT", 0x20, 0x18).data()), "readme.txt");
    EXPECT_EQ(shortEntryName(shortSlot("DOCS       ", kAttrDirectory).data()), "DOCS");
    // 0x05 stands for a first byte 0xE5 that is not a deletion mark.
    auto kanji = shortSlot(
        "\x05"
        "BC     TXT",
        0x20);
    EXPECT_NE(shortEntryName(kanji.data()).substr(0, 3), "\xEF\xBF\xA5");
}

TEST(ClassifySlot, AttributeRules) {
    EXPECT_EQ(classifySlot(shortSlot("A       TXT", 0x20).data()), FatSlot::File);
    EXPECT_EQ(classifySlot(shortSlot("A       TXT", 0x00).data()), FatSlot::File);
    EXPECT_EQ(classifySlot(shortSlot("A       TXT", 0x07).data()), FatSlot::File);
    EXPECT_EQ(classifySlot(shortSlot("A       TXT", 0x27).data()), FatSlot::File);
    EXPECT_EQ(classifySlot(shortSlot("DIR        ", 0x10).data()), FatSlot::Folder);
    EXPECT_EQ(classifySlot(shortSlot("DIR        ", 0x32).data()), FatSlot::Folder);
    EXPECT_EQ(classifySlot(shortSlot("DIR        ", 0x17).data()), FatSlot::Folder);
    EXPECT_EQ(classifySlot(shortSlot("LABEL      ", 0x08).data()), FatSlot::VolumeLabel);
    EXPECT_EQ(classifySlot(shortSlot("LABEL      ", 0x28).data()), FatSlot::VolumeLabel);
    EXPECT_EQ(classifySlot(shortSlot("Ab\0c\0d\0e\0f\0", 0x0F).data()), FatSlot::LongName);
    EXPECT_EQ(classifySlot(shortSlot(".          ", 0x10).data()), FatSlot::Dot);
    EXPECT_EQ(classifySlot(shortSlot("..         ", 0x10).data()), FatSlot::Dot);
    EXPECT_EQ(classifySlot(shortSlot(".HIDDEN    ", 0x10).data()), FatSlot::Folder);
    EXPECT_EQ(classifySlot(shortSlot("\0          ", 0x20).data()), FatSlot::End);
    auto deleted = shortSlot("XBC     TXT", 0x20);
    deleted[0] = kDeletedMark;
    EXPECT_EQ(classifySlot(deleted.data()), FatSlot::File);
}

TEST(LongNames, JoinedNearestFragmentFirst) {
    auto s = shortSlot("ALONGF~1TXT", 0x20);
    std::u16string name = u"A long file name with spaces.txt";  // 3 fragments
    auto frags = longNameSlots(name, s);
    ASSERT_EQ(frags.size(), 3u);
    EXPECT_EQ(joinFor(frags, s), "A long file name with spaces.txt");
    // Exactly 13 units: no terminator inside the fragment.
    auto one = longNameSlots(u"abcdefghijklm", s);
    EXPECT_EQ(joinFor(one, s), "abcdefghijklm");
    // Non-ASCII and a surrogate pair.
    EXPECT_EQ(joinFor(longNameSlots(u"Übergröße \U0001F600.txt", s), s),
              "\xC3\x9C"
              "bergr\xC3\xB6\xC3\x9F"
              "e \xF0\x9F\x98\x80.txt");
}

TEST(LongNames, TwentyFragmentsGiveTheWhole255Characters) {
    auto s = shortSlot("LONGNA~1TXT", 0x20);
    std::u16string name;
    for (int i = 0; i < 255; ++i) name += static_cast<char16_t>(u'a' + i % 26);
    auto frags = longNameSlots(name, s);
    ASSERT_EQ(frags.size(), 20u);
    auto joined = joinFor(frags, s);
    ASSERT_TRUE(joined);
    EXPECT_EQ(joined->size(), 255u);
    EXPECT_EQ(*joined, std::string(name.begin(), name.end()));
    // A 21st fragment in front (damage) is dropped; the start of the name survives.
    auto extra = longNameSlots(u"zzzzzzzzzzzzz", s);
    extra[0][0] = 0x01;  // not a "last fragment", so it does not start a new name
    std::vector<Slot> run{extra[0]};
    run.insert(run.end(), frags.begin(), frags.end());
    run[1][0] &= static_cast<std::uint8_t>(~0x40);  // one unbroken run of 21
    LongNameBuilder b;
    for (const auto& f : run) b.addFragment(f.data());
    // The checksums still agree, so the name is taken, cut to the 20 nearest fragments.
    auto cut = b.takeFor(s.data());
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->size(), 255u);
}

TEST(LongNames, BelongOnlyToTheirShortEntry) {
    auto s = shortSlot("FILE~1  TXT", 0x20);
    auto frags = longNameSlots(u"the real long name.txt", s);
    // A short entry with another checksum (orphaned fragments) keeps its short name.
    auto other = shortSlot("OTHER   TXT", 0x20);
    EXPECT_FALSE(joinFor(frags, other));
    // Deleted fragments before a deleted entry: joined, whatever the checksum.
    auto delShort = s;
    delShort[0] = kDeletedMark;
    EXPECT_EQ(joinFor(longNameSlots(u"gone.txt", s, true), delShort), "gone.txt");
    // Deleted fragments before a live entry that reused the slots: not joined.
    EXPECT_FALSE(joinFor(longNameSlots(u"gone.txt", s, true), s));
    // Live fragments before a deleted entry: not joined.
    EXPECT_FALSE(joinFor(frags, delShort));
    // A new "last fragment" mark starts a new name: the stale run before it is dropped.
    auto stale = longNameSlots(u"stale", other);
    std::vector<Slot> run = stale;
    run.insert(run.end(), frags.begin(), frags.end());
    EXPECT_EQ(joinFor(run, s), "the real long name.txt");
    // takeFor clears the builder.
    LongNameBuilder b;
    for (const auto& f : frags) b.addFragment(f.data());
    EXPECT_TRUE(b.takeFor(s.data()));
    EXPECT_FALSE(b.pending());
    EXPECT_FALSE(b.takeFor(s.data()));
}

TEST(DosTimes, CalendarAndHostTime) {
    // 2019-03-07 14:05:10
    std::uint16_t date = static_cast<std::uint16_t>(((2019 - 1980) << 9) | (3 << 5) | 7);
    std::uint16_t time = static_cast<std::uint16_t>((14 << 11) | (5 << 5) | (10 / 2));
    CalendarTime t = dosCalendar(date, time);
    EXPECT_EQ(t.year, 2019);
    EXPECT_EQ(t.month, 3);
    EXPECT_EQ(t.day, 7);
    EXPECT_EQ(t.hour, 14);
    EXPECT_EQ(t.minute, 5);
    EXPECT_EQ(t.second, 10);
    auto host = dosHostTime(date, time);
    ASSERT_TRUE(host);
    EXPECT_EQ(host->seconds, 1551967510);  // 2019-03-07 14:05:10 UTC
    EXPECT_FALSE(dosHostTime(0, 0));       // month 0, day 0: never set
    EXPECT_FALSE(dosHostTime(static_cast<std::uint16_t>((13 << 5) | 1), 0));  // month 13
    EXPECT_FALSE(dosHostTime(date, static_cast<std::uint16_t>(24 << 11)));    // hour 24
}

TEST(DosTimes, ListTexts) {
    FatEntry e;
    e.creationDate = static_cast<std::uint16_t>(((2020 - 1980) << 9) | (12 << 5) | 31);
    e.creationTime = static_cast<std::uint16_t>((12 << 11) | (30 << 5));
    e.writeDate = e.creationDate;
    e.writeTime = static_cast<std::uint16_t>((23 << 11) | (59 << 5) | 29);
    e.accessDate = static_cast<std::uint16_t>(((2021 - 1980) << 9) | (1 << 5) | 2);
    e.attributes = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;
    EntryColumns c = fatEntryColumns(e);
    EXPECT_EQ(c.created, "12/31/2020  12:30 PM");
    EXPECT_EQ(c.modified, "12/31/2020  11:59 PM");
    EXPECT_EQ(c.accessed, "01/02/2021 ");
    EXPECT_EQ(c.attributes, "-R-H-S-A");
    e.attributes = kAttrHidden | kAttrDirectory;
    e.writeTime = static_cast<std::uint16_t>((0 << 11) | (15 << 5));
    c = fatEntryColumns(e);
    EXPECT_EQ(c.attributes, "-H");
    EXPECT_EQ(c.modified, "12/31/2020  12:15 AM");
}

}  // namespace
}  // namespace vel
