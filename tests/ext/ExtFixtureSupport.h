#pragma once
// Scanned fixture volumes and the checks every fixture image gets against its manifest.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "device/FileReadSeek.h"
#include "fs/ext/ext2Class.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

namespace vel::test {

// Shown times are local: the tests run in a zone 5:30 east of UTC, without daylight saving.
inline constexpr std::int64_t kZoneOffset = 5 * 3600 + 30 * 60;
class ZoneEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ::setenv("TZ", "IST-5:30", 1);
        ::tzset();
    }
};
inline const auto* const kZone = ::testing::AddGlobalTestEnvironment(new ZoneEnvironment);

// The list's date text of a UTC time in that zone, worked out without the local-time functions.
inline std::string shownTime(std::int64_t utcSeconds) {
    std::time_t t = static_cast<std::time_t>(utcSeconds + kZoneOffset);
    std::tm tm{};
    gmtime_r(&t, &tm);
    int hour = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%d  %02d:%02d %s", tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_year + 1900, hour, tm.tm_min, tm.tm_hour < 12 ? "AM" : "PM");
    return text;
}

inline std::int64_t floorSeconds(std::int64_t ns) {
    return ns / 1000000000 - (ns % 1000000000 < 0);
}

struct Found {
    ItemData data;
    bool folder;
    bool deleted;
};

inline VolumeDescriptor descriptorFor(const std::string& image, std::int64_t startSector = 0) {
    auto bytes = static_cast<std::int64_t>(std::filesystem::file_size(image));
    return VolumeDescriptor{"extX", "", "", std::to_string((bytes - startSector * 512) / 1048576),
                            startSector};
}

// One scanned fixture volume and its manifest, shared by the tests of this file.
struct Volume {
    explicit Volume(const std::string& name)
        : image(fixtureImage(name + ".img")), parser(descriptorFor(image)) {
        manifest = loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
        if (!reader.openDevice(image)) throw std::runtime_error("cannot open " + image);
        parser.attach(&reader, &tree, &sink);
        result = parser.runWorker(1);
        walk(parser.rootEntry(), "");
    }
    void walk(ItemData folder, const std::string& prefix) {
        parser.forEachChild(folder, [&](ItemData c) {
            std::string path = prefix + parser.entryName(c);
            bool isDir = parser.isFolder(c);
            found.emplace(path, Found{c, isDir, parser.isDeleted(c, folder)});
            if (isDir) walk(c, path + "/");
            return true;
        });
    }
    const Found* at(const std::string& path) const {
        auto it = found.find(path);
        return it == found.end() ? nullptr : &it->second;
    }
    const ExtInode* inode(const std::string& path) const {
        const Found* f = at(path);
        if (!f) return nullptr;
        return parser.entryMap().inodeOf(
            parser.entryMap().entries[static_cast<std::size_t>(f->data)]);
    }
    // The kept inode fields of a listed path; a test fails (rather than crashes) without them.
    const ExtInode& kept(const std::string& path) const {
        const ExtInode* n = inode(path);
        if (!n) throw std::runtime_error("no inode kept for " + path);
        return *n;
    }

    std::string image;
    nlohmann::json manifest;
    FileReadSeek reader;
    ext2Class parser;
    MemoryTree tree;
    NullSink sink;
    WorkerResult result;
    std::multimap<std::string, Found> found;
};

inline Volume& volume(const std::string& name) {
    static std::map<std::string, std::unique_ptr<Volume>> volumes;
    auto& v = volumes[name];
    if (!v) v = std::make_unique<Volume>(name);
    return *v;
}

// What the manifest says is listed: every folder and file, and the folders mke2fs and the
// orphan walk add.
inline std::map<std::string, nlohmann::json> expectedListing(const Volume& v) {
    std::map<std::string, nlohmann::json> want;
    for (const auto& e : v.manifest["entries"])
        if (e["type"] != "special") want[e["path"]] = e;
    want["lost+found"] = {{"type", "dir"}, {"deleted", false}};
    for (const auto& [path, e] : want)
        if (path.rfind("ORPHAN_ENTRY/", 0) == 0) {
            want["ORPHAN_ENTRY"] = {{"type", "dir"}, {"deleted", false}};
            break;
        }
    return want;
}

