#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <set>

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

// The real file reader whose chosen sectors fail the way a failing disk's do.
class FaultyFile final : public FileReadSeek {
  public:
    std::set<std::int64_t> failing;

  protected:
    std::int64_t readSome(std::int64_t offset, void* buffer, std::size_t count) const override {
        auto it = failing.lower_bound(offset / 512);
        if (it != failing.end() && *it <= (offset + static_cast<std::int64_t>(count) - 1) / 512)
            return -1;
        return FileReadSeek::readSome(offset, buffer, count);
    }
};

// The same bytes behind each kind of source, so every case runs against every kind.
struct SourceKind {
    const char* name;
    std::function<std::unique_ptr<readWriteInterface>(
        const std::string& bytes, const std::set<std::int64_t>& failing, const TempDir& dir)>
        make;
};

const SourceKind kKinds[] = {
    {"memory",
     [](const std::string& bytes, const std::set<std::int64_t>& failing, const TempDir&) {
         auto m = std::make_unique<MemorySource>(bytes);
         for (std::int64_t s : failing) m->failSector(s);
         return std::unique_ptr<readWriteInterface>(std::move(m));
     }},
    {"sparse memory",
     [](const std::string& bytes, const std::set<std::int64_t>& failing, const TempDir&) {
         auto m = std::make_unique<MemorySource>(
             MemorySource::Sparse{static_cast<std::int64_t>(bytes.size())});
         m->put(0, bytes.data(), bytes.size());
         for (std::int64_t s : failing) m->failSector(s);
         return std::unique_ptr<readWriteInterface>(std::move(m));
     }},
    {"file",
     [](const std::string& bytes, const std::set<std::int64_t>& failing, const TempDir& dir) {
         static int n = 0;
         std::string path = dir.file("img" + std::to_string(n++));
         writeFile(path, bytes);
         auto f = std::make_unique<FaultyFile>();
         f->failing = failing;
         EXPECT_TRUE(f->openDevice(path));
         return std::unique_ptr<readWriteInterface>(std::move(f));
     }},
};

void PrintTo(const SourceKind& k, std::ostream* os) {
    *os << k.name;
}

class ReaderContract : public ::testing::TestWithParam<SourceKind> {
  protected:
    std::unique_ptr<readWriteInterface> make(const std::string& bytes,
                                             const std::set<std::int64_t>& failing = {}) {
        return GetParam().make(bytes, failing, dir);
    }
    TempDir dir;
};

}  // namespace

TEST_P(ReaderContract, ShortReadsAndReadsPastTheEndGiveZeros) {
    const std::string data = pattern(1612);
    auto r = make(data);
    EXPECT_EQ(r->byteSize(), 1612);
    EXPECT_EQ(r->sectorCount(), 3);
    struct Case {
        std::int64_t offset;
        std::size_t count, inSource;
    } cases[] = {{0, 1612, 1612}, {1536, 512, 76}, {1612, 512, 0}, {5000, 16, 0}, {-10, 20, 10}};
    for (const Case& c : cases) {
        std::string buf(c.count, 'x');
        ReadOutcome o = r->readAt(c.offset, buf.data(), c.count);
        EXPECT_EQ(o.inSource, c.inSource) << c.offset;
        EXPECT_EQ(o.complete(), c.inSource == c.count) << c.offset;
        EXPECT_EQ(o.unreadableBytes, 0u);
        // What lies outside the source is zeros, never what the buffer held before.
        std::string expected(c.count, '\0');
        for (std::size_t i = 0; i < c.count; ++i) {
            std::int64_t at = c.offset + static_cast<std::int64_t>(i);
            if (at >= 0 && at < 1612) expected[i] = data[static_cast<std::size_t>(at)];
        }
        EXPECT_EQ(buf, expected) << c.offset;
    }
}

TEST_P(ReaderContract, FailingSectorsReadAsZerosAndAreRemembered) {
    const std::string data = pattern(3 << 20);
    auto r = make(data, {5, 2049, 2050});
    std::string buf(2 << 20, 'x');
    ReadDamageScope damage;
    ReadOutcome o = r->readAt(0, buf.data(), buf.size());
    EXPECT_FALSE(o.complete());
    EXPECT_EQ(o.inSource, buf.size());
    EXPECT_EQ(o.unreadableBytes, 3u * 512);
    // Only the failing sectors are lost; their neighbours are read.
    for (std::int64_t s : {4, 6, 2048, 2051}) {
        EXPECT_EQ(buf.substr(static_cast<std::size_t>(s) * 512, 512),
                  data.substr(static_cast<std::size_t>(s) * 512, 512))
            << s;
    }
    for (std::int64_t s : {5, 2049, 2050})
        EXPECT_EQ(buf.substr(static_cast<std::size_t>(s) * 512, 512), std::string(512, '\0')) << s;
    EXPECT_EQ(r->badSectors().sectors(), (std::vector<std::int64_t>{5, 2049, 2050}));
    EXPECT_EQ(damage.unreadableBytes(), 3u * 512);
    using Range = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(damage.ranges(), (std::vector<Range>{{5 * 512, 6 * 512}, {2049 * 512, 2051 * 512}}));
    // A read that misses them is whole; the list keeps what it learnt.
    EXPECT_TRUE(r->readAt(6 * 512, buf.data(), 4096).complete());
    EXPECT_EQ(r->badSectors().count(), 3);
}

