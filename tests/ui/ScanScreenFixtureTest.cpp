// The scan screen end to end on real volume images: scan, browse, save, compare with the truth.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <set>

#include "app/CKestrumApp.h"
#include "app/VolumeScanDlg.h"
#include "platform/FileTimes.h"
#include "support/Fixtures.h"
#include "support/QtApp.h"
#include "ui/CCheckListCtrl.h"
#include "ui/CXHtmlTree.h"

using namespace vel;
using namespace vel::test;

namespace {
void waitFor(const std::function<bool()>& done) {
    ASSERT_TRUE(waitUntil(done));
}

struct Volume {
    const char* image;
    const char* fileSystem;      // as the volume list would name it
    const char* folder;          // a first-level folder to browse
    bool twoSecondTimes;         // modification times kept in 2-second steps
    const char* file = nullptr;  // the volume converted to another image format
    // A damaged image: the manifest that lists its files, and what the end of the scan says.
    const char* contents = nullptr;
    const char* remark = nullptr;
};
// ctest shows the image's name, not the struct's bytes.
void PrintTo(const Volume& v, std::ostream* os) {
    *os << v.image;
}

// What the manifest says the saved file's modification time must be.
std::int64_t expectedMtime(const nlohmann::json& e, bool twoSecondTimes) {
    if (e.contains("dos_mtime")) {  // recorded local time, taken as UTC
        int y, mo, d, h, mi, s;
        std::sscanf(e["dos_mtime"].get<std::string>().c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h,
                    &mi, &s);
        return fromCalendarAsUtc(y, mo, d, h, mi, s).seconds;
    }
    std::int64_t t = e["mtime"].get<std::int64_t>();
    return twoSecondTimes ? t / 2 * 2 : t;
}

class ScanScreenOnImage : public ::testing::TestWithParam<Volume> {};
}  // namespace

TEST_P(ScanScreenOnImage, VolumeIsScannedBrowsedAndSaved) {
    const Volume& v = GetParam();
    qtApp();
    RecordingMessageBoxes boxes;
    CKestrumApp& app = CKestrumApp::instance();
    app.initialise();
    app.setMessageBoxes(&boxes);
    if (v.file)
        ASSERT_TRUE(app.openReader(formatImage(v.file)));
    else
        ASSERT_TRUE(app.replaceReader().openDevice(fixtureImage(std::string(v.image) + ".img")));
    auto manifest = loadJson(sourceDir() + "/tests/fixtures/images/" +
                             (v.contents ? v.contents : v.image) + ".manifest.json");
    TempDir out;
    std::vector<SaveFailure> failures;
    {
        VolumeDescriptor volume{v.fileSystem, "", "0", std::to_string(app.totalSectors() / 2048),
                                0};
        VolumeScanDlg dlg(volume, 1, "3");
        dlg.chooseFolder = [&] { return QString::fromStdString(out.path()); };
        dlg.startScan();
        waitFor([&] { return !dlg.scanBusy(); });
        std::string done = "Scanning processing done.Select save button to save the data.";
        if (v.remark) done += std::string("\n") + v.remark;
        EXPECT_EQ(boxes.shown().back(), done);
        EXPECT_EQ(dlg.statusLine()->text().toStdString(), done);

        MemoryTree& tree = dlg.tree();
        TreeItem root = tree.firstChild(kNoItem);
        ASSERT_EQ(tree.itemText(root), "ROOT");
        TreeItem folder = kNoItem;
        for (TreeItem c = tree.firstChild(root); c; c = tree.nextSibling(c))
            if (tree.itemText(c) == v.folder) folder = c;
        ASSERT_NE(folder, kNoItem) << v.folder;
        EXPECT_EQ(tree.itemText(tree.firstChild(folder)), kPlaceholderText);
        dlg.selectItem(folder);
        EXPECT_NE(tree.itemText(tree.firstChild(folder)), kPlaceholderText);
        // The list holds the folder's files, never its subfolders.
        for (TreeItem row : dlg.listModel()->rows())
            EXPECT_FALSE(dlg.currentParser()->isFolder(tree.itemData(row)));

        dlg.treeView()->selectItem(root);
        boxes.queueAnswer(true);
        dlg.onSave();
        waitFor([&] { return !dlg.scanBusy(); });
        EXPECT_EQ(boxes.shown().back().rfind("work done\n\n", 0), 0u);
        failures = dlg.lastSave().failures;
    }
    // Only deleted files whose data is gone may fail to come back whole.
    for (const SaveFailure& f : failures) {
        bool allowed = false;
        for (const auto& e : manifest["entries"])
            allowed = allowed || (e["deleted"].get<bool>() && !e.value("intact", false) &&
                                  out.file(e["path"].get<std::string>()) == f.path);
        EXPECT_TRUE(allowed) << "not written: " << f.path;
    }
    int compared = 0;
    for (const auto& e : manifest["entries"]) {
        if (e["type"] != "file" || e["deleted"].get<bool>()) continue;
        std::string path = out.file(e["path"].get<std::string>());
        ASSERT_EQ(sha256File(path), e["sha256"].get<std::string>()) << path;
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, expectedMtime(e, v.twoSecondTimes)) << path;
        ++compared;
    }
    EXPECT_GT(compared, 0);
    app.setMessageBoxes(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ScanScreenOnImage,
    ::testing::Values(
        Volume{"ntfs-basic", "NTFS", "docs", false}, Volume{"ntfs-64k", "NTFS", "x", false},
        Volume{"exfat-basic", "FAT64", "docs", true}, Volume{"fat32-mkfs", "FAT32", "DOCS", false},
        Volume{"fat16-msdos", "FAT16", "DOCS", false},
        Volume{"fat32-mkfs", "FAT32", "DOCS", false, "formats-fat32.E01"},
        Volume{"fat32-mkfs", "FAT32", "DOCS", false, "formats-fat32-split.vmdk"},
        Volume{"fat32-boot0", "FAT32", "DOCS", false, nullptr, "fat32-mkfs",
               "boot sector damaged: read from its backup "
               "copy at sector 6 of the volume"},
        Volume{"exfat-boot0", "FAT64", "docs", true, nullptr, "exfat-basic",
               "boot sector damaged: read from its backup "
               "copy at sector 12 of the volume"},
        Volume{"ntfs-boot0", "NTFS", "a", false, nullptr, "ntfs-512",
               "boot sector damaged: read from its backup "
               "copy at sector 24575 of the volume"},
        Volume{"ext4-64", "extX", "docs", false}, Volume{"ext2-1k", "extX", "docs", false}),
    [](const auto& info) {
        std::string n = info.param.file ? info.param.file : info.param.image;
        for (char& c : n)
            if (c == '-' || c == '.') c = '_';
        return n;
    });

