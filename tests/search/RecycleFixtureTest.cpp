// The recycle-bin fixtures (NTFS, FAT16, FAT32, exFAT, same content): names restored in the
// tree and found by the search through the core; searched and saved through the command line.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "device/FileReadSeek.h"
#include "fs/common/FileSystemTable.h"
#include "scan/MemoryTree.h"
#include "scan/ResultsWalk.h"
#include "search/PatternSearch.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

const char* const kImages[] = {"recycle-ntfs", "recycle-fat16", "recycle-fat32", "recycle-exfat"};

struct Truth {
    std::string type;
    bool deleted = false;
    std::string sha256;
};

std::string baseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The manifest's paths (below ROOT) with the names the index files record.
std::map<std::string, Truth> restoredTruth(const nlohmann::json& manifest) {
    std::map<std::string, std::string> renames;  // old path -> new path
    for (const auto& r : manifest["recycle"])
        if (!r["index"].is_null() && !r["data"].is_null())
            renames[r["user"].get<std::string>() + "/" + r["data"].get<std::string>()] =
                r["user"].get<std::string>() + "/" + r["former_name"].get<std::string>();
    std::map<std::string, Truth> truth;
    for (const auto& e : manifest["entries"]) {
        std::string path = e["path"];
        for (const auto& [from, to] : renames)
            if (path == from || path.rfind(from + "/", 0) == 0)
                path = to + path.substr(from.size());
        truth["ROOT/" + path] = {e["type"], e["deleted"], e.value("sha256", "")};
    }
    return truth;
}

struct Scanned {
    explicit Scanned(const std::string& name) {
        manifest = loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
        std::string image = fixtureImage(name + ".img");
        if (!reader.openDevice(image)) throw std::runtime_error("cannot open " + image);
        VolumeDescriptor v{manifest["filesystem"], "", "",
                           std::to_string(fs::file_size(image) / 1048576), 0};
        parser = createParser(FileSystemTable::builtin(), v, {});
        parser->attach(&reader, &tree, &sink);
        parser->runWorker(1);
        top = tree.firstChild(kNoItem);
    }
    SearchResult search(const std::string& pattern, bool ignoreCase = false) {
        StopFlag stop;
        PatternSearch s(*parser, sink, stop);
        return s.searchTree(*SearchPattern::compile(pattern, ignoreCase), tree, top);
    }
    nlohmann::json manifest;
    FileReadSeek reader;
    MemoryTree tree;
    NullSink sink;
    std::unique_ptr<VolumeParser> parser;
    TreeItem top = kNoItem;
};

Scanned& scanned(const std::string& name) {
    static std::map<std::string, std::unique_ptr<Scanned>> volumes;
    auto& v = volumes[name];
    if (!v) v = std::make_unique<Scanned>(name);
    return *v;
}

class RecycleFixture : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(RecycleFixture, TreeShowsTheRecordedNamesPerUser) {
    Scanned& v = scanned(GetParam());
    std::map<std::string, WalkedItem> walked;
    walkResults(*v.parser, v.tree, v.top, [&](const WalkedItem& w) {
        walked.emplace(w.path, w);
        return true;
    });
    for (const auto& [path, truth] : restoredTruth(v.manifest)) {
        auto it = walked.find(path);
        ASSERT_NE(it, walked.end()) << path;
        EXPECT_EQ(it->second.folder, truth.type == "dir") << path;
        EXPECT_EQ(it->second.deleted, truth.deleted) << path;
    }
    // Renamed data files are gone under their generated names; the unmatched ones stay.
    const std::string alice = "ROOT/$RECYCLE.BIN/S-1-5-21-1000-1001/";
    for (const char* old : {"$RA1B2C3.docx", "$RK9X8Y7.jpg", "$RSHARED.txt", "$RDIR001"})
        EXPECT_EQ(walked.count(alice + old), 0u) << old;
    EXPECT_EQ(walked.count(alice + "$RNOINDX.txt"), 1u);
    EXPECT_EQ(walked.count(alice + "$INODATA.txt"), 1u);
    EXPECT_EQ(walked.count(alice + "shared-alice.txt"), 1u);
    EXPECT_EQ(walked.count("ROOT/$RECYCLE.BIN/S-1-5-21-1000-1002/notes-bob.txt"), 1u);
}

