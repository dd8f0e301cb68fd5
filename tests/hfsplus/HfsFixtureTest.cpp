// The three HFS+ volumes made by an independent writer (see fixtures/images/hfsplus-README.md):
// what the standard and deep modes list, against the manifests and The Sleuth Kit's listing, and
// every file saved byte-exact with its times.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "device/FileReadSeek.h"
#include "fs/hfsplus/HFSP.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "scan/ResultsWalk.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

namespace {

constexpr std::int64_t kHfsEpoch = 2082844800;

struct Found {
    ItemData data;
    bool folder;
    bool deleted;
};

// One fixture volume scanned in one mode; shared by the tests of this file.
struct Scan {
    Scan(const std::string& name, int mode) : parser(VolumeDescriptor{"HFS+", "", "0", "", 0}) {
        std::string image = fixtureImage(name + ".img");
        parser.volume.sizeText = std::to_string(std::filesystem::file_size(image) / 1048576);
        manifest = loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
        if (!reader.openDevice(image)) throw std::runtime_error("cannot open " + image);
        parser.attach(&reader, &tree, &sink);
        result = parser.runWorker(mode);
        top = tree.firstChild(kNoItem);
        walkResults(parser, tree, top, [&](const WalkedItem& w) {
            if (w.depth > 0) found.emplace(w.path.substr(5), Found{w.data, w.folder, w.deleted});
            return true;
        });
    }

    nlohmann::json manifest;
    FileReadSeek reader;
    HFSP parser;
    MemoryTree tree;
    NullSink sink;
    WorkerResult result;
    TreeItem top = kNoItem;
    std::multimap<std::string, Found> found;  // path below ROOT, stored (NFD) names
};

const char* const kImages[] = {"hfsplus-basic", "hfsplus-fragmented", "hfsplus-bigcatalog"};

Scan& scan(const std::string& name, int mode) {
    static std::map<std::pair<std::string, int>, std::unique_ptr<Scan>> scans;
    auto& s = scans[{name, mode}];
    if (!s) s = std::make_unique<Scan>(name, mode);
    return *s;
}

// Deleted items of which a file or folder record survives somewhere in the catalog's nodes.
bool hasRecordCopy(const nlohmann::json& e) {
    for (const auto& c : e["remains"]["catalog_copies_of_name"]) {
        std::string look = c["looks_like"];
        if (look.rfind("file record", 0) == 0 || look.rfind("folder record", 0) == 0) return true;
    }
    return false;
}

// What the deep mode lists of a deleted item: files with a record; folders with a record, or with
// a thread record when something listed lies in them.
bool listedInDeepMode(const nlohmann::json& manifest, const nlohmann::json& e) {
    if (hasRecordCopy(e)) return true;
    if (e["type"] != "dir") return false;
    bool thread = false;
    for (const auto& c : e["remains"]["catalog_copies_of_name"])
        thread = thread || c["looks_like"].get<std::string>().rfind("folder thread", 0) == 0;
    std::string prefix = e["path"].get<std::string>() + "/";
    for (const auto& child : manifest["entries"])
        if (thread && child["deleted"].get<bool>() && hasRecordCopy(child) &&
            child["path"].get<std::string>().rfind(prefix, 0) == 0)
            return true;
    return false;
}

// A deleted file the deep mode brings back: an empty one, or one whose data is intact and of
// which a stale file record still names the blocks.
bool savedInDeepMode(const nlohmann::json& e) {
    if (e["type"] != "file" || !hasRecordCopy(e)) return false;
    if (e["size"].get<std::uint64_t>() == 0) return true;
    if (e["remains"].value("data", "") != "intact") return false;
    for (const auto& c : e["remains"]["catalog_copies_of_name"])
        if (!c.value("data_fork_extents", nlohmann::json::array()).empty()) return true;
    return false;
}

struct HfsFixture : ::testing::TestWithParam<std::tuple<const char*, int>> {
    std::string name() const { return std::get<0>(GetParam()); }
    int mode() const { return std::get<1>(GetParam()); }
    Scan& s() { return scan(name(), mode()); }
};

}  // namespace

TEST_P(HfsFixture, ListsWhatTheManifestHolds) {
    Scan& v = s();
    ASSERT_TRUE(v.result.failureBox.empty());
    ASSERT_EQ(v.tree.itemText(v.top), "ROOT");
    bool deep = mode() != 1;
    std::size_t expected = 0;
    for (const auto& e : v.manifest["entries"]) {
        std::string path = e["path"].get<std::string>().substr(1);
        bool deleted = e["deleted"];
        // Deleted folders are listed when a record or a thread of theirs survives; files only
        // with a file record (a thread names no data).
        bool listed = !deleted || (deep && listedInDeepMode(v.manifest, e));
        if (!listed) {
            EXPECT_EQ(v.found.count(path), 0u) << path;
            continue;
        }
        ++expected;
        ASSERT_EQ(v.found.count(path), 1u) << path;
        const Found& f = v.found.find(path)->second;
        EXPECT_EQ(f.folder, e["type"] == "dir") << path;
        EXPECT_EQ(f.deleted, deleted) << path;
        EXPECT_EQ(f.data, e["cnid"].get<ItemData>()) << path;
        if (e["type"] == "file" && !deleted) {
            EXPECT_EQ(v.parser.entrySize(f.data), e["size"].get<std::uint64_t>()) << path;
        }
    }
    EXPECT_EQ(v.found.size(), expected);
    EXPECT_EQ(v.parser.orphanCnid(), kNoCnid);
}

