#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <set>

#include "platform/OutputFile.h"
#include "raw/RawSaver.h"
#include "raw/myJpg.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

namespace {

SignatureDefinition userDefinition(std::vector<std::uint8_t> start, std::vector<std::uint8_t> end,
                                   std::int64_t approx, const char16_t* ext = u"jpg",
                                   const char16_t* category = u"Images") {
    SignatureDefinition d;
    std::copy(start.begin(), start.end(), d.start.begin());
    d.startLength = static_cast<std::uint8_t>(start.size());
    std::copy(end.begin(), end.end(), d.end.begin());
    d.endLength = static_cast<std::uint8_t>(end.size());
    d.approximateSize = approx;
    d.extension = ext;
    d.category = category;
    return d;
}

void put(std::vector<std::uint8_t>& image, std::size_t at, std::vector<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}

struct Carve {
    explicit Carve(std::vector<std::uint8_t> image) : reader(std::move(image)) {}
    MemorySource reader;
    MemoryTree tree;
    NullSink sink;
    myJpg engine;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> run(bool unaligned = false) {
        engine.attach(&reader, &tree, &sink);
        engine.setVolume(0, static_cast<std::uint64_t>(reader.byteSize()));
        engine.unaligned = unaligned;
        EXPECT_TRUE(engine.runScan(""));
        EXPECT_EQ(engine.message(), kRawDoneText);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
        for (const FoundFile& f : engine.found()) out.emplace_back(f.start, f.size);
        return out;
    }
};

using Found = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

std::vector<std::uint8_t> zeros(std::size_t n) {
    return std::vector<std::uint8_t>(n, 0);
}

}  // namespace

TEST(RawMatch, WildcardsLengthsAndTableOrder) {
    std::vector<SignatureDefinition> defs = {
        userDefinition({0xAB}, {}, 10),                        // one byte: never matches
        userDefinition({0x52, 0x2A, 0x46}, {0x00, 0x3B}, 10),  // "R*F"
        userDefinition({0x52, 0x49}, {0xFF, 0xD9}, 10),
    };
    const auto table = buildPatternTable(defs);
    ASSERT_EQ(table.size(), 6u);
    EXPECT_EQ(table[4].length, 2);  // end entries follow the start entries in the same order
    EXPECT_EQ(table[4].id, 1);
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool found, start;
        int id;
    } cases[] = {
        {{0xAB, 0xAB, 0xAB}, false, false, 0},
        {{0x52, 0x00, 0x46}, true, true, 1},  // "*" takes any byte
        {{0x52, 0x49, 0x46}, true, true, 1},  // both match: the first entry wins
        {{0x52, 0x49, 0x00}, true, true, 2},
        {{0xFF, 0xD9, 0x00}, true, false, 2},
        {{0x52, 0x49}, true, true, 2},  // too short for entry 1
    };
    for (const Case& c : cases) {
        PatternHit h = matchAt(table, c.bytes);
        EXPECT_EQ(h.found, c.found);
        if (!c.found) continue;
        EXPECT_EQ(h.start, c.start);
        EXPECT_EQ(h.id, c.id);
    }
}

