// Deleted files given back from the journal, on ext3 and ext4 volumes where the kernel deleted
// them with rm, and on one whose journal was written round since.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "core/EntryWriter.h"
#include "device/readWriteInterface.h"
#include "ext/ExtFixtureSupport.h"

using namespace vel;
using namespace vel::test;

namespace {

struct ExtJournalFixture : ::testing::TestWithParam<std::string> {
    Volume& v() { return volume(GetParam()); }
};

std::string savedSha(Volume& v, ItemData e, bool* whole) {
    MemoryWriter out;
    *whole = v.parser.writeEntry(e, out);
    return sha256Hex(std::string(out.bytes().begin(), out.bytes().end()));
}

}  // namespace

TEST_P(ExtJournalFixture, DeletedFilesComeBackUnderTheirPathsWithTheirTimes) {
    Volume& v = this->v();
    checkListing(v);
    checkSaves(v);
    // What the journal gave is marked as such; what the live tables gave is not.
    std::size_t deleted = 0;
    for (const auto& e : v.manifest["entries"]) {
        const Found* f = v.at(e["path"]);
        ASSERT_NE(f, nullptr) << e["path"];
        deleted += e["deleted"].get<bool>();
        EXPECT_EQ(v.parser.entryColumns(f->data).source, e["deleted"] ? "journal" : "")
            << e["path"];
    }
    EXPECT_EQ(v.parser.journalFiles(), deleted);
    const std::string remark =
        std::to_string(deleted) + " deleted files and folders recovered from the journal";
    EXPECT_NE(std::find(v.result.remarks.begin(), v.result.remarks.end(), remark),
              v.result.remarks.end());

    // The command line marks the same entries.
    CliResult r = runCli({"scan", v.image, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto items = scanJsonByPath(r.out);
    for (const auto& e : v.manifest["entries"]) {
        const auto it = items.find("ROOT/" + e["path"].get<std::string>());
        ASSERT_NE(it, items.end()) << e["path"];
        EXPECT_EQ(it->second.value("source", ""), e["deleted"] ? "journal" : "") << e["path"];
    }
}

INSTANTIATE_TEST_SUITE_P(Images, ExtJournalFixture,
                         ::testing::Values("ext3-journal", "ext4-journal"), [](const auto& info) {
                             std::string n = info.param;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

TEST(ExtJournal, AJournalWrittenRoundGivesOnlyWhatItStillHolds) {
    Volume& v = volume("ext4-journal-wrapped");
    ASSERT_TRUE(v.manifest["journal_wrapped"].get<bool>());
    // The deleted files' old copies are gone: none of them comes back with data.
    for (const auto& e : v.manifest["entries"]) {
        const Found* f = v.at(e["path"]);
        if (!e["deleted"].get<bool>()) {
            ASSERT_NE(f, nullptr) << e["path"];
            continue;
        }
        if (f && !f->folder) {
            EXPECT_EQ(v.parser.entrySize(f->data), 0u) << e["path"];
        }
    }
    // The files of the churn folder deleted last are still in the journal: each comes back
    // with its last content, never with another's.
    const auto& churn = v.manifest["churn"];
    std::set<std::string> back;
    for (const auto& [path, f] : v.found) {
        if (f.folder || v.parser.entryColumns(f.data).source != "journal") continue;
        const std::string name = path.substr(path.rfind('/') + 1);
        ASSERT_TRUE(churn.contains(name)) << path;
        bool whole = false;
        EXPECT_EQ(savedSha(v, f.data, &whole), churn[name].get<std::string>()) << path;
        EXPECT_TRUE(whole) << path;
        back.insert(name);
    }
    EXPECT_EQ(back.size(), churn.size());
}

TEST(ExtJournal, AnOldCopyWhoseBlocksAreInUseAgainIsNotTrusted) {
    // The ext4 image with the first data block of gone.txt marked in use, as when a file
    // written after the deletion took it: the journal's copy of its inode is not used, so the
    // name is listed with nothing to save rather than with another file's bytes.
    Volume& v = volume("ext4-journal");
    const Found* gone = v.at("gone.txt");
    ASSERT_NE(gone, nullptr);
    const ExtInode& n = v.kept("gone.txt");
    ASSERT_TRUE(n.state & ExtInode::kFromJournal);
    std::uint64_t first = 0;
    extfmt::mapBlocks(n.block, true, v.parser.limitsFor(n.size), v.parser.blockReader(),
                      [&](const extfmt::BlockRun& r) { return (first = r.physical), false; });
    ASSERT_NE(first, 0u);
    const extfmt::Superblock& s = *v.parser.superblock();
    const std::uint64_t rel = first - s.firstDataBlock;
    const std::uint64_t bitmap = v.parser.groups()[rel / s.blocksPerGroup].blockBitmap;
    std::ifstream in(v.image, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::uint64_t bit = rel % s.blocksPerGroup;
    bytes[bitmap * s.blockSize + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    MemorySource source(std::move(bytes));

    ext2Class parser(descriptorFor(v.image));
    MemoryTree tree;
    NullSink sink;
    parser.attach(&source, &tree, &sink);
    parser.runWorker(1);
    std::map<std::string, ItemData> found;
    std::function<void(ItemData, const std::string&)> walk = [&](ItemData folder,
                                                                 const std::string& prefix) {
        parser.forEachChild(folder, [&](ItemData c) {
            found[prefix + parser.entryName(c)] = c;
            if (parser.isFolder(c)) walk(c, prefix + parser.entryName(c) + "/");
            return true;
        });
    };
    walk(parser.rootEntry(), "");
    ASSERT_TRUE(found.count("gone.txt"));
    EXPECT_EQ(parser.entrySize(found["gone.txt"]), 0u);
    MemoryWriter out;
    EXPECT_FALSE(parser.writeEntry(found["gone.txt"], out));
    EXPECT_TRUE(out.bytes().empty());
    // The others still come back.
    EXPECT_EQ(parser.journalFiles(), v.parser.journalFiles() - 1);
    ASSERT_TRUE(found.count("big-gone.bin"));
    EXPECT_EQ(parser.entrySize(found["big-gone.bin"]), 307200u);
}
