#include "app/PopulateDriveDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/CKestrumApp.h"
#include "ui/WorkerBridges.h"

namespace vel {

namespace {

MessageBoxes& boxes() {
    return CKestrumApp::instance().messages();
}

// The Standard Scan reports on the interface thread itself: applied at once, never deferred
// behind the screen's own later texts.
class DirectSink final : public ScanSink {
  public:
    DirectSink(QProgressBar* bar, QLabel* status) : bar_(bar), status_(status) {}
    void setProgressRange(std::int64_t maximum) override {
        bar_->setRange(0, static_cast<int>(maximum));
    }
    void setProgressPosition(std::int64_t position) override {
        bar_->setValue(static_cast<int>(position));
    }
    void setStatusText(const std::string& text) override {
        status_->setText(QString::fromStdString(text));
    }

  private:
    QProgressBar* bar_;
    QLabel* status_;
};

const char* const kTreatAs[] = {"EXTX", "FAT16", "FAT32", "FAT64", "HFS+", "NTFS", "RAW"};

std::string treatAsFileSystem(const QString& entry) {
    QString e = entry.toUpper();
    if (e == "NTFS") return "ntfs";
    if (e == "FAT16") return "fat16";
    if (e == "FAT32") return "fat32";
    if (e == "FAT64") return "fat64";
    if (e == "EXTX") return "extX";
    if (e == "HFS+") return "HFS+";
    return "";
}

QString cellText(QTableWidget* list, int row, int column) {
    QTableWidgetItem* item = list->item(row, column);
    return item ? item->text() : QString();
}

}  // namespace

std::function<WizardScreen*(PopulateDriveDlg&, const VolumeDescriptor&)>&
PopulateDriveDlg::volumeScanModeScreen() {
    static std::function<WizardScreen*(PopulateDriveDlg&, const VolumeDescriptor&)> make =
        [](PopulateDriveDlg& creator, const VolumeDescriptor&) -> WizardScreen* {
        return new PlaceholderScreen("ParceModeNtfsDlg", 136, &creator);
    };
    return make;
}

std::function<WizardScreen*(PopulateDriveDlg&, const VolumeDescriptor&)>&
PopulateDriveDlg::rawRecoveryScreen() {
    static std::function<WizardScreen*(PopulateDriveDlg&, const VolumeDescriptor&)> make =
        [](PopulateDriveDlg& creator, const VolumeDescriptor&) -> WizardScreen* {
        return new PlaceholderScreen("RawRecoveryDialog", kRawRecoveryDialogId, &creator);
    };
    return make;
}

PopulateDriveDlg::PopulateDriveDlg(WizardScreen* creator, const Inputs& inputs)
    : WizardScreen(kDialogId, creator), inputs_(inputs) {
    buildControls();
    enableCustomGroup(false);
    custom_->setEnabled(false);
    addCustom_->setEnabled(false);
    if (inputs_.driveScanMode == 2) {
        advanceScan();
    } else {
        progress_->setRange(0, 1000);
        standardScan();
        progress_->setValue(1000);
    }
}

PopulateDriveDlg::~PopulateDriveDlg() {
    stopWorkers();
    waitForWorker();
}

void PopulateDriveDlg::waitForWorker() {
    if (!worker_.joinable()) return;
    // The worker may be waiting for this thread to show a row; let it reach its end.
    while (workerRunning_.load()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // The events above may have run the worker's end, which joins it already.
    if (worker_.joinable()) worker_.join();
}

void PopulateDriveDlg::buildControls() {
    QVBoxLayout* layout = body();

    list_ = new QTableWidget(0, 4, this);
    list_->setHorizontalHeaderLabels({"VOLUME", "FILE_SYSTEM", "VOLUME_SIZE", "START_SECTOR"});
    const int widths[] = {80, 80, 80, 100};
    for (int c = 0; c < 4; ++c) list_->setColumnWidth(c, widths[c]);
    list_->horizontalHeader()->setStretchLastSection(true);
    list_->verticalHeader()->hide();
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(true);
    list_->setMouseTracking(true);
    layout->addWidget(list_, 1);

    custom_ = new QCheckBox("Custom Settings For Selected Volume ", this);
    layout->addWidget(custom_);

    group_ = new QGroupBox(this);
    auto* grid = new QGridLayout(group_);
    grid->addWidget(new QLabel("Selected Volume :", group_), 0, 0);
    selectedValue_ = new QLabel(group_);
    grid->addWidget(selectedValue_, 0, 1);

    auto spinner = [&](QLineEdit*& edit, QToolButton*& up, QToolButton*& down) {
        auto* box = new QHBoxLayout;
        box->setSpacing(0);
        edit = new QLineEdit("0", group_);
        up = new QToolButton(group_);
        up->setArrowType(Qt::UpArrow);
        down = new QToolButton(group_);
        down->setArrowType(Qt::DownArrow);
        box->addWidget(edit, 1);
        box->addWidget(up);
        box->addWidget(down);
        QLineEdit* target = edit;
        connect(up, &QToolButton::clicked, this, [this, target] { onSpin(target, -1); });
        connect(down, &QToolButton::clicked, this, [this, target] { onSpin(target, +1); });
        return box;
    };
    grid->addWidget(new QLabel("Start Sector:", group_), 1, 0);
    grid->addLayout(spinner(startEdit_, startUp_, startDown_), 1, 1);
    grid->addWidget(new QLabel("End Sector :", group_), 2, 0);
    grid->addLayout(spinner(endEdit_, endUp_, endDown_), 2, 1);
    grid->addWidget(new QLabel("Treat file system as:", group_), 3, 0);
    treatAs_ = new QComboBox(group_);
    for (const char* name : kTreatAs) treatAs_->addItem(name);
    treatAs_->setCurrentIndex(-1);
    grid->addWidget(treatAs_, 3, 1);
    grid->setColumnStretch(2, 1);
    layout->addWidget(group_);

    auto* actions = new QHBoxLayout;
    filter_ = makeButton("Filter Entries", "view-filter", QStyle::SP_FileDialogContentsView);
    filter_->setToolTip("Filter volume entries.");
    addCustom_ = makeButton("Add Custom Volume", "list-add", QStyle::SP_FileDialogNewFolder);
    addCustom_->setToolTip("Add Custom Volume entry.");
    advance_ = makeButton("Advance Scan", "edit-find", QStyle::SP_FileDialogContentsView);
    advance_->setToolTip("Search the drive's sectors for lost volumes.");
    advance_->hide();
    actions->addWidget(filter_);
    actions->addWidget(addCustom_);
    actions->addWidget(advance_);
    actions->addStretch(1);
    layout->addLayout(actions);

    progress_ = new QProgressBar(this);
    progress_->setRange(0, 1000);
    progress_->setValue(0);
    layout->addWidget(progress_);
    status_ = new QLabel(this);
    layout->addWidget(status_);
    note_ = new QLabel(this);
    note_->setWordWrap(true);
    note_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    note_->hide();
    layout->addWidget(note_);

    stop_ = makeButton("Stop", "process-stop", QStyle::SP_BrowserStop);
    back_ = makeButton("Back", "go-previous", QStyle::SP_ArrowBack);
    next_ = makeButton("Next", "go-next", QStyle::SP_ArrowForward);
    bottomRow()->addWidget(stop_);
    bottomRow()->addWidget(back_);
    bottomRow()->addWidget(next_);

    connect(list_, &QTableWidget::itemSelectionChanged, this,
            &PopulateDriveDlg::onSelectionChanged);
    connect(list_, &QTableWidget::cellClicked, this, [this](int row, int) { onRowClicked(row); });
    connect(custom_, &QCheckBox::clicked, this, &PopulateDriveDlg::onCustomSettings);
    connect(filter_, &QPushButton::clicked, this, &PopulateDriveDlg::onFilter);
    connect(addCustom_, &QPushButton::clicked, this, &PopulateDriveDlg::onAddCustomVolume);
    connect(stop_, &QPushButton::clicked, this, &PopulateDriveDlg::onStop);
    connect(back_, &QPushButton::clicked, this, &PopulateDriveDlg::onBack);
    connect(next_, &QPushButton::clicked, this, &PopulateDriveDlg::onNext);
    connect(advance_, &QPushButton::clicked, this, &PopulateDriveDlg::onAdvanceScan);
}

void PopulateDriveDlg::enableCustomGroup(bool on) {
    for (QWidget* w : group_->findChildren<QWidget*>()) w->setEnabled(on);
}

void PopulateDriveDlg::setStatus(const QString& text) {
    status_->setText(text);
}

void PopulateDriveDlg::showNotes(std::vector<std::string> notes) {
    QStringList lines;
    for (const std::string& n : notes) lines << QString::fromStdString(n);
    note_->setText(lines.join("\n"));
    note_->setVisible(!lines.isEmpty());
}

void PopulateDriveDlg::standardScan() {
    CKestrumApp& app = CKestrumApp::instance();
    addCustom_->hide();
    partition_ = std::make_unique<Partition>();
    partition_->gptMode = inputs_.gptMode;

    app.deleteReader();
    std::shared_ptr<DiskSource> reader = app.openReader(inputs_.devicePath);
    if (!reader) {
        boxes().showInfo("file not opened..");
    } else {
        DirectSink sink(progress_, status_);
        partition_->statusLine = &sink;
        partition_->owner = this;
        clearRows();
        volumes_.clear();
        sourceSectors_ = reader->sectorCount();
        partition_->walkPartitionTables(*reader);
        partition_->statusLine = nullptr;
        volumes_ = partition_->volumes;
        for (std::size_t i = volumes_.size(); i-- > 0;) {
            volumes_[i].devicePath = std::to_string(i);
            insertRowAtTop(volumes_[i]);
        }
        if (list_->rowCount() > 0) custom_->setEnabled(true);
        showNotes(partition_->notes);
    }
    filter_->setEnabled(true);
    setStatus("Finished Scanning.");
    progress_->hide();
    stop_->hide();
    if (reader && list_->rowCount() == 0) {
        // Nothing to choose: say why, and offer the search that does not need a table.
        setStatus(kNoPartitionTable);
        advance_->show();
        return;
    }
    setStatus("Select volume and click next button...");
}

void PopulateDriveDlg::onAdvanceScan() {
    advance_->hide();
    addCustom_->show();
    inputs_.driveScanMode = 2;
    showNotes({});
    progress_->setRange(0, 1000);
    progress_->setValue(0);
    progress_->show();
    stop_->show();
    advanceScan();
}

void PopulateDriveDlg::advanceScan() {
    CKestrumApp& app = CKestrumApp::instance();
    addCustom_->setEnabled(false);
    next_->setEnabled(false);
    partition_ = std::make_unique<Partition>();
    partition_->skipVolumeExtent = !inputs_.doNotSkipVolumeSize;
    if (inputs_.customEndSector >= 0) {
        partition_->customStartSector = inputs_.customStartSector;
        partition_->customEndSector = inputs_.customEndSector;
    }
    app.deleteReader();
    sink_ = std::make_unique<QtScanSink>(progress_, status_, nullptr);
    partition_->statusLine = sink_.get();
    std::shared_ptr<DiskSource> reader = app.openReader(inputs_.devicePath);
    if (!reader) {
        next_->setEnabled(true);
        boxes().showInfo("file not opened..");
        emit scanFinished();
        return;
    }
    clearRows();
    volumes_.clear();
    sourceSectors_ = reader->sectorCount();
    partition_->owner = this;
    workerRunning_ = true;
    worker_ = std::thread([this, reader, partition = partition_.get()] {
        runOnThreadOf(this, [this] {
            back_->setEnabled(false);
            clearRows();
        });
        partition->scanForVolumes(*reader);
        workerRunning_ = false;
        QMetaObject::invokeMethod(
            this, [this] { advanceScanEnded(); }, Qt::QueuedConnection);
    });
}

void PopulateDriveDlg::advanceScanEnded() {
    if (worker_.joinable()) worker_.join();
    back_->setEnabled(true);
    setStatus("Scanned Partitions");
    boxes().showInfo("populated partitions....");
    setStatus("Finished Scanning.");
    std::vector<std::string> notes = partition_ ? partition_->notes : std::vector<std::string>{};
    if (volumes_.empty()) notes.push_back("the Advance Scan found no volume");
    showNotes(notes);
    partition_.reset();
    if (!volumes_.empty()) custom_->setEnabled(true);
    addCustom_->setEnabled(true);
    progress_->hide();
    stop_->hide();
    next_->setEnabled(true);
    setStatus("Select volume and click next button...");
    emit scanFinished();
}

void PopulateDriveDlg::volumeFound(const VolumeDescriptor& volume) {
    runOnThreadOf(this, [this, &volume] {
        volumes_.push_back(volume);
        insertRowAtTop(volume);
    });
}

void PopulateDriveDlg::setFilterEnabled(bool enabled) {
    runOnThreadOf(this, [this, enabled] { filter_->setEnabled(enabled); });
}

void PopulateDriveDlg::stopWorkers() {
    if (partition_) partition_->stopRequested.request();
}

void PopulateDriveDlg::insertRowAtTop(const VolumeDescriptor& volume) {
    rowData_.push_back(std::make_unique<VolumeDescriptor>(volume));
    VolumeDescriptor* own = rowData_.back().get();
    list_->insertRow(0);
    const QString texts[] = {QString::fromStdString(volume.devicePath),
                             QString::fromStdString(volume.fileSystem),
                             QString::fromStdString(volume.sizeText),
                             QString::number(static_cast<qlonglong>(volume.startSector))};
    for (int c = 0; c < 4; ++c) {
        auto* item = new QTableWidgetItem(texts[c]);
        item->setToolTip(texts[c]);
        list_->setItem(0, c, item);
    }
    list_->item(0, kVolume)
        ->setData(Qt::UserRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(own)));
}

void PopulateDriveDlg::clearRows() {
    list_->setRowCount(0);
    rowData_.clear();
    selected_ = nullptr;
}

VolumeDescriptor* PopulateDriveDlg::rowDescriptor(int row) const {
    QTableWidgetItem* item = list_->item(row, kVolume);
    if (!item) return nullptr;
    return reinterpret_cast<VolumeDescriptor*>(item->data(Qt::UserRole).value<quintptr>());
}

namespace {
int firstSelectedRow(QTableWidget* list) {
    int first = -1;
    for (const QModelIndex& index : list->selectionModel()->selectedRows())
        if (first < 0 || index.row() < first) first = index.row();
    return first;
}
}  // namespace

void PopulateDriveDlg::onStop() {
    if (partition_) partition_->stopRequested.request();
    back_->setEnabled(true);
}

void PopulateDriveDlg::onSelectionChanged() {
    int row = firstSelectedRow(list_);
    if (row < 0) return;
    std::int64_t start = leadingNumber(cellText(list_, row, kStartSector).toStdString());
    std::int64_t span = leadingNumber(cellText(list_, row, kVolumeSize).toStdString()) * 2048;
    startEdit_->setText(cellText(list_, row, kStartSector));
    endEdit_->setText(QString::number(static_cast<qlonglong>(span == 0 ? 0 : start + span - 1)));
    selectedValue_->setText(cellText(list_, row, kVolume));
}

void PopulateDriveDlg::onRowClicked(int row) {
    QString fs = cellText(list_, row, kFileSystem);
    if (fs.isEmpty()) return;
    for (int i = 0; i < treatAs_->count(); ++i) {
        if (treatAs_->itemText(i).startsWith(fs, Qt::CaseInsensitive)) {
            treatAs_->setCurrentIndex(i);
            return;
        }
    }
}

void PopulateDriveDlg::onCustomSettings() {
    enableCustomGroup(custom_->isChecked());
}

void PopulateDriveDlg::onSpin(QLineEdit* edit, int delta) {
    std::int64_t value = leadingNumber(edit->text().toStdString());
    if (delta < 0)
        ++value;
    else if (value > 0)
        --value;
    edit->setText(QString::number(static_cast<qlonglong>(value)));
}

void PopulateDriveDlg::onAddCustomVolume() {
    VolumeDescriptor v;
    v.fileSystem = "CUSTOM ";
    v.devicePath = std::to_string(volumes_.size());
    v.sizeText = "0";
    v.startSector = 0;
    volumes_.push_back(v);
    custom_->setEnabled(true);
    custom_->setChecked(true);
    enableCustomGroup(true);
    insertRowAtTop(v);
    list_->setCurrentCell(0, 0);
    list_->selectRow(0);
    startEdit_->setText("0");
    endEdit_->setText("0");
}

void PopulateDriveDlg::onFilter() {
    clearRows();
    if (volumes_.size() < 2) return;
    for (std::size_t p = 1; p < volumes_.size(); ++p) {
        if (volumes_[p].startSector == volumes_[p - 1].startSector + 1) {
            volumes_[p].devicePath = std::to_string(p);
            insertRowAtTop(volumes_[p]);
        }
    }
}

void PopulateDriveDlg::onNext() {
    int row = firstSelectedRow(list_);
    if (row < 0) {
        boxes().showInfo("please select a valid volume.");
        return;
    }
    const std::int64_t start = leadingNumber(startEdit_->text().toStdString());
    const std::int64_t end = leadingNumber(endEdit_->text().toStdString());
    if (custom_->isChecked() && sourceSectors_ > 0 &&
        (start >= sourceSectors_ || end >= sourceSectors_)) {
        boxes().showInfo("the custom volume must lie inside the drive: sectors 0 to " +
                         std::to_string(sourceSectors_ - 1));
        return;
    }
    selected_ = rowDescriptor(row);
    VolumeDescriptor& v = *selected_;
    if (!custom_->isChecked() && customApplied_) {
        // The row's own values again, as shown.
        v.devicePath = cellText(list_, row, kVolume).toStdString();
        v.fileSystem = cellText(list_, row, kFileSystem).toStdString();
        v.sizeText = trim(cellText(list_, row, kVolumeSize).remove("MB").toStdString());
        v.startSector = leadingNumber(cellText(list_, row, kStartSector).toStdString());
    }
    bool raw = false;
    if (custom_->isChecked()) {
        customApplied_ = true;
        v.startSector = start;
        v.sizeText = std::to_string(end > v.startSector ? (end - v.startSector + 1) / 2048 : 0);
        if (treatAs_->currentIndex() >= 0) {
            std::string fs = treatAsFileSystem(treatAs_->currentText());
            if (!fs.empty()) v.fileSystem = fs;
            raw = treatAs_->currentText().compare("RAW", Qt::CaseInsensitive) == 0;
        }
    }
    if (raw) {
        v.fileSystem = "RAW";
        if (WizardScreen* next = rawRecoveryScreen()(*this, v)) showNext(next);
    } else if (equalsIgnoreCase(v.fileSystem, "unknown")) {
        boxes().showInfo("can not parse unknown volume");
    } else {
        if (WizardScreen* next = volumeScanModeScreen()(*this, v)) showNext(next);
    }
    partition_.reset();
}

void PopulateDriveDlg::onBack() {
    clearRows();
    goBack();
}

}  // namespace vel
