// The advanced and deep MFT searches on volumes built in memory: the record test, the candidate
// search, the sorting of found records into MFT copies and the deep link pass.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "NtfsVolumeBuilder.h"
#include "core/EntryWriter.h"
#include "fs/ntfs/NtfsDeep.h"
#include "fs/ntfs/ntfs.h"
#include "scan/MemoryTree.h"

using namespace vel;
using namespace vel::test;
using ntfsdeep::FoundRecord;
using ntfsdeep::kNoCopy;

namespace {

// A run list of one run: two bytes of count, two of cluster.
std::vector<std::uint8_t> oneRun(std::uint16_t lcn, std::uint16_t count) {
    return {0x22, static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
            static_cast<std::uint8_t>(lcn), static_cast<std::uint8_t>(lcn >> 8)};
}

std::vector<std::uint8_t> systemRecord(std::uint32_t k, std::uint16_t mftLcn,
                                       std::uint16_t clusters, std::uint64_t cs,
                                       std::uint64_t created) {
    static const char16_t* names[] = {u"$MFT",     u"$MFTMirr", u"$LogFile", u"$Volume",
                                      u"$AttrDef", u".",        u"$Bitmap",  u"$Boot"};
    RecordBuilder b(k == 5 ? 3 : 1);
    b.number(k, static_cast<std::uint16_t>(k ? k : 1))
        .standardInformation(created, created, created);
    // The name's creation time tells when the volume was formatted.
    std::vector<std::uint8_t> fn(0x42 + 2 * std::u16string(names[k]).size(), 0);
    put64(fn, 0, 5 | std::uint64_t{5} << 48);
    put64(fn, 8, created);
    put32(fn, 0x38, k == 5 ? 0x10000000u : 0x06u);
    fn[0x40] = static_cast<std::uint8_t>(std::u16string(names[k]).size());
    fn[0x41] = 3;
    for (std::size_t i = 0; names[k][i]; ++i) put16(fn, 0x42 + 2 * i, names[k][i]);
    b.resident(0x30, fn);
    if (k == 0)
        b.nonResident(0x80, oneRun(mftLcn, clusters), clusters - 1u, clusters * cs, 0, 0, 0, cs);
    if (k == 1)
        b.nonResident(0x80, oneRun(static_cast<std::uint16_t>(mftLcn * 64), 1), 0, cs, 0, 0, 0, cs);
    return b.finish();
}

// The first records of an MFT at byte `at` (count of them), its $MFT data at cluster mftLcn.
void putMft(MemorySource& disk, std::uint64_t at, std::uint16_t mftLcn, std::uint64_t cs,
            std::uint32_t count, std::uint64_t created = 0x01D0000000000000ull) {
    for (std::uint32_t k = 0; k < count; ++k) {
        auto rec = systemRecord(k, mftLcn, 32, cs, created);
        disk.put(static_cast<std::int64_t>(at + k * 1024), rec.data(), rec.size());
    }
}

std::vector<std::uint8_t> named(std::uint32_t number, std::uint16_t sequence, std::int64_t parent,
                                std::uint16_t parentSequence, const std::u16string& name,
                                bool directory = false, std::uint16_t flags = 1) {
    return RecordBuilder(static_cast<std::uint16_t>(flags | (directory ? 2 : 0)))
        .number(number, sequence)
        .standardInformation(10, 20, 30)
        .fileName(parent, name, directory, 1, 0x20, parentSequence)
        .finish();
}

struct Scanned {
    explicit Scanned(std::int64_t bytes)
        : disk(MemorySource::Sparse{bytes}),
          parser(VolumeDescriptor{"NTFS", "", "", std::to_string(bytes / 1048576), 0}) {}
    void attach() { parser.attach(&disk, &tree, &sink); }
    void put(std::uint64_t at, const std::vector<std::uint8_t>& bytes) {
        disk.put(static_cast<std::int64_t>(at), bytes.data(), bytes.size());
    }
    void deep() {
        attach();
        parser.runWorker(3);
    }
    // Every path below ORPHAN_ENTRY, once each.
    std::multiset<std::string> paths() {
        std::multiset<std::string> out;
        std::function<void(ItemData, const std::string&, int)> walk =
            [&](ItemData f, const std::string& at, int depth) {
                parser.forEachChild(f, [&](ItemData c) {
                    std::string p = at + "/" + parser.entryName(c);
                    out.insert(p);
                    if (parser.isFolder(c) && depth < 64) walk(c, p, depth + 1);
                    return true;
                });
            };
        walk(parser.orphanIndex, "ORPHAN_ENTRY", 0);
        return out;
    }
    MemorySource disk;
    ntfs parser;
    MemoryTree tree;
    NullSink sink;
};

}  // namespace

