#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "NtfsVolumeBuilder.h"
#include "fs/ntfs/Lznt1.h"
#include "fs/ntfs/NtfsRecord.h"

using namespace vel;
using namespace vel::ntfsfmt;
using namespace vel::test;

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> v) {
    std::vector<std::uint8_t> out;
    for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

std::vector<DataRun> runsOf(const std::vector<std::uint8_t>& b, std::uint64_t max = 1u << 30) {
    return decodeRuns(b.data(), b.size(), max);
}

}  // namespace

TEST(NtfsBootSector, GeometryIsCheckedFieldByField) {
    struct Case {
        const char* what;
        int bytesPerSector, clusterByte, recordByte;
        std::uint64_t totalSectors, mftCluster;
        bool valid;
        std::uint64_t clusterSize, recordSize, mftOffset;
    } cases[] = {
        {"usual 4 KiB clusters", 512, 8, 0xF6, 131072, 4, true, 4096, 1024, 16384},
        {"4Kn disk, 4096-byte records", 4096, 1, 0xF4, 16384, 2, true, 4096, 4096, 8192},
        {"records as whole clusters", 512, 2, 1, 1000, 0, true, 1024, 1024, 0},
        {"64 KiB clusters by exponent", 512, 0xF0, 0xF6, 1 << 20, 3, true, 65536, 1024, 196608},
        {"2 MiB clusters", 512, 0xEB, 0xF6, 1 << 22, 1, true, 2u << 20, 1024, 2u << 20},
        {"4 MiB clusters", 512, 0xEA, 0xF6, 1 << 22, 1, false, 0, 0, 0},
        {"3 sectors per cluster", 512, 3, 0xF6, 1000, 1, false, 0, 0, 0},
        {"no sectors per cluster", 512, 0, 0xF6, 1000, 1, false, 0, 0, 0},
        {"bytes per sector 768", 768, 1, 0xF6, 1000, 1, false, 0, 0, 0},
        {"8 KiB records", 512, 8, 2, 1000, 1, false, 0, 0, 0},
        {"zero record byte", 512, 8, 0, 1000, 1, false, 0, 0, 0},
        {"MFT cluster past 2^62 bytes", 512, 8, 0xF6, 1000, std::uint64_t{1} << 51, false, 0, 0, 0},
        {"start near 2^55 sectors", 512, 8, 0xF6, std::uint64_t{1} << 55, 1, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> b(512, 0);
        b[0] = 0xEB, b[1] = 0x52;
        std::memcpy(&b[3], "NTFS    ", 8);
        put16(b, 11, static_cast<std::uint16_t>(c.bytesPerSector));
        b[13] = static_cast<std::uint8_t>(c.clusterByte);
        b[0x40] = static_cast<std::uint8_t>(c.recordByte);
        put64(b, 40, c.totalSectors);
        put64(b, 48, c.mftCluster);
        BootGeometry g;
        ASSERT_EQ(decodeBootSector(b.data(), g), c.valid) << c.what;
        if (!c.valid) continue;
        EXPECT_EQ(g.clusterSize, c.clusterSize) << c.what;
        EXPECT_EQ(g.recordSize, c.recordSize) << c.what;
        EXPECT_EQ(g.mftOffset, c.mftOffset) << c.what;
        EXPECT_EQ(g.volumeSize, c.totalSectors * static_cast<std::uint64_t>(c.bytesPerSector))
            << c.what;
    }
}

TEST(NtfsFixups, SectorTailsComeBackFromTheUpdateSequenceArray) {
    RecordBuilder b;
    b.rec[510] = 0x11;
    b.rec[511] = 0x22;
    b.rec[1022] = 0x33;
    b.rec[1023] = 0x44;
    std::vector<std::uint8_t> disk = b.finish(0x0707);
    EXPECT_EQ(disk[510], 0x07);
    EXPECT_EQ(disk[1023], 0x07);
    applyFixups(disk.data());
    EXPECT_EQ(disk[510], 0x11);
    EXPECT_EQ(disk[511], 0x22);
    EXPECT_EQ(disk[1022], 0x33);
    EXPECT_EQ(disk[1023], 0x44);

    // A count that runs past the record, or an array offset outside it, changes nothing outside.
    std::vector<std::uint8_t> odd(1024, 0x5A);
    put16(odd, 4, 0x30);
    put16(odd, 6, 0xFFFF);
    put16(odd, 0x32, 0x1234);
    applyFixups(odd.data());
    EXPECT_EQ(odd[510], 0x34);
    EXPECT_EQ(odd[511], 0x12);
    std::vector<std::uint8_t> outside(1024, 0x5A);
    put16(outside, 4, 1030);
    put16(outside, 6, 3);
    applyFixups(outside.data());
    EXPECT_EQ(outside[510], 0x5A);
}

TEST(NtfsAttributeWalk, EndsAtTheMarkerAZeroLengthOrTheRecordsEnd) {
    RecordBuilder b;
    b.standardInformation(1, 2, 3).fileName(5, u"a");
    auto rec = b.finish();
    applyFixups(rec.data());
    auto h = attributeHeaders(rec.data());
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[0].type, kStandardInformation);
    EXPECT_EQ(h[1].type, kFileName);
    EXPECT_EQ(h[1].offset, h[0].offset + h[0].length);

    // A length that runs past the record ends the walk before that attribute.
    put32(rec, h[1].offset + 4, 2000);
    EXPECT_EQ(attributeHeaders(rec.data()).size(), 1u);
    put32(rec, h[1].offset + 4, 0);
    EXPECT_EQ(attributeHeaders(rec.data()).size(), 1u);
    // A first-attribute offset beyond the record: nothing.
    put16(rec, 0x14, 1020);
    EXPECT_TRUE(attributeHeaders(rec.data()).empty());

    // A resident value claiming more than its attribute holds is not handed out.
    RecordBuilder c;
    c.resident(kData, std::vector<std::uint8_t>(16, 1));
    auto r2 = c.finish();
    applyFixups(r2.data());
    auto a = attributeHeaders(r2.data()).at(0);
    EXPECT_EQ(residentValue(r2.data(), a).length, 16u);
    put32(r2, a.offset + 0x10, 100);
    EXPECT_EQ(residentValue(r2.data(), a).data, nullptr);
}

