#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <map>

#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "scan/ResultsWalk.h"
#include "support/FakeParser.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {
struct Saving : ::testing::Test {
    FakeParser parser;
    MemoryTree tree;
    NullSink sink;
    StopFlag stop;
    TempDir out;
    ItemData docs, deep, dot;

    void SetUp() override {
        docs = parser.add(0, "docs", true);
        parser.add(docs, "a.txt", false, "alpha");
        parser.add(docs, "a.txt", false, "second alpha");  // same name twice in one folder
        deep = parser.add(docs, "deep", true);
        parser.add(deep, "b.bin", false, std::string(70000, 'b'));
        ItemData unnamed = parser.add(docs, "", true);
        parser.add(unnamed, "lifted.txt", false, "up");
        parser.add(0, "$BadClus", false, "bad");
        dot = parser.add(0, ".", true);
        parser.add(dot, "inside-dot.txt", false, "never");
        parser.add(0, "../escape", false, "kept inside");
        parser.add(0, "unreadable", false, "x");
        parser.attach(nullptr, &tree, &sink);
        parser.runWorker(1);
    }
};
}  // namespace

TEST_F(Saving, CountsFilesBelowAFolderAndTheTopItem) {
    FolderSaver saver(parser, sink, stop);
    EXPECT_EQ(saver.countFolderFiles(docs), 4);
    // top: 4 in docs + $BadClus + ../escape + unreadable; "." is not entered
    EXPECT_EQ(saver.countFiles(tree, tree.firstChild(kNoItem)), 7);
}

TEST_F(Saving, TopItemWritesTheVolumeIntoTheOutputFolder) {
    FolderSaver saver(parser, sink, stop);
    std::vector<std::string> sizes;
    saver.onFileSizeText = [&](const std::string& t) { sizes.push_back(t); };
    SaveReport r = saver.saveItem(tree, tree.firstChild(kNoItem), out.path());
    EXPECT_EQ(r.filesHandled, 7);
    EXPECT_EQ(r.filesWritten, 5);  // $BadClus skipped, "unreadable" failed
    EXPECT_EQ(r.skipped, 1);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0].path, out.file("unreadable"));
    EXPECT_EQ(r.failures[0].reason, "nothing of it could be read");
    EXPECT_FALSE(fs::exists(out.file("unreadable")));
    EXPECT_EQ(readFile(out.file("docs/a.txt")), "alpha");
    EXPECT_EQ(readFile(out.file("docs/a (1).txt")), "second alpha");
    EXPECT_EQ(readFile(out.file("docs/deep/b.bin")).size(), 70000u);
    EXPECT_EQ(readFile(out.file("docs/lifted.txt")), "up");
    EXPECT_EQ(readFile(out.file(".._escape")), "kept inside");
    EXPECT_FALSE(fs::exists(out.file("$BadClus")));
    EXPECT_FALSE(fs::exists(out.file("inside-dot.txt")));
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), "File size: 68 kb"), sizes.end());
}

TEST_F(Saving, AFolderItemsChildrenGoStraightIntoTheOutputFolder) {
    FolderSaver saver(parser, sink, stop);
    TreeItem docsItem = tree.firstChild(tree.firstChild(kNoItem));
    ASSERT_EQ(tree.itemText(docsItem), "docs");
    SaveReport r = saver.saveItem(tree, docsItem, out.path());
    EXPECT_EQ(r.filesWritten, 4);
    EXPECT_TRUE(fs::exists(out.file("a.txt")));
    EXPECT_TRUE(fs::exists(out.file("deep/b.bin")));
    EXPECT_FALSE(fs::exists(out.file("docs")));
}

TEST_F(Saving, StopEndsTheDump) {
    FolderSaver saver(parser, sink, stop);
    stop.request();
    SaveReport r = saver.saveItem(tree, tree.firstChild(kNoItem), out.path());
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.filesHandled, 0);
}

TEST_F(Saving, LoopingFolderLinksEndAndEachFolderIsWrittenOnce) {
    parser.entries[static_cast<std::size_t>(deep)].children.push_back(docs);  // deep -> docs
    FolderSaver saver(parser, sink, stop);
    EXPECT_EQ(saver.countFolderFiles(docs), 4);
    SaveReport r = saver.saveItem(tree, tree.firstChild(tree.firstChild(kNoItem)), out.path());
    EXPECT_EQ(r.filesWritten, 4);
}

