// Deleted files given back from the journal, on ext3 and ext4 volumes where the kernel deleted
// them with rm, and on one whose journal was written round since.
#include <gtest/gtest.h>

#include "core/EntryWriter.h"
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
