#include "app/VolumeScanDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cstdio>

#include "app/CKestrumApp.h"
#include "platform/SameDevice.h"
#include "scan/Formats.h"
#include "scan/RecoveryReport.h"
#include "scan/ResultsWalk.h"
#include "ui/CCheckListCtrl.h"
#include "ui/CXHtmlTree.h"
#include "ui/PreviewPane.h"
#include "ui/WorkerBridges.h"

namespace vel {

namespace {
const char* const kLastOutputFolderKey = "save/lastOutputFolder";
const char* const kShowFilterKey = "fileList/show";
const char* const kHideSystemKey = "fileList/hideSystem";
const char* const kDoneText = "Scanning processing done.Select save button to save the data.";
const char* const kBusyText = "Please wait for other process to complete";

MessageBoxes& boxes() {
    return CKestrumApp::instance().messages();
}

// The confirmation before checked items are saved.
std::string checkedQuestion(std::int64_t count) {
    char question[200];
    std::snprintf(question, sizeof question,
                  "number of checked files = %lld .do u want to continue dumping these files..?",
                  static_cast<long long>(count));
    return question;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += (text.empty() ? "" : "\n") + l;
    return text;
}
}  // namespace

VolumeScanDlg::VolumeScanDlg(const VolumeDescriptor& volume, int scanMode,
                             const QString& maxFileSystems, WizardScreen* creator)
    : WizardScreen(kDialogId, creator),
      volume_(volume),
      scanMode_(scanMode),
      maxFileSystems_(maxFileSystems) {
    screenStopRequested_.setPauseGate(&pauseGate_);
    chooseFolder = [this] {
        // Where the user saved last time: most recoveries go to the same place.
        QSettings settings;
        const QString folder = QFileDialog::getExistingDirectory(
            this, "Please choose a folder.", settings.value(kLastOutputFolderKey).toString(),
            QFileDialog::ShowDirsOnly);
        if (!folder.isEmpty()) settings.setValue(kLastOutputFolderKey, folder);
        return folder;
    };
    buildControls();
    volumeData_->setText(
        QString::fromStdString(volume_.rootPath.empty() ? volume_.devicePath : volume_.rootPath));
}

VolumeScanDlg::~VolumeScanDlg() {
    // A worker may be waiting on this thread; let it run to its end before the parts go.
    leaving_ = true;
    finishPreview();
    if (worker_.joinable()) {
        stopWorkers();
        pauseGate_.resume();
        waitForWorker(-1);
    }
    if (currentParser_) {
        currentParser_->stopRequested.setPauseGate(nullptr);
        currentParser_->attach(nullptr, nullptr, nullptr);
    }
    if (source_) source_->badSectors().setListener(nullptr);
    // The models watch tree_, which goes before the widget's children do.
    delete treeModel_;
    delete listModel_;
}

void VolumeScanDlg::buildControls() {
    QVBoxLayout* layout = body();

    auto* volumeBox = new QGroupBox("Volume Data:", this);
    auto* volumeLayout = new QHBoxLayout(volumeBox);
    volumeData_ = new QLabel(volumeBox);
    volumeLayout->addWidget(volumeData_, 1);
    layout->addWidget(volumeBox);

    treeModel_ = new ResultsTreeModel(tree_, this);
    treeView_ = new CXHtmlTree(this);
    treeView_->setResultsModel(treeModel_);
    listModel_ = new FileListModel(tree_, this);
    listView_ = new CCheckListCtrl(this);
    listView_->setListModel(listModel_);
    preview_ = new PreviewPane(this);
    checkedSummary_ = new QLabel(this);
    showFilter_ = new QComboBox(this);
    showFilter_->addItems({"all", "deleted only", "live only"});
    hideSystem_ = new QCheckBox("hide system files", this);
    shownNote_ = new QLabel(this);
    auto* filterRow = new QHBoxLayout;
    filterRow->addWidget(new QLabel("Show:", this));
    filterRow->addWidget(showFilter_);
    filterRow->addWidget(hideSystem_);
    filterRow->addWidget(shownNote_);
    filterRow->addStretch(1);
    filterRow->addWidget(checkedSummary_);
    auto* listColumn = new QWidget(this);
    auto* listLayout = new QVBoxLayout(listColumn);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->addLayout(filterRow);
    listLayout->addWidget(listView_, 1);
    listAndPreview_ = new QSplitter(Qt::Vertical, this);
    listAndPreview_->addWidget(listColumn);
    listAndPreview_->addWidget(preview_);
    listAndPreview_->setStretchFactor(0, 3);
    listAndPreview_->setStretchFactor(1, 2);
    auto* splitter = new QSplitter(this);
    splitter->addWidget(treeView_);
    splitter->addWidget(listAndPreview_);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 3);
    layout->addWidget(splitter, 1);

