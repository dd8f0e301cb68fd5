// The command line on disk images in each format: listed and saved as their raw disks are.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/Fixtures.h"

using namespace vel::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> volumeArgs(const nlohmann::json& source) {
    if (source["volume_start_sector"].get<int>() == 0) return {};
    return {"--volume", "0"};
}

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every live file of the volume's manifest was saved with its bytes.
void expectSavedAsManifest(const std::string& out, const nlohmann::json& source) {
    auto manifest =
        loadJson(sourceDir() + "/tests/fixtures/images/" + source["manifest"].get<std::string>());
    int checked = 0;
    for (const auto& e : manifest["entries"]) {
        if (e["type"] != "file" || e["deleted"].get<bool>()) continue;
        EXPECT_EQ(sha256File(out + "/" + e["path"].get<std::string>()), e["sha256"]) << e["path"];
        ++checked;
    }
    EXPECT_GT(checked, 3);
}

}  // namespace

TEST(ImageCli, EveryFormatListsAndSavesAsItsRawDisk) {
    const auto& manifest = formatsManifest();
    std::map<std::string, std::string> rawListing;
    for (const auto& image : manifest["images"]) {
        const std::string file = image["file"];
        SCOPED_TRACE(file);
        const std::string sourceName = image["source"];
        const auto& source = manifest["sources"][sourceName];
        const std::string path = formatImage(file);
        if (!rawListing.count(sourceName)) {
            CliResult raw =
                runCli(join({"scan", fixtureImage(sourceName), "--json"}, volumeArgs(source)));
            ASSERT_EQ(raw.exitCode, 0) << raw.err;
            scanJsonByPath(raw.out);
            rawListing[sourceName] = raw.out;
        }
        CliResult scan = runCli(join({"scan", path, "--json"}, volumeArgs(source)));
        ASSERT_EQ(scan.exitCode, 0) << scan.err;
        EXPECT_EQ(scan.out, rawListing[sourceName]);

        TempDir out;
        CliResult save = runCli(join({"save", path, "--out", out.path()}, volumeArgs(source)));
        ASSERT_EQ(save.exitCode, 0) << save.err;
        expectSavedAsManifest(out.path(), source);
    }
}