TEST_P(RecycleFixture, SearchFindsExactlyTheMatchingFiles) {
    Scanned& v = scanned(GetParam());
    const auto truth = restoredTruth(v.manifest);
    struct Case {
        const char* pattern;
        bool ignoreCase;
    };
    for (Case c : {Case{"jpg", false}, Case{"\\.jpg$|\\.png$", false}, Case{"JPG", false},
                   Case{"JPG", true}, Case{"Ünïcødé", false}, Case{"^notes-", false}}) {
        // The names the volume holds decide; folders are never hits.
        auto flags =
            c.ignoreCase ? std::regex::ECMAScript | std::regex::icase : std::regex::ECMAScript;
        std::regex re(c.pattern, flags);
        std::map<std::string, bool> expected;
        for (const auto& [path, t] : truth)
            if (t.type == "file" && std::regex_search(baseName(path), re))
                expected[path] = t.deleted;
        std::map<std::string, bool> found;
        for (const SearchHit& h : v.search(c.pattern, c.ignoreCase).hits) found[h.path] = h.deleted;
        EXPECT_EQ(found, expected) << c.pattern;
    }
    EXPECT_EQ(v.search("jpg").hits.size(), 10u);
}

INSTANTIATE_TEST_SUITE_P(Images, RecycleFixture, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return std::string(info.param).substr(8); });

TEST(SearchCli, ListsHitsAndRefusesBadPatterns) {
    const std::string image = fixtureImage("recycle-fat32.img");
    CliResult r = runCli({"search", image, "--pattern", "\\.jpg$|\\.png$", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto hits = scanJsonByPath(r.out);
    EXPECT_EQ(hits.size(), 10u);
    EXPECT_EQ(hits.at("ROOT/photos/picture.png")["size"], 1500);
    EXPECT_EQ(hits.at("ROOT/$RECYCLE.BIN/S-1-5-21-1000-1001/holiday photo.jpg")["type"], "file");
    EXPECT_TRUE(hits.at("ROOT/Old Pics/Lost Photo.jpg")["deleted"]);
    EXPECT_NE(r.err.find("Searching Finished"), std::string::npos);

    r = runCli({"search", image, "--pattern", "JPG"});
    EXPECT_EQ(r.out.substr(0, r.out.find('\t')), "ROOT/photos/PHOTO2.JPG");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
    r = runCli({"search", image, "--pattern", "JPG", "--ignore-case"});
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 11);

    r = runCli({"search", image, "--pattern", "*.jpg"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("such characters are not allowed for search.Try again with different "
                         "pattern."),
              std::string::npos);
    EXPECT_EQ(runCli({"search", image, "--pattern", ""}).exitCode, 2);
}

TEST(SearchCli, SaveWithAPatternKeepsTheHitsFolders) {
    const std::string image = fixtureImage("recycle-ntfs.img");
    TempDir out;
    CliResult r = runCli(
        {"save", image, "--out", out.path(), "--pattern", "^plan|^notes-bob", "--no-report"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> saved;
    for (const auto& e : fs::recursive_directory_iterator(out.path()))
        if (e.is_regular_file()) saved.push_back(fs::relative(e.path(), out.path()).string());
    std::sort(saved.begin(), saved.end());
    EXPECT_EQ(saved, (std::vector<std::string>{"$RECYCLE.BIN/S-1-5-21-1000-1001/old plans/plan.txt",
                                               "$RECYCLE.BIN/S-1-5-21-1000-1002/notes-bob.txt"}));
    // Below a path, as saving that folder would place them.
    TempDir below;
    r = runCli({"save", image, "--out", below.path(), "--path", "ROOT/$RECYCLE.BIN", "--pattern",
                "^plan"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(below.file("S-1-5-21-1000-1001/old plans/plan.txt")));
    // The report names the file by its whole path on the volume, not by where it was put.
    const std::string report = readFile(below.file("recovery-report.xml"));
    EXPECT_NE(report.find("<filename>$RECYCLE.BIN/S-1-5-21-1000-1001/old plans/plan.txt<"),
              std::string::npos);
    EXPECT_NE(report.find("<vellorine:saved_path>S-1-5-21-1000-1001/old plans/plan.txt<"),
              std::string::npos);
}
