#include "ui/CCheckListCtrl.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

#include "ui/CUseShGetFileInfo.h"

namespace vel {

namespace {
const char* const kCaptions[6] = {"File(s) List",      "Creation Time", "Access Time",
                                  "Modification Time", "Size",          "Attribute"};
const int kWidths[6] = {80, 90, 90, 90, 80, 70};  // pixels
}  // namespace

FileListModel::FileListModel(MemoryTree& tree, QObject* parent)
    : QAbstractTableModel(parent), tree_(tree) {}

void FileListModel::setRows(std::vector<TreeItem> items) {
    beginResetModel();
    showsHits_ = false;
    hits_.clear();
    hitChecked_.clear();
    rows_ = std::move(items);
    cache_.assign(rows_.size(), Texts{});
    endResetModel();
}

void FileListModel::setHits(std::vector<SearchHit> hits) {
    beginResetModel();
    showsHits_ = true;
    rows_.clear();
    hits_ = std::move(hits);
    hitChecked_.assign(hits_.size(), 0);
    cache_.assign(hits_.size(), Texts{});
    endResetModel();
}

std::vector<SearchHit> FileListModel::checkedHits() const {
    std::vector<SearchHit> checked;
    for (std::size_t i = 0; i < hits_.size(); ++i)
        if (hitChecked_[i]) checked.push_back(hits_[i]);
    return checked;
}

TreeItem FileListModel::itemAt(int row) const {
    return !showsHits_ && row >= 0 && static_cast<std::size_t>(row) < rows_.size()
               ? rows_[static_cast<std::size_t>(row)]
               : kNoItem;
}

int FileListModel::size() const {
    return static_cast<int>(showsHits_ ? hits_.size() : rows_.size());
}

ItemData FileListModel::entryAt(int row) const {
    if (row < 0 || row >= size()) return kNoData;
    if (showsHits_) return hits_[static_cast<std::size_t>(row)].entry;
    return tree_.itemData(rows_[static_cast<std::size_t>(row)]);
}

bool FileListModel::isChecked(int row) const {
    if (row < 0 || row >= size()) return false;
    if (showsHits_) return hitChecked_[static_cast<std::size_t>(row)] != 0;
    return tree_.isChecked(rows_[static_cast<std::size_t>(row)]);
}

const FileListModel::Texts& FileListModel::texts(int row) const {
    Texts& t = cache_[static_cast<std::size_t>(row)];
    if (!t.ready) {
        t.ready = true;
        ItemData e = entryAt(row);
        if (parser_ && parser_->isEntry(e)) {
            EntryColumns c = parser_->entryColumns(e);
            t.cells[0] = QString::fromStdString(c.created);
            t.cells[1] = QString::fromStdString(c.accessed);
            t.cells[2] = QString::fromStdString(c.modified);
            t.cells[3] = QString::fromStdString(parser_->entrySizeText(e));
            t.cells[4] = QString::fromStdString(c.attributes);
        }
    }
    return t;
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : size();
}

int FileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 6;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= size()) return {};
    if (showsHits_) return hitData(index, role);
    TreeItem item = itemAt(index.row());
    if (!tree_.isValid(item)) return {};
    int col = index.column();
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            if (col == 0) return QString::fromStdString(tree_.itemText(item));
            return texts(index.row()).cells[col - 1];
        case Qt::DecorationRole:
            if (col == 0)
                return shellIcons().fileIcon(QString::fromStdString(tree_.itemText(item)));
            return {};
        case Qt::CheckStateRole:
            if (col == 0) return tree_.isChecked(item) ? Qt::Checked : Qt::Unchecked;
            return {};
        case Qt::ForegroundRole:
            if (tree_.itemColour(item) == kDeletedColour) return QColor(255, 0, 0);
            return {};
        default:
            return {};
    }
}

