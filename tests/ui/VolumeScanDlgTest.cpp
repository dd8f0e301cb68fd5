#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QColor>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <filesystem>

#include "app/CKestrumApp.h"
#include "app/VolumeScanDlg.h"
#include "scan/ResultsWalk.h"
#include "support/FakeParser.h"
#include "support/Fixtures.h"
#include "support/QtApp.h"
#include "ui/CCheckListCtrl.h"
#include "ui/CXHtmlTree.h"
#include "ui/PreviewPane.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {
// Scans slowly, polling its stop flag, so Pause and Stop can be tried on it.
class SlowParser : public FakeParser {
  public:
    std::atomic<int> steps{0};
    WorkerResult runWorker(int mode) override {
        for (int i = 0; i < 100000 && !stopRequested.requested(); ++i) {
            ++steps;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return FakeParser::runWorker(mode);
    }
};

struct ScanScreen : ::testing::Test {
    RecordingMessageBoxes boxes;
    TempDir out;
    std::unique_ptr<VolumeScanDlg> dlg;

    void SetUp() override {
        qtApp();
        CKestrumApp& app = CKestrumApp::instance();
        app.initialise();
        app.setMessageBoxes(&boxes);
        app.replaceReader();
        dlg = std::make_unique<VolumeScanDlg>(
            VolumeDescriptor{"fake", "/media/x", "/dev/x", "1", 0}, 1, "3");
        dlg->chooseFolder = [this] { return QString::fromStdString(out.path()); };
    }
    void TearDown() override {
        dlg.reset();
        CKestrumApp::instance().setMessageBoxes(nullptr);
    }
    void waitFor(const std::function<bool()>& done) { ASSERT_TRUE(waitUntil(done)); }
    static std::unique_ptr<FakeParser> volume(FakeParser* p = nullptr) {
        std::unique_ptr<FakeParser> parser(p ? p : new FakeParser);
        ItemData docs = parser->add(0, "docs", true);
        parser->add(docs, "a.txt", false, "alpha");
        parser->add(docs, "gone.txt", false, "old", true);
        ItemData sub = parser->add(docs, "sub", true);
        parser->add(sub, "b.txt", false, "beta");
        parser->add(0, "top.bin", false, "top");
        return parser;
    }
    void saveScreenshot(const char* name) {
        QDir().mkpath(QString::fromStdString(binaryDir() + "/screenshots"));
        dlg->grab().save(QString::fromStdString(binaryDir() + "/screenshots/" + name + ".png"));
    }
};
}  // namespace

TEST_F(ScanScreen, UnknownFileSystemSaysSoAndStaysBusy) {
    dlg->show();  // showing the screen starts its scan
    for (int i = 0; i < 10 && boxes.shown().empty(); ++i) QApplication::processEvents();
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"not a valid drive."});
    EXPECT_EQ(dlg->statusLine()->text(), "Not a valid Drive .Go back");
    EXPECT_TRUE(dlg->backButton()->isEnabled());
    EXPECT_TRUE(dlg->scanBusy());
    dlg->onSave();
    EXPECT_EQ(boxes.shown().back(), "Please wait for other process to complete");
}

TEST_F(ScanScreen, ScanEndsWithTheDoneSequenceAndFoldersFill) {
    dlg->startWithParser(volume(), nullptr);
    dlg->show();
    EXPECT_FALSE(dlg->backButton()->isEnabled());
    waitFor([&] { return !dlg->scanBusy(); });
    const char* done = "Scanning processing done.Select save button to save the data.";
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{done});
    EXPECT_EQ(dlg->statusLine()->text(), done);
    EXPECT_TRUE(dlg->backButton()->isEnabled());
    EXPECT_TRUE(dlg->progressBar()->isHidden());
    EXPECT_TRUE(dlg->stopButton()->isHidden());

    MemoryTree& tree = dlg->tree();
    TreeItem root = tree.firstChild(kNoItem);
    TreeItem docs = tree.firstChild(root);
    dlg->selectItem(docs);
    ASSERT_EQ(tree.childCount(docs), 3u);
    EXPECT_EQ(tree.itemColour(tree.child(docs, 1)), kDeletedColour);  // red on selection
    ASSERT_EQ(dlg->listModel()->rows().size(), 2u);                   // files only
    EXPECT_EQ(dlg->listModel()->data(dlg->listModel()->index(0, 0), Qt::DisplayRole).toString(),
              "a.txt");
    dlg->selectItem(docs);  // selecting again rebuilds the list, not the tree
    EXPECT_EQ(tree.childCount(docs), 3u);
    TreeItem sub = tree.child(docs, 2);
    dlg->expandItem(sub);
    EXPECT_EQ(tree.itemText(tree.firstChild(sub)), "b.txt");
    dlg->selectItem(tree.child(docs, 0));
    EXPECT_EQ(dlg->listModel()->rows().size(), 1u);
    saveScreenshot("VolumeScanDlg");
}

