#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#include "platform/OutputPath.h"
#include "platform/Sha256.h"
#include "scan/SaveWriters.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

namespace {
struct Step {
    bool zeros;
    std::size_t length;
};
struct HeldCase {
    const char* name;
    std::vector<Step> steps;
    HeldFile::Limits limits;
    bool direct;  // outgrew the limits and went to disk while read
};
void PrintTo(const HeldCase& c, std::ostream* os) {
    *os << c.name;
}
struct HeldFiles : ::testing::TestWithParam<HeldCase> {};
}  // namespace

TEST_P(HeldFiles, WriteTheSameBytesAndHashWhetherHeldOrNot) {
    const HeldCase& c = GetParam();
    TempDir dir;
    std::string error;
    auto folder = OutputFolder::open(dir.path(), error);
    ASSERT_TRUE(folder) << error;
    HeldFile file(*folder, true, c.limits, 1000);
    std::string expected;
    for (const Step& s : c.steps) {
        if (s.zeros) {
            ASSERT_TRUE(file.writeZeros(s.length));
            expected.append(s.length, '\0');
        } else {
            std::string data(s.length, '\0');
            for (std::size_t i = 0; i < s.length; ++i)
                data[i] = static_cast<char>('a' + (expected.size() + i) % 26);
            ASSERT_TRUE(file.write(data.data(), data.size()));
            expected += data;
        }
    }
    EXPECT_EQ(file.direct(), c.direct);
    EXPECT_EQ(file.size(), expected.size());
    file.setTimes(std::nullopt, HostTime{1400000000, 5});
    file.reserveName("f.bin", true);
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(file.committedName(), "f.bin");
    EXPECT_EQ(readFile(dir.file("f.bin")), expected);
    Sha256 hash;
    hash.update(expected.data(), expected.size());
    EXPECT_EQ(file.sha256(), hash.hex());
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("f.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1400000000);
    // Nothing is left under a temporary name.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(
    , HeldFiles,
    ::testing::Values(
        HeldCase{"empty", {}, {}, false},
        HeldCase{"data and holes held", {{false, 10}, {true, 5000}, {false, 3}}, {}, false},
        HeldCase{"data past the limit", {{false, 100}, {true, 7}, {false, 100}}, {150, 1000}, true},
        HeldCase{
            "a hole past the limit", {{false, 9}, {true, 2000}, {false, 1}}, {150, 1000}, true}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

TEST(HeldFileFailures, AFileThatCannotBeMadeIsToldAndLeavesNothing) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("gone"));
    std::string error;
    auto folder = OutputFolder::open(dir.file("gone"), error);
    ASSERT_TRUE(folder) << error;
    std::filesystem::remove(dir.file("gone"));
    HeldFile file(*folder, false, {}, 10);
    ASSERT_TRUE(file.write("abc", 3));
    file.reserveName("x", true);
    EXPECT_FALSE(file.commit());
    EXPECT_NE(file.error(), 0);
    EXPECT_EQ(file.sha256(), "");
}

TEST(HeldFileFailures, ANameTakenAfterItWasReservedIsNeverReplaced) {
    // Something else may put a file or a link at the name between reading and writing.
    for (const bool link : {false, true}) {
        TempDir dir;
        std::string error;
        auto folder = OutputFolder::open(dir.path(), error);
        ASSERT_TRUE(folder) << error;
        HeldFile file(*folder, false, {}, 3);
        ASSERT_TRUE(file.write("new", 3));
        file.reserveName("x.txt", true);
        if (link)
            std::filesystem::create_symlink(dir.file("elsewhere"), dir.file("x.txt"));
        else
            writeFile(dir.file("x.txt"), "theirs");
        ASSERT_TRUE(file.commit());
        EXPECT_EQ(file.committedName(), "x (1).txt");
        EXPECT_EQ(readFile(dir.file("x (1).txt")), "new");
        if (link) {
            EXPECT_TRUE(std::filesystem::is_symlink(dir.file("x.txt")));
            EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere")));
        } else {
            EXPECT_EQ(readFile(dir.file("x.txt")), "theirs");
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    }
}

TEST(WriterPools, RunEveryJobOnceAndFinishQueuedJobsBeforeEnding) {
    std::atomic<int> runs{0};
    std::vector<WriterPool::Job> jobs(200);
    {
        WriterPool pool(3, 10);  // a budget below the batches' sizes: they go one at a time
        std::vector<WriterPool::Job*> batch;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            jobs[i].run = [&] { ++runs; };
            jobs[i].bytes = i % 2 ? 1 : 50;
            batch.push_back(&jobs[i]);
            if (batch.size() == 3 || i + 1 == jobs.size()) {
                pool.submit(batch);
                EXPECT_TRUE(batch.empty());
            }
        }
        pool.wait(jobs.back());
        EXPECT_TRUE(pool.isDone(jobs.back()));
    }
    EXPECT_EQ(runs.load(), 200);
    for (const auto& j : jobs) EXPECT_TRUE(j.done);
}