TEST_F(Saving, FolderFillingReplacesThePlaceholderOnce) {
    TreeItem docsItem = tree.firstChild(tree.firstChild(kNoItem));
    ASSERT_EQ(tree.itemText(tree.firstChild(docsItem)), kPlaceholderText);
    tree.setChecked(docsItem, true);
    EXPECT_TRUE(parser.fillFolder(docsItem, FillReason::Expansion));
    EXPECT_EQ(tree.childCount(docsItem), 4u);
    EXPECT_TRUE(tree.isChecked(tree.firstChild(docsItem)));
    EXPECT_FALSE(parser.fillFolder(docsItem, FillReason::Selection));
    EXPECT_EQ(tree.childCount(docsItem), 4u);
    TreeItem deepItem = tree.child(docsItem, 2);
    EXPECT_EQ(tree.itemText(tree.firstChild(deepItem)), kPlaceholderText);
}

TEST_F(Saving, WalkGivesParentsBeforeChildrenAndFindsPaths) {
    std::vector<std::string> paths;
    walkResults(parser, tree, tree.firstChild(kNoItem), [&](const WalkedItem& w) {
        paths.push_back(w.path + (w.folder ? "/" : ""));
        return true;
    });
    ASSERT_GE(paths.size(), 10u);
    EXPECT_EQ(paths[0], "ROOT/");
    EXPECT_EQ(paths[1], "ROOT/docs/");
    EXPECT_EQ(paths[2], "ROOT/docs/a.txt");
    EXPECT_EQ(paths[4], "ROOT/docs/deep/");
    EXPECT_EQ(paths[5], "ROOT/docs/deep/b.bin");

    FoundPath deepFile =
        findResultPath(parser, tree, tree.firstChild(kNoItem), "ROOT/docs/deep/b.bin");
    ASSERT_TRUE(deepFile.found);
    EXPECT_EQ(parser.entryName(deepFile.data), "b.bin");
    EXPECT_EQ(deepFile.item, kNoItem);  // below the inserted first level
    FoundPath docsItem = findResultPath(parser, tree, tree.firstChild(kNoItem), "ROOT/docs");
    ASSERT_TRUE(docsItem.found);
    EXPECT_NE(docsItem.item, kNoItem);
    EXPECT_FALSE(findResultPath(parser, tree, tree.firstChild(kNoItem), "ROOT/nope").found);
    EXPECT_FALSE(findResultPath(parser, tree, tree.firstChild(kNoItem), "TOP/docs").found);
}

TEST_F(Saving, WalkEndsOnLoopingLinks) {
    parser.entries[static_cast<std::size_t>(deep)].children.push_back(docs);
    int visited = 0;
    walkResults(parser, tree, tree.firstChild(kNoItem), [&](const WalkedItem&) {
        ++visited;
        return visited < 1000;
    });
    EXPECT_LT(visited, 1000);
}

namespace {
// Every name in the output folder, folders with a trailing slash.
std::vector<std::string> listing(const std::string& root) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        names.push_back(e.is_directory() && !e.is_symlink() ? rel + "/" : rel);
    }
    std::sort(names.begin(), names.end());
    return names;
}
}  // namespace

TEST(SavingChecked, ExactlyTheCheckedFilesUnderTheirFolderPaths) {
    FakeParser parser;
    MemoryTree tree;
    NullSink sink;
    StopFlag stop;
    TempDir out;
    ItemData level1 = parser.add(0, "Level1", true);
    ItemData level2 = parser.add(level1, "Level2", true);
    parser.add(level2, "deep.txt", false, "deep");
    parser.add(level1, "one.txt", false, "one");
    ItemData data = parser.add(0, "Data", true);
    for (const char* n : {"a.dat", "b.dat", "medium.dat", "c.dat", "d.dat", "e.dat"})
        parser.add(data, n, false, n);
    parser.add(0, "unchecked.txt", false, "no");
    parser.attach(nullptr, &tree, &sink);
    parser.runWorker(1);
    TreeItem root = tree.firstChild(kNoItem);
    TreeItem level1Item = tree.child(root, 0), dataItem = tree.child(root, 1);

    FolderSaver saver(parser, sink, stop);
    EXPECT_TRUE(saver.planChecked(tree, root).empty());
    // Level1 checked unopened; Data opened, checked, medium.dat unchecked again.
    tree.setChecked(level1Item, true);
    parser.fillFolder(dataItem, FillReason::Selection);
    tree.setChecked(dataItem, true);
    tree.setChecked(tree.child(dataItem, 2), false);
    SavePlan plan = saver.planChecked(tree, root);
    EXPECT_EQ(plan.files, 7);
    ASSERT_EQ(plan.nodes.size(), 2u);
    EXPECT_TRUE(plan.nodes[0].whole);
    EXPECT_FALSE(plan.nodes[1].whole);

    std::vector<std::string> originals;
    saver.onFileDone = [&](const SaveRecord& f) { originals.push_back(f.originalPath); };
    SaveReport r = saver.savePlan(tree, root, plan, out.path());
    EXPECT_EQ(r.filesWritten, 7);
    EXPECT_EQ(listing(out.path()),
              (std::vector<std::string>{"Data/", "Data/a.dat", "Data/b.dat", "Data/c.dat",
                                        "Data/d.dat", "Data/e.dat", "Level1/", "Level1/Level2/",
                                        "Level1/Level2/deep.txt", "Level1/one.txt"}));
    EXPECT_EQ(originals[0], "Level1/Level2/deep.txt");
    EXPECT_EQ(originals.back(), "Data/e.dat");

    // The top item checked: everything, as saving the top item would.
    tree.setChecked(root, true);
    plan = saver.planChecked(tree, root);
    EXPECT_TRUE(plan.topChecked);
    EXPECT_EQ(plan.files, 9);
}