TEST(NtfsRecordTest, RecordStartNeedsItsHeaderFieldsInsideTheFirstSector) {
    struct Case {
        const char* what;
        std::uint32_t field;
        std::uint16_t value;
        bool passes;
    } cases[] = {
        {"update sequence at 0x1FF", ntfsfmt::kUsaOffsetField, 0x1FF, true},
        {"update sequence at 0x200", ntfsfmt::kUsaOffsetField, 0x200, false},
        {"update sequence count 0x1FF", ntfsfmt::kUsaCountField, 0x1FF, true},
        {"update sequence count 0x200", ntfsfmt::kUsaCountField, 0x200, false},
        {"first attribute at 0x1FF", ntfsfmt::kFirstAttributeField, 0x1FF, true},
        {"first attribute at 0x200", ntfsfmt::kFirstAttributeField, 0x200, false},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> sector = RecordBuilder().finish();
        put16(sector, c.field, c.value);
        EXPECT_EQ(ntfsfmt::looksLikeRecordStart(sector.data()), c.passes) << c.what;
    }
    std::vector<std::uint8_t> notFile = RecordBuilder().finish();
    notFile[3] = 'D';
    EXPECT_FALSE(ntfsfmt::looksLikeRecordStart(notFile.data()));
}

TEST(NtfsDeepTest, ClusterSizeIsWhatTheRecordsAllocationsTell) {
    auto withData = [](std::uint64_t cs, std::uint64_t lastVcn) {
        return RecordBuilder().number(70).nonResident(0x80, oneRun(100, 4), lastVcn, 9000, 0, 0, 0,
                                                      cs);
    };
    EXPECT_EQ(ntfsdeep::clusterSizeTold(withData(2048, 3).finish().data(), 1024), 2048u);
    EXPECT_EQ(ntfsdeep::clusterSizeTold(withData(65536, 0).finish().data(), 1024), 65536u);
    // Two attributes that disagree tell nothing; neither does a record without clusters.
    EXPECT_EQ(ntfsdeep::clusterSizeTold(withData(2048, 3)
                                            .nonResident(0xA0, oneRun(9, 1), 0, 4096, 0, 0, 0, 4096)
                                            .finish()
                                            .data(),
                                        1024),
              0u);
    EXPECT_EQ(ntfsdeep::clusterSizeTold(RecordBuilder().finish().data(), 1024), 0u);
    // 3 × 1000 bytes is no cluster size.
    EXPECT_EQ(ntfsdeep::clusterSizeTold(withData(1000, 2).finish().data(), 1024), 0u);
    // An extension record's extents are partial.
    std::vector<std::uint8_t> extension = withData(2048, 3).finish();
    put64(extension, 0x20, 64);
    EXPECT_EQ(ntfsdeep::clusterSizeTold(extension.data(), 1024), 0u);
}

