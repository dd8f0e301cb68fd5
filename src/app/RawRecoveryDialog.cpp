#include "app/RawRecoveryDialog.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/CKestrumApp.h"
#include "app/RawSettingDlg.h"
#include "ui/CUseShGetFileInfo.h"
#include "ui/CXHtmlTree.h"
#include "ui/WorkerBridges.h"

namespace vel {

namespace {
const char* const kDone = "Processing done";
const char* const kGroupCaption =
    "Click Parse button to add default file settings or create your own file to process raw "
    "recovery.";

MessageBoxes& boxes() {
    return CKestrumApp::instance().messages();
}
}  // namespace

RawRecoveryDialog::RawRecoveryDialog(const VolumeDescriptor& volume, WizardScreen* creator)
    : WizardScreen(kDialogId, creator),
      volume_(volume),
      defaultPath_(QString::fromStdString(defaultSignatureFilePath())) {
    saveStop_.setPauseGate(&pauseGate_);
    chooseSignatureFile = [this] { return QFileDialog::getOpenFileName(this); };
    chooseFolder = [this] {
        return QFileDialog::getExistingDirectory(this, "Please choose a folder.", QString(),
                                                 QFileDialog::ShowDirsOnly);
    };
    runSettings = [this] {
        RawSettingDlg dialog(this);
        dialog.exec();
    };
    buildControls();
    showScanControls(false);
}

RawRecoveryDialog::~RawRecoveryDialog() {
    if (worker_.joinable()) {
        stopWorkers();
        pauseGate_.resume();
        // The worker may be waiting for this thread; let it reach its end.
        while (workerRunning_.load()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        joinWorker();
    }
    if (source_) source_->badSectors().setListener(nullptr);
    // The models watch tree_, which goes before the widget's children do.
    delete treeModel_;
}

void RawRecoveryDialog::buildControls() {
    QVBoxLayout* layout = body();

    group_ = new QGroupBox(kGroupCaption, this);
    auto* groupLayout = new QHBoxLayout(group_);
    userFile_ = new QLineEdit(group_);
    userFile_->setMinimumWidth(180);
    browse_ = new QPushButton("...", group_);
    parse_ = new QPushButton("Parse", group_);
    loadDefault_ = new QCheckBox("Load Default Items", group_);
    loadDefault_->setChecked(true);
    everyByte_ = new QCheckBox("Search every byte (slower)", group_);
    everyByte_->setToolTip("Also find files of the default types that do not start at a sector");
    settings_ = new QToolButton(group_);
    settings_->setIcon(themeIcon("preferences-system", QStyle::SP_FileDialogDetailedView));
    settings_->setToolTip("Setting");
    auto* note = new QLabel("[Add new signatures in \n new/existing file]", group_);
    groupLayout->addWidget(userFile_, 1);
    groupLayout->addWidget(browse_);
    groupLayout->addWidget(parse_);
    groupLayout->addWidget(loadDefault_);
    groupLayout->addWidget(everyByte_);
    groupLayout->addWidget(settings_);
    groupLayout->addWidget(note);
    layout->addWidget(group_);

    treeModel_ = new ResultsTreeModel(tree_, this);
    treeView_ = new CXHtmlTree(this);
    treeView_->setResultsModel(treeModel_);
    list_ = new QTableWidget(0, 1, this);
    list_->setHorizontalHeaderLabels({"FILES LIST "});
    list_->setColumnWidth(0, 300);
    list_->verticalHeader()->hide();
    list_->setShowGrid(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto* splitter = new QSplitter(this);
    splitter->addWidget(treeView_);
    splitter->addWidget(list_);
    layout->addWidget(splitter, 1);

    auto* progressRow = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    pause_ = makeButton("Pause", "media-playback-pause", QStyle::SP_MediaPause);
    resume_ = makeButton("Resume", "media-playback-start", QStyle::SP_MediaPlay);
    stop_ = makeButton("Stop", "media-playback-stop", QStyle::SP_MediaStop);
    pause_->setToolTip("Pause");
    resume_->setToolTip("Resume");
    stop_->setToolTip("Stop");
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(pause_);
    progressRow->addWidget(resume_);
    progressRow->addWidget(stop_);
    layout->addLayout(progressRow);

    status_ = new QLabel(this);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(status_);

    back_ = makeButton("Back", "go-previous", QStyle::SP_ArrowBack);
    save_ = makeButton("Save", "document-save", QStyle::SP_DialogSaveButton);
    bottomRow()->addWidget(back_);
    bottomRow()->addWidget(save_);

    connect(browse_, &QPushButton::clicked, this, &RawRecoveryDialog::onBrowseSignatures);
    connect(parse_, &QPushButton::clicked, this, &RawRecoveryDialog::onParse);
    connect(settings_, &QToolButton::clicked, this, &RawRecoveryDialog::onSettings);
    connect(pause_, &QPushButton::clicked, this, &RawRecoveryDialog::onPause);
    connect(resume_, &QPushButton::clicked, this, &RawRecoveryDialog::onResume);
    connect(stop_, &QPushButton::clicked, this, &RawRecoveryDialog::onStop);
    connect(save_, &QPushButton::clicked, this, &RawRecoveryDialog::onSave);
    connect(back_, &QPushButton::clicked, this, [this] { goBack(); });
    connect(treeView_, &QTreeView::clicked, this,
            [this](const QModelIndex& i) { selectItem(treeModel_->itemAt(i)); });
}

void RawRecoveryDialog::showScanControls(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(progress_), static_cast<QWidget*>(pause_),
                       static_cast<QWidget*>(resume_), static_cast<QWidget*>(stop_)})
        w->setVisible(on);
}

void RawRecoveryDialog::setControlsEnabled(bool on) {
    for (QWidget* w :
         {static_cast<QWidget*>(group_), static_cast<QWidget*>(treeView_),
          static_cast<QWidget*>(list_), static_cast<QWidget*>(back_), static_cast<QWidget*>(save_)})
        w->setEnabled(on);
}

void RawRecoveryDialog::refuse(const QString& message) {
    if (!message.isEmpty()) boxes().showInfo(message.toStdString());
    showScanControls(false);
    status_->setText(kDone);
}

void RawRecoveryDialog::onBrowseSignatures() {
    const QString path = chooseSignatureFile();
    if (!path.isEmpty()) userFile_->setText(path);
}

void RawRecoveryDialog::onSettings() {
    runSettings();
}

void RawRecoveryDialog::onParse() {
    if (busy()) return;
    showScanControls(true);
    // A fresh engine each time: a file parsed twice does not double its signatures.
    auto engine = std::make_unique<myJpg>();
    bool named = false;
    if (loadDefault_->isChecked()) {
        named = true;
        LoadResult r = engine->loadDefinitions(defaultPath_.toStdString(), true);
        if (!r.ok) return refuse(QString::fromStdString(r.message));
        if (!r.message.empty()) boxes().showInfo(r.message);
    }
    const QString user = userFile_->text().trimmed();
    if (!user.isEmpty()) {
        named = true;
        LoadResult r = engine->loadDefinitions(user.toStdString(), false);
        if (!r.ok) return refuse(QString::fromStdString(r.message));
        if (!r.message.empty()) boxes().showInfo(r.message);
    }
    if (!named) return refuse("enter the info file first..");
    const std::int64_t mb = sizeTextMiB(volume_.sizeText);
    if (mb <= 0) return refuse("zero size volume..");

    std::shared_ptr<DiskSource> source = CKestrumApp::instance().reader();
    if (!source)
        return refuse("Please Restart the program to re begin necessary initialization...");
    // The row's size is whole MiB; the source may end sooner.
    std::uint64_t bytes = static_cast<std::uint64_t>(mb) << 20;
    const std::int64_t left = source->sectorCount() - volume_.startSector;
    if (source->sectorCount() > 0)
        bytes = std::min<std::uint64_t>(
            bytes, static_cast<std::uint64_t>(std::max<std::int64_t>(left, 0)) * 512);
    if (bytes == 0) return refuse("zero size volume..");
    if (source_ != source) {
        if (source_) source_->badSectors().setListener(nullptr);
        source_ = std::move(source);
        // Any thread may meet a bad sector; the status line hears of it on its own thread.
        source_->badSectors().setListener([this](std::int64_t sector, std::int64_t count) {
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

    list_->setRowCount(0);
    tree_.deleteAll();
    engine_ = std::move(engine);
    engine_->stopRequested.setPauseGate(&pauseGate_);
    forwarder_ = std::make_unique<TreeForwarder>(tree_, this, &pauseGate_);
    sink_ = std::make_unique<QtScanSink>(progress_, status_, &pauseGate_);
    engine_->attach(source_.get(), forwarder_.get(), sink_.get());
    engine_->setVolume(sectorsToBytes(volume_.startSector), bytes);
    engine_->unaligned = everyByte_->isChecked();

    setControlsEnabled(false);
    status_->setText("Processing.....");
    saving_ = false;
    workerRunning_ = true;
    worker_ = std::thread([this] {
        engine_->runScan(std::string());
        workerRunning_ = false;
        QMetaObject::invokeMethod(
            this, [this] { scanEnded(); }, Qt::QueuedConnection);
    });
}

void RawRecoveryDialog::joinWorker() {
    if (worker_.joinable()) worker_.join();
}

void RawRecoveryDialog::scanEnded() {
    joinWorker();
    treeModel_->flush();
    setControlsEnabled(true);
    showScanControls(false);
    status_->setText(kDone);
    pauseGate_.resume();
    std::string message = engine_->message();
    if (engine_->unreadableSectors() > 0)
        message += "\n" + std::to_string(engine_->unreadableSectors()) +
                   " unreadable sectors were read as zeros.";
    if (!message.empty()) boxes().showInfo(message);
    emit scanFinished();
}

void RawRecoveryDialog::onPause() {
    if (!busy()) return;
    pauseGate_.pause();
    status_->setText("Pause button pressed");
}

void RawRecoveryDialog::onResume() {
    if (!busy()) return;
    pauseGate_.resume();
    status_->setText("Resume button pressed");
}

void RawRecoveryDialog::onStop() {
    if (!busy()) return;
    if (saving_) {
        saveStop_.request();
    } else if (engine_) {
        engine_->stopRequested.request();
    }
    status_->setText("Stop button pressed.Please wait for the process to stop");
}

void RawRecoveryDialog::stopWorkers() {
    if (engine_) engine_->stopRequested.request();
    saveStop_.request();
}

void RawRecoveryDialog::selectItem(TreeItem item) {
    if (busy() || !tree_.isValid(item)) return;
    list_->setRowCount(0);
    for (TreeItem c = tree_.firstChild(item); c; c = tree_.nextSibling(c)) {
        if (tree_.itemIcon(c) != IconKind::File) continue;
        const int row = list_->rowCount();
        list_->insertRow(row);
        const QString text = QString::fromStdString(tree_.itemText(c));
        auto* cell = new QTableWidgetItem(shellIcons().fileIcon(text), text);
        cell->setData(Qt::UserRole, QVariant::fromValue<qlonglong>(tree_.itemData(c)));
        list_->setItem(row, 0, cell);
    }
}

void RawRecoveryDialog::onSave() {
    if (busy()) {
        boxes().showInfo("Please wait for other process to complete");
        return;
    }
    std::vector<std::size_t> checked;
    if (engine_) {
        for (TreeItem top = tree_.firstChild(kNoItem); top; top = tree_.nextSibling(top))
            for (TreeItem cat = tree_.firstChild(top); cat; cat = tree_.nextSibling(cat))
                for (TreeItem f = tree_.firstChild(cat); f; f = tree_.nextSibling(f))
                    if (tree_.isChecked(f) && engine_->foundFile(tree_.itemData(f)))
                        checked.push_back(static_cast<std::size_t>(tree_.itemData(f)));
    }
    if (checked.empty()) {
        boxes().showInfo("Please Select item from tree to save");
        return;
    }
    const QString folder = chooseFolder();
    if (folder.isEmpty()) {
        boxes().showInfo("select output folder");
        return;
    }
    saving_ = true;
    saveStop_.clear();
    setControlsEnabled(false);
    showScanControls(true);
    sink_ = std::make_unique<QtScanSink>(progress_, status_, &pauseGate_);
    workerRunning_ = true;
    worker_ = std::thread([this, checked, out = folder.toStdString()] {
        RawSaver saver(*engine_, *sink_, saveStop_);
        RawSaveReport report = saver.save(checked, out);
        workerRunning_ = false;
        QMetaObject::invokeMethod(
            this,
            [this, report] {
                lastSave_ = report;
                saveEnded();
            },
            Qt::QueuedConnection);
    });
}

void RawRecoveryDialog::saveEnded() {
    joinWorker();
    saving_ = false;
    setControlsEnabled(true);
    showScanControls(false);
    pauseGate_.resume();
    status_->setText(kDone);
    boxes().showInfo(lastSave_.summary());
    emit saveFinished();
}

}  // namespace vel
