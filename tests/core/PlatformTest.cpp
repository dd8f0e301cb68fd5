#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileTimes.h"
#include "platform/InstanceLock.h"
#include "platform/OutputFile.h"
#include "platform/OutputPath.h"
#include "platform/Text.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

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

TEST(OutputPath, SameNameGetsANumber) {
    TempDir dir;
    EXPECT_EQ(uniqueOutputPath(dir.path(), "a.txt"), dir.file("a.txt"));
    writeFile(dir.file("a.txt"), "1");
    EXPECT_EQ(uniqueOutputPath(dir.path(), "a.txt"), dir.file("a (1).txt"));
    writeFile(dir.file("a (1).txt"), "2");
    EXPECT_EQ(uniqueOutputPath(dir.path(), "a.txt"), dir.file("a (2).txt"));
    writeFile(dir.file("README"), "3");
    EXPECT_EQ(uniqueOutputPath(dir.path(), "README"), dir.file("README (1)"));
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
