#include "ui/CCheckListCtrl.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QSettings>
#include <QStyleOptionButton>
#include <algorithm>
#include <numeric>
#include <unordered_map>

#include "scan/ResultsWalk.h"
#include "ui/CUseShGetFileInfo.h"

namespace vel {

namespace {
const char* const kCaptions[6] = {"File(s) List",      "Creation Time", "Access Time",
                                  "Modification Time", "Size",          "Attribute"};
// The widest text each column shows, besides its caption.
const char* const kWidestText[6] = {"",
                                    "00/00/0000  00:00 AM",
                                    "00/00/0000  00:00 AM",
                                    "00/00/0000  00:00 AM",
                                    "1023.99 MB",
                                    "drwxrwxrwx"};
const char* const kWidthsKey = "fileList/columnWidths";
}  // namespace

FileListModel::FileListModel(MemoryTree& tree, QObject* parent)
    : QAbstractTableModel(parent), tree_(tree) {}

void FileListModel::setRows(std::vector<TreeItem> items) {
    beginResetModel();
    showsHits_ = false;
    hits_.clear();
    hitChecked_.clear();
    hitSystem_.clear();
    shownHits_.clear();
    allRows_ = std::move(items);
    applyFilter();
    endResetModel();
}

void FileListModel::setHits(std::vector<SearchHit> hits, std::vector<char> system) {
    beginResetModel();
    showsHits_ = true;
    allRows_.clear();
    rows_.clear();
    hits_ = std::move(hits);
    hitChecked_.assign(hits_.size(), 0);
    hitSystem_ = std::move(system);
    if (hitSystem_.size() != hits_.size()) hitSystem_.assign(hits_.size(), 0);
    applyFilter();
    endResetModel();
}

void FileListModel::setFilter(ListFilter filter) {
    beginResetModel();
    filter_ = filter;
    applyFilter();
    endResetModel();
}

bool FileListModel::passes(bool deleted, bool system) const {
    if (filter_.hideSystem && system) return false;
    if (filter_.show == ShowFilter::DeletedOnly) return deleted;
    if (filter_.show == ShowFilter::LiveOnly) return !deleted;
    return true;
}

void FileListModel::applyFilter() {
    if (showsHits_) {
        shownHits_.clear();
        for (std::size_t i = 0; i < hits_.size(); ++i)
            if (passes(hits_[i].deleted, hitSystem_[i] != 0)) shownHits_.push_back(i);
    } else {
        rows_.clear();
        // The rows of a folder share their folders: each folder is asked about once.
        std::unordered_map<TreeItem, bool> systemFolder;
        for (TreeItem item : allRows_) {
            bool system = false;
            if (filter_.hideSystem && parser_ && tree_.isValid(item)) {
                const TreeItem folder = tree_.parent(item);
                auto known = systemFolder.find(folder);
                if (known == systemFolder.end())
                    known =
                        systemFolder.emplace(folder, isSystemItem(*parser_, tree_, folder)).first;
                const ItemData d = tree_.itemData(item);
                system = known->second || (parser_->isEntry(d) && parser_->isMetadata(d));
            }
            const bool deleted = tree_.isValid(item) && tree_.itemColour(item) == kDeletedColour;
            if (passes(deleted, system)) rows_.push_back(item);
        }
    }
    cache_.assign(static_cast<std::size_t>(size()), Texts{});
    applySort();
}

int FileListModel::unfilteredCount() const {
    return static_cast<int>(showsHits_ ? hits_.size() : allRows_.size());
}

const SearchHit* FileListModel::hitAt(int row) const {
    if (!showsHits_ || row < 0 || static_cast<std::size_t>(row) >= shownHits_.size())
        return nullptr;
    return &hits_[shownHits_[static_cast<std::size_t>(row)]];
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
    return static_cast<int>(showsHits_ ? shownHits_.size() : rows_.size());
}

ItemData FileListModel::entryAt(int row) const {
    if (row < 0 || row >= size()) return kNoData;
    if (showsHits_) return hitAt(row)->entry;
    return tree_.itemData(rows_[static_cast<std::size_t>(row)]);
}

bool FileListModel::isChecked(int row) const {
    if (row < 0 || row >= size()) return false;
    if (showsHits_) return hitChecked_[shownHits_[static_cast<std::size_t>(row)]] != 0;
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

void FileListModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column;
    sortOrder_ = order;
    if (column < 0 || column > 5) return;
    beginResetModel();
    applySort();
    endResetModel();
}

void FileListModel::applySort() {
    if (sortColumn_ < 0 || sortColumn_ > 5 || !parser_) return;
    const std::size_t n = static_cast<std::size_t>(size());
    // One key per row, computed once: a folder may hold a hundred thousand files.
    std::vector<std::int64_t> numbers(n);
    std::vector<QString> texts(n);
    for (std::size_t i = 0; i < n; ++i) {
        const int row = static_cast<int>(i);
        const ItemData e = entryAt(row);
        const bool entry = parser_->isEntry(e);
        if (sortColumn_ == 0) {
            texts[i] =
                QString::fromStdString(showsHits_ ? hitAt(row)->path : tree_.itemText(rows_[i]));
        } else if (sortColumn_ <= 3) {
            const RecordedTimes t = entry ? parser_->recordedTimes(e) : RecordedTimes{};
            const std::optional<HostTime>& when = sortColumn_ == 1   ? t.created
                                                  : sortColumn_ == 2 ? t.accessed
                                                                     : t.modified;
            numbers[i] = when ? when->seconds : std::numeric_limits<std::int64_t>::min();
        } else if (sortColumn_ == 4) {
            numbers[i] = entry
                             ? static_cast<std::int64_t>(std::min<std::uint64_t>(
                                   parser_->entrySize(e), std::numeric_limits<std::int64_t>::max()))
                             : -1;
        } else {
            texts[i] = QString::fromStdString(entry ? parser_->entryColumns(e).attributes : "");
        }
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const bool byText = sortColumn_ == 0 || sortColumn_ == 5;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (sortOrder_ == Qt::DescendingOrder) std::swap(a, b);
        return byText ? texts[a].compare(texts[b], Qt::CaseInsensitive) < 0
                      : numbers[a] < numbers[b];
    });
    auto permute = [&](auto& v) {
        std::remove_reference_t<decltype(v)> sorted;
        sorted.reserve(v.size());
        for (std::size_t i : order) sorted.push_back(std::move(v[i]));
        v = std::move(sorted);
    };
    if (showsHits_) {
        permute(shownHits_);
    } else {
        permute(rows_);
    }
    permute(cache_);
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
    const SearchHit& hit = *hitAt(index.row());
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
        hitChecked_[shownHits_[static_cast<std::size_t>(index.row())]] =
            value.toInt() == Qt::Checked;
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
        for (std::size_t i : shownHits_) hitChecked_[i] = checked;
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
    // The name takes the room the others leave; they fit their texts, never cut a date.
    header_->setStretchLastSection(false);
    header_->setSectionResizeMode(QHeaderView::Interactive);
    header_->setSectionResizeMode(0, QHeaderView::Stretch);
    header_->setMinimumSectionSize(40);
    for (int i = 1; i < 6; ++i) setColumnWidth(i, neededWidth(i));
    restoreColumnWidths();
    header_->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    connect(header_, &QHeaderView::sectionResized, this, [this](int column) {
        if (column != 0) saveColumnWidths();
    });
    connect(header_, &CCheckHeadCtrl::toggled, model, &FileListModel::setAllChecked);
    connect(model, &QAbstractItemModel::modelReset, this,
            [this] { header_->setChecked(model_->allChecked()); });
    connect(model, &FileListModel::rowCheckChanged, this,
            [this] { header_->setChecked(model_->allChecked()); });
}

int CCheckListCtrl::neededWidth(int column) const {
    if (column < 0 || column > 5) return 0;
    const QFontMetrics text(font());
    const QFontMetrics caption(header_->font());
    // Room for the cell margins and, in the header, the sort arrow.
    const int margin = 2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 8;
    const int arrow = style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, this) +
                      style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this) * 2;
    return std::max(text.horizontalAdvance(QString(kWidestText[column])) + margin,
                    caption.horizontalAdvance(QString(kCaptions[column])) + margin + arrow);
}

void CCheckListCtrl::saveColumnWidths() const {
    QList<QVariant> widths;
    for (int i = 1; i < 6; ++i) widths.push_back(columnWidth(i));
    QSettings().setValue(kWidthsKey, widths);
}

void CCheckListCtrl::restoreColumnWidths() {
    const QList<QVariant> widths = QSettings().value(kWidthsKey).toList();
    if (widths.size() != 5) return;
    // A width the user made smaller than the text is theirs to keep, but never none at all.
    for (int i = 1; i < 6; ++i) setColumnWidth(i, std::max(widths[i - 1].toInt(), 20));
}

}  // namespace vel
