#include "scan/MemoryTree.h"

#include <stdexcept>

namespace vel {

MemoryTree::MemoryTree() {
    nodes_.emplace_back();
    nodes_[0].alive = true;
}

bool MemoryTree::isValid(TreeItem item) const {
    return item != kNoItem && item < nodes_.size() && nodes_[item].alive;
}

MemoryTree::Node& MemoryTree::node(TreeItem item) {
    if (!isValid(item)) throw std::out_of_range("tree item");
    return nodes_[item];
}

const MemoryTree::Node& MemoryTree::node(TreeItem item) const {
    if (!isValid(item)) throw std::out_of_range("tree item");
    return nodes_[item];
}

std::vector<TreeItem>& MemoryTree::childrenOf(TreeItem item) {
    return item == kNoItem ? nodes_[0].children : node(item).children;
}

const std::vector<TreeItem>& MemoryTree::childrenOf(TreeItem item) const {
    return item == kNoItem ? nodes_[0].children : node(item).children;
}

CheckState MemoryTree::stateOf(const Node& n) const {
    if (n.children.empty()) return n.checked ? CheckState::Checked : CheckState::Unchecked;
    if (n.checkedChildren == n.children.size()) return CheckState::Checked;
    if (n.checkedChildren > 0 || n.partialChildren > 0) return CheckState::Partial;
    return CheckState::Unchecked;
}

void MemoryTree::childStateChanged(TreeItem parent, CheckState before, CheckState after) {
    // Walk up while the change alters the ancestor's own state.
    while (parent != kNoItem && before != after) {
        Node& n = nodes_[parent];
        CheckState parentBefore = stateOf(n);
        if (before == CheckState::Checked) --n.checkedChildren;
        if (before == CheckState::Partial) --n.partialChildren;
        if (after == CheckState::Checked) ++n.checkedChildren;
        if (after == CheckState::Partial) ++n.partialChildren;
        CheckState parentAfter = stateOf(n);
        n.checked = parentAfter == CheckState::Checked;
        if (parentAfter != parentBefore && observer_) observer_->itemChanged(parent);
        before = parentBefore;
        after = parentAfter;
        parent = n.parent;
    }
}

TreeItem MemoryTree::insertItem(const std::string& text, IconKind icon, TreeItem parent) {
    if (parent != kNoItem && !isValid(parent)) return kNoItem;
    auto handle = static_cast<TreeItem>(nodes_.size());
    nodes_.emplace_back();
    Node& child = nodes_.back();
    child.text = text;
    child.icon = icon;
    child.parent = parent;
    child.alive = true;
    ++live_;

    std::vector<TreeItem>& siblings = childrenOf(parent);
    child.row = static_cast<std::uint32_t>(siblings.size());
    if (parent == kNoItem) {
        siblings.push_back(handle);
    } else {
        Node& p = nodes_[parent];
        CheckState before = stateOf(p);
        child.checked = before == CheckState::Checked;
        p.children.push_back(handle);
        if (child.checked) ++p.checkedChildren;
        CheckState after = stateOf(p);
        p.checked = after == CheckState::Checked;
        childStateChanged(p.parent, before, after);
    }
    if (observer_) observer_->childrenInserted(parent, child.row, 1);
    return handle;
}

void MemoryTree::setItemData(TreeItem item, ItemData data) {
    if (isValid(item)) nodes_[item].data = data;
}

ItemData MemoryTree::itemData(TreeItem item) const {
    return isValid(item) ? nodes_[item].data : kNoData;
}

void MemoryTree::setItemColour(TreeItem item, std::uint32_t colour) {
    if (!isValid(item)) return;
    nodes_[item].colour = colour;
    if (observer_) observer_->itemChanged(item);
}

std::uint32_t MemoryTree::itemColour(TreeItem item) const {
    return isValid(item) ? nodes_[item].colour : kDefaultColour;
}

CheckState MemoryTree::checkState(TreeItem item) const {
    return isValid(item) ? stateOf(nodes_[item]) : CheckState::Unchecked;
}

void MemoryTree::setSubtree(TreeItem item, bool checked) {
    std::vector<TreeItem> pending{item};
    while (!pending.empty()) {
        Node& n = nodes_[pending.back()];
        pending.pop_back();
        n.checked = checked;
        n.checkedChildren = checked ? static_cast<std::uint32_t>(n.children.size()) : 0;
        n.partialChildren = 0;
        pending.insert(pending.end(), n.children.begin(), n.children.end());
    }
}

void MemoryTree::setChecked(TreeItem item, bool checked) {
    if (!isValid(item)) return;
    CheckState before = stateOf(nodes_[item]);
    setSubtree(item, checked);
    CheckState after = stateOf(nodes_[item]);
    if (observer_) observer_->itemChanged(item);
    childStateChanged(nodes_[item].parent, before, after);
}

TreeItem MemoryTree::firstChild(TreeItem item) const {
    if (item != kNoItem && !isValid(item)) return kNoItem;
    const auto& children = childrenOf(item);
    return children.empty() ? kNoItem : children.front();
}

TreeItem MemoryTree::nextSibling(TreeItem item) const {
    if (!isValid(item)) return kNoItem;
    const auto& siblings = childrenOf(nodes_[item].parent);
    std::uint32_t next = nodes_[item].row + 1;
    return next < siblings.size() ? siblings[next] : kNoItem;
}

TreeItem MemoryTree::parent(TreeItem item) const {
    return isValid(item) ? nodes_[item].parent : kNoItem;
}

std::string MemoryTree::itemText(TreeItem item) const {
    return isValid(item) ? nodes_[item].text : std::string();
}

void MemoryTree::setItemText(TreeItem item, const std::string& text) {
    if (!isValid(item)) return;
    nodes_[item].text = text;
    if (observer_) observer_->itemChanged(item);
}

IconKind MemoryTree::itemIcon(TreeItem item) const {
    return isValid(item) ? nodes_[item].icon : IconKind::File;
}

void MemoryTree::expand(TreeItem item) {
    if (!isValid(item)) return;
    nodes_[item].expanded = true;
    if (observer_) observer_->expandRequested(item);
}

bool MemoryTree::isExpanded(TreeItem item) const {
    return isValid(item) && nodes_[item].expanded;
}

void MemoryTree::release(TreeItem item) {
    std::vector<TreeItem> pending{item};
    while (!pending.empty()) {
        Node& n = nodes_[pending.back()];
        pending.pop_back();
        pending.insert(pending.end(), n.children.begin(), n.children.end());
        n.alive = false;
        --live_;
        std::string().swap(n.text);
        std::vector<TreeItem>().swap(n.children);
    }
}

void MemoryTree::deleteItem(TreeItem item) {
    if (!isValid(item)) return;
    TreeItem parent = nodes_[item].parent;
    std::uint32_t row = nodes_[item].row;
    if (observer_) observer_->aboutToRemove(parent, row);

    CheckState itemState = stateOf(nodes_[item]);
    CheckState parentBefore = parent != kNoItem ? stateOf(nodes_[parent]) : CheckState::Unchecked;
    std::vector<TreeItem>& siblings = childrenOf(parent);
    siblings.erase(siblings.begin() + row);
    for (std::uint32_t r = row; r < siblings.size(); ++r) nodes_[siblings[r]].row = r;
    release(item);

    if (parent != kNoItem) {
        // A parent left without children keeps its own flag, its last derived state.
        Node& p = nodes_[parent];
        if (itemState == CheckState::Checked) --p.checkedChildren;
        if (itemState == CheckState::Partial) --p.partialChildren;
        CheckState parentAfter = stateOf(p);
        p.checked = parentAfter == CheckState::Checked;
        childStateChanged(p.parent, parentBefore, parentAfter);
    }
    if (observer_) observer_->removed();
}

void MemoryTree::deleteAll() {
    if (observer_) observer_->aboutToReset();
    for (TreeItem top : std::vector<TreeItem>(nodes_[0].children)) release(top);
    nodes_[0].children.clear();
    if (observer_) observer_->reset();
}

std::uint32_t MemoryTree::childCount(TreeItem item) const {
    if (item != kNoItem && !isValid(item)) return 0;
    return static_cast<std::uint32_t>(childrenOf(item).size());
}

TreeItem MemoryTree::child(TreeItem item, std::uint32_t row) const {
    if (item != kNoItem && !isValid(item)) return kNoItem;
    const auto& children = childrenOf(item);
    return row < children.size() ? children[row] : kNoItem;
}

std::uint32_t MemoryTree::row(TreeItem item) const {
    return isValid(item) ? nodes_[item].row : 0;
}

}  // namespace vel
