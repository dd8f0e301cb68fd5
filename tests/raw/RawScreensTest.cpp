#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <filesystem>

#include "app/CKestrumApp.h"
#include "app/RawRecoveryDialog.h"
#include "app/RawSettingDlg.h"
#include "support/Fixtures.h"
#include "support/QtApp.h"
#include "ui/CXHtmlTree.h"

using namespace vel;
using namespace vel::test;

namespace {

struct RawScreen : ::testing::Test {
    RecordingMessageBoxes boxes;
    TempDir out;
    std::unique_ptr<RawRecoveryDialog> dlg;

    void SetUp() override {
        qtApp();
        CKestrumApp& app = CKestrumApp::instance();
        app.initialise();
        app.setMessageBoxes(&boxes);
        ASSERT_TRUE(app.replaceReader().openDevice(VELLORINE_CARVE_IMAGE));
    }
    void TearDown() override {
        dlg.reset();
        CKestrumApp::instance().setMessageBoxes(nullptr);
    }
    void open(const std::string& sizeMb = "4", std::int64_t start = 0) {
        dlg = std::make_unique<RawRecoveryDialog>(VolumeDescriptor{"RAW", "", "0", sizeMb, start});
        dlg->chooseFolder = [this] { return QString::fromStdString(out.path()); };
        dlg->show();
    }
    void parseAndWait() {
        dlg->onParse();
        ASSERT_TRUE(waitUntil([&] { return !dlg->busy() && !boxes.shown().empty(); }));
    }
    static void screenshot(QWidget* w, const char* name) {
        QDir().mkpath(QString::fromStdString(binaryDir() + "/screenshots"));
        w->grab().save(QString::fromStdString(binaryDir() + "/screenshots/" + name + ".png"));
    }
    TreeItem child(TreeItem parent, const std::string& prefix) {
        for (TreeItem i = dlg->tree().firstChild(parent); i; i = dlg->tree().nextSibling(i))
            if (dlg->tree().itemText(i).rfind(prefix, 0) == 0) return i;
        return kNoItem;
    }
};

}  // namespace

TEST_F(RawScreen, ParseListsByCategoryAndSavesTheCheckedFiles) {
    open();
    EXPECT_TRUE(dlg->loadDefaultBox()->isChecked());
    EXPECT_FALSE(dlg->progressBar()->isVisible());
    EXPECT_EQ(dlg->filesList()->horizontalHeaderItem(0)->text(), "FILES LIST ");
    EXPECT_EQ(dlg->settingsButton()->toolTip(), "Setting");
    EXPECT_TRUE(dlg->defaultSignaturePath().endsWith("FileSetting.txt"));

    dlg->onSave();
    EXPECT_EQ(boxes.shown().back(), "Please Select item from tree to save");
    boxes.clear();

    parseAndWait();
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{kRawDoneText});
    EXPECT_EQ(dlg->statusLine()->text(), "Processing done");
    EXPECT_FALSE(dlg->progressBar()->isVisible());
    EXPECT_FALSE(dlg->stopButton()->isVisible());

    const TreeItem top = dlg->tree().firstChild(kNoItem);
    EXPECT_EQ(dlg->tree().itemText(top), "RAW RECOVERY ");
    const TreeItem images = child(top, "Images (");
    ASSERT_NE(images, kNoItem);
    // Aligned images of the fixture: jpg x4 (one of them fragmented), png x3 (one fragmented),
    // gif, bmp x2, tif.
    EXPECT_EQ(dlg->tree().itemText(images), "Images (13)");
    dlg->selectItem(images);
    ASSERT_EQ(dlg->filesList()->rowCount(), 13);
    EXPECT_TRUE(dlg->filesList()->item(0, 0)->text().endsWith(" .gif"));
    screenshot(dlg.get(), "RawRecoveryDialog");

    dlg->tree().setChecked(images, true);
    boxes.clear();
    dlg->onSave();
    ASSERT_TRUE(waitUntil([&] { return !dlg->busy() && !boxes.shown().empty(); }));
    EXPECT_EQ(dlg->lastSave().saved, 13);
    EXPECT_EQ(dlg->lastSave().exact, 11);
    EXPECT_EQ(dlg->lastSave().partial, 2);
    EXPECT_NE(boxes.shown().back().find("13 files saved in " + out.path()), std::string::npos);
    const nlohmann::json manifest = loadJson(VELLORINE_CARVE_MANIFEST);
    for (const auto& e : manifest["files"]) {
        if (e["name"] != "photo.jpg") continue;
        const std::string path =
            out.path() + "/Images/" + std::to_string(e["offset"].get<std::uint64_t>()) + " .jpg";
        EXPECT_EQ(sha256File(path), e["sha256"]);
    }
}