TEST_P(HfsFixture, LiveTreeIsTheSleuthKitListing) {
    Scan& v = s();
    // fls -r: "+" per level, type, CNID and name; the metadata files start with "$".
    std::ifstream in(sourceDir() + "/tests/fixtures/images/" + name() + ".fls.txt");
    ASSERT_TRUE(in);
    std::set<std::tuple<std::string, bool, ItemData>> tsk, ours;
    std::vector<std::string> stack;
    for (std::string line; std::getline(in, line);) {
        std::size_t depth = line.find_first_not_of('+');
        std::size_t tab = line.find('\t');
        if (depth == std::string::npos || tab == std::string::npos) continue;
        std::string item = line.substr(tab + 1);
        if (item.empty() || item[0] == '$') continue;
        std::istringstream fields(line.substr(depth, tab - depth));
        std::string type, cnid;
        fields >> type >> cnid;
        stack.resize(depth);
        stack.push_back(item);
        std::string path;
        for (const std::string& part : stack) path += (path.empty() ? "" : "/") + part;
        tsk.emplace(path, type[0] == 'd', std::stoll(cnid));
    }
    for (const auto& [path, f] : v.found)
        if (!f.deleted) ours.emplace(path, f.folder, f.data);
    EXPECT_FALSE(tsk.empty());
    EXPECT_EQ(ours, tsk);
}

TEST_P(HfsFixture, SavesEveryFileByteExactWithItsContentModificationTime) {
    // A zone with a half-hour offset: a saved time that went through local time shows it.
    setenv("TZ", "IST-5:30", 1);
    tzset();
    Scan& v = s();
    TempDir out;
    StopFlag stop;
    FolderSaver saver(v.parser, v.sink, stop);
    SaveReport report = saver.saveItem(v.tree, v.top, out.path());
    std::set<std::string> failures;
    for (const SaveFailure& f : report.failures) failures.insert(f.path);
    std::size_t saved = 0;
    for (const auto& e : v.manifest["entries"]) {
        if (e["type"] != "file") continue;
        std::string path = e["path"].get<std::string>().substr(1);
        std::string file = out.file(path);
        struct stat st {};
        bool exists = ::stat(file.c_str(), &st) == 0;
        bool deleted = e["deleted"];
        if (deleted && !(mode() != 1 && savedInDeepMode(e))) {
            // Overwritten, or not listed: never a file with someone else's bytes.
            EXPECT_FALSE(exists) << path;
            if (v.found.count(path)) {
                EXPECT_EQ(failures.count(file), 1u) << path;
            }
            continue;
        }
        ++saved;
        ASSERT_TRUE(exists) << path;
        EXPECT_EQ(failures.count(file), 0u) << path;
        EXPECT_EQ(sha256File(file), e["sha256"].get<std::string>()) << path;
        std::int64_t t = e["dates"]["hfs_seconds_since_1904"].get<std::int64_t>() - kHfsEpoch;
        EXPECT_EQ(st.st_mtime, t) << path;
        EXPECT_EQ(st.st_atime, t) << path;
    }
    EXPECT_EQ(report.filesWritten, static_cast<std::int64_t>(saved));
    unsetenv("TZ");
    tzset();
}

INSTANTIATE_TEST_SUITE_P(Images, HfsFixture,
                         ::testing::Combine(::testing::ValuesIn(kImages), ::testing::Values(1, 3)),
                         [](const auto& info) {
                             std::string n = std::get<0>(info.param);
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n + (std::get<1>(info.param) == 1 ? "_standard" : "_deep");
                         });

TEST(HfsFixtureContent, ColumnsShowLocalTimeAndModeLetters) {
    setenv("TZ", "IST-5:30", 1);
    tzset();
    Scan& v = scan("hfsplus-basic", 1);
    auto at = [&](const std::string& path) { return v.found.find(path)->second.data; };
    // 1999-12-31 23:59:59 UTC and the last second HFS+ can hold, 2040-02-06 06:28:15 UTC.
    EntryColumns y2k = v.parser.entryColumns(at("Documents/Projects/Deep Level/1999.txt"));
    EXPECT_EQ(y2k.modified, "01/01/2000  05:29 AM");
    EXPECT_EQ(y2k.created, y2k.modified);
    EntryColumns last = v.parser.entryColumns(at("Documents/Projects/Deep Level/2040-max.txt"));
    EXPECT_EQ(last.accessed, "02/06/2040  11:58 AM");
    EXPECT_EQ(last.attributes, "-Owner:W-Owner:R-OR-GR");  // mode 0644
    EXPECT_EQ(v.parser.entrySizeText(at("Documents/Projects/Deep Level/one-mebibyte.bin")),
              "1.00 MB");
    unsetenv("TZ");
    tzset();
}
