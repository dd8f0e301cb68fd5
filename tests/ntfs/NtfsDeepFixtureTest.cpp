// The advanced and deep modes on volumes made by mkfs.ntfs and ntfs-3g: one without boot
// sectors, one formatted again over its old files, and two file systems one after the other.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "device/FileReadSeek.h"
#include "fs/ntfs/ntfs.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

struct FixtureScan {
    explicit FixtureScan(const std::string& name)
        : image(fixtureImage(name + ".img")),
          parser(
              VolumeDescriptor{"NTFS", "", "", std::to_string(fs::file_size(image) / 1048576), 0}) {
        manifest = loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
        if (!reader.openDevice(image)) throw std::runtime_error("cannot open " + image);
        parser.attach(&reader, &tree, &sink);
    }
    // Every path below folder (prefix included), and how often each is shown.
    void walk(ItemData folder, const std::string& prefix, int depth = 0) {
        parser.forEachChild(folder, [&](ItemData c) {
            const std::string path = prefix + parser.entryName(c);
            found[path] = c;
            ++shown[path];
            if (parser.isFolder(c) && parser.enterOnSave(c) && depth < 64)
                walk(c, path + "/", depth + 1);
            return true;
        });
    }
    ItemData at(const std::string& path) const {
        auto it = found.find(path);
        return it == found.end() ? -1 : it->second;
    }

    std::string image;
    nlohmann::json manifest;
    FileReadSeek reader;
    ntfs parser;
    MemoryTree tree;
    NullSink sink;
    std::map<std::string, ItemData> found;
    std::map<std::string, int> shown;
};

// Saves folder into a new folder and checks each listed file there (path relative to it): its
// bytes and modification time as the manifest has them.
void expectSaved(FixtureScan& s, ItemData folder,
                 const std::vector<std::pair<std::string, nlohmann::json>>& files) {
    TempDir out;
    StopFlag stop;
    FolderSaver saver(s.parser, s.sink, stop);
    saver.saveEntry(folder, out.path());
    for (const auto& [path, e] : files) {
        const std::string saved = out.file(path);
        struct stat st {};
        ASSERT_EQ(::stat(saved.c_str(), &st), 0) << path;
        EXPECT_EQ(sha256File(saved), e["sha256"].get<std::string>()) << path;
        EXPECT_EQ(st.st_mtime, e["mtime"].get<std::int64_t>()) << path;
    }
    EXPECT_FALSE(files.empty());
}

// The folder under ORPHAN_ENTRY that holds most of the given paths.
std::string copyHolding(const FixtureScan& s, const nlohmann::json& entries) {
    std::map<std::string, int> votes;
    for (const auto& [path, data] : s.found) {
        if (path.rfind("ORPHAN_ENTRY/MFT_COPY_", 0) != 0) continue;
        const std::string copy = path.substr(0, path.find('/', 13));
        for (const auto& e : entries)
            if (path == copy + "/" + e["path"].get<std::string>()) ++votes[copy];
    }
    std::string best;
    for (const auto& [copy, n] : votes)
        if (best.empty() || n > votes[best]) best = copy;
    return best;
}

}  // namespace

TEST(NtfsDeepFixture, AdvancedModeScansAVolumeWithoutBootSectorsFromTheRealMft) {
    FixtureScan s("ntfs-noboot");
    const CandidateLists lists = s.parser.searchCandidates(3);
    // The real MFT, not its mirror's copy of the first records.
    ASSERT_EQ(lists.tables, std::vector<std::string>{"MFT_ENTRY:0"});
    EXPECT_EQ(s.parser.candidates[0].offset, s.manifest["mft_offset"].get<std::uint64_t>());
    EXPECT_EQ(s.parser.candidates[0].clusterSize, s.manifest["cluster_size"].get<std::uint64_t>());
    EXPECT_EQ(lists.clusterSizes, (std::vector<std::string>{"8", "4", "2", "16", "32", "64"}));
    EXPECT_EQ(lists.message,
              "Number of MFT-ENTRY found = 1 . Please select the choice from combo box and click "
              "Next button to proceed.");
    EXPECT_EQ(lists.doneStatus, "Parsing done.Click next to continue.");

    // The list's first cluster size (8 sectors) is picked; the MFT record's own (4 KiB) is used.
    s.parser.advancedChoice = AdvancedChoice{0, 2, -1};
    s.parser.runWorker(2);
    EXPECT_EQ(s.parser.clusterSize, 4096u);
    ASSERT_GE(s.parser.rootIndex, 0);
    s.walk(s.parser.rootIndex, "");
    std::vector<std::pair<std::string, nlohmann::json>> files;
    for (const auto& e : s.manifest["entries"]) {
        if (e.contains("intact") && !e["intact"].get<bool>()) continue;
        const std::string path = e["path"];
        ASSERT_GE(s.at(path), 0) << path;
        EXPECT_EQ(s.parser.isFolder(s.at(path)), e["type"] == "dir") << path;
        EXPECT_EQ(s.parser.isDeleted(s.at(path), -1), e["deleted"].get<bool>()) << path;
        if (e["type"] == "file") files.emplace_back(path, e);
    }
    expectSaved(s, s.parser.rootIndex, files);
}