TEST(SavingTree, NoLinkIsFollowedAndNoNameIsLost) {
    FakeParser parser;
    NullSink sink;
    StopFlag stop;
    TempDir out, elsewhere;
    std::string e255;
    for (int i = 0; i < 255; ++i) e255 += "\xC3\xA9";
    ItemData docs = parser.add(0, "DOCS", true);
    parser.add(docs, "in-docs.txt", false, "d");
    parser.add(0, "x", false, "file x");
    ItemData x = parser.add(0, "x", true);  // a folder named as the file beside it
    parser.add(x, "in-x.txt", false, "in x");
    parser.add(0, "taken", true);  // a file of that name is already in the output
    parser.add(0, e255 + ".txt", false, "long");
    parser.add(0, e255 + ".txt", false, "long again");
    ItemData nameless = parser.add(0, "many", true);
    for (int i = 0; i < 300; ++i) parser.add(nameless, "", false, std::to_string(i));
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), out.file("DOCS").c_str()), 0);
    writeFile(out.file("taken"), "was here");

    FolderSaver saver(parser, sink, stop);
    SaveReport r = saver.saveEntry(0, out.path());
    EXPECT_EQ(r.filesWritten, 305);
    EXPECT_TRUE(r.failures.empty());
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));  // the link's target is untouched
    EXPECT_EQ(readFile(out.file("DOCS (1)/in-docs.txt")), "d");
    EXPECT_EQ(readFile(out.file("x")), "file x");
    EXPECT_EQ(readFile(out.file("x (1)/in-x.txt")), "in x");
    EXPECT_EQ(readFile(out.file("taken")), "was here");
    EXPECT_TRUE(fs::is_directory(out.file("taken (1)")));
    std::string shortened = e255.substr(0, 250) + ".txt";
    EXPECT_EQ(readFile(out.file(shortened)), "long");
    EXPECT_EQ(readFile(out.file(e255.substr(0, 246) + " (1).txt")), "long again");
    EXPECT_EQ(readFile(out.file("many/unnamed (299)")), "299");
}

