// The command line over the FAT parsers: a floppy and a FAT32 volume, listed and saved.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "support/Fixtures.h"

namespace vel {
namespace {

using test::runCli;

std::map<std::string, nlohmann::json> scanLines(const std::string& image) {
    test::CliResult r = runCli({"scan", image, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return test::scanJsonByPath(r.out);
}

TEST(FatCli, ScanListsDeletedEntriesAndSaveWritesAFolder) {
    for (std::string name : {"fat12-msdos", "fat32-mkfs"}) {
        std::string image = test::fixtureImage(name + ".img");
        auto manifest =
            test::loadJson(test::sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json");
        auto lines = scanLines(image);
        ASSERT_TRUE(lines.count("ROOT")) << name;
        const auto& plan = lines["ROOT/Old Projects/plan for the project.txt"];
        ASSERT_TRUE(plan.is_object()) << name;
        EXPECT_EQ(plan["type"], "file");
        EXPECT_TRUE(plan["deleted"].get<bool>());
        EXPECT_EQ(lines["ROOT/DOCS"]["type"], "dir");
        EXPECT_FALSE(lines["ROOT/readonly.txt"]["deleted"].get<bool>());
        EXPECT_NE(lines["ROOT/readonly.txt"]["attributes"].get<std::string>().find("-R"),
                  std::string::npos);

        test::TempDir out;
        test::CliResult saved = runCli({"save", image, "--out", out.path(), "--path", "ROOT/DOCS"});
        EXPECT_EQ(saved.exitCode, 0) << saved.err;
        int checked = 0;
        for (const auto& e : manifest["entries"]) {
            std::string p = e["path"];
            if (e["type"] != "file" || p.rfind("DOCS/", 0) != 0) continue;
            EXPECT_EQ(test::sha256File(out.path() + "/" + p.substr(5)), e["sha256"]) << p;
            ++checked;
        }
        EXPECT_EQ(checked, 2) << name;
    }
    // A FAT16 volume given as FAT32 is refused with the parser's box.
    test::CliResult wrong = runCli({"scan", test::fixtureImage("fat16-mkfs.img"), "--start-sector",
                                    "0", "--size-mb", "8", "--fs", "fat32"});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_NE(wrong.err.find("Selected Drive is not in Fat32 Format"), std::string::npos);
}

}  // namespace
}  // namespace vel