TEST(NtfsDeepFixture, DeepScanGivesAReformattedVolumesOldFilesUnderTheirOldPaths) {
    FixtureScan s("ntfs-reformat");
    s.parser.runWorker(3);
    s.walk(s.parser.orphanIndex, "ORPHAN_ENTRY/");
    const nlohmann::json& old = s.manifest["old"]["entries"];
    const nlohmann::json& fresh = s.manifest["new"]["entries"];
    const std::string oldCopy = copyHolding(s, old), newCopy = copyHolding(s, fresh);
    ASSERT_FALSE(oldCopy.empty());
    ASSERT_FALSE(newCopy.empty());
    EXPECT_NE(oldCopy, newCopy);

    std::map<std::string, bool> recordIntact;
    for (const auto& e : old) recordIntact[e["path"]] = e["record_intact"];
    std::vector<std::pair<std::string, nlohmann::json>> saved;
    std::size_t listed = 0;
    for (const auto& e : old) {
        const std::string path = e["path"];
        if (!recordIntact[path]) {
            EXPECT_LT(s.at(oldCopy + "/" + path), 0) << path;
            continue;
        }
        // Under the old copy's root while every folder above it kept its record; else under
        // ORPHAN_ENTRY from the first folder that did.
        std::string shownAs = oldCopy + "/" + path;
        for (std::size_t cut = path.find('/'); cut != std::string::npos;
             cut = path.find('/', cut + 1))
            if (!recordIntact[path.substr(0, cut)])
                shownAs = "ORPHAN_ENTRY/" + path.substr(cut + 1);
        ASSERT_GE(s.at(shownAs), 0) << path;
        EXPECT_EQ(s.shown[shownAs], 1) << path;
        EXPECT_EQ(s.parser.isFolder(s.at(shownAs)), e["type"] == "dir") << path;
        ++listed;
        if (e["type"] == "file" && e["data_intact"].get<bool>())
            saved.emplace_back(shownAs.substr(std::string("ORPHAN_ENTRY/").size()), e);
    }
    // More than the names the measurement found (19 of 40); some files' clusters were taken.
    EXPECT_GE(listed, 20u);
    EXPECT_LT(saved.size(), listed);
    std::vector<std::pair<std::string, nlohmann::json>> savedNew;
    for (const auto& e : fresh) {
        const std::string path = newCopy + "/" + e["path"].get<std::string>();
        ASSERT_GE(s.at(path), 0) << path;
        if (e["type"] == "file") savedNew.emplace_back(path.substr(13), e);
    }
    // Each file with the cluster size of its own format: 4 KiB for the old, 1 KiB for the new.
    expectSaved(s, s.parser.orphanIndex, saved);
    expectSaved(s, s.parser.orphanIndex, savedNew);
}