    auto* progressRow = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    fileSize_ = new QLabel(this);
    pause_ = makeButton("Pause", "media-playback-pause", QStyle::SP_MediaPause);
    resume_ = makeButton("Resume", "media-playback-start", QStyle::SP_MediaPlay);
    stop_ = makeButton("Stop", "media-playback-stop", QStyle::SP_MediaStop);
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(fileSize_);
    progressRow->addWidget(pause_);
    progressRow->addWidget(resume_);
    progressRow->addWidget(stop_);
    layout->addLayout(progressRow);

    status_ = new QLabel(this);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    foundSummary_ = new QLabel(this);
    foundSummary_->setAlignment(Qt::AlignRight | Qt::AlignTop);
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(status_, 1);
    statusRow->addWidget(foundSummary_);
    layout->addLayout(statusRow);

    QHBoxLayout* buttons = bottomRow();
    back_ = makeButton("Back", "go-previous", QStyle::SP_ArrowBack);
    save_ = makeButton("Save", "document-save", QStyle::SP_DialogSaveButton);
    search_ = makeButton("Search", "edit-find", QStyle::SP_FileDialogContentsView);
    pattern_ = new QLineEdit(this);
    searchNote_ = new QLabel("* Use \"|\" to find multiple file type", this);
    ignoreCase_ = new QCheckBox("Ignore case", this);
    auto* searchColumn = new QVBoxLayout;
    searchColumn->setSpacing(0);
    searchColumn->addWidget(pattern_);
    searchColumn->addWidget(searchNote_);
    buttons->addWidget(back_);
    buttons->addLayout(searchColumn, 1);
    buttons->addWidget(ignoreCase_);
    buttons->addWidget(search_);
    buttons->addWidget(save_);

    // Kept for the advanced input's choices and the chosen output folder; never shown.
    outputFolder_ = new QLineEdit(this);
    tfsList_ = new QListWidget(this);
    spcList_ = new QListWidget(this);
    heapList_ = new QListWidget(this);
    for (QWidget* w : {static_cast<QWidget*>(outputFolder_), static_cast<QWidget*>(tfsList_),
                       static_cast<QWidget*>(spcList_), static_cast<QWidget*>(heapList_)})
        w->hide();

    connect(pause_, &QPushButton::clicked, this, &VolumeScanDlg::onPause);
    connect(resume_, &QPushButton::clicked, this, &VolumeScanDlg::onResume);
    connect(stop_, &QPushButton::clicked, this, &VolumeScanDlg::onStop);
    connect(save_, &QPushButton::clicked, this, &VolumeScanDlg::onSave);
    connect(search_, &QPushButton::clicked, this, &VolumeScanDlg::onSearch);
    connect(pattern_, &QLineEdit::returnPressed, this, &VolumeScanDlg::onSearch);
    connect(listView_, &QTableView::doubleClicked, this,
            [this](const QModelIndex& i) { doubleClickRow(i.row()); });
    connect(back_, &QPushButton::clicked, this, [this] { goBack(); });
    connect(treeView_, &QTreeView::clicked, this,
            [this](const QModelIndex& i) { selectItem(treeModel_->itemAt(i)); });
    connect(treeView_, &QTreeView::expanded, this,
            [this](const QModelIndex& i) { expandItem(treeModel_->itemAt(i)); });
    connect(treeView_, &QTreeView::doubleClicked, this,
            [this](const QModelIndex& i) { doubleClickItem(treeModel_->itemAt(i)); });
    connect(listModel_, &FileListModel::rowCheckChanged, treeView_->viewport(),
            qOverload<>(&QWidget::update));
    checkedTimer_ = new QTimer(this);
    checkedTimer_->setSingleShot(true);
    checkedTimer_->setInterval(150);
    connect(checkedTimer_, &QTimer::timeout, this, &VolumeScanDlg::updateCheckedSummary);
    connect(listModel_, &FileListModel::rowCheckChanged, checkedTimer_,
            qOverload<>(&QTimer::start));
    connect(treeModel_, &ResultsTreeModel::checkChanged, checkedTimer_,
            qOverload<>(&QTimer::start));
    connect(listView_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { requestPreview(current.row()); });
    connect(listModel_, &QAbstractItemModel::modelReset, this, [this] {
        ++previewGeneration_;
        previewEntry_ = kNoData;
        preview_->showMessage("Select a file to see a preview of it.");
        updateShownNote();
    });