TEST_F(RawScreen, RefusalsLeaveTheScreenReady) {
    open("0");
    dlg->onParse();
    EXPECT_EQ(boxes.shown().back(), "zero size volume..");
    EXPECT_EQ(dlg->statusLine()->text(), "Processing done");
    EXPECT_FALSE(dlg->progressBar()->isVisible());

    open();
    dlg->loadDefaultBox()->setChecked(false);
    dlg->onParse();
    EXPECT_EQ(boxes.shown().back(), "enter the info file first..");

    dlg->chooseSignatureFile = [this] { return QString::fromStdString(out.file("none.sig")); };
    dlg->onBrowseSignatures();
    EXPECT_EQ(dlg->signatureFileEdit()->text().toStdString(), out.file("none.sig"));
    dlg->onParse();
    EXPECT_EQ(boxes.shown().back(), "can not open file");
    EXPECT_FALSE(dlg->busy());
}

TEST_F(RawScreen, PauseHoldsTheScanAndStopEndsIt) {
    // A larger source, so the scan is still running when the buttons are pressed.
    const std::string big = out.file("big.img");
    std::filesystem::copy_file(VELLORINE_CARVE_IMAGE, big);
    std::filesystem::resize_file(big, 512ull << 20);
    ASSERT_TRUE(CKestrumApp::instance().replaceReader().openDevice(big));
    open("512");
    dlg->onParse();
    dlg->onPause();  // the worker holds at its next poll or report
    EXPECT_EQ(dlg->statusLine()->text(), "Pause button pressed");
    EXPECT_TRUE(dlg->pauseButton()->isVisible());
    EXPECT_FALSE(waitUntil([&] { return !dlg->busy(); }, 300));
    dlg->onStop();
    EXPECT_EQ(dlg->statusLine()->text(), "Stop button pressed.Please wait for the process to stop");
    dlg->onResume();
    ASSERT_TRUE(waitUntil([&] { return !dlg->busy() && !boxes.shown().empty(); }));
    EXPECT_EQ(boxes.shown().back(), kRawDoneText);
    // Stopped early: not all of the 512 MiB was looked at, and what was found is listed.
    EXPECT_LT(dlg->progressBar()->value(), 512);
    EXPECT_NE(dlg->tree().firstChild(kNoItem), kNoItem);
}

TEST(RawSettingScreen, FieldsHelpAndMessages) {
    qtApp();
    RecordingMessageBoxes boxes;
    CKestrumApp::instance().setMessageBoxes(&boxes);
    TempDir dir;
    const std::string path = dir.file("mine.sig");
    writeFile(path, std::string(342, 'x'));  // chosen again: emptied
    {
        RawSettingDlg dlg;
        dlg.chooseFile = [&] { return QString::fromStdString(path); };
        EXPECT_EQ(dlg.windowTitle(), "Setting");
        EXPECT_EQ(dlg.helpButton(RawSettingDlg::kExtension)->toolTip(),
                  RawSettingDlg::helpText(RawSettingDlg::kExtension));
        EXPECT_TRUE(dlg.helpButton(RawSettingDlg::kStart)
                        ->toolTip()
                        .startsWith("here enter the file signature that happens to be in the "
                                    "starting of the file."));
        dlg.onHelp(RawSettingDlg::kExtension);
        EXPECT_TRUE(dlg.helpButton(RawSettingDlg::kExtension)
                        ->toolTip()
                        .startsWith("here enter the file extentiom ."));

        dlg.onSave();  // no file yet: nothing happens
        EXPECT_TRUE(boxes.shown().empty());
        dlg.chooseButton()->click();
        EXPECT_EQ(dlg.pathEdit()->text().toStdString(), path);
        EXPECT_EQ(readFile(path).size(), 0u);

        dlg.edit(RawSettingDlg::kExtension)->setText("");
        dlg.onSave();
        EXPECT_EQ(boxes.shown().back(), "extention length is zero..");
        dlg.edit(RawSettingDlg::kExtension)->setText("raw");
        dlg.onSave();
        EXPECT_EQ(boxes.shown().back(), "signature length is zero..");
        dlg.edit(RawSettingDlg::kStart)->setText("0x52,0x41,0x57");
        dlg.edit(RawSettingDlg::kOffsetToSize)->setText("4");
        dlg.edit(RawSettingDlg::kSizeBytes)->setText("4");
        dlg.includesHeaderBox()->setChecked(true);
        dlg.edit(RawSettingDlg::kApproximateSize)->setText("65536");
        dlg.edit(RawSettingDlg::kCategory)->setText("Mine");
        dlg.saveButton()->click();
        EXPECT_EQ(boxes.shown().back(), "everything initialized well.....");
        QDir().mkpath(QString::fromStdString(binaryDir() + "/screenshots"));
        dlg.grab().save(QString::fromStdString(binaryDir() + "/screenshots/RawSettingDlg.png"));
        dlg.okButton()->click();
    }
    std::vector<SignatureDefinition> defs;
    ASSERT_TRUE(loadSignatureFile(path, false, defs).ok);
    ASSERT_EQ(defs.size(), 1u);
    EXPECT_EQ(defs[0].extension, u"raw");
    EXPECT_EQ(defs[0].offsetToSize, 4);
    EXPECT_TRUE(defs[0].sizeIncludesHeader);
    EXPECT_EQ(defs[0].category, u"Mine");
    CKestrumApp::instance().setMessageBoxes(nullptr);
}