TEST(NtfsDeepFixture, TwoFileSystemsOneAfterTheOtherInBothModes) {
    FixtureScan deep("ntfs-two");
    deep.parser.runWorker(3);
    deep.walk(deep.parser.orphanIndex, "ORPHAN_ENTRY/");
    std::set<std::string> copies;
    for (const auto& volume : deep.manifest["volumes"]) {
        const std::string copy = copyHolding(deep, volume["entries"]);
        ASSERT_FALSE(copy.empty());
        copies.insert(copy);
        std::vector<std::pair<std::string, nlohmann::json>> files;
        for (const auto& e : volume["entries"]) {
            const std::string path = copy + "/" + e["path"].get<std::string>();
            ASSERT_GE(deep.at(path), 0) << path;
            EXPECT_EQ(deep.shown[path], 1) << path;
            if (e["type"] == "file") files.emplace_back(path.substr(13), e);
        }
        // The second file system's clusters count from its own start.
        expectSaved(deep, deep.parser.orphanIndex, files);
    }
    EXPECT_EQ(copies.size(), 2u);

    for (std::size_t k = 0; k < deep.manifest["volumes"].size(); ++k) {
        const nlohmann::json& volume = deep.manifest["volumes"][k];
        FixtureScan s("ntfs-two");
        ASSERT_EQ(s.parser.searchCandidates(3).tables.size(), 2u);
        EXPECT_EQ(s.parser.candidates[k].origin, volume["offset"].get<std::uint64_t>());
        s.parser.advancedChoice = AdvancedChoice{static_cast<int>(k), 8, -1};
        s.parser.runWorker(2);
        EXPECT_EQ(s.parser.clusterSize, volume["cluster_size"].get<std::uint64_t>());
        s.walk(s.parser.rootIndex, "");
        std::vector<std::pair<std::string, nlohmann::json>> files;
        for (const auto& e : volume["entries"]) {
            ASSERT_GE(s.at(e["path"]), 0) << e["path"];
            if (e["type"] == "file") files.emplace_back(e["path"], e);
        }
        expectSaved(s, s.parser.rootIndex, files);
    }
}

TEST(NtfsDeepFixture, CommandLineListsCandidatesAndScansTheChosenOne) {
    // Without its boot sectors the volume is known to nothing: it is given as a custom volume.
    const std::string noboot = fixtureImage("ntfs-noboot.img");
    auto advanced = [&](std::vector<std::string> more) {
        std::vector<std::string> args{"scan", noboot, "--start-sector", "0",
                                      "--fs", "NTFS", "--mode",         "advanced"};
        args.insert(args.end(), more.begin(), more.end());
        return runCli(args);
    };
    CliResult listed = advanced({});
    EXPECT_EQ(listed.exitCode, 2);
    EXPECT_NE(listed.err.find("Number of MFT-ENTRY found = 1"), std::string::npos) << listed.err;
    EXPECT_NE(listed.err.find("--candidate 0  MFT_ENTRY:0"), std::string::npos) << listed.err;
    EXPECT_TRUE(listed.out.empty());
    CliResult json = advanced({"--json"});
    EXPECT_EQ(json.exitCode, 2);
    EXPECT_EQ(nlohmann::json::parse(json.out.substr(0, json.out.find('\n')))["text"],
              "MFT_ENTRY:0");
    CliResult wrong = advanced({"--candidate", "1"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_NE(wrong.err.find("no candidate 1 (1 found)"), std::string::npos) << wrong.err;

    CliResult scanned = advanced({"--candidate", "0", "--spc", "8", "--json"});
    ASSERT_EQ(scanned.exitCode, 0) << scanned.err;
    const auto items = scanJsonByPath(scanned.out);
    EXPECT_EQ(items.count("ROOT/readme.txt"), 1u);
    EXPECT_EQ(items.count("ROOT/docs/inner/b.bin"), 1u);

    // A FAT32 search over a volume without a FAT: nothing to choose.
    CliResult fat = runCli({"scan", fixtureImage("ntfs-512.img"), "--start-sector", "0", "--fs",
                            "FAT32", "--mode", "advanced"});
    EXPECT_EQ(fat.exitCode, 2);
    EXPECT_NE(fat.err.find("NO FAT  FAT32-ENTRY found .."), std::string::npos) << fat.err;

    // The deep scan on the command line, and a save of one old file under its old path.
    TempDir out;
    const nlohmann::json manifest =
        loadJson(sourceDir() + "/tests/fixtures/images/ntfs-reformat.manifest.json");
    CliResult deep =
        runCli({"scan", fixtureImage("ntfs-reformat.img"), "--mode", "deep", "--json"});
    ASSERT_EQ(deep.exitCode, 0) << deep.err;
    std::string oldDoc;
    for (const auto& [path, item] : scanJsonByPath(deep.out))
        if (path.size() > 14 && path.compare(path.size() - 14, 14, "/docs/doc3.txt") == 0)
            oldDoc = path;
    ASSERT_FALSE(oldDoc.empty());
    CliResult saved = runCli({"save", fixtureImage("ntfs-reformat.img"), "--mode", "deep", "--out",
                              out.path(), "--path", oldDoc});
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    for (const auto& e : manifest["old"]["entries"]) {
        if (e["path"] == "docs/doc3.txt") {
            EXPECT_EQ(sha256File(out.file("doc3.txt")), e["sha256"].get<std::string>());
        }
    }
}