    // The filter the user left last time.
    QSettings settings;
    showFilter_->setCurrentIndex(std::clamp(settings.value(kShowFilterKey, 0).toInt(), 0, 2));
    hideSystem_->setChecked(settings.value(kHideSystemKey, false).toBool());
    applyListFilter();
    connect(showFilter_, &QComboBox::currentIndexChanged, this, [this] {
        QSettings().setValue(kShowFilterKey, showFilter_->currentIndex());
        applyListFilter();
    });
    connect(hideSystem_, &QCheckBox::toggled, this, [this](bool on) {
        QSettings().setValue(kHideSystemKey, on);
        applyListFilter();
    });
}

void VolumeScanDlg::applyListFilter() {
    ListFilter filter;
    filter.show = static_cast<ShowFilter>(std::clamp(showFilter_->currentIndex(), 0, 2));
    filter.hideSystem = hideSystem_->isChecked();
    listModel_->setFilter(filter);
}

void VolumeScanDlg::updateShownNote() {
    const int all = listModel_->unfilteredCount();
    const int shown = listModel_->rowCount();
    shownNote_->setText(shown == all ? QString()
                                     : QString("%1 of %2 files shown").arg(shown).arg(all));
}

ItemData VolumeScanDlg::rowEntry(int row, QString* name) const {
    if (const SearchHit* hit = listModel_->hitAt(row)) {
        if (name) *name = QString::fromStdString(hit->path);
        return hit->entry;
    }
    const TreeItem item = listModel_->itemAt(row);
    if (!tree_.isValid(item)) return kNoData;
    if (name) *name = QString::fromStdString(tree_.itemText(item));
    return tree_.itemData(item);
}

void VolumeScanDlg::requestPreview(int row) {
    if (scanBusy_ || !currentParser_ || row < 0 || row >= listModel_->rowCount()) return;
    QString name;
    const ItemData entry = rowEntry(row, &name);
    if (!currentParser_->isEntry(entry) || currentParser_->isFolder(entry)) return;
    clearSavedNote();
    finishPreview();
    previewEntry_ = entry;
    const unsigned generation = ++previewGeneration_;
    preview_->showMessage("Reading " + name + " ...");
    previewWorker_ =
        std::thread([this, parser = currentParser_, source = source_, entry, name, generation] {
            auto preview = std::make_shared<Preview>(makePreview(*parser, entry));
            QMetaObject::invokeMethod(
                this,
                [this, preview, name, generation] {
                    if (generation == previewGeneration_) preview_->showPreview(name, *preview);
                },
                Qt::QueuedConnection);
        });
}

void VolumeScanDlg::updateCheckedSummary() {
    const TreeItem top = tree_.firstChild(kNoItem);
    if (!currentParser_ || top == kNoItem || scanBusy_) return;
    const EntryTotals checked = countChecked(*currentParser_, tree_, top);
    checkedSummary_->setText(checked.files == 0 && checked.folders == 0
                                 ? QString()
                                 : QString::fromStdString(totalsText(checked) + " checked"));
}

void VolumeScanDlg::finishPreview() {
    if (previewWorker_.joinable()) previewWorker_.join();
}

void VolumeScanDlg::showEvent(QShowEvent* event) {
    WizardScreen::showEvent(event);
    if (!started_)
        QTimer::singleShot(0, this, [this] {
            if (!started_) startScan();
        });
}

void VolumeScanDlg::takeOverParser(std::shared_ptr<VolumeParser> parser, const FileSystemRow* row) {
    presetParser_ = std::move(parser);
    presetRow_ = row;
}

void VolumeScanDlg::setAdvancedInput(const QStringList& tables, int table,
                                     const QStringList& clusterSizes, int clusterSize,
                                     const QStringList& heaps, int heap) {
    auto copy = [](QListWidget* list, const QStringList& texts, int selected) {
        list->clear();
        list->addItems(texts);
        list->setCurrentRow(selected >= 0 && selected < texts.size() ? selected : -1);
    };
    copy(tfsList_, tables, table);
    copy(spcList_, clusterSizes, clusterSize);
    copy(heapList_, heaps, heap);
}

AdvancedChoice VolumeScanDlg::advancedChoice() const {
    AdvancedChoice c;
    c.table = tfsList_->currentRow();
    if (QListWidgetItem* spc = spcList_->currentItem())
        c.sectorsPerCluster = static_cast<int>(leadingNumber(spc->text().toStdString()));
    c.heap = heapList_->currentRow();
    return c;
}