TEST_F(ScanScreen, SaveWritesTheSelectedFolderAfterConfirmation) {
    dlg->startWithParser(volume(), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    boxes.clear();
    MemoryTree& tree = dlg->tree();
    TreeItem root = tree.firstChild(kNoItem);
    dlg->treeView()->selectItem(tree.firstChild(root));
    boxes.queueAnswer(false);
    dlg->onSave();
    EXPECT_EQ(boxes.shown().back(),
              "number of files found inside this folder = 3 .do u want to continue dumping these "
              "files..?");
    EXPECT_TRUE(fs::is_empty(out.path()));

    boxes.queueAnswer(true);
    dlg->onSave();
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(boxes.shown().back(),
              "work done\n\n3 saved whole, 0 incomplete, 0 failed\nOutput folder: " + out.path() +
                  "\nRecovery report: " + out.file("recovery-report.xml"));
    EXPECT_EQ(dlg->lastReportPath(), out.file("recovery-report.xml"));
    EXPECT_EQ(readFile(out.file("a.txt")), "alpha");
    EXPECT_EQ(readFile(out.file("sub/b.txt")), "beta");

    // The top item saves the whole volume.
    TempDir all;
    dlg->chooseFolder = [&] { return QString::fromStdString(all.path()); };
    dlg->treeView()->selectItem(root);
    boxes.queueAnswer(true);
    dlg->onSave();
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(readFile(all.file("docs/sub/b.txt")), "beta");
    EXPECT_EQ(readFile(all.file("top.bin")), "top");
}

TEST_F(ScanScreen, DoubleClickSavesAFileAndAsksForAFolderFirst) {
    auto parser = volume();
    parser->add(1, "unreadable", false, "x");  // in docs; its data cannot be read
    dlg->startWithParser(std::move(parser), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    boxes.clear();
    MemoryTree& tree = dlg->tree();
    TreeItem top = tree.child(tree.firstChild(kNoItem), 1);
    ASSERT_EQ(tree.itemText(top), "top.bin");
    dlg->chooseFolder = [] { return QString(); };
    dlg->doubleClickItem(top);
    EXPECT_EQ(boxes.shown().back(), "select output folder");
    dlg->chooseFolder = [this] { return QString::fromStdString(out.path()); };
    const QString before = dlg->statusLine()->text();
    dlg->doubleClickItem(top);
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(readFile(out.file("top.bin")), "top");
    EXPECT_EQ(dlg->statusLine()->text().toStdString(), "Saved top.bin to " + out.path());
    dlg->doubleClickItem(top);  // a second copy never overwrites the first
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(readFile(out.file("top (1).bin")), "top");
    // The line names the copy made; the click ending the double click leaves it.
    EXPECT_EQ(dlg->statusLine()->text().toStdString(), "Saved top (1).bin to " + out.path());
    dlg->selectItem(top);
    EXPECT_TRUE(dlg->statusLine()->text().startsWith("Saved top (1).bin"));
    // The next action brings back what the line said.
    dlg->selectItem(tree.firstChild(tree.firstChild(kNoItem)));
    EXPECT_EQ(dlg->statusLine()->text(), before);
    boxes.clear();
    TreeItem sub = kNoItem;
    TreeItem docs = tree.firstChild(tree.firstChild(kNoItem));
    for (TreeItem c = tree.firstChild(docs); c; c = tree.nextSibling(c))
        if (tree.itemText(c) == "unreadable") sub = c;
    ASSERT_NE(sub, kNoItem);
    dlg->doubleClickItem(sub);
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(dlg->statusLine()->text().toStdString().rfind("unreadable could not be saved: ", 0),
              0u)
        << dlg->statusLine()->text().toStdString();
    dlg->patternBox()->setText("txt");
    dlg->onSearch();
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(dlg->statusLine()->text(), "Searching Finished");
}

TEST_F(ScanScreen, SelectingAFileInTheListShowsItsPreview) {
    QImage image(7, 5, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "PNG"));
    auto parser = volume();
    parser->add(0, "photo.png", false, png.toStdString(), true);  // deleted, still intact
    parser->add(0, "blob.bin", false, std::string("\x00\x01\x02zz", 5));
    dlg->startWithParser(std::move(parser), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    dlg->resize(1280, 720);
    dlg->show();
    MemoryTree& tree = dlg->tree();
    dlg->selectItem(tree.firstChild(kNoItem));
    auto select = [&](const std::string& name) {
        for (int r = 0; r < dlg->listModel()->rowCount(); ++r)
            if (dlg->listModel()->data(dlg->listModel()->index(r, 0), Qt::DisplayRole) ==
                QString::fromStdString(name))
                return dlg->listView()->setCurrentIndex(dlg->listModel()->index(r, 0));
        FAIL() << name << " is not listed";
    };
    PreviewPane* pane = dlg->previewPane();
    select("photo.png");
    waitFor([&] { return pane->showsImage(); });
    EXPECT_TRUE(pane->caption().contains("7 x 5 picture")) << pane->caption().toStdString();
    saveScreenshot("scan-preview");
    select("blob.bin");
    waitFor([&] { return pane->showsText() && !pane->shownText().isEmpty(); });
    EXPECT_TRUE(pane->shownText().startsWith("00000000  00 01 02 7a 7a"))
        << pane->shownText().toStdString();
    select("top.bin");
    waitFor([&] { return pane->shownText() == "top"; });
    dlg->hide();
}

TEST_F(ScanScreen, ListDoubleClickShowsThePreviewAndSavesNothing) {
    dlg->startWithParser(volume(), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    dlg->resize(1280, 720);
    dlg->show();
    boxes.clear();
    MemoryTree& tree = dlg->tree();
    dlg->selectItem(tree.child(tree.firstChild(kNoItem), 0));  // docs: a.txt, gone.txt
    PreviewPane* pane = dlg->previewPane();
    QSplitter* split = dlg->previewSplitter();
    split->setSizes({600, 0});  // the user closed the pane
    ASSERT_EQ(split->sizes()[1], 0);
    const QModelIndex gone = dlg->listModel()->index(1, 0);
    emit dlg->listView()->doubleClicked(gone);
    EXPECT_GT(split->sizes()[1], 0);
    EXPECT_EQ(dlg->listView()->currentIndex().row(), 1);
    waitFor([&] { return pane->shownText() == "old"; });
    // Twice on the row shown reads nothing again; another row is read.
    pane->showMessage("unchanged");
    dlg->doubleClickRow(1);
    for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(pane->caption(), "unchanged");
    dlg->doubleClickRow(0);
    waitFor([&] { return pane->shownText() == "alpha"; });

    // A search hit the same way.
    dlg->patternBox()->setText("b\\.txt");
    dlg->onSearch();
    waitFor([&] { return !dlg->scanBusy(); });
    ASSERT_EQ(dlg->listModel()->rowCount(), 1);
    dlg->doubleClickRow(0);
    waitFor([&] { return pane->shownText() == "beta"; });
    EXPECT_TRUE(fs::is_empty(out.path()));
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"Searching Finished"});
    dlg->hide();
}

TEST_F(ScanScreen, CountsWhatWasFoundAndWhatIsChecked) {
    auto parser = volume();
    parser->add(1, ".", true);  // a link a save never enters: no folder of its own
    dlg->startWithParser(std::move(parser), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(dlg->foundSummary()->text(), "Found 2 folders, 4 files (1 deleted), 15 Bytes");
    EXPECT_TRUE(dlg->checkedSummary()->text().isEmpty());

    QAbstractItemModel* model = dlg->treeView()->model();
    const QModelIndex root = model->index(0, 0);
    QModelIndex docs;
    for (int r = 0; r < model->rowCount(root); ++r)
        if (model->index(r, 0, root).data().toString() == "docs") docs = model->index(r, 0, root);
    ASSERT_TRUE(docs.isValid());
    ASSERT_TRUE(model->setData(docs, Qt::Checked, Qt::CheckStateRole));
    waitFor([&] { return !dlg->checkedSummary()->text().isEmpty(); });
    EXPECT_EQ(dlg->checkedSummary()->text(), "2 folders, 3 files (1 deleted), 12 Bytes checked");
    ASSERT_TRUE(model->setData(root, Qt::Checked, Qt::CheckStateRole));
    waitFor([&] { return dlg->checkedSummary()->text().contains("4 files"); });
    EXPECT_EQ(totalsText({1, 1234567, 0, 1024}), "1 folder, 1,234,567 files, 1.00 KB");
}

TEST_F(ScanScreen, PauseThenStopThenResumeEndsWithTheDoneBox) {
    auto* slow = new SlowParser;
    dlg->startWithParser(volume(slow), nullptr);
    waitFor([&] { return slow->steps.load() > 5; });
    dlg->onPause();
    EXPECT_EQ(dlg->statusLine()->text(), "Pause button pressed");
    int held = slow->steps.load();
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 2);
    EXPECT_LE(slow->steps.load(), held + 1);
    dlg->onStop();
    EXPECT_EQ(dlg->statusLine()->text(),
              "stop button pressed.Please wait for the process to be stopped.");
    EXPECT_TRUE(dlg->scanBusy());
    dlg->onResume();
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_LT(slow->steps.load(), 100000);
    EXPECT_EQ(boxes.shown().back(),
              "Scanning processing done.Select save button to save the data.");
}

TEST_F(ScanScreen, CheckedItemsAreWhatSaveWrites) {
    dlg->startWithParser(volume(), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    boxes.clear();
    MemoryTree& tree = dlg->tree();
    TreeItem root = tree.firstChild(kNoItem);
    TreeItem docs = tree.firstChild(root);
    dlg->expandItem(docs);
    TreeItem sub = tree.child(docs, 2);
    dlg->expandItem(sub);
    tree.setChecked(tree.firstChild(sub), true);  // docs/sub/b.txt
    tree.setChecked(tree.child(root, 1), true);   // top.bin
    dlg->treeView()->selectItem(docs);            // the highlight no longer decides
    boxes.queueAnswer(true);
    dlg->onSave();
    EXPECT_EQ(boxes.shown()[0],
              "number of checked files = 2 .do u want to continue dumping these files..?");
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(readFile(out.file("docs/sub/b.txt")), "beta");
    EXPECT_EQ(readFile(out.file("top.bin")), "top");
    EXPECT_FALSE(fs::exists(out.file("docs/a.txt")));
    EXPECT_EQ(dlg->lastSave().filesWritten, 2);
}

namespace {
// Takes its time over each file, so Stop can be pressed in the middle of a save.
class SlowSaver : public FakeParser {
  public:
    bool writeEntry(ItemData e, EntryWriter& out) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return FakeParser::writeEntry(e, out);
    }
};
}  // namespace

TEST_F(ScanScreen, StopDuringASaveTellsHowManyFilesWereSaved) {
    auto* parser = new SlowSaver;
    ItemData many = parser->add(0, "many", true);
    for (int i = 0; i < 200; ++i) parser->add(many, "f" + std::to_string(i), false, "x");
    dlg->startWithParser(std::unique_ptr<FakeParser>(parser), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    boxes.clear();
    dlg->treeView()->selectItem(dlg->tree().firstChild(dlg->tree().firstChild(kNoItem)));
    boxes.queueAnswer(true);
    dlg->onSave();
    waitFor([&] { return fs::exists(out.file("f2")); });
    dlg->onStop();
    waitFor([&] { return !dlg->scanBusy(); });
    const SaveReport& r = dlg->lastSave();
    EXPECT_TRUE(r.stopped);
    EXPECT_GE(r.filesWritten, 3);
    EXPECT_LT(r.filesWritten, 200);
    EXPECT_EQ(boxes.shown().back().rfind(
                  "Saving stopped.\n" + std::to_string(r.filesWritten) + " saved whole", 0),
              0u)
        << boxes.shown().back();
    // Every file there is whole; no half-written one is left, under any name.
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(out.path())) {
        const std::string name = e.path().filename().string();
        if (name == "recovery-report.xml") continue;
        EXPECT_EQ(name[0], 'f') << name;
        EXPECT_EQ(readFile(e.path().string()), "x");
        ++files;
    }
    EXPECT_EQ(files, static_cast<std::size_t>(r.filesWritten));
}

namespace {
// Each folder takes a while to list, so a search can be paused and stopped halfway.
class SlowFolders : public FakeParser {
  public:
    mutable std::atomic<int> listed{0};
    void forEachChild(ItemData f, const std::function<bool(ItemData)>& visit) const override {
        ++listed;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        FakeParser::forEachChild(f, visit);
    }
};

QString cell(FileListModel* m, int row, int column, int role = Qt::DisplayRole) {
    return m->data(m->index(row, column), role).toString();
}
}  // namespace

TEST_F(ScanScreen, SearchListsHitsAndSavesTheCheckedOnesInTheirFolders) {
    dlg->startWithParser(volume(), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    boxes.clear();
    FileListModel* list = dlg->listModel();

    dlg->patternBox()->setText("\\.txt$");
    dlg->onSearch();
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"Searching Finished"});
    EXPECT_EQ(dlg->statusLine()->text(), "Searching Finished");
    EXPECT_TRUE(dlg->progressBar()->isHidden());
    EXPECT_TRUE(dlg->pauseButton()->isHidden());
    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(cell(list, 0, 0), "ROOT/docs/a.txt");
    EXPECT_EQ(cell(list, 0, 4), "5 Bytes");
    EXPECT_EQ(cell(list, 1, 0), "ROOT/docs/gone.txt");
    EXPECT_EQ(list->data(list->index(1, 0), Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    EXPECT_FALSE(list->data(list->index(0, 0), Qt::ForegroundRole).isValid());
    EXPECT_EQ(cell(list, 2, 0), "ROOT/docs/sub/b.txt");
    saveScreenshot("VolumeScanDlg-search");

    dlg->patternBox()->setText("TXT");
    dlg->onSearch();
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(list->rowCount(), 0);
    dlg->ignoreCaseBox()->setChecked(true);
    dlg->onSearch();
    waitFor([&] { return !dlg->scanBusy(); });
    ASSERT_EQ(list->rowCount(), 3);

    // Checked hits are saved in their folders.
    list->setData(list->index(0, 0), Qt::Checked, Qt::CheckStateRole);
    list->setData(list->index(2, 0), Qt::Checked, Qt::CheckStateRole);
    boxes.queueAnswer(true);
    dlg->onSave();
    EXPECT_EQ(boxes.shown().back(),
              "number of checked files = 2 .do u want to continue dumping these files..?");
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(boxes.shown().back().rfind("work done\n\n2 saved whole, 0 incomplete, 0 failed", 0),
              0u);
    EXPECT_EQ(dlg->lastSave().filesWritten, 2);
    EXPECT_EQ(readFile(out.file("docs/a.txt")), "alpha");
    EXPECT_EQ(readFile(out.file("docs/sub/b.txt")), "beta");
    EXPECT_FALSE(fs::exists(out.file("docs/gone.txt")));
    // A deleted hit is saved as well, by itself.
    TempDir alone;
    dlg->chooseFolder = [&] { return QString::fromStdString(alone.path()); };
    list->setAllChecked(false);
    list->setData(list->index(1, 0), Qt::Checked, Qt::CheckStateRole);
    boxes.queueAnswer(true);
    dlg->onSave();
    EXPECT_EQ(boxes.shown().back(),
              "number of checked files = 1 .do u want to continue dumping these files..?");
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_EQ(readFile(alone.file("docs/gone.txt")), "old");

    boxes.clear();
    dlg->patternBox()->setText("*.txt");
    dlg->onSearch();
    EXPECT_EQ(boxes.shown(),
              std::vector<std::string>{
                  "such characters are not allowed for search.Try again with different pattern."});
    EXPECT_EQ(list->rowCount(), 0);
    EXPECT_FALSE(dlg->scanBusy());
}

TEST_F(ScanScreen, SearchWaitsForTheScanAndPausesAndStops) {
    auto* slow = new SlowFolders;
    for (int i = 0; i < 300; ++i)
        slow->add(slow->add(0, "folder " + std::to_string(i), true), "f.txt", false, "x");
    auto* scanning = new SlowParser;
    dlg->startWithParser(volume(scanning), nullptr);
    dlg->patternBox()->setText("txt");
    dlg->onSearch();
    EXPECT_EQ(boxes.shown().back(), "Please wait for other process to complete");
    dlg.reset();

    dlg = std::make_unique<VolumeScanDlg>(VolumeDescriptor{"fake", "", "/dev/x", "1", 0}, 1, "3");
    dlg->startWithParser(std::unique_ptr<FakeParser>(slow), nullptr);
    waitFor([&] { return !dlg->scanBusy(); });
    slow->listed = 0;  // the count of what the scan found lists every folder once
    boxes.clear();
    dlg->patternBox()->setText("txt");
    dlg->onSearch();
    EXPECT_FALSE(dlg->stopButton()->isHidden());
    waitFor([&] { return slow->listed.load() > 5; });
    dlg->onPause();
    int held = slow->listed.load();
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_LE(slow->listed.load(), held + 1);
    dlg->onStop();
    dlg->onResume();
    waitFor([&] { return !dlg->scanBusy(); });
    EXPECT_LT(slow->listed.load(), 300);
    EXPECT_LT(dlg->listModel()->rowCount(), 300);
    EXPECT_EQ(boxes.shown().back(), "Searching Finished");
}