TEST(RawEngine, EndSignaturesAnywhereAndTheStartRules) {
    const auto jpeg = userDefinition({0xFF, 0xD8, 0xFF}, {0xFF, 0xD9}, 4 << 20);
    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> lay;
        Found expected;
    } cases[] = {
        // The end does not begin at a sector start: the file still closes, end signature included.
        {"end mid-sector",
         [](auto& img) {
             put(img, 1024, {0xFF, 0xD8, 0xFF});
             put(img, 1700, {0xFF, 0xD9});
         },
         {{1024, 678}}},
        // Back to back: the next file starts in the sector after the end.
        {"back to back",
         [](auto& img) {
             put(img, 512, {0xFF, 0xD8, 0xFF});
             put(img, 1020, {0xFF, 0xD9});
             put(img, 1024, {0xFF, 0xD8, 0xFF});
             put(img, 1500, {0xFF, 0xD9});
         },
         {{512, 510}, {1024, 478}}},
        // Two starts before one end: the end closes the later; the earlier is sized at the end
        // up to the next start.
        {"nested",
         [](auto& img) {
             put(img, 0, {0xFF, 0xD8, 0xFF});
             put(img, 2048, {0xFF, 0xD8, 0xFF});
             put(img, 3000, {0xFF, 0xD9});
         },
         {{2048, 954}, {0, 2048}}},
        // Never closed: the approximate size, cut at the volume end.
        {"left over",
         [](auto& img) {
             put(img, 4096, {0xFF, 0xD8, 0xFF});
         },
         {{4096, 8192 - 4096}}},
        // An end signature across the chunk boundary.
        {"across chunks",
         [](auto& img) {
             put(img, 0, {0xFF, 0xD8, 0xFF});
             put(img, (1 << 20) - 1, {0xFF, 0xD9});
         },
         {{0, (1 << 20) + 1}}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> img =
            zeros(std::string(c.name) == "across chunks" ? 2 << 20 : 8192);
        c.lay(img);
        Carve carve(img);
        carve.engine.addDefinition(jpeg);
        EXPECT_EQ(carve.run(), c.expected) << c.name;
    }
}

TEST(RawEngine, SizeFieldsSkipsAndJumpsCarryAcrossChunks) {
    // A BMP-like definition: size field at 2, four bytes.
    auto bmp = userDefinition({'B', 'M'}, {}, 3 << 20, u"bmp");
    bmp.offsetToSize = 2;
    bmp.sizeBytes = 4;
    std::vector<std::uint8_t> img = zeros(4 << 20);
    const std::uint32_t big = (1 << 20) + 300;  // reaches into the next chunk
    put(img, 512,
        {'B', 'M', static_cast<std::uint8_t>(big), static_cast<std::uint8_t>(big >> 8),
         static_cast<std::uint8_t>(big >> 16), 0});
    // Inside the first file: not looked at, the jump passes over it.
    put(img, (1 << 20) + 0, {'B', 'M', 10, 0, 0, 0});
    // After the jump, in the next chunk: found.
    const std::size_t after = 512 + (big / 512 + 1) * 512;
    put(img, after, {'B', 'M', 0x00, 0x10, 0, 0});
    // Larger than the approximate size: ignored at that place.
    put(img, 3 << 20, {'B', 'M', 0, 0, 0x40, 0});
    Carve carve(img);
    carve.engine.addDefinition(bmp);
    EXPECT_EQ(carve.run(), (Found{{512, big}, {after, 0x1000}}));

    // The skip size carries the cursor past the chunk's end too.
    auto mp3 = userDefinition({'I', 'D', '3'}, {}, 1000, u"mp3", u"Audio");
    mp3.skipSize = (1 << 20) + 4096;
    std::vector<std::uint8_t> img2 = zeros(3 << 20);
    put(img2, 1024, {'I', 'D', '3'});
    put(img2, (1 << 20) + 2048, {'I', 'D', '3'});  // skipped over
    put(img2, (1 << 20) + 8192, {'I', 'D', '3'});
    Carve carve2(img2);
    carve2.engine.addDefinition(mp3);
    EXPECT_EQ(carve2.run(), (Found{{1024, 1000}, {(1 << 20) + 8192, 1000}}));
}

