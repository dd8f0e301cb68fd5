// The exFAT advanced mode: which entry sets the scan takes, and a tree rebuilt when a folder's
// own entry is gone.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "exfat/ExfatImageBuilder.h"
#include "fs/exfat/ExfatLayout.h"
#include "fs/exfat/Fat64Class.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

TEST(ExfatAdvanced, CandidateEntrySets) {
    using Fields = SetFields;
    struct Case {
        const char* what;
        std::function<void(Fields&)> fields;
        std::function<void(std::vector<std::uint8_t>&)> change;
        std::size_t slots;
    } cases[] = {
        {"a file of 20 characters", [](Fields&) {}, [](std::vector<std::uint8_t>&) {}, 4},
        {"a name length of 20 with one name entry", [](Fields&) {},
         [](std::vector<std::uint8_t>& b) { b[96] = 0; }, 0},
        {"allocation not possible", [](Fields& f) { f.flags = 0; },
         [](std::vector<std::uint8_t>&) {}, 0},
        {"a deleted folder",
         [](Fields& f) {
             f.attributes = 0x10;
             f.deleted = true;
         },
         [](std::vector<std::uint8_t>&) {}, 4},
        {"attributes 0x14", [](Fields& f) { f.attributes = 0x14; },
         [](std::vector<std::uint8_t>&) {}, 0},
        {"attributes 0x21", [](Fields& f) { f.attributes = 0x21; },
         [](std::vector<std::uint8_t>&) {}, 0},
        {"reserved bytes set", [](Fields&) {}, [](std::vector<std::uint8_t>& b) { b[30] = 1; }, 0},
        {"no stream", [](Fields& f) { f.withStream = false; }, [](std::vector<std::uint8_t>&) {},
         0},
    };
    for (const Case& c : cases) {
        Fields f{.name = u"twenty characters!!!",
                 .attributes = 0x20,
                 .flags = 3,
                 .firstCluster = 9,
                 .validLength = 100};
        c.fields(f);
        std::vector<std::uint8_t> bytes = ExfatImageBuilder::encodeSet(f);
        bytes.resize(bytes.size() + 64, 0);
        c.change(bytes);
        EXPECT_EQ(exfat::candidateEntrySet(bytes.data(), bytes.size(), 0), c.slots) << c.what;
    }
}

TEST(ExfatAdvanced, EntriesNoWalkReachesGoUnderTheOrphanFolder) {
    // The volume without its boot regions, and the root's entry for "docs" wiped too.
    const nlohmann::json m =
        loadJson(sourceDir() + "/tests/fixtures/images/exfat-noboot.manifest.json");
    MemorySource source(readFile(fixtureImage("exfat-noboot.img")));
    std::vector<std::uint8_t>& bytes = source.bytes();
    const std::u16string docs = u"docs";
    const std::string key(reinterpret_cast<const char*>(docs.data()), docs.size() * 2);
    const std::string all(bytes.begin(), bytes.end());
    const std::size_t heap = m["geometry"]["dataStart"];
    std::size_t name = all.find(key, heap);
    // The first "docs" name entry that closes a set of three slots.
    while (name != std::string::npos && (bytes[name - 2] != 0xC1 || bytes[name - 66] != 0x85))
        name = all.find(key, name + 1);
    ASSERT_NE(name, std::string::npos);
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(name - 66), 96, 0);

    MemoryTree tree;
    Fat64Class parser(VolumeDescriptor{"FAT64", "", "", m["volume"]["sizeText"], 0});
    parser.attach(&source, &tree, nullptr);
    parser.searchCandidates(3);
    EXPECT_EQ(parser.detectedShift(), 3);
    EXPECT_EQ(parser.detectedHeap(), static_cast<std::int64_t>(heap));
    parser.advancedChoice.table = 0;
    parser.advancedChoice.heap = 0;
    parser.runWorker(2);

    std::map<std::string, int> seen = test::entryPathCounts(parser, 0);
    EXPECT_EQ(seen["ORPHAN ENTRY/letters/old/first.txt"], 1);
    EXPECT_EQ(seen["ORPHAN ENTRY/empty.txt"], 1);
    EXPECT_EQ(seen["many/entry-with-a-longer-name-150.dat"], 1);
    EXPECT_EQ(seen.count("docs"), 0u);
    for (const auto& [path, count] : seen) EXPECT_EQ(count, 1) << path;
    // The orphans' folder is a folder even though the first set found is a file's.
    ItemData orphans = -1;
    parser.forEachChild(0, [&](ItemData c) {
        if (parser.entryName(c) == "ORPHAN ENTRY") orphans = c;
        return true;
    });
    ASSERT_GE(orphans, 0);
    EXPECT_TRUE(parser.isFolder(orphans));
    EXPECT_FALSE(parser.isDeleted(orphans, 0));
}