TEST(NtfsDeepTest, CandidateSearchFindsEachMftButNotItsMirror) {
    // Three file systems: at 0 (MFT at 16 KiB, its mirror's copy at 1 MiB), at 1.5 MiB, and at
    // 12 MiB, past the first 10 MiB chunk.
    Scanned v(24 << 20);
    putMft(v.disk, 16384, 4, 4096, 8);
    putMft(v.disk, 1 << 20, 4, 4096, 4);
    putMft(v.disk, (3 << 19) + 16384, 4, 4096, 8);
    putMft(v.disk, (12 << 20) + 8192, 2, 4096, 8);
    v.attach();
    ASSERT_EQ(v.parser.findMftCandidates(3), 3);
    const std::uint64_t offsets[] = {16384, (3 << 19) + 16384, (12 << 20) + 8192};
    const std::uint64_t origins[] = {0, 3 << 19, (12 << 20) + 8192 - 8192};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(v.parser.candidates[i].offset, offsets[i]);
        EXPECT_EQ(v.parser.candidates[i].clusterSize, 4096u);
        EXPECT_EQ(v.parser.candidates[i].origin, origins[i]);
    }
    // The search ends with the chunk in which the maximum was reached.
    EXPECT_EQ(v.parser.findMftCandidates(1), 2);
    // 0 or less means 3.
    EXPECT_EQ(v.parser.searchCandidates(0).tables.size(), 3u);
    EXPECT_EQ(v.parser.searchCandidates(0).tables.back(), "MFT_ENTRY:2");

    // A stop ends the search with nothing and is cleared; the deep scan leaves it set.
    v.parser.stopRequested.request();
    EXPECT_EQ(v.parser.findMftCandidates(3), 0);
    EXPECT_FALSE(v.parser.stopRequested.isSet());
    v.parser.stopRequested.request();
    v.parser.deepScan();
    EXPECT_EQ(v.parser.deepIndex()->found.size(), 0u);
    EXPECT_TRUE(v.parser.stopRequested.isSet());
}

TEST(NtfsDeepTest, CandidateSearchReadsOnPastUnreadableSectors) {
    Scanned v(12 << 20);
    v.disk.failSectors(0, 40);
    v.disk.failSectors(4000, 100);
    putMft(v.disk, (11 << 20) + 16384, 4, 4096, 8);
    v.attach();
    ASSERT_EQ(v.parser.findMftCandidates(3), 1);
    EXPECT_EQ(v.parser.candidates[0].offset, (11u << 20) + 16384);
    EXPECT_EQ(v.disk.badSectors().count(), 140);
}

