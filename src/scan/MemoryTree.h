#pragma once
#include <vector>

#include "scan/ResultsTree.h"

namespace vel {

// Told of changes so a view can follow; calls arrive on the thread that changes the tree.
class TreeObserver {
  public:
    virtual ~TreeObserver() = default;
    virtual void childrenInserted(TreeItem parent, std::uint32_t firstRow, std::uint32_t count) = 0;
    virtual void aboutToRemove(TreeItem parent, std::uint32_t row) = 0;
    virtual void removed() = 0;
    virtual void aboutToReset() = 0;
    virtual void reset() = 0;
    virtual void itemChanged(TreeItem item) = 0;  // text, text colour or check state
    virtual void expandRequested(TreeItem item) = 0;
};

// The tree in memory, with the check rules: checking an item checks its inserted descendants, and
// an item with children reads checked only when all of them are (partly checked when some are).
class MemoryTree final : public ResultsTree {
  public:
    MemoryTree();

    TreeItem insertItem(const std::string& text, IconKind icon, TreeItem parent) override;
    void setItemData(TreeItem item, ItemData data) override;
    ItemData itemData(TreeItem item) const override;
    void setItemColour(TreeItem item, std::uint32_t colour) override;
    std::uint32_t itemColour(TreeItem item) const override;
    CheckState checkState(TreeItem item) const override;
    void setChecked(TreeItem item, bool checked) override;
    TreeItem firstChild(TreeItem item) const override;
    TreeItem nextSibling(TreeItem item) const override;
    TreeItem parent(TreeItem item) const override;
    std::string itemText(TreeItem item) const override;
    void setItemText(TreeItem item, const std::string& text) override;
    IconKind itemIcon(TreeItem item) const override;
    void expand(TreeItem item) override;
    void deleteItem(TreeItem item) override;
    void deleteAll() override;

    // For views: children by row, an item's row, whether it is expanded.
    std::uint32_t childCount(TreeItem item) const;
    TreeItem child(TreeItem item, std::uint32_t row) const;
    std::uint32_t row(TreeItem item) const;
    bool isExpanded(TreeItem item) const;
    bool isValid(TreeItem item) const;
    std::size_t liveItemCount() const { return live_; }

    void setObserver(TreeObserver* observer) { observer_ = observer; }

  private:
    struct Node {
        std::string text;
        std::vector<TreeItem> children;
        ItemData data = kNoData;
        TreeItem parent = kNoItem;
        std::uint32_t row = 0;
        std::uint32_t colour = kDefaultColour;
        std::uint32_t checkedChildren = 0;
        std::uint32_t partialChildren = 0;
        IconKind icon = IconKind::File;
        bool checked = false;
        bool alive = false;
        bool expanded = false;
    };

    Node& node(TreeItem item);
    const Node& node(TreeItem item) const;
    std::vector<TreeItem>& childrenOf(TreeItem item);
    const std::vector<TreeItem>& childrenOf(TreeItem item) const;
    CheckState stateOf(const Node& n) const;
    void setSubtree(TreeItem item, bool checked);
    void childStateChanged(TreeItem parent, CheckState before, CheckState after);
    void release(TreeItem item);

    std::vector<Node> nodes_;  // index 0 is the invisible top
    std::vector<TreeItem> free_;
    std::size_t live_ = 0;
    TreeObserver* observer_ = nullptr;
};

}  // namespace vel