void VolumeScanDlg::startScan() {
    if (started_) return;
    started_ = true;
    CKestrumApp& app = CKestrumApp::instance();
    scanBusy_ = true;
    back_->setEnabled(false);
    if (presetParser_) {
        if (!app.reader()) {
            boxes().showInfo("Please Restart the program to re begin necessary initialization...");
            back_->setEnabled(true);
            return;
        }
        startWithParser(presetParser_, presetRow_);
        return;
    }
    const FileSystemRow* row = FileSystemTable::builtin().find(volume_.fileSystem);
    if (!row || !row->create) {
        boxes().showInfo("not a valid drive.");
        back_->setEnabled(true);
        status_->setText("Not a valid Drive .Go back");
        return;
    }
    // Every parser reads through the shared reader; none can run without it.
    if (!app.reader()) {
        boxes().showInfo("Please Restart the program to re begin necessary initialization...");
        back_->setEnabled(true);
        return;
    }
    startWithParser(row->create(volume_, app.parserOptions()), row);
}

void VolumeScanDlg::startWithParser(std::shared_ptr<VolumeParser> parser,
                                    const FileSystemRow* row) {
    started_ = true;
    CKestrumApp& app = CKestrumApp::instance();
    scanBusy_ = true;
    back_->setEnabled(false);
    row_ = row;
    const std::string family = row ? row->family : "";
    // A mounted volume is read through its own device node.
    bool opensDevice = family == "ntfs" || family == "ext" || family == "hfs" ||
                       ((family == "fat" || family == "exfat") && scanMode_ != 2);
    if (app.volumeChosen.load() && opensDevice && app.reader()) app.openReader(volume_.devicePath);
    source_ = app.reader();
    if (source_) {
        // Any thread may meet a bad sector; the status line hears of it on its own thread.
        source_->badSectors().setListener([this](std::int64_t sector, std::int64_t count) {
            unreadableSectors_ = count;
            QMetaObject::invokeMethod(
                this,
                [this, sector, count] {
                    status_->setText(QString("unreadable sector %1 read as zeros (%2 so far)")
                                         .arg(sector)
                                         .arg(count));
                },
                Qt::QueuedConnection);
        });
    }

    currentParser_ = std::move(parser);
    currentParser_->stopRequested.setPauseGate(&pauseGate_);
    forwarder_ = std::make_unique<TreeForwarder>(tree_, this, &pauseGate_);
    sink_ = std::make_unique<QtScanSink>(progress_, status_, &pauseGate_);
    currentParser_->attach(source_.get(), forwarder_.get(), sink_.get());
    listModel_->setParser(currentParser_.get());
    if (scanMode_ == 2) currentParser_->advancedChoice = advancedChoice();

    if (row && !row->selectedStatus.empty())
        status_->setText(QString::fromStdString(row->selectedStatus));
    runWorker();
}

void VolumeScanDlg::runWorker() {
    workerRunning_ = true;
    worker_ = std::thread([this] {
        WorkerResult result = currentParser_->runWorker(scanMode_);
        workerRunning_ = false;
        QMetaObject::invokeMethod(
            this, [this, result] { workerEnded(result); }, Qt::QueuedConnection);
    });
}

void VolumeScanDlg::joinWorker() {
    if (worker_.joinable()) worker_.join();
}

void VolumeScanDlg::waitForWorker(int maxMilliseconds) {
    QElapsedTimer waited;
    waited.start();
    while (workerRunning_.load() && (maxMilliseconds < 0 || waited.elapsed() < maxMilliseconds))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!workerRunning_.load()) joinWorker();
}

void VolumeScanDlg::waitForWorkers() {
    leaving_ = true;
    pauseGate_.resume();
    waitForWorker(5000);
}

void VolumeScanDlg::workerEnded(const WorkerResult& result) {
    joinWorker();
    if (leaving_) return;
    treeModel_->flush();
    if (!result.started) {
        // No worker for this mode: the screen stays busy; only Back is of use.
        back_->setEnabled(true);
        emit scanFinished();
        return;
    }
    for (const std::string& notice : result.notices) boxes().showInfo(notice);
    if (!result.failureBox.empty()) boxes().showInfo(result.failureBox);
    std::vector<std::string> remarks = result.remarks;
    const TreeItem top = tree_.firstChild(kNoItem);
    if (result.failureBox.empty() && currentParser_ && top != kNoItem &&
        foundNoFiles(*currentParser_, tree_, top))
        remarks.push_back("the volume holds no files");
    if (result.shortEnd) {
        endSequence(false, remarks);
    } else if (result.endSequence) {
        endSequence(true, remarks);
    } else {
        back_->setEnabled(true);
        scanBusy_ = false;
        // After a failure: what was tried.
        if (!remarks.empty()) status_->setText(QString::fromStdString(joinLines(remarks)));
    }
    if (currentParser_ && top != kNoItem && result.failureBox.empty())
        foundSummary_->setText(QString::fromStdString(
            "Found " + totalsText(countResults(*currentParser_, tree_, top))));
    emit scanFinished();
}

