#include "ui/CXHtmlTree.h"

#include <QBrush>
#include <QColor>
#include <QTimer>

#include "ui/CUseShGetFileInfo.h"

namespace vel {

ResultsTreeModel::ResultsTreeModel(MemoryTree& tree, QObject* parent)
    : QAbstractItemModel(parent), tree_(tree) {
    published(kNoItem) = tree_.childCount(kNoItem);
    tree_.setObserver(this);
}

ResultsTreeModel::~ResultsTreeModel() {
    tree_.setObserver(nullptr);
}

std::uint32_t& ResultsTreeModel::published(TreeItem item) const {
    if (item >= published_.size()) published_.resize(static_cast<std::size_t>(item) + 1024, 0);
    return published_[item];
}

TreeItem ResultsTreeModel::itemAt(const QModelIndex& index) const {
    return index.isValid() ? static_cast<TreeItem>(index.internalId()) : kNoItem;
}

QModelIndex ResultsTreeModel::indexOf(TreeItem item) const {
    if (item == kNoItem || !tree_.isValid(item)) return {};
    std::uint32_t row = tree_.row(item);
    if (row >= published(tree_.parent(item))) return {};
    return createIndex(static_cast<int>(row), 0, static_cast<quintptr>(item));
}

QModelIndex ResultsTreeModel::index(int row, int column, const QModelIndex& parent) const {
    TreeItem p = itemAt(parent);
    if (row < 0 || column != 0 || static_cast<std::uint32_t>(row) >= published(p)) return {};
    TreeItem item = tree_.child(p, static_cast<std::uint32_t>(row));
    return item ? createIndex(row, 0, static_cast<quintptr>(item)) : QModelIndex();
}

QModelIndex ResultsTreeModel::parent(const QModelIndex& child) const {
    TreeItem item = itemAt(child);
    if (item == kNoItem) return {};
    return indexOf(tree_.parent(item));
}

int ResultsTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    TreeItem p = itemAt(parent);
    if (p != kNoItem && !tree_.isValid(p)) return 0;
    return static_cast<int>(published(p));
}

int ResultsTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant ResultsTreeModel::data(const QModelIndex& index, int role) const {
    TreeItem item = itemAt(index);
    if (!tree_.isValid(item)) return {};
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(tree_.itemText(item));
        case Qt::DecorationRole:
            switch (tree_.itemIcon(item)) {
                case IconKind::Folder:
                    return shellIcons().folderIcon();
                case IconKind::File:
                    return shellIcons().fileIcon(QString::fromStdString(tree_.itemText(item)));
                case IconKind::Placeholder:
                    return {};
            }
            return {};
        case Qt::ForegroundRole:
            if (tree_.itemColour(item) == kDeletedColour) return QBrush(QColor(255, 0, 0));
            return {};
        case Qt::CheckStateRole:
            switch (tree_.checkState(item)) {
                case CheckState::Checked:
                    return Qt::Checked;
                case CheckState::Partial:
                    return Qt::PartiallyChecked;
                case CheckState::Unchecked:
                    return Qt::Unchecked;
            }
            return {};
        default:
            return {};
    }
}

bool ResultsTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    TreeItem item = itemAt(index);
    if (role != Qt::CheckStateRole || !tree_.isValid(item)) return false;
    tree_.setChecked(item, value.toInt() == Qt::Checked);
    emit checkChanged(item);
    return true;
}

Qt::ItemFlags ResultsTreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

void ResultsTreeModel::scheduleFlush() {
    if (flushScheduled_) return;
    flushScheduled_ = true;
    QTimer::singleShot(0, this, [this] { flush(); });
}

void ResultsTreeModel::childrenInserted(TreeItem parent, std::uint32_t, std::uint32_t) {
    if (pending_.empty() || pending_.back() != parent) pending_.push_back(parent);
    scheduleFlush();
}

void ResultsTreeModel::flushItem(TreeItem item) {
    if (item != kNoItem) {
        // Rows under an item the views do not know yet arrive with the item itself.
        if (!tree_.isValid(item) || !indexOf(item).isValid()) return;
    }
    std::uint32_t have = published(item), now = tree_.childCount(item);
    if (now <= have) return;
    beginInsertRows(indexOf(item), static_cast<int>(have), static_cast<int>(now - 1));
    published(item) = now;
    std::vector<TreeItem> fresh;
    for (std::uint32_t r = have; r < now; ++r) fresh.push_back(tree_.child(item, r));
    while (!fresh.empty()) {
        TreeItem c = fresh.back();
        fresh.pop_back();
        std::uint32_t n = tree_.childCount(c);
        published(c) = n;
        for (std::uint32_t r = 0; r < n; ++r) fresh.push_back(tree_.child(c, r));
    }
    endInsertRows();
}

void ResultsTreeModel::flush() {
    flushScheduled_ = false;
    std::vector<TreeItem> pending;
    pending.swap(pending_);
    for (TreeItem item : pending) flushItem(item);
    if (checksDirty_) {
        checksDirty_ = false;
        emit checkChanged(kNoItem);
    }
}

void ResultsTreeModel::aboutToRemove(TreeItem parent, std::uint32_t row) {
    flush();
    removingParent_ = parent;
    removingVisible_ = (parent == kNoItem || indexOf(parent).isValid()) && row < published(parent);
    if (removingVisible_)
        beginRemoveRows(indexOf(parent), static_cast<int>(row), static_cast<int>(row));
}

void ResultsTreeModel::removed() {
    if (removingVisible_) {
        --published(removingParent_);
        endRemoveRows();
    } else if (published(removingParent_) > tree_.childCount(removingParent_)) {
        published(removingParent_) = tree_.childCount(removingParent_);
    }
    removingVisible_ = false;
}

void ResultsTreeModel::aboutToReset() {
    pending_.clear();
    beginResetModel();
}

void ResultsTreeModel::reset() {
    std::fill(published_.begin(), published_.end(), 0);
    published(kNoItem) = tree_.childCount(kNoItem);
    endResetModel();
}

void ResultsTreeModel::itemChanged(TreeItem) {
    checksDirty_ = true;
    scheduleFlush();
}

void ResultsTreeModel::expandRequested(TreeItem item) {
    flush();
    QModelIndex index = indexOf(item);
    if (index.isValid()) emit expandIndex(index);
}

CXHtmlTree::CXHtmlTree(QWidget* parent) : QTreeView(parent) {
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
}

void CXHtmlTree::setResultsModel(ResultsTreeModel* model) {
    model_ = model;
    setModel(model);
    connect(model, &ResultsTreeModel::checkChanged, this, [this] { viewport()->update(); });
    connect(model, &ResultsTreeModel::expandIndex, this,
            [this](const QModelIndex& index) { expand(index); });
}

TreeItem CXHtmlTree::currentItem() const {
    return model_ ? model_->itemAt(currentIndex()) : kNoItem;
}

void CXHtmlTree::selectItem(TreeItem item) {
    if (!model_) return;
    model_->flush();
    setCurrentIndex(model_->indexOf(item));
}

}  // namespace vel
