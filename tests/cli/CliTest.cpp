#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "support/Fixtures.h"

using namespace vel::test;

TEST(Cli, UsageErrorsExitWithTwo) {
    EXPECT_EQ(runCli({}).exitCode, 2);
    CliResult unknown = runCli({"frobnicate"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("frobnicate"), std::string::npos);
    CliResult missing = runCli({"scan", "/nonexistent/disk.img"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("cannot read /nonexistent/disk.img"), std::string::npos);
    // Rights would not make a missing file appear.
    EXPECT_EQ(missing.err.find("administrator"), std::string::npos);
    EXPECT_EQ(runCli({"save", "/nonexistent/disk.img"}).exitCode, 2);  // --out is required
    EXPECT_EQ(runCli({"scan", "x.img", "--mode", "sideways"}).exitCode, 2);
}

TEST(Cli, HelpAndVersion) {
    CliResult help = runCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* sub : {"drives", "scan", "save"})
        EXPECT_NE(help.out.find(sub), std::string::npos);
    CliResult version = runCli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("vellorine-cli " VELLORINE_VERSION), std::string::npos);
}

TEST(Cli, DrivesJsonHasBothLists) {
    CliResult r = runCli({"drives", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_TRUE(j["volumes"].is_array());
    ASSERT_TRUE(j["physical_drives"].is_array());
    for (const auto& v : j["volumes"]) {
        EXPECT_TRUE(v.contains("fileSystem"));
        EXPECT_NE(v["sizeText"].get<std::string>().find("  MB"), std::string::npos);
    }
}

TEST(Cli, ASourceDeniedToTheUserSaysHowToGetTheRights) {
    TempDir dir;
    const std::string disk = dir.file("disk.img");
    writeFile(disk, readFile(fixtureImage("fat12-mkfs.img")));
    ASSERT_EQ(::chmod(disk.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    // Root reads everything, so as root the tool runs as nobody to meet the refusal.
    std::string command;
    if (::geteuid() == 0)
        command = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    else
        ASSERT_EQ(::chmod(disk.c_str(), 0), 0);
    command +=
        std::string(VELLORINE_CLI) + " volumes " + disk + " >/dev/null 2>" + dir.file("err.txt");
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << command;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    const std::string err = readFile(dir.file("err.txt"));
    EXPECT_NE(err.find("cannot read " + disk + ": Permission denied"), std::string::npos) << err;
    EXPECT_NE(err.find("Opening " + disk +
                       " needs administrator rights: run `pkexec vellorine-cli` or `sudo "
                       "vellorine-cli`."),
              std::string::npos)
        << err;
}

TEST(Cli, SourceWithoutFileSystemAsksForAVolume) {
    TempDir dir;
    writeFile(dir.file("blank.img"), std::string(1 << 20, '\0'));
    CliResult r = runCli({"scan", dir.file("blank.img")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no partition table found; try Advance Scan"), std::string::npos);
    EXPECT_NE(r.err.find("--start-sector N --fs NAME"), std::string::npos) << r.err;
    writeFile(dir.file("tiny.img"), std::string(100, '\0'));
    CliResult tiny = runCli({"scan", dir.file("tiny.img")});
    EXPECT_EQ(tiny.exitCode, 2);
    EXPECT_NE(tiny.err.find("too small"), std::string::npos);
    CliResult custom =
        runCli({"scan", dir.file("blank.img"), "--start-sector", "0", "--fs", "zfs"});
    EXPECT_EQ(custom.exitCode, 1);
    EXPECT_NE(custom.err.find("not a valid drive."), std::string::npos);
}
