#include <gtest/gtest.h>

#include "support/Fixtures.h"

using namespace vel::test;

namespace {
nlohmann::json manifest(const std::string& name) {
    return loadJson(sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
}
// The rows of a --json listing, without their index, checking the index runs from 0.
nlohmann::json rowsOf(const CliResult& r) {
    nlohmann::json out = nlohmann::json::array();
    auto j = nlohmann::json::parse(r.out);
    for (std::size_t i = 0; i < j["volumes"].size(); ++i) {
        auto row = j["volumes"][i];
        EXPECT_EQ(row["index"], i);
        row.erase("index");
        out.push_back(row);
    }
    return out;
}
}  // namespace

TEST(VolumesCli, ListsTheTablesAndTheSectorScan) {
    std::string mbr = fixtureImage("part-mbr.img"), gpt = fixtureImage("part-gpt.img");
    std::string lost = fixtureImage("lost-volumes.img");
    CliResult standard = runCli({"volumes", mbr, "--json"});
    ASSERT_EQ(standard.exitCode, 0) << standard.err;
    EXPECT_EQ(rowsOf(standard), manifest("part-mbr")["standard"]);
    CliResult asGpt = runCli({"volumes", gpt, "--gpt", "--json"});
    ASSERT_EQ(asGpt.exitCode, 0) << asGpt.err;
    EXPECT_EQ(rowsOf(asGpt), manifest("part-gpt")["gpt"]);
    CliResult advance = runCli({"volumes", lost, "--advance", "--json"});
    ASSERT_EQ(advance.exitCode, 0) << advance.err;
    EXPECT_EQ(rowsOf(advance), manifest("lost-volumes")["advance"]);
    EXPECT_NE(advance.err.find("Scanning partition....."), std::string::npos);

    CliResult text = runCli({"volumes", mbr});
    ASSERT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("START_SECTOR"), std::string::npos);
    EXPECT_NE(text.out.find("1        FAT32                          34   MB        18432"),
              std::string::npos)
        << text.out;
}

TEST(VolumesCli, SectorRangeAndSkipOptions) {
    std::string lost = fixtureImage("lost-volumes.img");
    auto all = manifest("lost-volumes")["advance"];
    std::int64_t second = all[1]["startSector"];
    CliResult one = runCli({"volumes", lost, "--advance", "--start-sector", std::to_string(second),
                            "--end-sector", std::to_string(second), "--json"});
    ASSERT_EQ(one.exitCode, 0) << one.err;
    EXPECT_EQ(rowsOf(one), nlohmann::json::array({all[1]}));
    // A negative end drops the range: the whole disk again.
    CliResult whole = runCli({"volumes", lost, "--advance", "--start-sector",
                              std::to_string(second), "--end-sector", "-1", "--json"});
    EXPECT_EQ(rowsOf(whole), all);
    CliResult noSkip = runCli({"volumes", lost, "--advance", "--no-skip", "--json"});
    EXPECT_GT(rowsOf(noSkip).size(), all.size());
}

TEST(VolumesCli, BadUsage) {
    std::string mbr = fixtureImage("part-mbr.img");
    EXPECT_EQ(runCli({"volumes"}).exitCode, 2);
    EXPECT_EQ(runCli({"volumes", "/nonexistent/disk.img"}).exitCode, 2);
    EXPECT_EQ(runCli({"volumes", mbr, "--start-sector", "5"}).exitCode, 2);  // needs --advance
    EXPECT_EQ(runCli({"volumes", mbr, "--no-skip"}).exitCode, 2);
    // --volume of the other subcommands picks a row of this list.
    CliResult missing = runCli({"scan", mbr, "--volume", "9"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("no volume 9 (7 found)"), std::string::npos) << missing.err;
}
