// The exFAT parser behind the real scan screen: the wizard's scan and save of a fixture volume.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/CKestrumApp.h"
#include "scan/VolumeScanDlg.h"
#include "support/Fixtures.h"
#include "ui/CXHtmlTree.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {
QApplication& app() {
    static int argc = 1;
    static char name[] = "exfat_ui_tests";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static auto* a = new QApplication(argc, argv);
    return *a;
}

void waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 50000 && !done(); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ASSERT_TRUE(done());
}
}  // namespace

TEST(ExfatScanScreen, MountedVolumeIsScannedShownAndSaved) {
    app();
    CKestrumApp& k = CKestrumApp::instance();
    k.initialise();
    RecordingMessageBoxes boxes;
    k.setMessageBoxes(&boxes);
    k.replaceReader();
    k.volumeChosen = true;  // the screen opens the descriptor's device itself
    std::string image = fixtureImage("exfat-basic.img");
    TempDir out;
    {
        VolumeScanDlg dlg(VolumeDescriptor{"exFAT", "/media/card", image, "24", 0}, 1, "3");
        dlg.chooseFolder = [&] { return QString::fromStdString(out.path()); };
        dlg.startScan();
        waitFor([&] { return !dlg.scanBusy(); });
        const char* done = "Scanning processing done.Select save button to save the data.";
        EXPECT_EQ(boxes.shown(), std::vector<std::string>{done});

        MemoryTree& tree = dlg.tree();
        TreeItem root = tree.firstChild(kNoItem);
        TreeItem docs = kNoItem, trash = kNoItem;
        for (TreeItem c = tree.firstChild(root); c; c = tree.nextSibling(c)) {
            if (tree.itemText(c) == "docs") docs = c;
            if (tree.itemText(c) == "trash") trash = c;
        }
        ASSERT_NE(docs, kNoItem);
        ASSERT_NE(trash, kNoItem);
        EXPECT_EQ(tree.itemColour(trash), kDeletedColour);
        dlg.expandItem(trash);
        EXPECT_GE(tree.childCount(trash), 2u);

        boxes.clear();
        dlg.treeView()->selectItem(docs);
        boxes.queueAnswer(true);
        dlg.onSave();
        waitFor([&] { return !dlg.scanBusy(); });
        EXPECT_EQ(boxes.shown().back(), "work done");
    }
    EXPECT_EQ(readFile(out.file("letters/old/first.txt")), "dear reader\n");
    EXPECT_EQ(readFile(out.file("Ünïcødé/résumé.txt")), "accents\n");
    EXPECT_EQ(fs::file_size(out.file("letters/ten-thousand.bin")), 10000u);
    k.setMessageBoxes(nullptr);
    k.volumeChosen = false;
}