TEST(NtfsDeepTest, RecordsSortIntoTheMftsThatHoldThem) {
    // A volume formatted again at the same place: the new MFT (records 0-7 and 64-69, 70 records
    // long) lies over the old one, whose records 70-75 remain past its end. Mirrors hold copies
    // of records 0-3: the new one's byte for byte, the old one's alone.
    std::vector<FoundRecord> found;
    std::vector<ntfsdeep::MftSighting> mfts;
    auto add = [&](std::uint64_t offset, std::uint32_t number, std::uint64_t hash,
                   std::uint64_t cs = 0, std::int64_t lcn = -1) {
        FoundRecord r;
        r.offset = offset;
        r.number = number;
        r.hash = hash;
        r.clusterSize = cs;
        r.dataLcn = lcn;
        r.entry = static_cast<std::int64_t>(found.size()) + 1;
        found.push_back(r);
        return found.size() - 1;
    };
    auto sighting = [&](std::size_t record, std::uint16_t lcn, std::uint64_t clusters,
                        std::uint64_t records, std::uint64_t created) {
        ntfsdeep::MftSighting s;
        s.record = record;
        s.runs = {ntfsfmt::DataRun{lcn, clusters, false}};
        s.dataSize = records * 1024;
        s.created = created;
        mfts.push_back(s);
    };
    const std::size_t newMft = add(16384, 0, 100, 1024, 16);
    for (std::uint32_t k = 1; k < 8; ++k) add(16384 + k * 1024, k, 100 + k);
    for (std::uint32_t k = 64; k < 70; ++k) add(16384 + k * 1024, k, 100 + k);
    for (std::uint32_t k = 70; k < 76; ++k) add(16384 + k * 1024, k, 200 + k, 4096);
    found.push_back(FoundRecord{});  // a record that does not tell its number
    found.back().offset = 500000;
    const std::size_t newMirror = add(1 << 20, 0, 100, 1024, 16);
    for (std::uint32_t k = 1; k < 4; ++k) add((1 << 20) + k * 1024, k, 100 + k);
    const std::size_t oldMirror = add(2 << 20, 0, 300, 4096, 4);
    add((2 << 20) + 1024, 1, 301, 4096, 512);
    sighting(newMft, 16, 80, 70, 7);
    sighting(newMirror, 16, 80, 70, 7);
    sighting(oldMirror, 4, 27, 108, 3);

    const ntfsdeep::Grouping g = ntfsdeep::groupRecords(found, mfts, 512);
    ASSERT_EQ(g.copies.size(), 3u);  // new, old, and the records without numbers
    auto copyOf = [&](std::uint64_t offset) {
        for (std::size_t i = 0; i < found.size(); ++i)
            if (found[i].offset == offset) return g.copyOf[i];
        return kNoCopy - 7;
    };
    for (std::uint32_t k : {0u, 3u, 7u, 64u, 69u}) EXPECT_EQ(copyOf(16384 + k * 1024), 0u) << k;
    for (std::uint32_t k : {70u, 75u}) EXPECT_EQ(copyOf(16384 + k * 1024), 1u) << k;
    // The new mirror's copies are the new MFT's records again; the old mirror's are all the old
    // MFT has left of its first records.
    for (std::uint32_t k = 0; k < 4; ++k) EXPECT_EQ(copyOf((1 << 20) + k * 1024), kNoCopy) << k;
    EXPECT_EQ(copyOf(2 << 20), 1u);
    EXPECT_EQ(g.copies[1].find(0), static_cast<std::int64_t>(oldMirror));
    EXPECT_EQ(g.copies[1].find(72), static_cast<std::int64_t>(newMft + 8 + 6 + 2));
    EXPECT_FALSE(g.copies[2].numbered);

    EXPECT_EQ(g.copies[0].clusterSize, 1024u);
    EXPECT_EQ(g.copies[0].origin, 0u);
    EXPECT_EQ(g.copies[0].source, ntfsdeep::ClusterSource::MftRecord);
    EXPECT_EQ(g.copies[1].clusterSize, 4096u);
    EXPECT_EQ(g.copies[1].origin, 0u);  // 2 MiB - 512 × 4096
    EXPECT_EQ(g.copies[2].clusterSize, 512u);
    EXPECT_EQ(g.copies[2].source, ntfsdeep::ClusterSource::Assumed);

    // Without the old mirror the old records still keep apart, grouped by where their record 0
    // lies; their cluster size is what they tell.
    mfts.pop_back();
    const ntfsdeep::Grouping h = ntfsdeep::groupRecords(found, mfts, 512);
    const std::uint32_t old = h.copyOf[newMft + 8 + 6];
    EXPECT_NE(old, 0u);
    EXPECT_EQ(h.copies[old].clusterSize, 4096u);
    EXPECT_EQ(h.copies[old].source, ntfsdeep::ClusterSource::Records);
}