void VolumeScanDlg::endSequence(bool withBox, const std::vector<std::string>& remarks) {
    back_->setEnabled(true);
    if (withBox) {
        std::string text = kDoneText;
        if (std::int64_t bad = unreadableSectors_.load())
            text += "\n" + std::to_string(bad) + " unreadable sectors were read as zeros";
        if (!remarks.empty()) text += "\n" + joinLines(remarks);
        boxes().showInfo(text);
        status_->setText(QString::fromStdString(text));
    } else if (!remarks.empty()) {
        status_->setText(QString::fromStdString(joinLines(remarks)));
    }
    for (QWidget* w : {static_cast<QWidget*>(progress_), static_cast<QWidget*>(pause_),
                       static_cast<QWidget*>(resume_), static_cast<QWidget*>(stop_)})
        w->hide();
    scanBusy_ = false;
}

void VolumeScanDlg::onPause() {
    if (!worker_.joinable()) return;
    pauseGate_.pause();
    status_->setText("Pause button pressed");
}

void VolumeScanDlg::onResume() {
    if (!worker_.joinable()) return;
    pauseGate_.resume();
    status_->setText("Resume button pressed");
}

void VolumeScanDlg::onStop() {
    if (!currentParser_) return;
    currentParser_->stopRequested.request();
    screenStopRequested_.request();
    status_->setText("stop button pressed.Please wait for the process to be stopped.");
}

void VolumeScanDlg::stopWorkers() {
    if (!currentParser_) return;
    currentParser_->stopRequested.request();
    screenStopRequested_.request();
    status_->setText("All thread Stopped");
}

void VolumeScanDlg::fillList(TreeItem item) {
    if (!currentParser_) return;
    ItemData data = tree_.itemData(item);
    std::vector<TreeItem> rows;
    if (currentParser_->isEntry(data) && !currentParser_->isFolder(data)) {
        rows.push_back(item);
    } else {
        for (TreeItem c = tree_.firstChild(item); c; c = tree_.nextSibling(c)) {
            ItemData e = tree_.itemData(c);
            if (currentParser_->isEntry(e) && !currentParser_->isFolder(e)) rows.push_back(c);
        }
    }
    listModel_->setRows(std::move(rows));
}

void VolumeScanDlg::showSavedNote() {
    const SaveReport& r = lastSave_;
    const std::string name = lastSavedPath_.empty()
                                 ? tree_.itemText(savedItem_)
                                 : lastSavedPath_.substr(lastSavedPath_.rfind('/') + 1);
    std::string text;
    if (!r.failures.empty())
        text = name + " could not be saved: " + r.failures.front().reason;
    else if (r.skipped > 0 || lastSavedPath_.empty())
        text = name + " was not saved";
    else if (!r.incomplete.empty())
        text = "Saved " + name + " to " + r.outputFolder + "; part of it could not be read";
    else
        text = "Saved " + name + " to " + r.outputFolder;
    status_->setText(QString::fromStdString(text));
    savedNote_ = true;
}

void VolumeScanDlg::clearSavedNote() {
    if (!savedNote_) return;
    savedNote_ = false;
    status_->setText(statusBeforeSave_);
}

void VolumeScanDlg::selectItem(TreeItem item) {
    if (scanBusy_ || !currentParser_ || !tree_.isValid(item)) return;
    // The click that ends a double click selects the saved file again: the note stays.
    if (item != savedItem_) clearSavedNote();
    currentParser_->fillFolder(item, FillReason::Selection);
    treeModel_->flush();
    fillList(item);
}

void VolumeScanDlg::expandItem(TreeItem item) {
    if (scanBusy_ || !currentParser_ || !tree_.isValid(item)) return;
    clearSavedNote();
    currentParser_->fillFolder(item, FillReason::Expansion);
    treeModel_->flush();
}

