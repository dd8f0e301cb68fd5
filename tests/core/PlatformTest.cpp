#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "platform/FileTimes.h"
#include "platform/InstanceLock.h"
#include "platform/OutputFile.h"
#include "platform/OutputPath.h"
#include "platform/SameDevice.h"
#include "platform/Sha256.h"
#include "platform/Text.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

TEST(InstanceLock, SecondProcessIsRefusedUntilTheFirstEnds) {
    TempDir dir;
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    pid_t first = ::fork();
    if (first == 0) {
        InstanceLock lock(kInstanceMutexName);
        char c = lock.acquired() ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(done[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    {
        InstanceLock second(kInstanceMutexName);
        EXPECT_FALSE(second.acquired());
        EXPECT_NE(second.path().find("{TAVRELWORKSWindowsDatRecovery}"), std::string::npos);
    }
    (void)!::write(done[1], "x", 1);
    int status = 0;
    ::waitpid(first, &status, 0);
    InstanceLock afterwards(kInstanceMutexName);
    EXPECT_TRUE(afterwards.acquired());
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(Text, Utf16AndCodePages) {
    std::u16string s = u"R\u00e9sum\u00e9 \U0001F600";
    EXPECT_EQ(utf16ToUtf8(s), "R\xC3\xA9sum\xC3\xA9 \xF0\x9F\x98\x80");
    std::u16string lone = {u'a', static_cast<char16_t>(0xD800), u'b'};
    EXPECT_EQ(utf16ToUtf8(lone),
              "a\xEF\xBF\xBD"
              "b");
    const std::uint8_t le[] = {'A', 0, 0xE9, 0};
    EXPECT_EQ(utf16leUnits(le, 2), u"A\u00e9");
    EXPECT_EQ(sanitizeUtf8("ok\xFFz"), "ok\xEF\xBF\xBDz");
    EXPECT_TRUE(isValidUtf8("\xC3\xA9"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));  // overlong '/'
    // An 8-bit name that is not UTF-8 still reads as letters, in any locale.
    EXPECT_EQ(ansiToUtf8("CAF\xC9"), "CAF\xC3\x89");
    EXPECT_EQ(ansiToUtf8("plain"), "plain");
}

TEST(OutputPath, HostileNamesStayInsideTheOutputFolder) {
    EXPECT_EQ(safeFileName("a/b"), "a_b");
    EXPECT_EQ(safeFileName(std::string("x\0y", 3)), "x_y");
    EXPECT_EQ(safeFileName("tab\there"), "tab_here");
    EXPECT_FALSE(safeFileName("..").has_value());
    EXPECT_FALSE(safeFileName(".").has_value());
    EXPECT_FALSE(safeFileName("").has_value());
    EXPECT_EQ(safeFileName("../../etc/passwd"), ".._.._etc_passwd");
}

TEST(OutputPath, LongNamesAreShortenedAtACharacterBoundaryKeepingTheExtension) {
    std::string e255;
    for (int i = 0; i < 255; ++i) e255 += "\xC3\xA9";  // 255 x U+00E9: 510 bytes
    struct Case {
        std::string name, insert, tail;
        std::size_t bytes;
        std::string ends;
    } cases[] = {
        {e255, "", "", 254, "\xC3\xA9"},
        {e255 + ".txt", "", "", 254, "\xC3\xA9.txt"},
        {e255 + ".txt", " (12)", "", 255, "\xC3\xA9 (12).txt"},
        {e255 + ".txt", "", ".incomplete", 255, ".txt.incomplete"},
        {"short.txt", " (1)", "", 13, "short (1).txt"},
    };
    for (const Case& c : cases) {
        std::string got = decoratedName(*safeFileName(c.name), c.insert, c.tail);
        EXPECT_EQ(got.size(), c.bytes) << c.insert << c.tail;
        EXPECT_TRUE(isValidUtf8(got));
        EXPECT_EQ(got.substr(got.size() - c.ends.size()), c.ends);
    }
    EXPECT_EQ(portableName("a:b?c. "), "a_b_c._");
}

TEST(OutputFolder, NamesAreUniqueAndNoLinkOrFileIsEntered) {
    TempDir dir, elsewhere;
    writeFile(dir.file("a.txt"), "1");
    writeFile(dir.file("docs"), "a file where a folder goes");
    ASSERT_EQ(::mkdir(dir.file("old").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), dir.file("link").c_str()), 0);
    std::string error;
    auto out = OutputFolder::open(dir.path() + "/", error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->path(), dir.path());
    EXPECT_EQ(out->reserve("a.txt"), "a (1).txt");
    EXPECT_EQ(out->reserve("a.txt"), "a (2).txt");
    EXPECT_EQ(out->reserve("b"), "b");
    for (const char* taken : {"docs", "old", "link"}) {
        auto sub = out->makeFolder(taken, error);
        ASSERT_TRUE(sub) << error;
        EXPECT_EQ(sub->name(), std::string(taken) + " (1)");
        struct stat st {};
        ASSERT_EQ(::lstat(sub->path().c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    // A thousand nameless files: numbered from memory, one after the other.
    for (int i = 1; i < 1000; ++i) out->reserve("unnamed");
    EXPECT_EQ(out->reserve("unnamed"), "unnamed (999)");

    // A temporary file only ever gets a free name; nothing is replaced.
    std::string temp;
    int fd = out->createTemporary(temp);
    ASSERT_GE(fd, 0);
    ::close(fd);
    writeFile(dir.file("c"), "there first");
    auto named = out->publish(temp, "c");
    ASSERT_TRUE(named);
    EXPECT_EQ(*named, "c (1)");
    EXPECT_EQ(readFile(dir.file("c")), "there first");
}

TEST(OutputFile, NamedOnlyWhenDoneHolesStaySparseAndFailuresLeaveNothing) {
    TempDir dir;
    std::string error;
    auto folder = OutputFolder::open(dir.path(), error);
    ASSERT_TRUE(folder);
    auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    {
        OutputFile f;
        ASSERT_TRUE(f.create(*folder));
        ASSERT_TRUE(f.write("head", 4));
        ASSERT_TRUE(f.writeZeros(64u << 20));
        ASSERT_TRUE(f.write("tail", 4));
        f.setTimes(HostTime{1000, 0}, HostTime{2000, 0});
        ASSERT_EQ(entries().size(), 1u);
        EXPECT_EQ(entries()[0].rfind(".vellorine-", 0), 0u);  // not under its name yet
        ASSERT_TRUE(f.commit("whole.bin", true));
        struct stat st {};
        ASSERT_EQ(::stat(dir.file("whole.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_size, (64 << 20) + 8);
        EXPECT_LT(st.st_blocks * 512, 1 << 20);  // the hole takes no room
        EXPECT_EQ(st.st_mtim.tv_sec, 2000);
    }
    {
        OutputFile f;
        ASSERT_TRUE(f.create(*folder));
        ASSERT_TRUE(f.write("part", 4));
        f.setTimes(HostTime{1000, 0}, HostTime{2000, 0});
        ASSERT_TRUE(f.commit("part.bin", false));
        EXPECT_EQ(f.committedName(), "part.bin.incomplete");
        struct stat st {};
        ASSERT_EQ(::stat(dir.file("part.bin.incomplete").c_str(), &st), 0);
        EXPECT_NE(st.st_mtim.tv_sec, 2000);  // the recorded times are not given
    }
    {
        OutputFile f;  // never committed: gone with the object
        ASSERT_TRUE(f.create(*folder));
        ASSERT_TRUE(f.write("x", 1));
    }
    {
        // A file system that takes no more: the file fails and nothing stays.
        struct rlimit old {};
        ::getrlimit(RLIMIT_FSIZE, &old);
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 1 << 16;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        OutputFile f;
        ASSERT_TRUE(f.create(*folder));
        std::string block(1 << 15, 'x');
        EXPECT_TRUE(f.write(block.data(), block.size()));
        EXPECT_FALSE(f.write(block.data(), block.size()) && f.write(block.data(), block.size()));
        EXPECT_EQ(f.error(), EFBIG);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previous);
        f.discard();
    }
    EXPECT_EQ(entries(), (std::vector<std::string>{"part.bin.incomplete", "whole.bin"}));
}

TEST(FileTimes, ConversionsAndSetting) {
    // 1601 + 369 years = 1970
    EXPECT_EQ(fromFiletime(116444736000000000ULL), (HostTime{0, 0}));
    EXPECT_EQ(fromFiletime(116444736000000000ULL + 15), (HostTime{0, 1500}));
    EXPECT_EQ(fromFiletime(0).seconds, -11644473600LL);
    EXPECT_EQ(fromCalendarAsUtc(2020, 2, 29, 12, 0, 0).seconds, 1582977600);
    EXPECT_EQ(fromCalendarAsUtc(1980, 1, 1, 0, 0, 0).seconds, 315532800);

    TempDir dir;
    OutputFile f;
    ASSERT_TRUE(f.open(dir.file("x")));
    ASSERT_TRUE(f.write("abc", 3));
    ASSERT_TRUE(f.writeZeros(100000));
    ASSERT_TRUE(f.close());
    ASSERT_TRUE(setFileTimes(dir.file("x"), HostTime{1000, 5}, HostTime{1582977600, 250}));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("x").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 100003);
    EXPECT_EQ(st.st_mtim.tv_sec, 1582977600);
    EXPECT_EQ(st.st_mtim.tv_nsec, 250);
    EXPECT_EQ(st.st_atim.tv_sec, 1000);
    OutputFile g;
    ASSERT_TRUE(g.open(dir.file("y")));
    ASSERT_TRUE(g.write("z", 1));
    ASSERT_TRUE(g.closeWithTimes(std::nullopt, HostTime{1234567890, 7}));
    ASSERT_EQ(::stat(dir.file("y").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(st.st_mtim.tv_nsec, 7);
    EXPECT_EQ(st.st_size, 1);
    EXPECT_TRUE(makeFolder(dir.file("sub")));
    EXPECT_TRUE(makeFolder(dir.file("sub")));
    EXPECT_FALSE(makeFolder(dir.file("x")));  // a file is in the way
    EXPECT_FALSE(f.open(dir.file("missing/y")));
}

TEST(Sha256, KnownDigestsAndZerosHashAsBytes) {
    struct Case {
        std::string input, digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        Sha256 h;
        h.update(c.input.data(), c.input.size());
        EXPECT_EQ(h.hex(), c.digest);
    }
    Sha256 zeros;
    zeros.update("x", 1);
    zeros.updateZeros(200000);
    EXPECT_EQ(zeros.hex(), sha256Hex("x" + std::string(200000, '\0')));
}

TEST(SameDevice, OnlyABlockDeviceHoldingTheOutputFolderIsEndangered) {
    TempDir dir;
    writeFile(dir.file("disk.img"), std::string(4096, 'i'));
    EXPECT_FALSE(outputOnSourceDevice(dir.file("disk.img"), dir.path()));
    EXPECT_FALSE(outputOnSourceDevice("/dev/null", dir.path()));
    // The block device this folder's file system lives on, if the machine shows one.
    struct stat here {};
    ASSERT_EQ(::stat(dir.path().c_str(), &here), 0);
    std::string holder, other;
    for (const auto& e : fs::directory_iterator("/dev")) {
        struct stat st {};
        if (::stat(e.path().c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        if (st.st_rdev == here.st_dev)
            holder = e.path().string();
        else if (other.empty() && e.path().filename().string().rfind("loop", 0) == 0)
            other = e.path().string();
    }
    if (holder.empty()) GTEST_SKIP() << "no device node for this folder's file system";
    EXPECT_TRUE(outputOnSourceDevice(holder, dir.path()));
    EXPECT_TRUE(outputOnSourceDevice(holder, dir.file("not/made/yet")));
    if (!other.empty()) {
        EXPECT_FALSE(outputOnSourceDevice(other, dir.path()));
    }
}
