#include "app/advanceOptions.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/CKestrumApp.h"
#include "app/VolumeScanDlg.h"
#include "fs/common/FileSystemTable.h"
#include "ui/WorkerBridges.h"

namespace vel {

namespace {
MessageBoxes& boxes() {
    return CKestrumApp::instance().messages();
}

void fill(QComboBox* list, const std::vector<std::string>& texts,
          const std::vector<std::string>& notes) {
    list->clear();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        list->addItem(QString::fromStdString(texts[i]));
        if (i < notes.size() && !notes[i].empty())
            list->setItemData(static_cast<int>(i), QString::fromStdString(notes[i]),
                              Qt::ToolTipRole);
    }
    list->setCurrentIndex(list->count() > 0 ? 0 : -1);
}

QStringList itemTexts(const QComboBox* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) texts << list->itemText(i);
    return texts;
}
}  // namespace

advanceOptions::advanceOptions(WizardScreen* creator, const VolumeDescriptor& volume,
                               const QString& maxFileSystems)
    : WizardScreen(kDialogId, creator), volume_(volume), maxText_(maxFileSystems) {
    auto* heading = new QLabel(tr("ADVANCE OPTIONS"), this);
    QFont f = heading->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.2);
    heading->setFont(f);
    body()->addWidget(heading);

    auto* group = new QGroupBox(tr("Advanced Input:"), this);
    auto* grid = new QGridLayout(group);
    tfsLabel_ = new QLabel(tr("TFS :"), group);
    tfsList_ = new QComboBox(group);
    spcLabel_ = new QLabel(tr("Sector Per Cluster :"), group);
    spcList_ = new QComboBox(group);
    heapLabel_ = new QLabel(tr("Heap Offset :"), group);
    heapList_ = new QComboBox(group);
    for (QComboBox* list : {tfsList_, spcList_, heapList_}) list->setMinimumWidth(220);
    grid->addWidget(tfsLabel_, 0, 0);
    grid->addWidget(tfsList_, 0, 1);
    grid->addWidget(spcLabel_, 1, 0);
    grid->addWidget(spcList_, 1, 1);
    grid->addWidget(heapLabel_, 2, 0);
    grid->addWidget(heapList_, 2, 1);
    grid->setColumnStretch(2, 1);
    body()->addWidget(group);
    body()->addStretch(1);

    auto* progressRow = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    pause_ = makeButton(tr("Pause"), "media-playback-pause", QStyle::SP_MediaPause);
    resume_ = makeButton(tr("Resume"), "media-playback-start", QStyle::SP_MediaPlay);
    stop_ = makeButton(tr("Stop"), "media-playback-stop", QStyle::SP_MediaStop);
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(pause_);
    progressRow->addWidget(resume_);
    progressRow->addWidget(stop_);
    body()->addLayout(progressRow);
    status_ = new QLabel(this);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    body()->addWidget(status_);

    back_ = makeButton(tr("Back"), "go-previous", QStyle::SP_ArrowBack);
    next_ = makeButton(tr("Next"), "go-next", QStyle::SP_ArrowForward);
    bottomRow()->addWidget(back_);
    bottomRow()->addWidget(next_);

    connect(pause_, &QPushButton::clicked, this, &advanceOptions::onPause);
    connect(resume_, &QPushButton::clicked, this, &advanceOptions::onResume);
    connect(stop_, &QPushButton::clicked, this, &advanceOptions::onStop);
    connect(back_, &QPushButton::clicked, this, &advanceOptions::onBack);
    connect(next_, &QPushButton::clicked, this, &advanceOptions::onNext);

    next_->setEnabled(false);
    back_->setEnabled(false);
    for (QWidget* w : {static_cast<QWidget*>(spcLabel_), static_cast<QWidget*>(spcList_),
                       static_cast<QWidget*>(heapLabel_), static_cast<QWidget*>(heapList_)})
        w->hide();
    maxFileSystems_ = static_cast<int>(leadingNumber(maxText_.toStdString()));
}

advanceOptions::~advanceOptions() {
    leaving_ = true;
    // The scan screens started from here use this screen's parser: they and their workers go
    // first, then this screen's own worker.
    for (WizardScreen* child : findChildren<WizardScreen*>(Qt::FindDirectChildrenOnly))
        delete child;
    stopWorkers();
    waitForWorker();
    if (parser_) parser_->attach(nullptr, nullptr, nullptr);
}

void advanceOptions::showEvent(QShowEvent* event) {
    WizardScreen::showEvent(event);
    if (!started_)
        QTimer::singleShot(0, this, [this] {
            if (!started_) startSearch();
        });
}

void advanceOptions::refuse(const char* box, const char* status) {
    // Nothing can be searched: say so and let the user go back.
    parser_.reset();
    boxes().showInfo(box);
    if (status) status_->setText(status);
    back_->setEnabled(true);
    progress_->hide();
    for (QWidget* w : {pause_, resume_, stop_}) w->hide();
}