TEST(ScanScreenOnHfsImage, DeepScanEndsWithWorkDoneShowsDeletedFilesAndSaves) {
    qtApp();
    RecordingMessageBoxes boxes;
    CKestrumApp& app = CKestrumApp::instance();
    app.initialise();
    app.setMessageBoxes(&boxes);
    ASSERT_TRUE(app.replaceReader().openDevice(fixtureImage("hfsplus-basic.img")));
    TempDir out;
    {
        VolumeDescriptor volume{"HFS+", "", "0", std::to_string(app.totalSectors() / 2048), 0};
        VolumeScanDlg dlg(volume, 3, "3");
        dlg.chooseFolder = [&] { return QString::fromStdString(out.path()); };
        dlg.startScan();
        EXPECT_EQ(dlg.statusLine()->text(), "HFS+ partition selected....");
        waitFor([&] { return !dlg.scanBusy(); });
        // The short end: no done box, Back enabled, the progress controls gone.
        EXPECT_TRUE(boxes.shown().empty());
        EXPECT_EQ(dlg.statusLine()->text(), "Work Done.");
        EXPECT_TRUE(dlg.backButton()->isEnabled());
        EXPECT_TRUE(dlg.progressBar()->isHidden());

        MemoryTree& tree = dlg.tree();
        TreeItem root = tree.firstChild(kNoItem);
        TreeItem photos = kNoItem, temp = kNoItem;
        for (TreeItem c = tree.firstChild(root); c; c = tree.nextSibling(c)) {
            if (tree.itemText(c) == "Photos") photos = c;
            if (tree.itemText(c) == "Temp Folder") temp = c;
        }
        ASSERT_NE(photos, kNoItem);
        ASSERT_NE(temp, kNoItem);
        EXPECT_EQ(tree.itemColour(temp), kDeletedColour);
        EXPECT_NE(tree.itemColour(photos), kDeletedColour);
        dlg.selectItem(photos);
        EXPECT_EQ(dlg.listModel()->rows().size(), 2u);  // the two files; the subfolder is not a row

        dlg.treeView()->selectItem(root);
        boxes.queueAnswer(true);
        dlg.onSave();
        waitFor([&] { return !dlg.scanBusy(); });
        EXPECT_EQ(boxes.shown().back().rfind("work done\n\n", 0), 0u);
        EXPECT_TRUE(dlg.lastSave().failures.empty());
    }
    // A live file and the deleted one whose record and blocks survive.
    EXPECT_EQ(sha256File(out.file("Documents/Projects/Deep Level/one-mebibyte.bin")).substr(0, 16),
              "e22aa78438eb147a");
    EXPECT_EQ(sha256File(out.file("Photos/U\xcc\x88ni\xcc\x88"
                                  "co\xcc\x88"
                                  "de\xcc\x81 "
                                  "Fo\xcc\x88to\xcc\x88s/\xe5\x86\x99\xe7\x9c\x9f 002.jpg")),
              "fb167d7c29d12746203871184c3886cd96c279c395fb95d91b2adf0449bce7ae");
    app.setMessageBoxes(nullptr);
}