TEST(NtfsFileName, LongNameWinsOverTheDosNameAndShortValuesAreRefused) {
    RecordBuilder b;
    b.fileName(7, u"LONGNA~1.TXT", false, kDosNamespace).fileName(7, u"long name.txt", false, 1);
    auto rec = b.finish();
    applyFixups(rec.data());
    NameChoice c = chooseName(rec.data());
    ASSERT_TRUE(c.found);
    EXPECT_EQ(c.info.nameLength, 13u);
    EXPECT_EQ(c.info.parentIndex, 7);
    EXPECT_FALSE(c.directory);

    // A DOS name alone is still a name; a 255-character name is a name.
    RecordBuilder d;
    d.fileName(9, u"ONLY.TXT", true, kDosNamespace);
    auto r2 = d.finish();
    applyFixups(r2.data());
    EXPECT_TRUE(chooseName(r2.data()).found);
    EXPECT_TRUE(chooseName(r2.data()).directory);
    RecordBuilder e;
    e.fileName(5, std::u16string(255, u'x'));
    auto r3 = e.finish();
    applyFixups(r3.data());
    EXPECT_EQ(chooseName(r3.data()).info.nameLength, 255u);

    // The name length says more than the value holds.
    ValueRef v{r2.data() + 0x100, 0x44, 0x100};
    std::vector<std::uint8_t> value(0x44, 0);
    value[0x40] = 20;
    v.data = value.data();
    FileNameInfo fn;
    EXPECT_FALSE(decodeFileName(v, fn));
    // Parent references are the low 48 bits, sign-extended.
    put64(value, 0, 0x0003FFFFFFFFFFFFull);
    value[0x40] = 0;
    ASSERT_TRUE(decodeFileName(v, fn));
    EXPECT_EQ(fn.parentIndex, -1);
}

TEST(NtfsRunList, DecodesOffsetsSparseRunsAndWideFields) {
    // 16 clusters at 0x1000, then 16 more 4096 clusters back, then a sparse run of 8.
    auto runs =
        runsOf(bytes({0x21, 0x10, 0x00, 0x10, 0x31, 0x10, 0x00, 0xF0, 0xFF, 0x01, 0x08, 0x00}));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], (DataRun{0x1000, 16, false}));
    EXPECT_EQ(runs[1], (DataRun{0, 16, false}));
    EXPECT_EQ(runs[2], (DataRun{0, 8, true}));

    // A sparse run leaves the current cluster where it was.
    runs = runsOf(bytes({0x11, 0x04, 0x20, 0x01, 0x02, 0x11, 0x04, 0x10, 0x00}));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[2].startCluster, 0x30);

    // Cluster numbers beyond 32 bits (volumes over 16 TiB with 4 KiB clusters).
    runs = runsOf(bytes({0x51, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].startCluster, std::int64_t{0x0200000000});
    runs = runsOf(bytes({0x14, 0x00, 0x00, 0x00, 0x01, 0x05, 0x00}));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].clusterCount, 0x01000000u);
}

