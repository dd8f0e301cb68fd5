// Saving real volume images, whole and damaged, and the recovery report checked against what
// was saved, against the manifest and, for the byte runs, against The Sleuth Kit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <pugixml.hpp>
#include <sstream>

#include "fs/common/FileSystemTable.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "scan/RecoveryReport.h"
#include "scan/ResultsWalk.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

struct Image {
    const char* name;
    const char* fileSystem;
};
// ctest shows the image's name, not the struct's bytes.
void PrintTo(const Image& image, std::ostream* os) {
    *os << image.name;
}

struct Scan {
    Scan(const Image& image, std::shared_ptr<MemorySource> src) : source(std::move(src)) {
        VolumeDescriptor v{image.fileSystem, "", "0", std::to_string(source->byteSize() >> 20), 0};
        parser = createParser(FileSystemTable::builtin(), v, ParserOptions{});
        parser->attach(source.get(), &tree, &sink);
        parser->runWorker(1);
        top = tree.firstChild(kNoItem);
    }
    std::shared_ptr<MemorySource> source;
    std::unique_ptr<VolumeParser> parser;
    MemoryTree tree;
    NullSink sink;
    TreeItem top = kNoItem;
};

std::shared_ptr<MemorySource> inMemory(const std::string& name) {
    return std::make_shared<MemorySource>(readFile(fixtureImage(name + ".img")));
}

struct Saved {
    SaveReport report;
    std::map<std::string, SaveRecord> files;  // by original path
    std::string reportPath;
};

Saved saveAll(Scan& scan, const std::string& out, const std::string& image) {
    Saved s;
    StopFlag stop;
    FolderSaver saver(*scan.parser, scan.sink, stop);
    auto report = RecoveryReport::intoFolder(out);
    std::string error;
    EXPECT_TRUE(report->begin({image, scan.source->byteSize(), ""},
                              {scan.parser->volume.fileSystem, 0, 0}, "test", error))
        << error;
    saver.onFileDone = [&](const SaveRecord& f) {
        report->add(f);
        s.files[f.originalPath] = f;
    };
    s.report = saver.saveItem(scan.tree, scan.top, out);
    EXPECT_TRUE(report->finish(s.report, error)) << error;
    s.reportPath = report->path();
    return s;
}

class SaveImage : public ::testing::TestWithParam<Image> {};

}  // namespace

TEST_P(SaveImage, TheReportListsEveryFileAndAgreesWithWhatWasSaved) {
    const Image& image = GetParam();
    Scan scan(image, inMemory(image.name));
    TempDir out;
    Saved saved = saveAll(scan, out.path(), image.name);
    ASSERT_EQ(saved.reportPath, out.file("recovery-report.xml"));

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(saved.reportPath.c_str()));
    pugi::xml_node dfxml = doc.child("dfxml");
    EXPECT_STREQ(dfxml.child("source").child_value("image_filename"), image.name);
    pugi::xml_node volume = dfxml.child("volume");
    EXPECT_STREQ(volume.child_value("ftype_str"), image.fileSystem);
    std::int64_t listed = 0, whole = 0;
    for (pugi::xml_node f : volume.children("fileobject")) {
        ++listed;
        const std::string status = f.child_value("vellorine:status");
        const std::string path = f.child_value("vellorine:saved_path");
        if (status == "whole" || status == "incomplete") {
            ASSERT_FALSE(path.empty());
            EXPECT_EQ(sha256File(out.file(path)), f.child_value("hashdigest")) << path;
            EXPECT_EQ(fs::file_size(out.file(path)),
                      f.child("vellorine:saved_size").text().as_ullong());
        } else {
            EXPECT_TRUE(path.empty());
            EXPECT_TRUE(*f.child_value("vellorine:reason"));
        }
        whole += status == "whole";
    }
    EXPECT_EQ(listed, saved.report.filesHandled);
    EXPECT_EQ(whole, saved.report.filesWritten);
    pugi::xml_node summary = dfxml.child("vellorine:summary");
    EXPECT_EQ(summary.attribute("whole").as_llong(), saved.report.filesWritten);
    EXPECT_STREQ(summary.attribute("stopped").value(), "false");

    // Every intact file of the manifest is there whole, with its hash.
    auto manifest =
        loadJson(sourceDir() + "/tests/fixtures/images/" + image.name + ".manifest.json");
    int checked = 0;
    for (const auto& e : manifest["entries"]) {
        if (e["type"] != "file" || e["deleted"].get<bool>() || !e.value("intact", true)) continue;
        std::string key = e["path"];
        auto it = saved.files.find(key);
        if (it == saved.files.end()) {
            // Short names on FAT volumes without long names are upper case.
            for (auto& [p, f] : saved.files)
                if (strcasecmp(p.c_str(), key.c_str()) == 0) it = saved.files.find(p);
        }
        ASSERT_NE(it, saved.files.end()) << key;
        EXPECT_EQ(it->second.status, SaveStatus::Whole) << key;
        EXPECT_EQ(it->second.sha256, e["sha256"].get<std::string>()) << key;
        ++checked;
    }
    EXPECT_GT(checked, 3);
}