TEST(RawEngine, TreeShowsCategoriesWithCountsAndFilesByOffset) {
    std::vector<std::uint8_t> img = zeros(16384);
    for (std::size_t at : {0, 4096, 8192}) put(img, at, {0x11, 0x22});
    put(img, 12288, {0x33, 0x44});
    Carve carve(img);
    carve.engine.addDefinition(userDefinition({0x11, 0x22}, {}, 100, u"jpg", u"Images"));
    carve.engine.addDefinition(userDefinition({0x33, 0x44}, {}, 100, u"png", u"Images"));
    carve.engine.addDefinition(userDefinition({0x55, 0x66}, {}, 100, u"doc", u"Documents"));
    carve.run();
    const TreeItem top = carve.tree.firstChild(kNoItem);
    EXPECT_EQ(carve.tree.itemText(top), "RAW RECOVERY ");
    const TreeItem images = carve.tree.firstChild(top);
    EXPECT_EQ(carve.tree.itemText(images), "Images (4)");
    EXPECT_EQ(carve.tree.itemText(carve.tree.nextSibling(images)), "Documents");
    std::vector<std::string> names;
    for (TreeItem i = carve.tree.firstChild(images); i; i = carve.tree.nextSibling(i)) {
        names.push_back(carve.tree.itemText(i));
        const FoundFile* f = carve.engine.foundFile(carve.tree.itemData(i));
        ASSERT_TRUE(f);
        EXPECT_EQ(myJpg::nodeName(*f), names.back());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"0 .jpg", "4096 .jpg", "8192 .jpg", "12288 .png"}));
}

TEST(RawEngine, UnreadableSectorsAreZerosAndMarkFilesDamaged) {
    std::vector<std::uint8_t> img = zeros(3 << 20);
    put(img, 0, {0x11, 0x22});
    put(img, 2 << 20, {0x11, 0x22});
    // The second chunk cannot be read: its stale content must not be reused.
    put(img, (1 << 20) + 512, {0x11, 0x22});
    Carve carve(img);
    carve.reader.failSectors(2048, 10);
    carve.reader.failSectors(2048 + 11, 2048 - 11);  // one readable sector in the middle
    put(carve.reader.bytes(), (1 << 20) + 10 * 512, {0x11, 0x22});
    carve.engine.addDefinition(userDefinition({0x11, 0x22}, {}, 1 << 20, u"bin", u"Other"));
    EXPECT_EQ(carve.run(), (Found{{0, 1 << 20}, {(1 << 20) + 5120, 1 << 20}, {2 << 20, 1 << 20}}));
    EXPECT_EQ(carve.engine.unreadableSectors(), 2047u);
    const auto& f = carve.engine.found();
    EXPECT_FALSE(f[0].damaged);
    EXPECT_TRUE(f[1].damaged);
    EXPECT_FALSE(f[2].damaged);

    TempDir out;
    RawSaver saver(carve.engine, carve.sink, carve.engine.stopRequested);
    std::vector<SavedFile> saved;
    saver.onSaved = [&](const SavedFile& s) { saved.push_back(s); };
    RawSaveReport report = saver.save({0, 1}, out.path());
    EXPECT_EQ(report.saved, 2);
    EXPECT_EQ(report.damaged, 1);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(savedStatus(f[1], saved[1]), "damaged");
    const std::string second = readFile(saved[1].path);
    EXPECT_EQ(second.size(), 1u << 20);
    EXPECT_EQ(second.substr(0, 2), "\x11\x22");
    // Past the readable sector the file holds zeros, not another chunk's bytes.
    EXPECT_EQ(second.find_first_not_of('\0', 512), (2u << 20) - ((1u << 20) + 5120));
}

TEST(RawSaver, WritesPerCategoryAndNeverOverwrites) {
    std::vector<std::uint8_t> img = zeros(8192);
    put(img, 1024, {0x11, 0x22, 'a', 'b'});
    Carve carve(img);
    carve.engine.addDefinition(userDefinition({0x11, 0x22}, {}, 4, u"txt", u"../Notes"));
    carve.run();
    TempDir out;
    RawSaver saver(carve.engine, carve.sink, carve.engine.stopRequested);
    // "../Notes" is made safe: the folder stays inside the output folder.
    const std::string folder = out.path() + "/.._Notes";
    ASSERT_TRUE(makeFolder(folder));
    writeFile(folder + "/1024 .txt", "keep me");
    RawSaveReport first = saver.save({0}, out.path());
    RawSaveReport second = saver.save({0}, out.path());
    EXPECT_EQ(first.saved + second.saved, 2);
    EXPECT_EQ(readFile(folder + "/1024 .txt"), "keep me");
    EXPECT_EQ(readFile(folder + "/1024  (1).txt"),
              "\x11\x22"
              "ab");
    EXPECT_EQ(readFile(folder + "/1024  (2).txt"),
              "\x11\x22"
              "ab");
    EXPECT_NE(first.summary().find("1 files saved in " + out.path() +
                                   " (0 exact, 0 partial, 1 by signature only)"),
              std::string::npos);
}