TEST(ScanScreenDeep, EachMftFoundShowsUnderTheOrphanNode) {
    qtApp();
    RecordingMessageBoxes boxes;
    CKestrumApp& app = CKestrumApp::instance();
    app.initialise();
    app.setMessageBoxes(&boxes);
    ASSERT_TRUE(app.replaceReader().openDevice(fixtureImage("ntfs-reformat.img")));
    {
        VolumeDescriptor volume{"NTFS", "", "0", std::to_string(app.totalSectors() / 2048), 0};
        VolumeScanDlg dlg(volume, 3, "3");
        dlg.startScan();
        waitFor([&] { return !dlg.scanBusy(); });
        EXPECT_EQ(boxes.shown().back(),
                  "Scanning processing done.Select save button to save the data.");
        MemoryTree& tree = dlg.tree();
        TreeItem root = tree.firstChild(kNoItem);
        TreeItem orphans = tree.firstChild(root);
        ASSERT_EQ(tree.itemText(orphans), "ORPHAN_ENTRY");
        EXPECT_EQ(tree.nextSibling(orphans), kNoItem);
        dlg.selectItem(orphans);
        std::vector<std::string> copies;
        for (TreeItem c = tree.firstChild(orphans); c; c = tree.nextSibling(c))
            copies.push_back(tree.itemText(c));
        // The new format's MFT and the old one's, each with its own folders.
        EXPECT_EQ(copies, (std::vector<std::string>{"MFT_COPY_0", "MFT_COPY_1"}));
        TreeItem old = tree.nextSibling(tree.firstChild(orphans));
        dlg.selectItem(old);
        bool late = false;
        for (TreeItem row : dlg.listModel()->rows())
            late = late || tree.itemText(row) == "late.bin";
        EXPECT_TRUE(late);
    }
    app.setMessageBoxes(nullptr);
}

namespace {
TreeItem childNamed(const MemoryTree& tree, TreeItem parent, const std::string& name) {
    for (TreeItem c = tree.firstChild(parent); c; c = tree.nextSibling(c))
        if (tree.itemText(c) == name) return c;
    return kNoItem;
}

std::set<std::string> listedNames(VolumeScanDlg& dlg) {
    std::set<std::string> names;
    FileListModel* list = dlg.listModel();
    for (int r = 0; r < list->rowCount(); ++r)
        names.insert(list->data(list->index(r, 0), Qt::DisplayRole).toString().toStdString());
    return names;
}

// Settings of their own while they live: other test processes read the shared ones.
struct OwnSettings {
    QString name = QCoreApplication::applicationName();
    OwnSettings() {
        QCoreApplication::setApplicationName(name + "-" +
                                             QString::number(QCoreApplication::applicationPid()));
        QSettings().clear();
    }
    ~OwnSettings() {
        QSettings().clear();
        QCoreApplication::setApplicationName(name);
    }
};
}  // namespace

