// The command line on the damaged fixtures: volumes found through backup boot sectors and the
// backup GPT are scanned and saved whole; a disk given where a volume was expected is listed,
// never scanned as a volume.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <algorithm>

#include <ctime>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "support/Fixtures.h"

using namespace vel::test;

namespace {

nlohmann::json manifest(const std::string& name) {
    return loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
}

// Every live file of a volume's manifest is saved under dir byte-exact with its time; a failed
// save (exit 1) may only concern deleted files whose data is gone.
void expectSaved(const CliResult& save, const std::string& contents, const std::string& dir) {
    const nlohmann::json m = manifest(contents);
    std::set<std::string> lost;
    int checked = 0;
    for (const auto& e : m["entries"]) {
        const std::string path = dir + "/" + e["path"].get<std::string>();
        if (e["deleted"].get<bool>() && !e.value("intact", false)) lost.insert(path);
        if (e["type"] != "file" || e["deleted"].get<bool>() || !e.value("intact", true)) continue;
        std::int64_t mtime;
        if (e.contains("dos_mtime")) {  // FAT: local calendar time, kept as if it were UTC
            std::tm tm{};
            strptime(e["dos_mtime"].get<std::string>().c_str(), "%Y-%m-%d %H:%M:%S", &tm);
            mtime = timegm(&tm);
        } else {  // exFAT keeps two-second steps, NTFS the time as it was
            mtime = e["mtime"];
            if (m["filesystem"] == "exFAT") mtime -= (mtime % 2 + 2) % 2;
        }
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(sha256File(path), e["sha256"].get<std::string>()) << path;
        EXPECT_EQ(st.st_mtime, mtime) << path;
        ++checked;
    }
    EXPECT_GT(checked, 3) << contents;
    std::istringstream err(save.err);
    int failed = 0;
    // Only files the manifest calls lost may come back short: failed, or marked incomplete.
    const std::string notSaved = "not saved: ",
                      incomplete = "incomplete (what could be read, not under its own name): ";
    for (std::string line; std::getline(err, line);) {
        if (line.rfind(notSaved, 0) == 0) {
            const std::string rest = line.substr(notSaved.size());
            EXPECT_TRUE(std::any_of(lost.begin(), lost.end(), [&](const std::string& p) {
                return rest.rfind(p + ": ", 0) == 0;
            })) << line;
        } else if (line.rfind(incomplete, 0) == 0) {
            std::string path = line.substr(incomplete.size());
            ASSERT_GT(path.size(), 11u) << line;
            EXPECT_EQ(path.substr(path.size() - 11), ".incomplete") << line;
            EXPECT_TRUE(lost.count(path.substr(0, path.size() - 11))) << line;
        } else {
            continue;
        }
        ++failed;
    }
    EXPECT_EQ(save.exitCode, failed > 0 ? 1 : 0) << save.err;
}

nlohmann::json listed(const CliResult& r) {
    const nlohmann::json all = nlohmann::json::parse(r.out);
    nlohmann::json rows = nlohmann::json::array();
    for (auto row : all["volumes"]) {
        row.erase("index");
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

TEST(DamagedCli, BareVolumesAreReadThroughTheirBackupBootSectors) {
    for (const char* name : {"fat32-boot0", "exfat-boot0", "ntfs-boot0"}) {
        const nlohmann::json m = manifest(name);
        const auto& volume = m["volumes"][0];
        const std::string image = fixtureImage(std::string(name) + ".img");
        const std::string told = "read from its backup copy at sector " +
                                 std::to_string(volume["backupBootSector"].get<long long>());
        CliResult list = runCli({"volumes", image, "--json"});
        EXPECT_EQ(listed(list), m["standard"]) << name;

        CliResult scan = runCli({"scan", image, "--json"});
        ASSERT_EQ(scan.exitCode, 0) << name << scan.err;
        EXPECT_NE(scan.err.find(told), std::string::npos) << name << scan.err;
        scanJsonByPath(scan.out);

        TempDir out;
        CliResult save = runCli({"save", image, "--out", out.path()});
        EXPECT_NE(save.err.find(told), std::string::npos) << name;
        expectSaved(save, volume["contents"], out.path());
    }
}

TEST(DamagedCli, TheBackupGptListsAndSavesEveryPartition) {
    const nlohmann::json m = manifest("gpt-backup");
    const std::string image = fixtureImage("gpt-backup.img");
    CliResult list = runCli({"volumes", image, "--json"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(listed(list), m["standard"]);
    EXPECT_NE(
        list.err.find("the backup GPT at sector " + std::to_string(m["sectors"].get<int>() - 1)),
        std::string::npos)
        << list.err;
    for (std::size_t index = 0; index < m["volumes"].size(); ++index) {
        const auto& volume = m["volumes"][index];
        ASSERT_EQ(m["standard"][index]["startSector"], volume["startSector"]);
        TempDir out;
        CliResult save =
            runCli({"save", image, "--volume", std::to_string(index), "--out", out.path()});
        expectSaved(save, volume["contents"], out.path());
    }
}

TEST(DamagedCli, ADiskWithoutItsTableIsListedNotScanned) {
    const nlohmann::json m = manifest("mbr-zeroed");
    const std::string image = fixtureImage("mbr-zeroed.img");
    CliResult list = runCli({"volumes", image, "--json"});
    EXPECT_EQ(listed(list), nlohmann::json::array());
    EXPECT_EQ(nlohmann::json::parse(list.out)["notes"],
              nlohmann::json::array({"no partition table found; try Advance Scan"}));
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"scan", image},
          std::vector<std::string>{"save", image, "--out", dir.path()}}) {
        CliResult r = runCli(args);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        for (const auto& row : m["advance"])  // what the Advance Scan found, to choose from
            EXPECT_NE(r.err.find(row["fileSystem"].get<std::string>() + "  " +
                                 row["sizeText"].get<std::string>() + "  start " +
                                 std::to_string(row["startSector"].get<long long>())),
                      std::string::npos)
                << r.err;
    }
    const auto& fat32 = m["volumes"][0];
    CliResult save = runCli({"save", image, "--start-sector",
                             std::to_string(fat32["startSector"].get<long long>()), "--fs", "FAT32",
                             "--out", dir.path()});
    expectSaved(save, fat32["contents"], dir.path());
}

TEST(DamagedCli, WhatCannotBeAVolumeIsRefusedSayingWhy) {
    TempDir dir;
    std::string noise(4 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    noise[510] = 0;  // no table signature
    writeFile(dir.file("noise.img"), noise);
    const std::string fat32 = fixtureImage("fat32-boot0.img"),
                      fat16 = fixtureImage("fat16-boot0.img");
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* says;
    } cases[] = {
        {{"scan", dir.file("noise.img")}, 2, "the Advance Scan found no volume either"},
        {{"scan", fat16}, 2, "the Advance Scan found no volume either"},
        {{"scan", fat16, "--start-sector", "0", "--fs", "FAT16"},
         1,
         "Selected Drive is not in Fat16 Format\nno FAT12/16 boot sector at the start of the "
         "volume (FAT12/16 keep no backup copy)"},
        {{"scan", fat32, "--start-sector", "99999999", "--size-mb", "10", "--fs", "NTFS"},
         2,
         "lies past the end of the source"},
        {{"scan", fat32, "--start-sector", "67000", "--size-mb", "10", "--fs", "FAT32"},
         2,
         "runs past the end of the source"},
    };
    for (const Case& c : cases) {
        CliResult r = runCli(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    CliResult list = runCli({"volumes", dir.file("noise.img"), "--json"});
    EXPECT_EQ(listed(list), nlohmann::json::array());
}

TEST(DamagedCli, AnEmptyVolumeSaysSoAndSucceeds) {
    // The floppy with its root directory cleared: a sound volume that lists nothing.
    std::string bytes = readFile(fixtureImage("fat12-mkfs.img"));
    auto u16 = [&](std::size_t at) {
        return std::size_t{static_cast<unsigned char>(bytes[at])} |
               std::size_t{static_cast<unsigned char>(bytes[at + 1])} << 8;
    };
    const std::size_t root = (u16(14) + static_cast<unsigned char>(bytes[16]) * u16(22)) * u16(11);
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(root), u16(17) * 32, '\0');
    TempDir dir;
    writeFile(dir.file("empty.img"), bytes);
    CliResult r = runCli({"scan", dir.file("empty.img")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("the volume holds no files"), std::string::npos) << r.err;
    EXPECT_EQ(runCli({"scan", fixtureImage("fat12-mkfs.img")}).err.find("holds no files"),
              std::string::npos);
}

// Volumes whose boot sectors and every copy are gone: the advanced mode finds the FATs, measures
// the cluster size (and the exFAT heap) from the folders, and rebuilds the tree with names and
// folders.
TEST(DamagedCli, AdvancedModeRebuildsVolumesWithoutBootSectors) {
    struct Case {
        const char* name;
        std::size_t tables;  // the FAT copies found
        std::string detected, placed;
        std::vector<std::string> paths;  // a nested file, one far down a big folder, a deleted one
        std::string wrongSpc, wrongSize;
    } cases[] = {
        {"fat32-noboot",
         2,
         "1",
         "data from byte ",
         {"ROOT/DOCS/Sub folder/deep file with long name.txt",
          "ROOT/Many Files/entry number 150 with a long name.txt",
          "ROOT/Old Projects/plan for the project.txt"},
         "64",
         "clusters of 32768 bytes"},
        {"fat16-noboot",
         2,
         "2",
         "data from byte ",
         {"ROOT/DOCS/Sub folder/deep file with long name.txt",
          "ROOT/Many Files/entry number 200 with a long name.txt",
          "ROOT/Old Projects/plan for the project.txt"},
         "64",
         "clusters of 32768 bytes"},
        // exFAT lists cluster sizes as powers of two.
        {"exfat-noboot",
         1,
         "3",
         "heap from byte ",
         {"ROOT/docs/letters/old/first.txt", "ROOT/many/entry-with-a-longer-name-150.dat",
          "ROOT/trash/inner/t2.bin"},
         "9",
         "clusters of 262144 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const nlohmann::json m = manifest(c.name);
        const auto& geometry = m["geometry"];
        const std::string image = fixtureImage(std::string(c.name) + ".img");
        const std::vector<std::string> volume = {
            "--start-sector", "0",       "--fs", m["volume"]["fileSystem"].get<std::string>(),
            "--mode",         "advanced"};
        auto with = [&](std::vector<std::string> head, std::vector<std::string> tail) {
            head.insert(head.end(), volume.begin(), volume.end());
            head.insert(head.end(), tail.begin(), tail.end());
            return head;
        };

        // Without a pick: the FAT copies, the second a FAT's size after the first, and the
        // measured cluster size (and heap) first in their lists.
        CliResult list = runCli(with({"scan", image, "--json"}, {}));
        EXPECT_EQ(list.exitCode, 2);
        std::map<std::string, std::vector<nlohmann::json>> listed;
        std::istringstream lines(list.out);
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json j = nlohmann::json::parse(line);
            listed[j["type"]].push_back(j);
        }
        const long long fat = geometry["fatStart"], bytes = geometry["fatBytes"],
                        data = geometry["dataStart"];
        const auto& tables = listed["candidate"];
        ASSERT_EQ(tables.size(), c.tables) << list.out;
        EXPECT_EQ(tables[0]["note"], "FAT at byte " + std::to_string(fat));
        if (c.tables > 1) {
            EXPECT_NE(tables[1]["note"].get<std::string>().find(
                          "FAT at byte " + std::to_string(fat + bytes) + "; a copy of"),
                      std::string::npos);
        }
        if (std::string(c.name) == "exfat-noboot") {
            ASSERT_FALSE(listed["heap"].empty());
            EXPECT_EQ(listed["heap"][0]["note"],
                      "heap at byte " + std::to_string(data) + " (detected)");
        }
        ASSERT_FALSE(listed["sectors_per_cluster"].empty());
        EXPECT_EQ(listed["sectors_per_cluster"][0]["text"], c.detected + " (detected)");

        // Every FAT copy with the detected geometry saves every live file whole with its time.
        for (std::size_t k = 0; k < c.tables; ++k) {
            TempDir out;
            CliResult save = runCli(
                with({"save", image, "--out", out.path()}, {"--candidate", std::to_string(k)}));
            EXPECT_NE(save.err.find(c.placed + std::to_string(data)), std::string::npos)
                << save.err;
            expectSaved(save, m["contents"], out.path());
        }

        // The tree keeps its folders and the deleted entries the volume still holds.
        CliResult scan = runCli(with({"scan", image, "--json"}, {"--candidate", "0"}));
        ASSERT_EQ(scan.exitCode, 0) << scan.err;
        const auto items = scanJsonByPath(scan.out);
        for (const std::string& path : c.paths) EXPECT_TRUE(items.count(path)) << path;
        EXPECT_TRUE(items.at(c.paths.back())["deleted"].get<bool>());

        // An explicit cluster size wins over the measured one, even when it is wrong.
        CliResult wrong = runCli(with({"scan", image}, {"--candidate", "0", "--spc", c.wrongSpc}));
        EXPECT_NE(wrong.err.find(c.wrongSize), std::string::npos) << wrong.err;
    }
}
