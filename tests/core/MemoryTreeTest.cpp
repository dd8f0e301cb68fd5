#include <gtest/gtest.h>

#include "scan/MemoryTree.h"

using namespace vel;

namespace {
struct Tree : ::testing::Test {
    MemoryTree tree;
    TreeItem root = tree.insertItem("ROOT", IconKind::Folder, kNoItem);
    TreeItem docs = tree.insertItem("docs", IconKind::Folder, root);
    TreeItem a = tree.insertItem("a.txt", IconKind::File, docs);
    TreeItem b = tree.insertItem("b.txt", IconKind::File, docs);
    TreeItem c = tree.insertItem("c.txt", IconKind::File, root);
};
}  // namespace

TEST_F(Tree, NavigationFollowsInsertionOrder) {
    EXPECT_EQ(tree.firstChild(kNoItem), root);
    EXPECT_EQ(tree.firstChild(root), docs);
    EXPECT_EQ(tree.nextSibling(docs), c);
    EXPECT_EQ(tree.nextSibling(c), kNoItem);
    EXPECT_EQ(tree.parent(b), docs);
    EXPECT_EQ(tree.child(docs, 1), b);
    EXPECT_EQ(tree.row(b), 1u);
    EXPECT_EQ(tree.itemText(a), "a.txt");
    EXPECT_EQ(tree.itemData(a), kNoData);
    tree.setItemData(a, 42);
    EXPECT_EQ(tree.itemData(a), 42);
}

TEST_F(Tree, CheckingAFolderChecksItsInsertedDescendants) {
    tree.setChecked(docs, true);
    EXPECT_TRUE(tree.isChecked(a));
    EXPECT_TRUE(tree.isChecked(b));
    EXPECT_EQ(tree.checkState(root), CheckState::Partial);  // c is not checked
    tree.setChecked(c, true);
    EXPECT_EQ(tree.checkState(root), CheckState::Checked);
    tree.setChecked(a, false);
    EXPECT_EQ(tree.checkState(docs), CheckState::Partial);
    EXPECT_EQ(tree.checkState(root), CheckState::Partial);
    tree.setChecked(b, false);
    EXPECT_EQ(tree.checkState(docs), CheckState::Unchecked);
}

TEST_F(Tree, ItemsInsertedLaterTakeTheirFoldersState) {
    tree.setChecked(docs, true);
    TreeItem d = tree.insertItem("d.txt", IconKind::File, docs);
    EXPECT_TRUE(tree.isChecked(d));
    EXPECT_TRUE(tree.isChecked(docs));
    tree.setChecked(root, false);
    TreeItem e = tree.insertItem("e.txt", IconKind::File, docs);
    EXPECT_FALSE(tree.isChecked(e));
}

TEST_F(Tree, ReplacingAPlaceholderKeepsTheFoldersCheck) {
    TreeItem sub = tree.insertItem("sub", IconKind::Folder, root);
    TreeItem dummy = tree.insertItem(kPlaceholderText, IconKind::Placeholder, sub);
    tree.setChecked(sub, true);
    EXPECT_TRUE(tree.isChecked(dummy));
    tree.deleteItem(dummy);
    EXPECT_EQ(tree.childCount(sub), 0u);
    EXPECT_TRUE(tree.isChecked(sub));
    TreeItem x = tree.insertItem("x", IconKind::File, sub);
    EXPECT_TRUE(tree.isChecked(x));
}

TEST_F(Tree, DeletingRemovesDescendantsAndRenumbersRows) {
    tree.deleteItem(docs);
    EXPECT_FALSE(tree.isValid(a));
    EXPECT_FALSE(tree.isValid(docs));
    EXPECT_EQ(tree.firstChild(root), c);
    EXPECT_EQ(tree.row(c), 0u);
    EXPECT_EQ(tree.liveItemCount(), 2u);
    // Handles of deleted items are never reused.
    TreeItem n = tree.insertItem("n", IconKind::File, root);
    EXPECT_NE(n, docs);
    EXPECT_NE(n, a);
    tree.deleteAll();
    EXPECT_EQ(tree.firstChild(kNoItem), kNoItem);
    EXPECT_EQ(tree.liveItemCount(), 0u);
}

TEST_F(Tree, DeletingAnUncheckedChildCanCompleteTheParent) {
    tree.setChecked(a, true);
    EXPECT_EQ(tree.checkState(docs), CheckState::Partial);
    tree.deleteItem(b);
    EXPECT_EQ(tree.checkState(docs), CheckState::Checked);
}

TEST(MemoryTreeLarge, HundredThousandChildren) {
    MemoryTree tree;
    TreeItem root = tree.insertItem("ROOT", IconKind::Folder, kNoItem);
    TreeItem orphan = tree.insertItem("ORPHAN_ENTRY", IconKind::Folder, root);
    for (int i = 0; i < 100000; ++i)
        tree.insertItem("f" + std::to_string(i), IconKind::File, orphan);
    tree.setChecked(orphan, true);
    tree.setChecked(tree.child(orphan, 99999), false);
    EXPECT_EQ(tree.checkState(orphan), CheckState::Partial);
    EXPECT_EQ(tree.itemText(tree.child(orphan, 54321)), "f54321");
}