void advanceOptions::startSearch() {
    if (started_) return;
    started_ = true;
    CKestrumApp& app = CKestrumApp::instance();
    // The family comes from the file-system table: FAT12, read by the FAT12/16 parser, too.
    row_ = FileSystemTable::builtin().find(volume_.fileSystem);
    if (row_ && row_->create) parser_ = row_->create(volume_, app.parserOptions());
    const std::optional<AdvancedLayout> layout = parser_ ? parser_->advancedLayout() : std::nullopt;
    if (!layout) {
        refuse("not a valid drive.", "Not a valid Drive .Go back");
        return;
    }
    if (!app.reader()) {
        refuse("Please Restart the program to re begin necessary initialization...", nullptr);
        return;
    }
    if (!layout->startStatus.empty()) status_->setText(QString::fromStdString(layout->startStatus));
    tfsLabel_->setText(QString::fromStdString(layout->tableLabel));
    spcList_->show();
    spcLabel_->setVisible(layout->clusterLabel);
    heapLabel_->setVisible(layout->heapList);
    heapList_->setVisible(layout->heapList);

    // A mounted volume is read through its own device node.
    if (app.volumeChosen.load()) app.openReader(volume_.devicePath);
    source_ = app.reader();
    sink_ = std::make_unique<QtScanSink>(progress_, status_, &pauseGate_);
    parser_->stopRequested.setPauseGate(&pauseGate_);
    parser_->attach(source_.get(), nullptr, sink_.get());
    workerRunning_ = true;
    worker_ = std::thread([this, parser = parser_, maximum = maxFileSystems_] {
        CandidateLists lists = parser->searchCandidates(maximum);
        workerRunning_ = false;
        QMetaObject::invokeMethod(
            this, [this, lists] { searchEnded(lists); }, Qt::QueuedConnection);
    });
}

void advanceOptions::searchEnded(const CandidateLists& lists) {
    if (worker_.joinable()) worker_.join();
    if (leaving_) return;
    fill(tfsList_, lists.tables, lists.tableNotes);
    fill(spcList_, lists.clusterSizes, {});
    if (heapList_->isVisibleTo(this)) fill(heapList_, lists.heaps, lists.heapNotes);
    back_->setEnabled(true);
    next_->setEnabled(true);
    if (!lists.message.empty()) boxes().showInfo(lists.message);
    progress_->hide();
    for (QWidget* w : {pause_, resume_, stop_}) w->hide();
    if (!lists.doneStatus.empty()) status_->setText(QString::fromStdString(lists.doneStatus));
    emit searchFinished();
}

void advanceOptions::waitForWorker(int maxMilliseconds) {
    if (!worker_.joinable()) return;
    QElapsedTimer waited;
    waited.start();
    while (workerRunning_.load() && (maxMilliseconds < 0 || waited.elapsed() < maxMilliseconds))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // The events above may have run the worker's end, which joins it already.
    if (!workerRunning_.load() && worker_.joinable()) worker_.join();
}

void advanceOptions::onPause() {
    if (!worker_.joinable()) return;
    pauseGate_.pause();
    status_->setText("Pause button pressed");
}

void advanceOptions::onResume() {
    if (!worker_.joinable()) return;
    pauseGate_.resume();
    status_->setText("Resume button pressed");
}

void advanceOptions::onStop() {
    if (!parser_) return;
    parser_->stopRequested.request();
    status_->setText("stop button pressed");
    back_->setEnabled(true);
    next_->setEnabled(true);
}

void advanceOptions::onBack() {
    if (leaving_) return;
    leaving_ = true;
    // The worker is stopped and joined before the parser it uses can go.
    if (parser_) parser_->stopRequested.request();
    pauseGate_.resume();
    waitForWorker();
    goBack();
}

void advanceOptions::onNext() {
    if (tfsList_->currentIndex() < 0 || spcList_->currentIndex() < 0 || !parser_ ||
        workerRunning_.load())
        return;
    auto* scan = new VolumeScanDlg(volume_, 2, maxText_, this);
    scan->setAdvancedInput(itemTexts(tfsList_), tfsList_->currentIndex(), itemTexts(spcList_),
                           spcList_->currentIndex(), itemTexts(heapList_),
                           heapList_->currentIndex());
    scan->takeOverParser(parser_, row_);
    showNext(scan);
}

void advanceOptions::stopWorkers() {
    if (!parser_) return;
    parser_->stopRequested.request();
    status_->setText("All thread Stopped");
}

void advanceOptions::waitForWorkers() {
    // Closing the program: a paused search must see its stop; one stuck on a dying disk does not
    // keep the program alive for long. Its lists are no longer shown.
    leaving_ = true;
    pauseGate_.resume();
    waitForWorker(5000);
}

}  // namespace vel
