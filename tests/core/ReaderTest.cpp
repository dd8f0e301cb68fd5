#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "app/CKestrumApp.h"
#include "device/FileReadSeek.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

namespace {
std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
    return s;
}

struct Reader : ::testing::Test {
    RecordingMessageBoxes boxes;
    TempDir dir;
    void SetUp() override { CKestrumApp::instance().setMessageBoxes(&boxes); }
    void TearDown() override { CKestrumApp::instance().setMessageBoxes(nullptr); }
};
}  // namespace

TEST_F(Reader, ImageSizeIsLengthDividedBy512) {
    writeFile(dir.file("small"), pattern(1000));
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("small")));
    EXPECT_EQ(r.sectorCount(), 1);
    EXPECT_EQ(CKestrumApp::instance().totalSectors.load(), 1);
}

TEST_F(Reader, ShortReadGivesBytesThenZerosAndFalse) {
    std::string data = pattern(612);
    writeFile(dir.file("img"), data);
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("img")));
    std::string buf(512, 'x');
    ASSERT_TRUE(r.seekTo(512));
    EXPECT_FALSE(r.readBytes(buf.data(), 512));
    EXPECT_EQ(buf.substr(0, 100), data.substr(512, 100));
    EXPECT_EQ(buf.substr(100), std::string(412, '\0'));
}

TEST_F(Reader, ReadPastTheEndLeavesTheBuffer) {
    writeFile(dir.file("img"), pattern(1024));
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("img")));
    std::string buf(512, 'x');
    ASSERT_TRUE(r.seekTo(1024));
    EXPECT_FALSE(r.readBytes(buf.data(), 512));
    EXPECT_EQ(buf, std::string(512, 'x'));
    ASSERT_TRUE(r.seekTo(5000));
    EXPECT_FALSE(r.readBytes(buf.data(), 512));
    EXPECT_EQ(buf, std::string(512, 'x'));
}

TEST_F(Reader, BaseOffsetIsAddedAndPositionAdvances) {
    std::string data = pattern(3 << 20);
    writeFile(dir.file("img"), data);
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("img")));
    r.baseOffset = 1048576;
    char buf[16];
    ASSERT_TRUE(r.seekTo(0));
    ASSERT_TRUE(r.readBytes(buf, 16));
    EXPECT_EQ(std::string(buf, 16), data.substr(1048576, 16));
    ASSERT_TRUE(r.readBytes(buf, 16));  // continues where the last read ended
    EXPECT_EQ(std::string(buf, 16), data.substr(1048576 + 16, 16));
    EXPECT_FALSE(r.seekTo(-2 * 1048576));  // before the device: refused, position kept
    ASSERT_TRUE(r.readBytes(buf, 16));
    EXPECT_EQ(std::string(buf, 16), data.substr(1048576 + 32, 16));
}

TEST_F(Reader, MissingPathSaysInvalidHandleAndKeepsSize) {
    writeFile(dir.file("img"), pattern(2048));
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("img")));
    EXPECT_FALSE(r.openDevice(dir.file("missing")));
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"invalid handle ..."});
    EXPECT_EQ(CKestrumApp::instance().totalSectors.load(), 4);
    char buf[4];
    EXPECT_TRUE(r.readAt(0, buf, 4));  // the old handle is still in use
}

TEST_F(Reader, SecondOpenReplacesTheSource) {
    writeFile(dir.file("one"), std::string(512, '1'));
    writeFile(dir.file("two"), std::string(1024, '2'));
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("one")));
    ASSERT_TRUE(r.openDevice(dir.file("two")));
    char c = 0;
    ASSERT_TRUE(r.readAt(0, &c, 1));
    EXPECT_EQ(c, '2');
    EXPECT_EQ(r.sectorCount(), 2);
}

TEST_F(Reader, SourceIsOpenedReadOnly) {
    writeFile(dir.file("img"), pattern(512));
    ASSERT_EQ(::chmod(dir.file("img").c_str(), 0444), 0);
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("img")));
    int flags = ::fcntl(r.deviceHandle, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
}

TEST(ReaderBase, BaseVersionReadsNothingAndSucceeds) {
    struct Bare : readWriteInterface {
        bool openDevice(const std::string&) override { return true; }
    } bare;
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_TRUE(bare.readBytes(buf, 4));
    EXPECT_TRUE(bare.seekTo(100));
    EXPECT_EQ(std::string(buf, 4), "abcd");
}