void VolumeScanDlg::doubleClickItem(TreeItem item) {
    if (scanBusy_ || !currentParser_ || !tree_.isValid(item)) return;
    ItemData data = tree_.itemData(item);
    if (!currentParser_->isEntry(data)) return;
    if (currentParser_->isFolder(data)) {
        currentParser_->fillFolder(item, FillReason::DoubleClick);
        treeModel_->flush();
        fillList(item);
        return;
    }
    if (!ensureOutputFolder()) return;
    std::string origin;
    for (TreeItem p = tree_.parent(item); p && tree_.parent(p); p = tree_.parent(p))
        origin = joinOrigin(tree_.itemText(p), origin);
    const std::string outputDir = outputFolder_->text().toStdString();
    clearSavedNote();
    statusBeforeSave_ = status_->text();
    savedItem_ = item;
    pendingSingleFile_ = true;
    startSave([data, outputDir,
               origin](FolderSaver& saver) { return saver.saveFile(data, outputDir, origin); },
              outputDir, 1);
}

bool VolumeScanDlg::ensureOutputFolder() {
    // There is no drive root to fall back on here: ask for the folder once.
    if (outputFolder_->text().isEmpty()) {
        outputFolder_->setText(chooseFolder());
        if (!outputFolder_->text().isEmpty() &&
            !outputFolderAccepted(outputFolder_->text().toStdString())) {
            outputFolder_->clear();
            return false;
        }
    }
    if (outputFolder_->text().isEmpty()) {
        boxes().showInfo("select output folder");
        return false;
    }
    return true;
}

TreeItem VolumeScanDlg::topItem() const {
    if (currentParser_ && currentParser_->volumeRootItem &&
        tree_.isValid(currentParser_->volumeRootItem))
        return currentParser_->volumeRootItem;
    return tree_.firstChild(kNoItem);
}

bool VolumeScanDlg::outputFolderAccepted(const std::string& outputDir) {
    const std::string device = source_ ? source_->openedPath() : std::string();
    if (device.empty() || !outputOnSourceDevice(device, outputDir)) return true;
    return boxes().askYesNo("The output folder " + outputDir + " lies on " + device +
                            ", the disk being recovered. Saving there can overwrite the very "
                            "files you are recovering. Save there anyway?");
}

void VolumeScanDlg::onSave() {
    if (scanBusy_) {
        boxes().showInfo(kBusyText);
        return;
    }
    clearSavedNote();
    screenStopRequested_.clear();
    outputFolder_->setText(chooseFolder());
    if (outputFolder_->text().isEmpty()) {
        boxes().showInfo("select output folder");
        return;
    }
    if (!currentParser_) return;
    const std::string outputDir = outputFolder_->text().toStdString();
    // Checked hits are saved in their folders; without any, the tree's check boxes decide.
    if (listModel_->showsHits()) {
        std::vector<PlacedFile> files;
        for (const SearchHit& hit : listModel_->checkedHits())
            files.push_back({hit.entry, lastSearch_.foldersOf(hit)});
        if (!files.empty()) {
            auto count = static_cast<std::int64_t>(files.size());
            if (!outputFolderAccepted(outputDir)) return;
            if (!boxes().askYesNo(checkedQuestion(count))) return;
            startSave([files = std::move(files),
                       outputDir](FolderSaver& saver) { return saver.saveFiles(files, outputDir); },
                      outputDir, count);
            return;
        }
    }
    FolderSaver counter(*currentParser_, *sink_, screenStopRequested_);
    const TreeItem top = topItem();
    // The check boxes say what is saved; without any, the highlighted folder is.
    SavePlan plan = counter.planChecked(tree_, top);
    std::int64_t count = 0;
    std::string question;
    std::function<SaveReport(FolderSaver&)> job;
    if (!plan.empty()) {
        count = plan.files;
        question = checkedQuestion(count);
        job = [this, top, plan, outputDir](FolderSaver& saver) {
            return saver.savePlan(*forwarder_, top, plan, outputDir);
        };
    } else {
        TreeItem item = treeView_->currentItem();
        ItemData data = tree_.itemData(item);
        bool isTop = item != kNoItem && tree_.parent(item) == kNoItem;
        bool isFolder = currentParser_->isEntry(data) && currentParser_->isFolder(data);
        if (!isTop && !isFolder) return;  // a selected file is saved by double click
        count = counter.countFiles(tree_, item);
        char text[200];
        std::snprintf(text, sizeof text,
                      "number of files found inside this folder = %lld .do u want to continue "
                      "dumping these files..?",
                      static_cast<long long>(count));
        question = text;
        job = [this, item, outputDir](FolderSaver& saver) {
            return saver.saveItem(*forwarder_, item, outputDir);
        };
    }
    progress_->setRange(0, static_cast<int>(std::min<std::int64_t>(count, INT_MAX)));
    if (!outputFolderAccepted(outputDir)) return;
    if (!boxes().askYesNo(question)) return;
    startSave(std::move(job), outputDir, count);
}