TEST(SavingTree, FolderTimesAreSetAfterTheirFiles) {
    FakeParser parser;
    NullSink sink;
    StopFlag stop;
    TempDir out;
    ItemData outer = parser.add(0, "outer", true);
    ItemData inner = parser.add(outer, "inner", true);
    parser.add(inner, "f.txt", false, "f");
    parser.entries[static_cast<std::size_t>(outer)].times = {
        {}, HostTime{1000, 0}, HostTime{2000, 0}};
    parser.entries[static_cast<std::size_t>(inner)].times = {
        {}, HostTime{3000, 0}, HostTime{4000, 0}};
    FolderSaver saver(parser, sink, stop);
    saver.saveEntry(0, out.path());
    struct stat st {};
    ASSERT_EQ(::stat(out.file("outer").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);
    EXPECT_EQ(st.st_atim.tv_sec, 1000);
    ASSERT_EQ(::stat(out.file("outer/inner").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 4000);
}

TEST(SavingFiles, DamageIsMarkedAndNothingFalseIsNamed) {
    // A volume of 64 KiB; files are read from it at their offsets.
    MemorySource source(std::vector<std::uint8_t>(65536, 'v'));
    source.failSectors(40, 16);  // 8 KiB unreadable at 20480
    FakeParser parser;
    NullSink sink;
    StopFlag stop;
    TempDir out;
    auto onVolume = [&](const std::string& name, std::int64_t at, std::size_t size) {
        ItemData e = parser.add(0, name, false, std::string(size, '\0'));
        parser.entries[static_cast<std::size_t>(e)].onVolume = at;
        parser.entries[static_cast<std::size_t>(e)].times = {{}, HostTime{5, 0}, HostTime{7, 0}};
        return e;
    };
    onVolume("good.bin", 0, 16384);
    onVolume("bad-inside.bin", 16384, 32768);
    onVolume("all-bad.bin", 20480, 8192);
    onVolume("past-end.bin", 60000, 10000);
    ItemData sparse = parser.add(0, "sparse.bin", false, "head");
    parser.entries[static_cast<std::size_t>(sparse)].hole = 8u << 20;
    parser.attach(&source, nullptr, nullptr);

    FolderSaver saver(parser, sink, stop);
    std::map<std::string, SaveRecord> report;
    saver.onFileDone = [&](const SaveRecord& f) { report[f.originalPath] = f; };
    SaveReport r = saver.saveEntry(0, out.path());
    EXPECT_EQ(r.filesWritten, 2);
    EXPECT_EQ(r.incomplete.size(), 2u);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(listing(out.path()),
              (std::vector<std::string>{"bad-inside.bin.incomplete", "good.bin",
                                        "past-end.bin.incomplete", "sparse.bin"}));

    const SaveRecord& bad = report["bad-inside.bin"];
    EXPECT_EQ(bad.status, SaveStatus::Incomplete);
    std::string got = readFile(out.file("bad-inside.bin.incomplete"));
    EXPECT_EQ(got, std::string(4096, 'v') + std::string(8192, '\0') + std::string(20480, 'v'));
    EXPECT_EQ(bad.sha256, sha256Hex(got));
    ASSERT_EQ(bad.damage.size(), 1u);
    EXPECT_EQ(bad.damage[0].kind, DamagedRange::Kind::Unreadable);
    EXPECT_EQ(bad.damage[0].fileOffset, 4096u);
    EXPECT_EQ(bad.damage[0].imageOffset, 20480);
    EXPECT_EQ(bad.damage[0].length, 8192u);
    struct stat st {};
    ASSERT_EQ(::stat(out.file("bad-inside.bin.incomplete").c_str(), &st), 0);
    EXPECT_NE(st.st_mtim.tv_sec, 7);  // not given the recorded times
    ASSERT_EQ(::stat(out.file("good.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 7);

    EXPECT_EQ(report["all-bad.bin"].status, SaveStatus::Failed);
    EXPECT_TRUE(report["all-bad.bin"].savedPath.empty());
    const SaveRecord& past = report["past-end.bin"];
    ASSERT_EQ(past.damage.size(), 1u);
    EXPECT_EQ(past.damage[0].kind, DamagedRange::Kind::PastSourceEnd);
    EXPECT_EQ(past.damage[0].fileOffset, 5536u);
    EXPECT_EQ(past.reason, "4464 bytes past the end of the source, saved as zeros");

    const SaveRecord& holes = report["sparse.bin"];
    EXPECT_EQ(holes.status, SaveStatus::Whole);
    EXPECT_EQ(holes.sha256, sha256Hex("head" + std::string(8u << 20, '\0')));
    ASSERT_EQ(::stat(out.file("sparse.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4 + (8 << 20));
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    EXPECT_EQ(holes.runs, (std::vector<ByteRun>{{4, -1, 8u << 20, ByteRun::Kind::Hole}}));
}

TEST(SavingFiles, LargeFilesAreAskedForAndStopLeavesNoHalfFile) {
    FakeParser parser;
    NullSink sink;
    StopFlag stop;
    TempDir out;
    ItemData huge = parser.add(0, "huge.bin", false, "x");
    parser.entries[static_cast<std::size_t>(huge)].hole = std::uint64_t{1} << 50;
    parser.add(0, "small.txt", false, "s");
    FolderSaver saver(parser, sink, stop);
    std::vector<std::string> asked;
    saver.confirmLargeFile = [&](const std::string& path, std::uint64_t size, std::int64_t free) {
        asked.push_back(path);
        EXPECT_GT(size, static_cast<std::uint64_t>(free));
        return false;
    };
    SaveReport r = saver.saveEntry(0, out.path());
    EXPECT_EQ(asked, std::vector<std::string>{out.file("huge.bin")});
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0].reason, "larger than the free space of the output folder");
    EXPECT_EQ(listing(out.path()), std::vector<std::string>{"small.txt"});

    // Yes to it, then Stop while its hole is written: the file is dropped, nothing half-made
    // stays, and the save ends there.
    TempDir again;
    saver.confirmLargeFile = [&](const std::string&, std::uint64_t, std::int64_t) {
        stop.request();
        return true;
    };
    r = saver.saveEntry(0, again.path());
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.filesHandled, 1);
    EXPECT_TRUE(fs::is_empty(again.path()));
}

TEST(SavingFiles, AFullOutputFailsTheFileAndLeavesNothingOfIt) {
    FakeParser parser;
    NullSink sink;
    StopFlag stop;
    TempDir out;
    parser.add(0, "big.log", false, std::string(200000, 'l'));
    parser.add(0, "small.txt", false, "fits");
    // The output takes no file past 64 KiB, as a full disk would refuse more.
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1 << 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    FolderSaver saver(parser, sink, stop);
    SaveReport r = saver.saveEntry(0, out.path());
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(r.filesWritten, 1);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0].path, out.file("big.log"));
    EXPECT_EQ(r.failures[0].reason, "could not be written: File too large");
    EXPECT_EQ(listing(out.path()), std::vector<std::string>{"small.txt"});
}

TEST(SavingManyFiles, NamesTimesAndReportFollowTheReadOrderWhateverIsWrittenFirst) {
    // Writer threads finish files out of order: names, folder times and the report must not.
    FakeParser parser;
    MemoryTree tree;
    NullSink sink;
    StopFlag stop;
    TempDir out;
    ItemData folder = parser.add(0, "same", true);
    parser.entries[static_cast<std::size_t>(folder)].times.modified = HostTime{1500000000, 0};
    std::vector<std::string> expectedNames;
    for (int i = 0; i < 300; ++i) {
        // Sizes vary so later small files often overtake earlier large ones.
        std::string data = std::to_string(i) + std::string(i % 7 == 0 ? 200000 : i, 'x');
        parser.add(folder, i % 3 == 2 ? "b.txt" : "a.txt", false, data);
    }
    parser.attach(nullptr, &tree, &sink);
    parser.runWorker(1);
    FolderSaver saver(parser, sink, stop);
    std::vector<std::string> saved;
    saver.onFileDone = [&](const SaveRecord& f) { saved.push_back(f.savedPath); };
    SaveReport r = saver.saveItem(tree, tree.firstChild(kNoItem), out.path());
    EXPECT_EQ(r.filesWritten, 300);
    ASSERT_EQ(saved.size(), 300u);
    int a = 0, b = 0;
    for (int i = 0; i < 300; ++i) {
        const bool isB = i % 3 == 2;
        int& n = isB ? b : a;
        const std::string base = isB ? "b" : "a";
        const std::string name = n == 0 ? base + ".txt" : base + " (" + std::to_string(n) + ").txt";
        ++n;
        ASSERT_EQ(saved[static_cast<std::size_t>(i)], "same/" + name) << i;
        const std::string content = readFile(out.file("same/" + name));
        ASSERT_EQ(content.substr(0, std::to_string(i).size()), std::to_string(i)) << name;
    }
    struct stat st {};
    ASSERT_EQ(::stat(out.file("same").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
}

TEST(SavingManyFiles, ReadingFarAheadWaitsForAFileNotForAFolder) {
    // With little read-ahead allowed the saver waits on the writers often, and the entry it
    // waits at may be a made folder (which the writers never handle): that wait must not hang.
    FakeParser parser;
    MemoryTree tree;
    NullSink sink;
    StopFlag stop;
    TempDir out;
    ItemData top = parser.add(0, "top", true);
    for (int d = 0; d < 40; ++d) {
        ItemData folder = parser.add(top, "f" + std::to_string(d), true);
        parser.entries[static_cast<std::size_t>(folder)].times.modified =
            HostTime{1400000000 + d, 0};
        parser.add(folder, "one.txt", false, "one " + std::to_string(d));
    }
    parser.attach(nullptr, &tree, &sink);
    parser.runWorker(1);
    FolderSaver saver(parser, sink, stop);
    saver.readAhead = 2;
    SaveReport r = saver.saveItem(tree, tree.firstChild(kNoItem), out.path());
    EXPECT_EQ(r.filesWritten, 40);
    for (int d = 0; d < 40; ++d) {
        const std::string folder = "top/f" + std::to_string(d);
        EXPECT_EQ(readFile(out.file(folder + "/one.txt")), "one " + std::to_string(d));
        struct stat st {};
        ASSERT_EQ(::stat(out.file(folder).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1400000000 + d) << folder;
    }
}
