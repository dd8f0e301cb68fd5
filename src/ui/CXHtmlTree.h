#pragma once
// The results tree: a check-box tree view over the core's MemoryTree. Items appear as the tree
// grows; insertions are handed to the view in batches, so a folder of 100,000 entries opens at
// once instead of item by item.
#include <QAbstractItemModel>
#include <QTreeView>
#include <vector>

#include "scan/MemoryTree.h"

namespace vel {

class ResultsTreeModel final : public QAbstractItemModel, public TreeObserver {
    Q_OBJECT
  public:
    explicit ResultsTreeModel(MemoryTree& tree, QObject* parent = nullptr);
    ~ResultsTreeModel() override;

    MemoryTree& tree() { return tree_; }
    QModelIndex indexOf(TreeItem item) const;
    TreeItem itemAt(const QModelIndex& index) const;
    // Hands pending insertions to the views now.
    void flush();

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  signals:
    void expandIndex(const QModelIndex& index);
    void checkChanged(TreeItem item);

  private:
    void childrenInserted(TreeItem parent, std::uint32_t firstRow, std::uint32_t count) override;
    void aboutToRemove(TreeItem parent, std::uint32_t row) override;
    void removed() override;
    void aboutToReset() override;
    void reset() override;
    void itemChanged(TreeItem item) override;
    void expandRequested(TreeItem item) override;
    using QAbstractItemModel::parent;

    std::uint32_t& published(TreeItem item) const;
    void flushItem(TreeItem item);
    void scheduleFlush();

    MemoryTree& tree_;
    mutable std::vector<std::uint32_t> published_;  // rows the views know of, by item
    std::vector<TreeItem> pending_;
    TreeItem removingParent_ = kNoItem;
    bool removingVisible_ = false;
    bool flushScheduled_ = false;
    bool checksDirty_ = false;
};

class CXHtmlTree final : public QTreeView {
    Q_OBJECT
  public:
    explicit CXHtmlTree(QWidget* parent = nullptr);
    void setResultsModel(ResultsTreeModel* model);
    ResultsTreeModel* resultsModel() const { return model_; }
    TreeItem currentItem() const;
    void selectItem(TreeItem item);

  private:
    ResultsTreeModel* model_ = nullptr;
};

}  // namespace vel