void VolumeScanDlg::startSave(std::function<SaveReport(FolderSaver&)> job,
                              const std::string& outputDir, std::int64_t count) {
    finishPreview();
    scanBusy_ = true;
    saving_ = true;
    screenStopRequested_.clear();
    back_->setEnabled(false);
    save_->setEnabled(false);
    treeView_->setEnabled(false);
    listView_->setEnabled(false);
    progress_->setRange(0, static_cast<int>(std::min<std::int64_t>(count, INT_MAX)));
    progress_->show();
    stop_->show();
    pause_->show();
    resume_->show();
    const ReportSource source{source_ ? source_->openedPath() : volume_.devicePath,
                              source_ ? source_->byteSize() : 0, ""};
    const ReportVolume volume{volume_.fileSystem, volume_.startSector, 0};
    workerRunning_ = true;
    worker_ = std::thread([this, job = std::move(job), outputDir, count, source, volume] {
        FolderSaver saver(*currentParser_, *sink_, screenStopRequested_);
        saver.onFileSizeText = [this](const std::string& text) {
            QString t = QString::fromStdString(text);
            runOnThreadOf(fileSize_, [this, t] { fileSize_->setText(t); });
        };
        saver.confirmLargeFile = [this](const std::string& path, std::uint64_t size,
                                        std::int64_t free) {
            char text[300];
            std::snprintf(text, sizeof text,
                          " is %s, more than the %s free in the output folder. Save it anyway?",
                          sizeText(static_cast<std::int64_t>(size)).c_str(),
                          sizeText(free).c_str());
            bool yes = false;
            runOnThreadOf(this, [&] { yes = boxes().askYesNo(path + text); });
            return yes;
        };
        std::unique_ptr<RecoveryReport> report = RecoveryReport::intoFolder(outputDir);
        std::string reportError;
        const bool reporting = report->begin(source, volume, "vellorine", reportError);
        std::string lastSaved;  // what a single file's save wrote, for the status line
        saver.onFileDone = [&](const SaveRecord& f) {
            lastSaved = f.savedPath;
            if (reporting) report->add(f);
        };
        saver.hashFiles = reporting;
        SaveReport result = job(saver);
        if (!result.stopped) sink_->setProgressPosition(count);
        std::string reportPath;
        if (reporting && report->finish(result, reportError)) reportPath = report->path();
        workerRunning_ = false;
        QMetaObject::invokeMethod(
            this,
            [this, result, reportPath, reportError, lastSaved] {
                lastSave_ = result;
                lastSavedPath_ = lastSaved;
                lastReportPath_ = reportPath;
                lastReportError_ = reportPath.empty() ? reportError : "";
                saveEnded();
            },
            Qt::QueuedConnection);
    });
}

void VolumeScanDlg::saveEnded() {
    joinWorker();
    if (leaving_) return;
    const bool singleFile = pendingSingleFile_;
    pendingSingleFile_ = false;
    for (QWidget* w : {static_cast<QWidget*>(progress_), static_cast<QWidget*>(pause_),
                       static_cast<QWidget*>(resume_), static_cast<QWidget*>(stop_)})
        w->hide();
    fileSize_->clear();
    saving_ = false;
    scanBusy_ = false;
    back_->setEnabled(true);
    save_->setEnabled(true);
    treeView_->setEnabled(true);
    listView_->setEnabled(true);
    auto listBox = [](std::size_t count, const std::string& what,
                      const std::function<std::string(std::size_t)>& line) {
        if (count == 0) return;
        std::string text = std::to_string(count) + what;
        for (std::size_t i = 0; i < count && i < 20; ++i) text += "\n" + line(i);
        if (count > 20) text += "\n...";
        boxes().showInfo(text);
    };
    const SaveReport& r = lastSave_;
    listBox(r.incomplete.size(),
            " file(s) could not be read whole; what could be read is saved as "
            "\"<name>.incomplete\", without the recorded times:",
            [&](std::size_t i) { return r.incomplete[i]; });
    listBox(r.failures.size(), " file(s) could not be saved:", [&](std::size_t i) {
        return r.failures[i].path + ": " + r.failures[i].reason;
    });
    char counts[160];
    std::snprintf(counts, sizeof counts, "%lld saved whole, %zu incomplete, %zu failed",
                  static_cast<long long>(r.filesWritten), r.incomplete.size(), r.failures.size());
    std::string summary = std::string(counts) + "\nOutput folder: " + r.outputFolder;
    if (!lastReportPath_.empty())
        summary += "\nRecovery report: " + lastReportPath_;
    else if (!lastReportError_.empty())
        summary += "\nThe recovery report could not be written: " + lastReportError_;
    if (r.stopped) {
        boxes().showInfo("Saving stopped.\n" + summary);
    } else if (singleFile) {
        showSavedNote();
        const std::string family = row_ ? row_->family : "";
        const bool whole = r.filesWritten == 1;
        if (whole && (family == "exfat" || family == "ext")) {
            char text[600];
            std::snprintf(text, sizeof text, "file is dumped in path  :  %s   ",
                          outputFolder_->text().toStdString().c_str());
            boxes().showInfo(text);
        }
    } else {
        boxes().showInfo("work done\n\n" + summary);
    }
    emit saveFinished();
}

