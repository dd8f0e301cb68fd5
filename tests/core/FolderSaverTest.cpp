#include <gtest/gtest.h>

#include <filesystem>

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
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0], out.file("unreadable"));
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