TEST(ScanScreenFilter, ShowsTheDeletedOrLiveFilesAndHidesTheSystemFiles) {
    qtApp();
    OwnSettings settings;
    RecordingMessageBoxes boxes;
    CKestrumApp& app = CKestrumApp::instance();
    app.initialise();
    app.setMessageBoxes(&boxes);
    ASSERT_TRUE(app.replaceReader().openDevice(fixtureImage("recycle-ntfs.img")));
    const auto manifest =
        loadJson(sourceDir() + "/tests/fixtures/images/recycle-ntfs.manifest.json");
    // The manifest's files of a folder, deleted ones or live ones.
    auto filesIn = [&](const std::string& folder, bool deleted) {
        std::set<std::string> names;
        for (const auto& e : manifest["entries"]) {
            const std::string path = e["path"];
            const auto slash = path.rfind('/');
            const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
            if (e["type"] == "file" && parent == folder && e["deleted"].get<bool>() == deleted)
                names.insert(path.substr(slash + 1));
        }
        return names;
    };
    {
        VolumeDescriptor volume{"NTFS", "", "0", std::to_string(app.totalSectors() / 2048), 0};
        VolumeScanDlg dlg(volume, 1, "3");
        dlg.startScan();
        waitFor([&] { return !dlg.scanBusy(); });
        EXPECT_EQ(dlg.showFilterBox()->currentText(), "all");
        EXPECT_FALSE(dlg.hideSystemBox()->isChecked());
        MemoryTree& tree = dlg.tree();
        const TreeItem root = tree.firstChild(kNoItem);
        const TreeItem photos = childNamed(tree, root, "photos");
        ASSERT_NE(photos, kNoItem);
        dlg.selectItem(photos);
        ASSERT_EQ(filesIn("photos", true).size(), 1u);
        EXPECT_EQ(dlg.listModel()->rowCount(), 6);
        dlg.showFilterBox()->setCurrentIndex(1);  // deleted only
        EXPECT_EQ(listedNames(dlg), filesIn("photos", true));
        EXPECT_EQ(dlg.shownNote()->text(), "1 of 6 files shown");
        // A hidden row keeps its check box: the deleted photo stays picked while not shown.
        dlg.listModel()->setAllChecked(true);
        dlg.showFilterBox()->setCurrentIndex(2);  // live only
        EXPECT_EQ(listedNames(dlg), filesIn("photos", false));
        dlg.listModel()->setAllChecked(true);
        dlg.listModel()->setAllChecked(false);
        const TreeItem gone = childNamed(tree, photos, "Gone Photo.jpg");
        ASSERT_NE(gone, kNoItem);
        EXPECT_TRUE(tree.isChecked(gone));
        EXPECT_FALSE(tree.isChecked(childNamed(tree, photos, "photo.jpg")));
        dlg.showFilterBox()->setCurrentIndex(0);
        EXPECT_TRUE(dlg.shownNote()->text().isEmpty());

        // The root: the metafiles go, the one user file and the recycle bin's stay.
        dlg.selectItem(root);
        EXPECT_TRUE(listedNames(dlg).count("$MFTMirr"));
        dlg.hideSystemBox()->setChecked(true);
        EXPECT_EQ(listedNames(dlg), filesIn("", false));
        const TreeItem extend = childNamed(tree, root, "$Extend");
        ASSERT_NE(extend, kNoItem);
        dlg.selectItem(extend);
        EXPECT_EQ(dlg.listModel()->rowCount(), 0);
        EXPECT_EQ(dlg.listModel()->unfilteredCount(), 3);
        const TreeItem bin = childNamed(tree, root, "$RECYCLE.BIN");
        ASSERT_NE(bin, kNoItem);
        dlg.selectItem(bin);
        const TreeItem alice = childNamed(tree, bin, "S-1-5-21-1000-1001");
        dlg.selectItem(alice);
        EXPECT_EQ(listedNames(dlg).size(),
                  filesIn("$RECYCLE.BIN/S-1-5-21-1000-1001", false).size());
        EXPECT_TRUE(listedNames(dlg).count("report.docx"));

        // Search hits pass the same filter.
        dlg.patternBox()->setText("^\\$");
        dlg.onSearch();
        waitFor([&] { return !dlg.scanBusy(); });
        std::set<std::string> hits = listedNames(dlg);
        EXPECT_FALSE(hits.empty());
        for (const std::string& hit : hits)
            EXPECT_EQ(hit.rfind("ROOT/$RECYCLE.BIN/", 0), 0u) << hit;
        EXPECT_GT(static_cast<int>(dlg.listModel()->hits().size()), dlg.listModel()->rowCount());
        dlg.showFilterBox()->setCurrentIndex(2);
    }
    // The next screen starts with the filter the user left.
    VolumeScanDlg again(VolumeDescriptor{"NTFS", "", "0", "1", 0}, 1, "3");
    EXPECT_EQ(again.showFilterBox()->currentText(), "live only");
    EXPECT_TRUE(again.hideSystemBox()->isChecked());
    app.setMessageBoxes(nullptr);
}
