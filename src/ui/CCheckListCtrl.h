#pragma once
// The file list beside the results tree: one row per file of the selected folder, a check box
// per row bound to the file's tree item, and a check box in the header for all rows. After a
// search it lists the hits instead, each with its full path and a check box of its own.
#include <QAbstractTableModel>
#include <QHeaderView>
#include <QTableView>
#include <vector>

#include "scan/MemoryTree.h"
#include "scan/VolumeParser.h"
#include "search/PatternSearch.h"

namespace vel {

// Which rows the list shows. A hidden row keeps its check box: what is saved does not change.
enum class ShowFilter { All, DeletedOnly, LiveOnly };
struct ListFilter {
    ShowFilter show = ShowFilter::All;
    bool hideSystem = false;  // the file system's own files ($MFT ...)
};

class FileListModel final : public QAbstractTableModel {
    Q_OBJECT
  public:
    FileListModel(MemoryTree& tree, QObject* parent = nullptr);

    void setParser(const VolumeParser* parser) { parser_ = parser; }
    // Rows: the given tree items (files), in order, as far as the filter shows them.
    void setRows(std::vector<TreeItem> items);
    void clear() { setRows({}); }
    TreeItem itemAt(int row) const;
    // The rows shown.
    const std::vector<TreeItem>& rows() const { return rows_; }
    // Rows: search hits, unchecked, in order. system: per hit, whether it is the file system's
    // own (see isSystemEntry); empty when none is.
    void setHits(std::vector<SearchHit> hits, std::vector<char> system = {});
    bool showsHits() const { return showsHits_; }
    // Every hit of the search, shown or not.
    const std::vector<SearchHit>& hits() const { return hits_; }
    // The hit a row shows; null for none.
    const SearchHit* hitAt(int row) const;
    // The hits whose check box is set, hidden ones too.
    std::vector<SearchHit> checkedHits() const;
    void setFilter(ListFilter filter);
    ListFilter filter() const { return filter_; }
    // Rows before the filter: the folder's files or the search's hits.
    int unfilteredCount() const;
    // Checks or clears every shown row's tree item.
    void setAllChecked(bool checked);
    bool allChecked() const;
    void refreshChecks();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // By name, by a time, by size as a number or by attributes; the order stays for the next
    // folder shown. A column of -1 keeps the order the file system gives.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  signals:
    // item is kNoItem for a hit's check box.
    void rowCheckChanged(TreeItem item);

  private:
    struct Texts {
        QString cells[5];
        bool ready = false;
    };
    const Texts& texts(int row) const;
    // Picks the rows shown from all of them; then sorts.
    void applyFilter();
    bool passes(bool deleted, bool system) const;
    void applySort();
    QVariant hitData(const QModelIndex& index, int role) const;
    int size() const;
    ItemData entryAt(int row) const;
    bool isChecked(int row) const;

    MemoryTree& tree_;
    const VolumeParser* parser_ = nullptr;
    std::vector<TreeItem> allRows_;
    std::vector<TreeItem> rows_;
    bool showsHits_ = false;
    std::vector<SearchHit> hits_;
    std::vector<char> hitChecked_;  // per hit
    std::vector<char> hitSystem_;   // per hit; empty: none is
    std::vector<std::size_t> shownHits_;
    ListFilter filter_;
    mutable std::vector<Texts> cache_;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

// A header whose first section carries a check box.
class CCheckHeadCtrl final : public QHeaderView {
    Q_OBJECT
  public:
    explicit CCheckHeadCtrl(QWidget* parent = nullptr);
    void setChecked(bool checked);
    bool isChecked() const { return checked_; }

  signals:
    void toggled(bool checked);

  protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    bool checked_ = false;
};

class CCheckListCtrl final : public QTableView {
    Q_OBJECT
  public:
    explicit CCheckListCtrl(QWidget* parent = nullptr);
    void setListModel(FileListModel* model);
    FileListModel* listModel() const { return model_; }
    CCheckHeadCtrl* checkHeader() const { return header_; }
    // The widths the columns need for their whole texts (dates, sizes, captions).
    int neededWidth(int column) const;
    // Column widths as the user left them (kept between runs).
    void saveColumnWidths() const;

  private:
    void restoreColumnWidths();
    FileListModel* model_ = nullptr;
    CCheckHeadCtrl* header_;
};

}  // namespace vel