TEST(NtfsRunList, StopsAtTheVcnRangeAndAtTheEndOfItsBytes) {
    auto list = bytes({0x11, 0x04, 0x20, 0x11, 0x04, 0x10, 0x11, 0x04, 0x10, 0x00});
    EXPECT_EQ(runsOf(list, 8).size(), 2u);  // the third run passes the VCN range
    EXPECT_EQ(runsOf(list, 12).size(), 3u);
    EXPECT_EQ(runsOf(list, 3).size(), 0u);
    // A field that would pass the end of the bytes ends the list.
    auto cut = bytes({0x11, 0x04, 0x20, 0x33, 0x01, 0x02});
    EXPECT_EQ(runsOf(cut).size(), 1u);
    // Fields wider than 8 bytes are not runs.
    EXPECT_TRUE(runsOf(bytes({0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})).empty());
    // Random bytes never yield more clusters than the range.
    std::mt19937 rng(7);
    for (int i = 0; i < 500; ++i) {
        std::vector<std::uint8_t> junk(64);
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
        std::uint64_t total = 0;
        for (const auto& r : runsOf(junk, 1000)) total += r.clusterCount;
        EXPECT_LE(total, 1000u);
    }
}

TEST(NtfsDataAttribute, DescribesResidentAndNonResidentDataAndTheCompressedFlag) {
    RecordBuilder b;
    b.resident(kData, std::vector<std::uint8_t>(5, 9), 3)
        .resident(kData, std::vector<std::uint8_t>(100, 1));
    auto rec = b.finish();
    applyFixups(rec.data());
    DataAttributeInfo d = describeData(rec.data());
    EXPECT_EQ(d.residency, 'R');
    EXPECT_EQ(d.valueLength, 100u);  // the unnamed stream, not the named one
    EXPECT_EQ(rec[d.valueOffset], 1);

    RecordBuilder c;
    c.nonResident(kData, bytes({0x11, 0x10, 0x20}), 15, 60000, 0x8001, 4);
    auto r2 = c.finish();
    applyFixups(r2.data());
    d = describeData(r2.data());
    EXPECT_EQ(d.residency, 'N');
    EXPECT_EQ(d.realSize, 60000u);
    EXPECT_EQ(d.lastVcn, 15u);
    EXPECT_EQ(d.compressionUnit, 4u);
    EXPECT_FALSE(d.compressed);  // compressed and sparse together is not "compressed"
    put16(r2, 0x38 + 0x0C, 0x0001);
    EXPECT_TRUE(describeData(r2.data()).compressed);
    EXPECT_EQ(describeData(std::vector<std::uint8_t>(1024, 0).data()).residency, 0);
}

TEST(NtfsAttributeList, CollectsUnnamedDataExtentsWithinItsLength) {
    std::vector<std::uint8_t> list;
    auto add = [&](std::uint32_t type, std::uint64_t record, std::uint64_t vcn,
                   std::uint8_t nameLength) {
        std::vector<std::uint8_t> e(0x20, 0);
        put32(e, 0, type);
        put16(e, 4, 0x20);
        e[6] = nameLength;
        put64(e, 8, vcn);
        put64(e, 0x10, record | (std::uint64_t{3} << 48));
        list.insert(list.end(), e.begin(), e.end());
    };
    add(kStandardInformation, 40, 0, 0);
    add(kData, 40, 0, 0);
    add(kData, 41, 100, 0);
    add(kData, 41, 150, 0);  // same record again: listed once
    add(kData, 42, 0, 4);    // a named stream
    add(kData, 43, 200, 0);
    auto x = collectAttributeList(list.data(), list.size());
    ASSERT_EQ(x.size(), 3u);
    EXPECT_EQ(x[0].recordNumber, 40u);
    EXPECT_EQ(x[1].recordNumber, 41u);
    EXPECT_EQ(x[1].startVcn, 100u);
    EXPECT_EQ(x[2].recordNumber, 43u);
    EXPECT_EQ(collectAttributeList(list.data(), list.size(), kStandardInformation).size(), 1u);
    // Cut short: the entry that does not fit is not read.
    EXPECT_EQ(collectAttributeList(list.data(), 0x20 * 3 - 1).size(), 1u);
    // A zero entry length ends the walk.
    put16(list, 0x20 * 3 + 4, 0);
    EXPECT_EQ(collectAttributeList(list.data(), list.size()).size(), 2u);
}