TEST(NtfsDeepTest, DeepScanLinksByParentReferenceWithinEachCopy) {
    Scanned v(4 << 20);
    v.put(5 * 1024, named(5, 5, 5, 5, u".", true));
    v.put(64 * 1024, named(64, 1, 5, 5, u"docs", true));
    v.put(65 * 1024, named(65, 1, 64, 1, u"a.txt"));
    v.put(66 * 1024, named(66, 1, 64, 2, u"b.txt"));  // docs's earlier life
    v.put(67 * 1024, named(67, 1, 68, 1, u"x", true));
    v.put(68 * 1024, named(68, 1, 67, 1, u"y", true));  // x and y name each other
    v.put(69 * 1024, named(69, 1, 99, 1, u"c.txt"));    // its folder is gone
    v.put(71 * 1024, named(71, 3, 64, 1, u"gone.txt", false, 0));
    // Its data written with 2 KiB clusters at cluster 100.
    v.put(70 * 1024, RecordBuilder()
                         .number(70, 1)
                         .standardInformation(10, 20, 30)
                         .fileName(64, u"big.bin", false, 1, 0x20, 1)
                         .nonResident(0x80, oneRun(100, 2), 1, 3000, 0, 0, 0, 2048)
                         .finish());
    // Most of the copy's records tell 4 KiB clusters.
    for (std::uint32_t k : {72u, 73u})
        v.put(k * 1024, RecordBuilder()
                            .number(k, 1)
                            .fileName(64, k == 72 ? u"o1.bin" : u"o2.bin", false, 1, 0x20, 1)
                            .nonResident(0x80, oneRun(200, 1), 0, 100, 0, 0, 0, 4096)
                            .finish());
    std::vector<std::uint8_t> content(4096);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
    v.put(100 * 2048, content);
    // Another MFT's record whose root is gone, and a byte-for-byte copy of a.txt's record.
    v.put((1 << 20) + 64 * 1024, named(64, 1, 5, 5, u"z.txt"));
    v.put((2 << 20) + 65 * 1024, named(65, 1, 64, 1, u"a.txt"));
    v.deep();

    const std::multiset<std::string> expected = {
        "ORPHAN_ENTRY/MFT_COPY_0",
        "ORPHAN_ENTRY/MFT_COPY_0/docs",
        "ORPHAN_ENTRY/MFT_COPY_0/docs/a.txt",
        "ORPHAN_ENTRY/MFT_COPY_0/docs/big.bin",
        "ORPHAN_ENTRY/MFT_COPY_0/docs/gone.txt",
        "ORPHAN_ENTRY/MFT_COPY_0/docs/o1.bin",
        "ORPHAN_ENTRY/MFT_COPY_0/docs/o2.bin",
        "ORPHAN_ENTRY/MFT_COPY_1",
        "ORPHAN_ENTRY/MFT_COPY_1/z.txt",
        "ORPHAN_ENTRY/b.txt",
        "ORPHAN_ENTRY/x",
        "ORPHAN_ENTRY/x/y",
        "ORPHAN_ENTRY/c.txt",
    };
    EXPECT_EQ(v.paths(), expected);

    // The first level is the orphan node alone; deleted records stay deleted.
    TreeItem top = v.tree.firstChild(kNoItem);
    ASSERT_NE(v.tree.firstChild(top), kNoItem);
    EXPECT_EQ(v.tree.itemText(v.tree.firstChild(top)), "ORPHAN_ENTRY");
    EXPECT_EQ(v.tree.nextSibling(v.tree.firstChild(top)), kNoItem);
    ItemData big = -1, gone = -1;
    for (std::size_t i = 0; i < v.parser.entries.size(); ++i) {
        if (v.parser.entryName(static_cast<ItemData>(i)) == "big.bin")
            big = static_cast<ItemData>(i);
        if (v.parser.entryName(static_cast<ItemData>(i)) == "gone.txt")
            gone = static_cast<ItemData>(i);
    }
    EXPECT_TRUE(v.parser.isDeleted(gone, -1));
    // The record's own cluster size reads its data, whatever the rest of its copy tells.
    EXPECT_EQ(v.parser.geometryOf(big).clusterSize, 2048u);
    EXPECT_EQ(v.parser.deepIndex()->grouping.copies[0].clusterSize, 4096u);
    MemoryWriter out;
    ASSERT_TRUE(v.parser.writeEntry(big, out));
    EXPECT_EQ(out.bytes(), std::vector<std::uint8_t>(content.begin(), content.begin() + 3000));
}