TEST(ImageCli, VolumesAndDrivesTellTheFormatAndVerifyTheStoredHash) {
    const auto& manifest = formatsManifest();
    for (const auto& image : manifest["images"]) {
        if (!image.contains("case")) continue;
        const std::string path = formatImage(image["file"]);
        const auto& source = manifest["sources"][image["source"].get<std::string>()];
        CliResult r = runCli({"volumes", path, "--json", "--verify"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        auto j = nlohmann::json::parse(r.out)["image"];
        EXPECT_EQ(j["format"], "EWF");
        EXPECT_EQ(j["media_size"], source["media_size"]);
        EXPECT_EQ(j["md5"], image["md5"]);
        EXPECT_EQ(j["sha1"], image["sha1"]);
        for (const auto& [key, value] : image["case"].items()) EXPECT_EQ(j[key], value) << key;
        EXPECT_EQ(j["verify"]["md5"], source["md5"]);
        EXPECT_EQ(j["verify"]["md5_matches"], true);
        EXPECT_EQ(j["verify"]["sha1_matches"], true);
        EXPECT_EQ(j["verify"]["verified"], true);
        EXPECT_NE(r.err.find("MD5 verified"), std::string::npos);
    }

    // A raw image has nothing stored; verifying it only tells its hashes.
    const std::string raw = fixtureImage("formats-ntfs.img");
    CliResult plain = runCli({"volumes", raw, "--json", "--verify"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    auto p = nlohmann::json::parse(plain.out)["image"];
    EXPECT_EQ(p["format"], "raw");
    EXPECT_TRUE(p["md5"].is_null());
    EXPECT_TRUE(p["verify"]["md5_matches"].is_null());
    EXPECT_TRUE(p["verify"]["verified"].is_null());
    EXPECT_EQ(p["verify"]["md5"], manifest["sources"]["formats-ntfs.img"]["md5"]);

    // Data changed under a chunk: the chunk fails its checksum and reads as unreadable, so the
    // image cannot be verified (whatever the hash over the zeros says).
    TempDir dir;
    formatImage("formats-fat32.E01");
    for (int n = 1; n <= 5; ++n) {
        const std::string name = "formats-fat32.E0" + std::to_string(n);
        fs::copy_file(fixtureImage(name), dir.file(name));
    }
    {
        std::fstream f(dir.file("formats-fat32.E01"),
                       std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4 << 20);
        f.write("changed", 7);
    }
    CliResult changed = runCli({"volumes", dir.file("formats-fat32.E01"), "--json", "--verify"});
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_NE(changed.err.find("32768 bytes could not be read: the image cannot be verified"),
              std::string::npos)
        << changed.err;
    auto c = nlohmann::json::parse(changed.out);
    EXPECT_EQ(c["image"]["verify"]["verified"], false);
    EXPECT_EQ(c["unreadable_sectors"].get<int>(), 64);  // the one chunk

    CliResult drives = runCli(
        {"drives", "--json", formatImage("formats-ntfs.vhdx"), formatImage("formats-fat32.aa")});
    ASSERT_EQ(drives.exitCode, 0) << drives.err;
    const auto drivesJson = nlohmann::json::parse(drives.out);
    std::map<std::string, nlohmann::json> listed;
    for (const auto& d : drivesJson["physical_drives"])
        listed[fs::path(d["devicePath"].get<std::string>()).filename().string()] = d;
    EXPECT_EQ(listed["formats-ntfs.vhdx"]["format"], "VHDX");
    EXPECT_EQ(listed["formats-ntfs.vhdx"]["media_size"], 16 << 20);
    EXPECT_EQ(listed["formats-fat32.aa"]["format"], "split raw");
    EXPECT_EQ(listed["formats-fat32.aa"]["media_size"],
              manifest["sources"]["fat32-mkfs.img"]["media_size"]);
}

TEST(ImageCli, AMissingSegmentIsToldAndTheRestIsRead) {
    TempDir dir;
    formatImage("formats-fat32.E01");
    for (int n : {1, 3, 4, 5}) {
        const std::string name = "formats-fat32.E0" + std::to_string(n);
        fs::copy_file(fixtureImage(name), dir.file(name));
    }
    const auto& source = formatsManifest()["sources"]["fat32-mkfs.img"];
    // The volume's files lie in the first segment: all of them come back.
    CliResult scan = runCli({"scan", dir.file("formats-fat32.E01"), "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    EXPECT_NE(scan.err.find("formats-fat32.E02 is missing: sectors "), std::string::npos)
        << scan.err;
    EXPECT_EQ(scan.out, runCli({"scan", fixtureImage("fat32-mkfs.img"), "--json"}).out);
    TempDir out;
    CliResult save = runCli({"save", dir.file("formats-fat32.E03"), "--out", out.path()});
    ASSERT_EQ(save.exitCode, 0) << save.err;
    EXPECT_NE(save.err.find("formats-fat32.E02 is missing"), std::string::npos);
    expectSavedAsManifest(out.path(), source);

    // Reading the whole image meets the gap: its sectors are counted as unreadable.
    CliResult verify = runCli({"volumes", dir.file("formats-fat32.E01"), "--json", "--verify"});
    EXPECT_EQ(verify.exitCode, 1);
    auto j = nlohmann::json::parse(verify.out);
    EXPECT_GT(j["unreadable_sectors"].get<std::int64_t>(), 0);
    EXPECT_EQ(j["image"]["problems"].size(), 4u);  // the missing one, and three not read
    // The hashes are read from the last segment all the same.
    EXPECT_EQ(j["image"]["md5"], source["md5"]);
    EXPECT_EQ(j["image"]["sha1"], source["sha1"]);
    EXPECT_EQ(j["image"]["verify"]["verified"], false);
}