TEST(RawSaver, StopLeavesNoHalfWrittenFile) {
    std::vector<std::uint8_t> img = zeros(6 << 20);
    put(img, 0, {0x11, 0x22});
    put(img, 3 << 20, {0x11, 0x22});
    Carve carve(img);
    carve.engine.addDefinition(userDefinition({0x11, 0x22}, {}, 3 << 20, u"bin", u"Other"));
    ASSERT_EQ(carve.run(), (Found{{0, 3 << 20}, {3 << 20, 3 << 20}}));
    TempDir out;
    RawSaver saver(carve.engine, carve.sink, carve.engine.stopRequested);
    std::vector<SavedFile> saved;
    saver.onSaved = [&](const SavedFile& s) {
        saved.push_back(s);
        carve.engine.stopRequested.request();
    };
    RawSaveReport report = saver.save({0, 1}, out.path());
    EXPECT_TRUE(report.stopped);
    EXPECT_EQ(report.saved, 1);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(readFile(saved[0].path).size(), 3u << 20);
    EXPECT_FALSE(std::filesystem::exists(out.path() + "/Other/3145728 .bin"));
    EXPECT_NE(report.summary().find("Saving was stopped before the end."), std::string::npos);
}

TEST(RawEngine, RandomDataGivesNoDefaultTypeFiles) {
    // 64 MiB of random bytes with the default types' headers planted at sector starts and odd
    // places: headers alone, without the structure behind them, are no files.
    std::mt19937_64 rnd(42);
    std::vector<std::uint8_t> img(64 << 20);
    for (std::size_t i = 0; i < img.size(); i += 8) {
        std::uint64_t v = rnd();
        std::memcpy(&img[i], &v, 8);
    }
    const std::vector<std::vector<std::uint8_t>> headers = {
        {0xFF, 0xD8, 0xFF, 0xE0},
        {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
        {'G', 'I', 'F', '8', '9', 'a'},
        {'B', 'M'},
        {'I', 'I', 0x2A, 0},
        {'%', 'P', 'D', 'F', '-', '1', '.', '4'},
        {'P', 'K', 3, 4},
        {0x1F, 0x8B, 8, 0},
        {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C},
        {'I', 'D', '3', 3, 0},
        {'R', 'I', 'F', 'F', 1, 2, 3, 0, 'W', 'A', 'V', 'E'},
        {0, 0, 0, 24, 'f', 't', 'y', 'p'},
        {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0}};
    for (std::size_t i = 0; i < 4000; ++i) {
        const auto& h = headers[i % headers.size()];
        const std::size_t at =
            (rnd() % (img.size() - 4096)) & (i % 2 ? ~std::size_t{0} : ~std::size_t{511});
        put(img, at, h);
    }
    Carve carve(img);
    std::vector<SignatureDefinition> defs;
    ASSERT_TRUE(loadSignatureFile(defaultSignatureFilePath(), true, defs).ok);
    for (const auto& d : defs) carve.engine.addDefinition(d);
    Found found = carve.run(true);
    for (const FoundFile& f : carve.engine.found())
        ADD_FAILURE() << "false positive " << f.extension << " at " << f.start << " size " << f.size
                      << " " << foundStatusName(f.status);
}
