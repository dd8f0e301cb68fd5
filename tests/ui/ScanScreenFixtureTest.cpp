// The scan screen end to end on a real volume image: scan, browse, save, compare with the truth.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLabel>

#include "app/CKestrumApp.h"
#include "scan/VolumeScanDlg.h"
#include "support/Fixtures.h"
#include "support/QtApp.h"
#include "ui/CCheckListCtrl.h"
#include "ui/CXHtmlTree.h"

using namespace vel;
using namespace vel::test;

namespace {
void waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 200000 && !done(); ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    ASSERT_TRUE(done());
}

TreeItem childNamed(MemoryTree& tree, TreeItem parent, const std::string& name) {
    for (TreeItem c = tree.firstChild(parent); c; c = tree.nextSibling(c))
        if (tree.itemText(c) == name) return c;
    return kNoItem;
}
}  // namespace

TEST(ScanScreenOnImage, ExfatVolumeIsScannedBrowsedAndSaved) {
    qtApp();
    RecordingMessageBoxes boxes;
    CKestrumApp& app = CKestrumApp::instance();
    app.initialise();
    app.setMessageBoxes(&boxes);
    ASSERT_TRUE(app.replaceReader().openDevice(fixtureImage("exfat-basic.img")));
    auto manifest = loadJson(sourceDir() + "/tests/fixtures/images/exfat-basic.manifest.json");
    TempDir out;
    {
        VolumeDescriptor volume{"FAT64", "", "0", std::to_string(app.totalSectors.load() / 2048),
                                0};
        VolumeScanDlg dlg(volume, 1, "3");
        dlg.chooseFolder = [&] { return QString::fromStdString(out.path()); };
        dlg.startScan();
        waitFor([&] { return !dlg.scanBusy(); });
        EXPECT_EQ(boxes.shown().back(),
                  "Scanning processing done.Select save button to save the data.");

        MemoryTree& tree = dlg.tree();
        TreeItem root = tree.firstChild(kNoItem);
        ASSERT_EQ(tree.itemText(root), "ROOT");
        TreeItem docs = childNamed(tree, root, "docs");
        ASSERT_NE(docs, kNoItem);
        EXPECT_EQ(tree.itemText(tree.firstChild(docs)), kPlaceholderText);
        dlg.selectItem(docs);
        EXPECT_NE(tree.itemText(tree.firstChild(docs)), kPlaceholderText);
        dlg.selectItem(root);
        bool listed = false;
        for (TreeItem row : dlg.listModel()->rows())
            listed = listed || tree.itemText(row) == "big.bin";
        EXPECT_TRUE(listed);

        dlg.treeView()->selectItem(root);
        boxes.queueAnswer(true);
        dlg.onSave();
        waitFor([&] { return !dlg.scanBusy(); });
        EXPECT_EQ(boxes.shown().back(), "work done");
        // Only deleted files whose clusters were reused may fail to come back whole.
        for (const std::string& f : dlg.lastSave().failures) {
            bool expected = false;
            for (const auto& e : manifest["entries"])
                expected = expected || (e.value("intact", true) == false &&
                                        out.file(e["path"].get<std::string>()) == f);
            EXPECT_TRUE(expected) << "not written: " << f;
        }
    }
    int compared = 0;
    for (const auto& e : manifest["entries"]) {
        if (e["type"] != "file" || e["deleted"].get<bool>()) continue;
        std::string path = out.file(e["path"].get<std::string>());
        ASSERT_EQ(sha256File(path), e["sha256"].get<std::string>()) << path;
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        // The volume keeps modification times in 2-second steps.
        EXPECT_EQ(st.st_mtime / 2, e["mtime"].get<std::int64_t>() / 2) << path;
        ++compared;
    }
    EXPECT_GT(compared, 50);
    app.setMessageBoxes(nullptr);
}