TEST_P(SaveImage, ATruncatedImageNeverGivesAFalseRecovery) {
    const Image& image = GetParam();
    // Cut through the middle of the largest stretch of file data: the tables stay.
    std::int64_t cut = 0;
    {
        Scan clean(image, inMemory(image.name));
        TempDir first;
        std::uint64_t longest = 0;
        for (const auto& [path, f] : saveAll(clean, first.path(), image.name).files)
            for (const ByteRun& r : f.runs)
                if (r.kind == ByteRun::Kind::Data && r.length > longest) {
                    longest = r.length;
                    cut = (r.volumeOffset + static_cast<std::int64_t>(r.length) / 2) / 512 * 512;
                }
    }
    ASSERT_GT(cut, 0);
    auto source = inMemory(image.name);
    source->bytes().resize(static_cast<std::size_t>(cut));
    source->resized();
    Scan scan(image, source);
    TempDir out;
    Saved saved = saveAll(scan, out.path(), image.name);
    auto manifest =
        loadJson(sourceDir() + "/tests/fixtures/images/" + image.name + ".manifest.json");
    std::map<std::string, std::string> truth;
    for (const auto& e : manifest["entries"])
        if (e["type"] == "file" && !e["deleted"].get<bool>()) truth[e["path"]] = e["sha256"];
    int notWhole = 0;
    for (const auto& [path, f] : saved.files) {
        if (f.status != SaveStatus::Whole) ++notWhole;
        if (f.status == SaveStatus::Incomplete) {
            EXPECT_NE(f.savedPath.find(".incomplete"), std::string::npos) << path;
            EXPECT_FALSE(f.damage.empty()) << path;
        }
        if (f.status != SaveStatus::Whole || !truth.count(path)) continue;
        EXPECT_EQ(f.sha256, truth[path]) << path;
        EXPECT_EQ(sha256File(out.file(f.savedPath)), truth[path]) << path;
    }
    EXPECT_GT(notWhole, 0);
    for (const auto& e : fs::recursive_directory_iterator(out.path()))
        EXPECT_EQ(e.path().filename().string().rfind(".vellorine-", 0), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Images, SaveImage,
                         ::testing::Values(Image{"ntfs-basic", "NTFS"},
                                           Image{"fat32-mkfs", "FAT32"},
                                           Image{"fat16-msdos", "FAT16"},
                                           Image{"exfat-basic", "FAT64"}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST(SaveNtfsImage, AnUnreadableSpotInsideAFileCostsOnlyThatSpot) {
    const Image image{"ntfs-basic", "NTFS"};
    TempDir first;
    std::int64_t start = 0;
    {
        Scan clean(image, inMemory(image.name));
        Saved saved = saveAll(clean, first.path(), image.name);
        const SaveRecord& big = saved.files.at("big.bin");
        ASSERT_EQ(big.runs.size(), 1u);
        start = big.runs[0].volumeOffset;
    }
    const std::string original = readFile(first.file("big.bin"));
    auto source = inMemory(image.name);
    source->failSectors((start + (1 << 20)) / 512, 16);  // 8 KiB, 1 MiB into the file
    Scan scan(image, source);
    TempDir out;
    Saved saved = saveAll(scan, out.path(), image.name);
    const SaveRecord& big = saved.files.at("big.bin");
    EXPECT_EQ(big.status, SaveStatus::Incomplete);
    EXPECT_EQ(big.savedPath, "big.bin.incomplete");
    EXPECT_FALSE(fs::exists(out.file("big.bin")));
    std::string expected = original;
    std::fill(expected.begin() + (1 << 20), expected.begin() + (1 << 20) + 8192, '\0');
    EXPECT_TRUE(readFile(out.file("big.bin.incomplete")) == expected);
    ASSERT_EQ(big.damage.size(), 1u);
    EXPECT_EQ(big.damage[0].fileOffset, 1u << 20);
    EXPECT_EQ(big.damage[0].imageOffset, start + (1 << 20));
    EXPECT_EQ(big.damage[0].length, 8192u);
    EXPECT_EQ(big.reason, "8192 bytes unreadable, saved as zeros");
    EXPECT_EQ(saved.report.incomplete, std::vector<std::string>{out.file("big.bin.incomplete")});
}

namespace {
// Clusters of the non-sparse runs, neighbours on the volume joined.
using ClusterRuns = std::vector<std::pair<std::int64_t, std::int64_t>>;
void join(ClusterRuns& runs, std::int64_t start, std::int64_t length) {
    if (!runs.empty() && runs.back().first + runs.back().second == start)
        runs.back().second += length;
    else
        runs.emplace_back(start, length);
}

ClusterRuns sleuthKitRuns(const std::string& image, ItemData record) {
    ClusterRuns runs;
    std::string command = "istat -r -f ntfs '" + image + "' " + std::to_string(record) + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return runs;
    char line[512];
    bool inData = false;
    while (std::fgets(line, sizeof line, p)) {
        std::string s = line;
        if (s.rfind("Type: ", 0) == 0) inData = s.rfind("Type: $DATA", 0) == 0;
        long long start = 0, length = 0;
        if (inData &&
            std::sscanf(line, "  Starting address: %lld, length: %lld", &start, &length) == 2)
            join(runs, start, length);
    }
    ::pclose(p);
    return runs;
}
}  // namespace

TEST(SaveNtfsImage, ByteRunsAreTheOnesTheSleuthKitReads) {
    if (std::system("command -v istat > /dev/null 2>&1") != 0) GTEST_SKIP() << "no istat";
    const Image image{"ntfs-basic", "NTFS"};
    Scan scan(image, inMemory(image.name));
    TempDir out;
    Saved saved = saveAll(scan, out.path(), image.name);
    for (const char* path : {"big.bin", "sparse.bin", "listed/many-runs.bin", "packed/text.txt",
                             "packed/with-zero-unit.txt"}) {
        FoundPath found =
            findResultPath(*scan.parser, scan.tree, scan.top, std::string("ROOT/") + path);
        ASSERT_TRUE(found.found) << path;
        ClusterRuns ours;
        for (const ByteRun& r : saved.files.at(path).runs)
            if (r.kind == ByteRun::Kind::Data)
                join(ours, r.volumeOffset / 4096,
                     (static_cast<std::int64_t>(r.length) + 4095) / 4096);
        ClusterRuns theirs = sleuthKitRuns(fixtureImage("ntfs-basic.img"), found.data);
        ASSERT_FALSE(theirs.empty()) << path;
        EXPECT_EQ(ours, theirs) << path;
    }
}

TEST(ReportTimes, AreUtcWithTheFractionCutToItsLastDigit) {
    const std::pair<HostTime, const char*> cases[] = {
        {{0, 0}, "1970-01-01T00:00:00Z"},
        {{-1, 0}, "1969-12-31T23:59:59Z"},
        {{1500000000, 5}, "2017-07-14T02:40:00.000000005Z"},
        {{1400000000, 120000000}, "2014-05-13T16:53:20.12Z"},
        {{951782400, 999999999}, "2000-02-29T00:00:00.999999999Z"},
        {{-11644473600, 0}, "1601-01-01T00:00:00Z"},  // the NTFS epoch
        {{253402300800, 0}, "10000-01-01T00:00:00Z"},
    };
    for (const auto& [time, expected] : cases) EXPECT_EQ(isoTime(time), expected) << time.seconds;
}
