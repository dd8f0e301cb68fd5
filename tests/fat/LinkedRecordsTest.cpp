#include <gtest/gtest.h>

#include "fs/fat/LinkedRecords.h"
#include "scan/MemoryTree.h"

namespace vel {
namespace {

struct TestRecord {
    RecordLinks links;
    std::string name;
    bool folder = false;
};

class TestParser : public LinkedRecordParser<TestRecord> {
  public:
    TestParser() : LinkedRecordParser(VolumeDescriptor{"test", "", "", "1", 0}) {}
    std::uint32_t add(std::string name, std::uint32_t parent, bool folder) {
        return appendRecord(TestRecord{{}, std::move(name), folder}, parent);
    }
    void link() { linkChildrenOfRecords(); }
    std::vector<TestRecord>& raw() { return records_; }
    WorkerResult runWorker(int) override {
        insertVolumeRootItem();
        fillRootLevel([](const TestRecord&) { return true; });
        addPlaceholders();
        return {};
    }
    bool isFolder(ItemData e) const override { return at(e).folder; }
    bool isDeleted(ItemData, ItemData) const override { return false; }
    EntryColumns entryColumns(ItemData) const override { return {}; }
    std::string entrySizeText(ItemData) const override { return ""; }
    std::uint64_t entrySize(ItemData) const override { return 0; }
    RecordedTimes recordedTimes(ItemData) const override { return {}; }
    bool extractEntry(const std::string&, ItemData) override { return false; }
};

std::vector<std::string> childNames(const TestParser& p, ItemData folder) {
    std::vector<std::string> names;
    p.forEachChild(folder, [&](ItemData c) {
        names.push_back(p.entryName(c));
        return true;
    });
    return names;
}

TEST(LinkedRecords, ChildrenInListOrderUnderTheirParents) {
    TestParser p;
    p.add(kDummyEntryName, 0, true);      // 0
    auto docs = p.add("docs", 0, true);   // 1
    p.add("a.txt", docs, false);          // 2
    p.add("root.txt", 0, false);          // 3
    auto sub = p.add("sub", docs, true);  // 4
    p.add("b.txt", sub, false);           // 5
    p.add("c.txt", docs, false);          // 6
    p.link();
    EXPECT_EQ(childNames(p, 0), (std::vector<std::string>{"docs", "root.txt"}));
    EXPECT_EQ(childNames(p, docs), (std::vector<std::string>{"a.txt", "sub", "c.txt"}));
    EXPECT_EQ(childNames(p, sub), (std::vector<std::string>{"b.txt"}));
    EXPECT_TRUE(p.hasChildren(docs));
    EXPECT_FALSE(p.hasChildren(5));
    // The top record is never its own child, and own indexes are list positions.
    EXPECT_EQ(p.raw()[0].links.nextSibling, kNoRecord);
    for (std::size_t i = 0; i < p.raw().size(); ++i) EXPECT_EQ(p.raw()[i].links.ownIndex, i);
}

TEST(LinkedRecords, BadParentsStayUnlinkedAndRelinkingIsStable) {
    TestParser p;
    p.add(kDummyEntryName, 0, true);
    p.add("x", 0, false);
    p.add("orphan", 99, false);
    p.link();
    p.link();  // linking twice gives the same chains
    EXPECT_EQ(childNames(p, 0), (std::vector<std::string>{"x"}));
    EXPECT_FALSE(p.isEntry(3));
    EXPECT_FALSE(p.isEntry(-1));
    EXPECT_TRUE(childNames(p, 42).empty());
}

TEST(LinkedRecords, WalkEndsOnLoopingLinks) {
    TestParser p;
    p.add(kDummyEntryName, 0, true);
    p.add("a", 0, false);
    p.add("b", 0, false);
    p.link();
    p.raw()[2].links.nextSibling = 1;  // damage: b -> a -> b ...
    auto names = childNames(p, 0);
    EXPECT_LE(names.size(), p.raw().size());
    EXPECT_EQ(names.front(), "a");
}

TEST(LinkedRecords, FirstLevelInTreeWithPlaceholders) {
    TestParser p;
    MemoryTree tree;
    p.attach(nullptr, &tree, nullptr);
    p.add(kDummyEntryName, 0, true);
    auto d = p.add("dir", 0, true);
    p.add("inner", d, false);
    p.add("empty", 0, true);
    p.add("f", 0, false);
    p.link();
    p.runWorker(1);
    TreeItem top = tree.firstChild(kNoItem);
    ASSERT_NE(top, kNoItem);
    std::vector<std::string> texts;
    for (TreeItem c = tree.firstChild(top); c; c = tree.nextSibling(c))
        texts.push_back(tree.itemText(c));
    EXPECT_EQ(texts, (std::vector<std::string>{"dir", "empty", "f"}));
    TreeItem dir = tree.firstChild(top);
    EXPECT_EQ(tree.itemData(dir), d);
    EXPECT_EQ(tree.itemText(tree.firstChild(dir)), kPlaceholderText);
    EXPECT_EQ(tree.firstChild(tree.nextSibling(dir)), kNoItem);
    EXPECT_TRUE(tree.isExpanded(top));
}

}  // namespace
}  // namespace vel