TEST(NtfsTimes, TakesStandardInformationTimesAndFileNameLetters) {
    RecordBuilder b;
    b.standardInformation(111, 222, 333)
        .fileName(5, u"x", false, 1, 0x0001 | 0x0002 | 0x0020 | 0x0800);
    auto rec = b.finish();
    applyFixups(rec.data());
    EntryTimes t = readTimes(rec.data());
    EXPECT_EQ(t.creation, 111u);
    EXPECT_EQ(t.modification, 222u);
    EXPECT_EQ(t.access, 333u);
    EXPECT_EQ(t.attributes, "-R-H-A-C");
}

namespace {

std::vector<std::uint8_t> chunk(bool compressed, const std::vector<std::uint8_t>& body) {
    const auto h =
        static_cast<std::uint16_t>((body.size() + 2 - 3) | 0x3000 | (compressed ? 0x8000 : 0));
    std::vector<std::uint8_t> c{static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8)};
    for (std::uint8_t b : body) c.push_back(b);
    return c;
}

std::string run(const std::vector<std::uint8_t>& in, std::size_t capacity, int* status) {
    std::vector<std::uint8_t> out(capacity);
    DecompressionContext c{in.data(), in.size(), out.data(), out.size(), 0};
    *status = decompressUnit(c);
    return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(c.outputCount));
}

}  // namespace

TEST(NtfsLznt1, DecodesLiteralsBackReferencesAndStoredChunks) {
    int status = -1;
    // "abc" then a back-reference 3 back, 9 long: 12 bytes of "abc".
    auto in = chunk(true, bytes({0x08, 'a', 'b', 'c', 0x06, 0x20}));
    EXPECT_EQ(run(in, 4096, &status), "abcabcabcabc");
    EXPECT_EQ(status, 0);

    // Past position 16 the length field narrows: at 32 it has 11 bits.
    std::vector<std::uint8_t> body;
    std::string literal = "0123456789abcdefghijklmnopqrstuv";
    for (int g = 0; g < 4; ++g) {
        body.push_back(0x00);
        for (int i = 0; i < 8; ++i) body.push_back(static_cast<std::uint8_t>(literal[g * 8 + i]));
    }
    body.push_back(0x01);
    std::uint16_t token = static_cast<std::uint16_t>(((32 - 1) << 11) | (5 - 3));
    body.push_back(static_cast<std::uint8_t>(token));
    body.push_back(static_cast<std::uint8_t>(token >> 8));
    EXPECT_EQ(run(chunk(true, body), 4096, &status), literal + "01234");
    EXPECT_EQ(status, 0);

    // A stored chunk, then a compressed one: the first fills its 4096 bytes.
    std::vector<std::uint8_t> stored(4096);
    for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<std::uint8_t>(i * 7);
    auto two = chunk(false, stored);
    auto tail = chunk(true, bytes({0x00, 'z'}));
    two.insert(two.end(), tail.begin(), tail.end());
    two.push_back(0);
    two.push_back(0);
    std::string out = run(two, 8192, &status);
    ASSERT_EQ(out.size(), 4097u);
    EXPECT_EQ(static_cast<std::uint8_t>(out[100]), stored[100]);
    EXPECT_EQ(out[4096], 'z');
    EXPECT_EQ(status, 0);
}

TEST(NtfsLznt1, ReportsBrokenInputWithoutPassingItsBuffers) {
    int status = 0;
    // Back-reference before the chunk's start.
    run(chunk(true, bytes({0x02, 'a', 0x00, 0x50})), 4096, &status);
    EXPECT_EQ(status, 1);
    // Input ends inside a back-reference.
    auto cut = chunk(true, bytes({0x08, 'a', 'b', 'c', 0x06}));
    run(cut, 4096, &status);
    EXPECT_EQ(status, 1);
    // Capacity ends inside a back-reference: output stops there.
    std::string out = run(chunk(true, bytes({0x08, 'a', 'b', 'c', 0x06, 0x20})), 7, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "abcabca");
    // Random input never writes past the capacity and always ends.
    std::mt19937 rng(11);
    for (int i = 0; i < 300; ++i) {
        std::vector<std::uint8_t> junk(600);
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
        std::vector<std::uint8_t> dst(1000 + 4);
        dst[1000] = 0xEE;
        DecompressionContext c{junk.data(), junk.size(), dst.data(), 1000, 0};
        decompressUnit(c);
        EXPECT_LE(c.outputCount, 1000u);
        EXPECT_EQ(dst[1000], 0xEE);
    }
}