QVariant FileListModel::hitData(const QModelIndex& index, int role) const {
    const SearchHit& hit = hits_[static_cast<std::size_t>(index.row())];
    int col = index.column();
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            if (col == 0) return QString::fromStdString(hit.path);
            return texts(index.row()).cells[col - 1];
        case Qt::DecorationRole:
            if (col == 0)
                return shellIcons().fileIcon(
                    QString::fromStdString(hit.path.substr(hit.path.rfind('/') + 1)));
            return {};
        case Qt::CheckStateRole:
            if (col == 0) return isChecked(index.row()) ? Qt::Checked : Qt::Unchecked;
            return {};
        case Qt::ForegroundRole:
            if (hit.deleted) return QColor(255, 0, 0);
            return {};
        default:
            return {};
    }
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || index.column() != 0 || index.row() >= size()) return false;
    if (showsHits_) {
        hitChecked_[static_cast<std::size_t>(index.row())] = value.toInt() == Qt::Checked;
        emit dataChanged(index, index, {Qt::CheckStateRole});
        emit rowCheckChanged(kNoItem);
        return true;
    }
    TreeItem item = itemAt(index.row());
    if (!tree_.isValid(item)) return false;
    tree_.setChecked(item, value.toInt() == Qt::Checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit rowCheckChanged(item);
    return true;
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 6)
        return QString(kCaptions[section]);
    return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

void FileListModel::setAllChecked(bool checked) {
    if (showsHits_) {
        hitChecked_.assign(hits_.size(), checked);
        refreshChecks();
        emit rowCheckChanged(kNoItem);
        return;
    }
    for (TreeItem item : rows_) tree_.setChecked(item, checked);
    refreshChecks();
    for (TreeItem item : rows_) emit rowCheckChanged(item);
}

bool FileListModel::allChecked() const {
    for (int row = 0; row < size(); ++row)
        if (!isChecked(row)) return false;
    return size() > 0;
}

void FileListModel::refreshChecks() {
    if (size() > 0) emit dataChanged(index(0, 0), index(size() - 1, 0), {Qt::CheckStateRole});
}

CCheckHeadCtrl::CCheckHeadCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setSectionsClickable(true);
}

void CCheckHeadCtrl::setChecked(bool checked) {
    if (checked_ == checked) return;
    checked_ = checked;
    viewport()->update();
}

void CCheckHeadCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    if (logicalIndex != 0) {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        return;
    }
    // The first caption moves right to make room for the check box.
    QStyleOptionHeader header;
    initStyleOption(&header);
    header.rect = rect;
    header.section = logicalIndex;
    QString caption = model() ? model()->headerData(0, Qt::Horizontal).toString() : QString();
    painter->save();
    style()->drawControl(QStyle::CE_HeaderSection, &header, painter, this);
    int size = style()->pixelMetric(QStyle::PM_IndicatorWidth);
    QStyleOptionButton box;
    box.rect = QRect(rect.left() + 3, rect.top() + (rect.height() - size) / 2, size, size);
    box.state = QStyle::State_Enabled | (checked_ ? QStyle::State_On : QStyle::State_Off);
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter);
    painter->drawText(rect.adjusted(size + 8, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft, caption);
    painter->restore();
}

void CCheckHeadCtrl::mousePressEvent(QMouseEvent* event) {
    if (logicalIndexAt(event->position().toPoint()) == 0 &&
        event->position().x() < sectionViewportPosition(0) + 24) {
        checked_ = !checked_;
        viewport()->update();
        emit toggled(checked_);
        return;
    }
    QHeaderView::mousePressEvent(event);
}

CCheckListCtrl::CCheckListCtrl(QWidget* parent)
    : QTableView(parent), header_(new CCheckHeadCtrl(this)) {
    setHorizontalHeader(header_);
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    setWordWrap(false);
}

void CCheckListCtrl::setListModel(FileListModel* model) {
    model_ = model;
    setModel(model);
    for (int i = 0; i < 6; ++i) setColumnWidth(i, kWidths[i]);
    header_->setStretchLastSection(true);
    connect(header_, &CCheckHeadCtrl::toggled, model, &FileListModel::setAllChecked);
    connect(model, &QAbstractItemModel::modelReset, this,
            [this] { header_->setChecked(model_->allChecked()); });
    connect(model, &FileListModel::rowCheckChanged, this,
            [this] { header_->setChecked(model_->allChecked()); });
}

}  // namespace vel