TEST_P(ReaderContract, VolumeViewReadsFromItsStartAndNeverBefore) {
    const std::string data = pattern(8192);
    auto r = make(data, {9});
    VolumeView v(r.get(), 4096, 2048);
    EXPECT_EQ(v.byteSize(), 2048);
    char buf[600];
    ASSERT_TRUE(v.readAt(16, buf, 100));
    EXPECT_EQ(std::string(buf, 100), data.substr(4096 + 16, 100));
    std::memset(buf, 'x', sizeof buf);
    ReadOutcome o = v.readAt(-100, buf, 200);
    EXPECT_EQ(o.inSource, 100u);
    EXPECT_EQ(std::string(buf, 100), std::string(100, '\0'));
    EXPECT_EQ(std::string(buf + 100, 100), data.substr(4096, 100));
    // The volume's sector 1 is the device's sector 9: bad sectors keep device numbers.
    EXPECT_EQ(v.readAt(512, buf, 512).unreadableBytes, 512u);
    EXPECT_TRUE(v.badSectors().contains(9));
    // Offsets near the 64-bit limit do not wrap around.
    EXPECT_EQ(v.readAt(std::numeric_limits<std::int64_t>::max() - 10, buf, 100).inSource, 0u);
    EXPECT_EQ(sectorsToBytes(std::int64_t{1} << 55), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(sectorsToBytes(-5), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReaderContract, ::testing::ValuesIn(kKinds), [](const auto& info) {
    std::string n = info.param.name;
    for (char& c : n)
        if (c == ' ') c = '_';
    return n;
});

TEST(FileReader, OpeningIsReadOnlyAndAFailedOpenKeepsTheOldFile) {
    TempDir dir;
    writeFile(dir.file("one"), std::string(512, '1'));
    writeFile(dir.file("two"), std::string(1024, '2'));
    ASSERT_EQ(::chmod(dir.file("one").c_str(), 0444), 0);
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("one")));
    EXPECT_EQ(::fcntl(r.deviceHandle(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_FALSE(r.openDevice(dir.file("missing")));
    EXPECT_NE(r.lastError().find("missing"), std::string::npos);
    char c = 0;
    ASSERT_TRUE(r.readAt(0, &c, 1));
    EXPECT_EQ(c, '1');
    ASSERT_TRUE(r.openDevice(dir.file("two")));
    ASSERT_TRUE(r.readAt(0, &c, 1));
    EXPECT_EQ(c, '2');
    EXPECT_EQ(r.sectorCount(), 2);
}

TEST(BadSectorList, TellsItsListenerOfNewSectorsOnly) {
    BadSectorList list;
    std::vector<std::pair<std::int64_t, std::int64_t>> heard;
    list.setListener([&](std::int64_t s, std::int64_t n) { heard.emplace_back(s, n); });
    EXPECT_TRUE(list.add(7));
    EXPECT_FALSE(list.add(7));
    EXPECT_TRUE(list.add(3));
    EXPECT_EQ(heard, (std::vector<std::pair<std::int64_t, std::int64_t>>{{7, 1}, {3, 2}}));
    EXPECT_EQ(list.sectors(), (std::vector<std::int64_t>{3, 7}));
}

bool descriptorIsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(FileReader, AnAdoptedDescriptorReadsLikeThePathAndIsClosedWithTheReader) {
    const std::string image = fixtureImage("fat12-mkfs.img");
    const std::string bytes = readFile(image);
    ASSERT_GT(bytes.size(), 4096u);
    int fd = ::open(image.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        // A sector of the handed-over device fails: it reads as zeros and is remembered.
        FaultyFile r;
        r.failing = {3};
        ASSERT_TRUE(r.adoptDescriptor(fd, "/dev/handed0")) << r.lastError();
        EXPECT_EQ(r.lastErrno(), 0);
        EXPECT_EQ(r.openedPath(), "/dev/handed0");
        EXPECT_EQ(r.byteSize(), static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(r.sectorCount(), static_cast<std::int64_t>(bytes.size() / 512));
        EXPECT_EQ(r.image().format, imageformat::kRaw);
        EXPECT_EQ(r.image().files, std::vector<std::string>{"/dev/handed0"});
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        std::string got(4096, '\x55');
        ReadOutcome o = r.readAt(0, got.data(), got.size());
        EXPECT_FALSE(o);
        EXPECT_EQ(o.unreadableBytes, 512u);
        std::string want = bytes.substr(0, 4096);
        std::fill(want.begin() + 3 * 512, want.begin() + 4 * 512, '\0');
        EXPECT_EQ(got, want);
        EXPECT_EQ(r.badSectors().sectors(), std::vector<std::int64_t>{3});
        std::string tail(600, '\x55');
        r.readAt(static_cast<std::int64_t>(bytes.size()) - 100, tail.data(), tail.size());
        EXPECT_EQ(tail, bytes.substr(bytes.size() - 100) + std::string(500, '\0'));
    }
    EXPECT_FALSE(descriptorIsOpen(fd));
}

TEST(FileReader, RefusedDescriptorsAreClosedAndTheOldSourceStays) {
    TempDir dir;
    writeFile(dir.file("old"), std::string(512, 'o'));
    writeFile(dir.file("rw"), std::string(512, 'w'));
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::close(pipeEnds[1]);
    struct Case {
        const char* name;
        int fd;
        int expectedErrno;
    } cases[] = {
        {"writable", ::open(dir.file("rw").c_str(), O_RDWR), EINVAL},
        {"write only", ::open(dir.file("rw").c_str(), O_WRONLY), EINVAL},
        {"folder", ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY), EINVAL},
        {"pipe", pipeEnds[0], EINVAL},
        {"none", -1, EBADF},
    };
    FileReadSeek r;
    ASSERT_TRUE(r.openDevice(dir.file("old")));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(r.adoptDescriptor(c.fd, "/dev/handed1"));
        EXPECT_EQ(r.lastErrno(), c.expectedErrno);
        EXPECT_NE(r.lastError().find("/dev/handed1"), std::string::npos);
        if (c.fd >= 0) {
            EXPECT_FALSE(descriptorIsOpen(c.fd));
        }
        char ch = 0;
        ASSERT_TRUE(r.readAt(0, &ch, 1));
        EXPECT_EQ(ch, 'o');
        EXPECT_EQ(r.openedPath(), dir.file("old"));
    }
}

TEST(FileReader, FailedOpensTellWhetherAdministratorRightsWouldHelp) {
    FileReadSeek r;
    EXPECT_FALSE(r.openDevice("/nonexistent/disk.img"));
    EXPECT_EQ(r.lastErrno(), ENOENT);
    std::string error;
    int code = -1;
    EXPECT_EQ(openDiskSource("/nonexistent/disk.img", error, &code), nullptr);
    EXPECT_EQ(code, ENOENT);
    EXPECT_NE(error.find("/nonexistent/disk.img"), std::string::npos);

    struct Case {
        int errorNumber;
        bool root;
        bool helps;
    } cases[] = {{EACCES, false, true}, {EPERM, false, true},   {EACCES, true, false},
                 {EPERM, true, false},  {ENOENT, false, false}, {EIO, false, false},
                 {0, false, false}};
    for (const Case& c : cases)
        EXPECT_EQ(openNeedsAdministrator(c.errorNumber, c.root), c.helps)
            << c.errorNumber << " root " << c.root;
}

TEST(FileSource, AFileCutShortAfterOpeningReadsZerosPastItsNewEnd) {
    // The size taken at opening promises bytes the file no longer has. With a failing sector
    // the read goes piece by piece, and the end comes inside a piece that reads well.
    for (const bool failingFirst : {false, true}) {
        TempDir dir;
        const std::string data = pattern(128 << 10);
        writeFile(dir.file("img"), data);
        FaultyFile f;
        if (failingFirst) f.failing = {0};
        ASSERT_TRUE(f.openDevice(dir.file("img")));
        ASSERT_EQ(::truncate(dir.file("img").c_str(), 70000), 0);
        std::string buf(data.size(), 'x');
        f.readAt(0, buf.data(), buf.size());
        std::string expected = data.substr(0, 70000) + std::string(data.size() - 70000, '\0');
        if (failingFirst) std::fill_n(expected.begin(), 512, '\0');
        // Compared whole, not printed: the buffers are 128 KiB.
        EXPECT_TRUE(buf == expected)
            << "first difference at byte "
            << std::mismatch(buf.begin(), buf.end(), expected.begin()).first - buf.begin();
    }
}
