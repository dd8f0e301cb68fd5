// `vellorine-cli save`: the recovery report's place, the same-disk refusal, Ctrl-C.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <pugixml.hpp>

#include "support/Fixtures.h"

using namespace vel::test;
namespace fs = std::filesystem;

TEST(SaveCli, TheReportGoesIntoTheOutputFolderElsewhereOrNowhere) {
    const std::string image = fixtureImage("fat16-msdos.img");
    TempDir dir;
    struct Case {
        std::vector<std::string> extra;
        std::string report;  // where it must be; "" for none
    } cases[] = {
        {{}, "out1/recovery-report.xml"},
        {{"--report", dir.file("elsewhere/r.xml")}, "elsewhere/r.xml"},
        {{"--no-report"}, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string out = dir.file("out" + std::to_string(++n));
        std::vector<std::string> args{"save", image, "--out", out};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        fs::create_directories(dir.file("elsewhere"));
        CliResult r = runCli(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find(" saved whole, 0 incomplete, 0 failed; output folder " + out),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(fs::exists(out + "/recovery-report.xml"), n == 1);
        if (c.report.empty()) {
            EXPECT_EQ(r.err.find("recovery report"), std::string::npos);
            continue;
        }
        EXPECT_NE(r.err.find("recovery report: " + dir.file(c.report)), std::string::npos);
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(dir.file(c.report).c_str()));
        EXPECT_STREQ(doc.child("dfxml").child("source").child_value("image_filename"),
                     image.c_str());
    }
    EXPECT_EQ(runCli({"save", image, "--out", dir.file("x"), "--report", "r.xml", "--no-report"})
                  .exitCode,
              2);
}

TEST(SaveCli, AFolderOnTheDiskBeingRecoveredIsRefused) {
    TempDir dir;
    struct stat here {};
    ASSERT_EQ(::stat(dir.path().c_str(), &here), 0);
    std::string holder;
    for (const auto& e : fs::directory_iterator("/dev")) {
        struct stat st {};
        if (::stat(e.path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == here.st_dev)
            holder = e.path().string();
    }
    if (holder.empty()) GTEST_SKIP() << "no device node for this folder's file system";
    CliResult r = runCli({"save", holder, "--out", dir.file("out")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("the disk being recovered"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--allow-same-device"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.file("out")));
}

TEST(SaveCli, CtrlCEndsTheSaveCleanlyWithASummary) {
    const std::string image = fixtureImage("ntfs-basic.img");
    TempDir dir;
    const std::string out = dir.file("out");
    fs::create_directories(out);
    // Signalled once the save has begun writing files.
    int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, out.c_str(), IN_CREATE), 0);
    pid_t pid = startCli({"save", image, "--out", out}, dir.file("stdout"), dir.file("stderr"));
    int created = 0;
    alignas(inotify_event) char events[4096];
    while (created < 3) {
        pollfd p{watch, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 30000), 1) << "the save wrote nothing";
        ssize_t n = ::read(watch, events, sizeof events);
        for (ssize_t at = 0; at < n;) {
            auto* e = reinterpret_cast<inotify_event*>(events + at);
            ++created;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    ::kill(pid, SIGINT);
    CliResult r = waitCli(pid, dir.file("stdout"), dir.file("stderr"));
    ::close(watch);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("stopped: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("recovery report: " + out + "/recovery-report.xml"), std::string::npos);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file((out + "/recovery-report.xml").c_str()));
    EXPECT_STREQ(doc.child("dfxml").child("vellorine:summary").attribute("stopped").value(),
                 "true");
    // What is there is whole; nothing is left half-written under any name.
    auto manifest = loadJson(sourceDir() + "/tests/fixtures/images/ntfs-basic.manifest.json");
    for (const auto& e : manifest["entries"]) {
        const std::string path = out + "/" + e["path"].get<std::string>();
        if (e["type"] == "file" && e.value("intact", false) && fs::exists(path)) {
            EXPECT_EQ(sha256File(path), e["sha256"].get<std::string>()) << path;
        }
    }
    for (const auto& e : fs::recursive_directory_iterator(out)) {
        EXPECT_EQ(e.path().filename().string().rfind(".vellorine-", 0), std::string::npos)
            << e.path();
    }
}