// Every entry of the manifest listed with its name, type, deleted look and size, and no more.
inline void checkListing(Volume& v) {
    auto want = expectedListing(v);
    for (const auto& [path, e] : want) {
        ASSERT_EQ(v.found.count(path), 1u) << path;
        const Found& f = *v.at(path);
        EXPECT_EQ(f.folder, e["type"] == "dir") << path;
        EXPECT_EQ(f.deleted, e["deleted"].get<bool>()) << path;
        if (e["type"] != "file") continue;
        // A cleared map leaves size 0; a name whose inode is lost, or taken by another file,
        // has no size of its own.
        const bool none = e.value("zeroed", false) || e.value("inode_reused", false) ||
                          e.value("inode_lost", false);
        EXPECT_EQ(v.parser.entrySize(f.data), none ? 0 : e["size"].get<std::uint64_t>()) << path;
    }
    // Nothing more: no special files, no "." entries, no names made up from garbage.
    EXPECT_EQ(v.found.size(), want.size());
    EXPECT_EQ(v.parser.unreadableReads(), 0u);
}

// Every intact file saved byte-exact with its exact times; the others failed or incomplete.
inline void checkSaves(Volume& v) {
    TempDir out;
    StopFlag stop;
    FolderSaver saver(v.parser, v.sink, stop);
    std::map<std::string, RecordedTimes> reported;
    saver.onFileDone = [&](const SaveRecord& f) { reported[f.originalPath] = f.times; };
    SaveReport report = saver.saveItem(v.tree, v.tree.firstChild(kNoItem), out.path());
    std::set<std::string> failures;
    for (const SaveFailure& f : report.failures) failures.insert(f.path);
    const std::set<std::string> incomplete(report.incomplete.begin(), report.incomplete.end());
    std::size_t files = 0, lost = 0;
    for (const auto& e : v.manifest["entries"]) {
        if (e["type"] != "file") continue;
        ++files;
        std::string path = e["path"];
        std::string saved = out.file(path);
        struct stat st {};
        if (!e["intact"].get<bool>()) {
            // Reported as failed or incomplete, never saved under its own name as if whole.
            ++lost;
            EXPECT_EQ(failures.count(saved) + incomplete.count(saved + ".incomplete"), 1u) << path;
            EXPECT_NE(::lstat(saved.c_str(), &st), 0) << path;
            continue;
        }
        ASSERT_EQ(::lstat(saved.c_str(), &st), 0) << path;
        // Links are saved as files holding their target.
        EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
        EXPECT_EQ(failures.count(saved), 0u) << path;
        EXPECT_EQ(sha256File(saved), e["sha256"].get<std::string>()) << path;
        const std::int64_t mtime = e["mtime_ns"], atime = e["atime_ns"];
        EXPECT_EQ(st.st_mtim.tv_sec, floorSeconds(mtime)) << path;
        EXPECT_EQ(st.st_mtim.tv_nsec, mtime - floorSeconds(mtime) * 1000000000) << path;
        EXPECT_EQ(st.st_atim.tv_sec, floorSeconds(atime)) << path;
        EXPECT_EQ(st.st_atim.tv_nsec, atime - floorSeconds(atime) * 1000000000) << path;
        // The report tells the same times.
        const RecordedTimes& told = reported[path];
        ASSERT_TRUE(told.modified && told.accessed) << path;
        EXPECT_EQ(told.modified->seconds, floorSeconds(mtime)) << path;
        EXPECT_EQ(told.accessed->seconds, floorSeconds(atime)) << path;
        // The list shows the same instant in local time.
        EXPECT_EQ(v.parser.entryColumns(v.at(path)->data).modified, shownTime(floorSeconds(mtime)))
            << path;
    }
    // Folders get their recorded times after their files.
    for (const auto& e : v.manifest["entries"]) {
        if (e["type"] != "dir" || e["deleted"].get<bool>()) continue;
        const std::string path = e["path"];
        const std::optional<HostTime> modified = v.parser.recordedTimes(v.at(path)->data).modified;
        struct stat st {};
        ASSERT_TRUE(modified) << path;
        ASSERT_EQ(::stat(out.file(path).c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mtim.tv_sec, modified->seconds) << path;
    }
    EXPECT_EQ(report.filesHandled, static_cast<std::int64_t>(files));
    EXPECT_EQ(report.failures.size() + report.incomplete.size(), lost);
}

}  // namespace vel::test