void VolumeScanDlg::doubleClickRow(int row) {
    if (scanBusy_ || !currentParser_ || row < 0 || row >= listModel_->rowCount()) return;
    // The user asks to see the file: a pane they had closed opens again.
    preview_->show();
    const QList<int> sizes = listAndPreview_->sizes();
    if (sizes.size() == 2 && sizes[1] == 0) {
        const int total = sizes[0] + sizes[1];
        listAndPreview_->setSizes(total > 0 ? QList<int>{total - total * 2 / 5, total * 2 / 5}
                                            : QList<int>{3, 2});
    }
    if (listView_->currentIndex().row() != row)
        listView_->setCurrentIndex(listModel_->index(row, 0));  // the preview follows
    else if (previewEntry_ != rowEntry(row))
        requestPreview(row);
}

void VolumeScanDlg::showWorkerControls(bool shown) {
    for (QWidget* w : {static_cast<QWidget*>(progress_), static_cast<QWidget*>(pause_),
                       static_cast<QWidget*>(resume_), static_cast<QWidget*>(stop_)})
        w->setVisible(shown);
}

void VolumeScanDlg::onSearch() {
    if (scanBusy_) {
        boxes().showInfo(kBusyText);
        return;
    }
    if (!currentParser_) return;
    clearSavedNote();
    CKestrumApp& app = CKestrumApp::instance();
    app.searchPattern = pattern_->text().toStdString();
    if (app.searchPattern.empty()) return;
    listModel_->setHits({});
    lastSearch_ = SearchResult{};
    screenStopRequested_.clear();
    auto pattern = SearchPattern::compile(app.searchPattern, ignoreCase_->isChecked());
    if (!pattern) {
        boxes().showInfo(kInvalidPatternText);
        return;
    }

    finishPreview();
    scanBusy_ = true;
    for (QWidget* w : {static_cast<QWidget*>(back_), static_cast<QWidget*>(save_),
                       static_cast<QWidget*>(treeView_), static_cast<QWidget*>(listView_)})
        w->setEnabled(false);
    progress_->setValue(0);
    showWorkerControls(true);
    const TreeItem top = tree_.firstChild(kNoItem);
    workerRunning_ = true;
    worker_ = std::thread([this, top, compiled = std::move(*pattern)] {
        PatternSearch search(*currentParser_, *sink_, screenStopRequested_);
        auto result = std::make_shared<SearchResult>(search.searchTree(compiled, *forwarder_, top));
        workerRunning_ = false;
        QMetaObject::invokeMethod(
            this,
            [this, result] {
                lastSearch_ = std::move(*result);
                searchEnded();
            },
            Qt::QueuedConnection);
    });
}

void VolumeScanDlg::searchEnded() {
    joinWorker();
    std::vector<char> system;
    system.reserve(lastSearch_.hits.size());
    for (const SearchHit& hit : lastSearch_.hits)
        system.push_back(currentParser_ &&
                         isSystemEntry(*currentParser_, hit.entry, lastSearch_.foldersOf(hit)));
    listModel_->setHits(lastSearch_.hits, std::move(system));
    showWorkerControls(false);
    scanBusy_ = false;
    for (QWidget* w : {static_cast<QWidget*>(back_), static_cast<QWidget*>(save_),
                       static_cast<QWidget*>(treeView_), static_cast<QWidget*>(listView_)})
        w->setEnabled(true);
    status_->setText(kSearchFinishedText);
    boxes().showInfo(kSearchFinishedText);
    emit searchFinished();
}

}  // namespace vel
