#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <filesystem>
#include <thread>

#include "GuiTestSupport.h"
#include "app/CKestrumApp.h"
#include "app/DriveParsingModes.h"
#include "app/ParceModeNtfsDlg.h"
#include "app/Physical_DriveDialog.h"
#include "app/PopulateDriveDlg.h"
#include "app/VolumeOperations.h"
#include "app/VolumeScanDlg.h"
#include "app/advanceOptions.h"
#include "device/FileReadSeek.h"
#include "support/Fixtures.h"
#include "support/QtApp.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

// A machine of two disks and six mounted volumes, in a folder.
struct FakeMachine {
    TempDir root;
    SystemRoots roots{root.path()};

    FakeMachine() {
        disk("sda", "Fake Disk One  ");
        disk("sdb", "");
        std::string fat32(512, '\0');  // 16-bit sectors-per-FAT field 0
        std::string fat16(512, '\0');
        fat16[22] = 9;
        volume("sda1", 8);
        volume("sda2", 2, fat32);
        volume("sdb1", 3);
        volume("sdb2", 4);
        volume("sdb3", 5);
        volume("sdb4", 6, fat16);
        fs::create_directories(root.path() + "/proc/self");
        writeFile(root.path() + "/proc/self/mountinfo",
                  "22 1 0:21 / /proc rw - proc proc rw\n"
                  "30 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                  "31 30 8:2 / /boot/efi rw - vfat /dev/sda2 rw\n"
                  "33 30 8:17 / /media/ntfs rw - ntfs3 /dev/sdb1 rw\n"
                  "34 30 8:18 / /media/mac rw - hfsplus /dev/sdb2 rw\n"
                  "35 30 8:19 / /media/ex rw - exfat /dev/sdb3 rw\n"
                  "36 30 8:20 / /media/fat16 rw - vfat /dev/sdb4 rw\n");
    }
    void disk(const std::string& name, const std::string& model) {
        std::string dir = root.path() + "/sys/block/" + name;
        fs::create_directories(dir + "/device");
        writeFile(dir + "/size", "2048\n");
        if (!model.empty()) writeFile(dir + "/device/model", model + "\n");
        fs::create_directories(root.path() + "/dev");
        writeFile(root.path() + "/dev/" + name, "");
        fs::resize_file(root.path() + "/dev/" + name, 1 << 20);
    }
    void volume(const std::string& name, int mib, const std::string& boot = "") {
        fs::create_directories(root.path() + "/dev");
        writeFile(root.path() + "/dev/" + name, boot);
        fs::resize_file(root.path() + "/dev/" + name, static_cast<std::uintmax_t>(mib) << 20);
    }
    std::string dev(const std::string& name) const { return root.path() + "/dev/" + name; }
};

DiskSource* sharedReader() {
    return CKestrumApp::instance().reader().get();
}

template <typename T>
T* visibleScreen() {
    T* found = nullptr;
    int visible = 0;
    for (WizardScreen* s : WizardScreen::liveScreens()) {
        if (!s->isVisible()) continue;
        ++visible;
        if (auto* t = qobject_cast<T*>(s)) found = t;
    }
    return visible == 1 ? found : nullptr;
}

// The scan starts once shown; Back is usable again when it has ended.
void waitForScanEnd(VolumeScanDlg* scan) {
    for (int i = 0; i < 20000 && !(scan->backButton()->isEnabled() && !scan->scanBusy()); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(scan->backButton()->isEnabled());
}

QStringList childTexts(QTreeWidgetItem* group) {
    QStringList texts;
    for (int i = 0; i < group->childCount(); ++i) texts << group->child(i)->text(0);
    return texts;
}

QTreeWidgetItem* childNamed(QTreeWidgetItem* group, const QString& text) {
    for (int i = 0; i < group->childCount(); ++i)
        if (group->child(i)->text(0) == text) return group->child(i);
    return nullptr;
}

struct Flow : ::testing::Test {
    WizardHooks hooks;
    FakeMachine machine;
    std::unique_ptr<Physical_DriveDialog> drives;

    void SetUp() override {
        drives = std::make_unique<Physical_DriveDialog>(machine.roots);
        drives->show();
    }
    void TearDown() override {
        drives.reset();
        flushDeletions();
    }
    void select(QTreeWidgetItem* item) {
        drives->tree()->clearSelection();
        if (item) item->setSelected(true);
    }
    std::vector<std::string> takeBoxes() {
        auto shown = hooks.boxes.shown();
        hooks.boxes.clear();
        return shown;
    }
};

}  // namespace

TEST_F(Flow, DriveSelectionListsDrivesAndVolumesReversed) {
    QTreeWidget* tree = drives->tree();
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), "     VOLUMES:");
    EXPECT_EQ(tree->topLevelItem(1)->text(0), "     PHYSICAL DRIVES:");
    EXPECT_EQ(childTexts(drives->drivesGroup()),
              (QStringList{"Fake Disk One", QString::fromStdString(machine.dev("sdb"))}));
    EXPECT_EQ(
        childTexts(drives->volumesGroup()),
        (QStringList{"/media/ntfs", "/media/mac", "/media/fat16", "/media/ex", "/boot/efi", "/"}));
    EXPECT_TRUE(drives->volumesGroup()->isExpanded());
    EXPECT_TRUE(drives->drivesGroup()->isExpanded());
    EXPECT_TRUE(drives->tree()->rootIsDecorated());
    EXPECT_EQ(drives->windowTitle(), "Vellorine");
    saveScreenshot(drives.get(), "Physical_DriveDialog");

    // Each volume item carries its own descriptor.
    select(childNamed(drives->volumesGroup(), "/media/mac"));
    ASSERT_NE(drives->selectedVolume(), nullptr);
    EXPECT_EQ(drives->selectedVolume()->fileSystem, "HFS+");
    EXPECT_EQ(drives->selectedVolume()->devicePath, machine.dev("sdb2"));
    EXPECT_EQ(drives->selectedDriveNumber(), -1);
    select(drives->drivesGroup()->child(1));
    EXPECT_EQ(drives->selectedDriveNumber(), 1);
    EXPECT_EQ(drives->selectedVolume(), nullptr);
}

TEST_F(Flow, NextWithoutADriveOrVolumeSaysSoButStillReplacesTheReader) {
    CKestrumApp::instance().replaceReader().openDevice(machine.dev("sda"));
    for (QTreeWidgetItem* item :
         {static_cast<QTreeWidgetItem*>(nullptr), drives->volumesGroup(), drives->drivesGroup()}) {
        CKestrumApp::instance().replaceReader().openDevice(machine.dev("sda"));
        select(item);
        drives->nextButton()->click();
        EXPECT_EQ(takeBoxes(), std::vector<std::string>{"Please select a volume or a drive.."});
        EXPECT_EQ(visibleScreen<Physical_DriveDialog>(), drives.get());
        ASSERT_NE(sharedReader(), nullptr);
        EXPECT_EQ(sharedReader()->openedPath(), "");  // a new, unopened reader
    }
    EXPECT_EQ(WizardScreen::liveScreens().size(), 1u);
}

TEST_F(Flow, PhysicalDriveScanModeAndItsRangeRules) {
    select(drives->drivesGroup()->child(0));
    drives->nextButton()->click();
    auto* modes = visibleScreen<DriveParsingModes>();
    ASSERT_NE(modes, nullptr);
    EXPECT_FALSE(CKestrumApp::instance().volumeChosen);
    EXPECT_EQ(modes->previousScreen, 130);
    EXPECT_EQ(modes->devicePath(), machine.dev("sda"));
    EXPECT_EQ(modes->selectedDrive()->text().toStdString(), machine.dev("sda"));
    ASSERT_NE(sharedReader(), nullptr);
    EXPECT_EQ(sharedReader()->openedPath(), machine.dev("sda"));
    EXPECT_EQ(CKestrumApp::instance().totalSectors(), 2048);
    EXPECT_TRUE(takeBoxes().empty());

    // As it opens: Standard Scan, nothing of the sector search usable.
    EXPECT_TRUE(modes->standardScan()->isChecked());
    EXPECT_FALSE(modes->advanceScan()->isChecked());
    EXPECT_FALSE(modes->doNotSkip()->isEnabled());
    EXPECT_FALSE(modes->customSetting()->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{modes->startLabel(), modes->endLabel(),
                                                      modes->startEdit(), modes->endEdit()})
        EXPECT_FALSE(w->isEnabled());
    EXPECT_EQ(modes->startEdit()->text(), "0");
    EXPECT_EQ(modes->endEdit()->text(), "0");
    EXPECT_TRUE(modes->gptFormat()->isEnabled());
    EXPECT_EQ(modes->driveScanMode(), 1);
    saveScreenshot(modes, "DriveParsingModes");

    modes->advanceScan()->click();
    EXPECT_TRUE(modes->advanceScan()->isChecked());
    EXPECT_FALSE(modes->standardScan()->isChecked());
    EXPECT_TRUE(modes->doNotSkip()->isEnabled());
    EXPECT_TRUE(modes->customSetting()->isEnabled());
    EXPECT_FALSE(modes->startEdit()->isEnabled());
    EXPECT_TRUE(modes->gptFormat()->isEnabled());
    modes->customSetting()->click();
    for (QWidget* w : std::initializer_list<QWidget*>{modes->startLabel(), modes->endLabel(),
                                                      modes->startEdit(), modes->endEdit()})
        EXPECT_TRUE(w->isEnabled());
    modes->doNotSkip()->click();
    modes->gptFormat()->click();

    struct Case {
        const char *start, *end;
        bool given;
        std::int64_t startSector, endSector;
    };
    for (const Case& c : {Case{"5000", "-1", false, 0, 0}, Case{"5000", "0", true, 5000, 0},
                          Case{"  +77abc", "9000 sectors", true, 77, 9000},
                          Case{"none", "x", true, 0, 0}, Case{"-5", "12", true, -5, 12}}) {
        modes->startEdit()->setText(c.start);
        modes->endEdit()->setText(c.end);
        SCOPED_TRACE(std::string(c.start) + " to " + c.end);
        EXPECT_EQ(modes->customRangeGiven(), c.given);
        VolumeListInputs in = modes->volumeListInputs();
        EXPECT_EQ(in.customStartSector, c.startSector);
        EXPECT_EQ(in.customEndSector, c.endSector);
        EXPECT_EQ(in.driveScanMode, 2);
        EXPECT_TRUE(in.gptMode);
        EXPECT_TRUE(in.doNotSkipVolumeSize);
        EXPECT_EQ(in.devicePath, machine.dev("sda"));
    }
    modes->startEdit()->setText("5000");
    modes->endEdit()->setText("0");
    saveScreenshot(modes, "DriveParsingModes-advance");

    // Back to Standard Scan: the custom range goes and stays gone.
    modes->standardScan()->click();
    EXPECT_FALSE(modes->customSetting()->isChecked());
    EXPECT_FALSE(modes->customSetting()->isEnabled());
    EXPECT_FALSE(modes->startEdit()->isEnabled());
    EXPECT_FALSE(modes->doNotSkip()->isEnabled());
    EXPECT_FALSE(modes->customRangeGiven());
    EXPECT_EQ(modes->volumeListInputs().customStartSector, 0);
    EXPECT_EQ(modes->driveScanMode(), 1);
    modes->advanceScan()->click();
    EXPECT_FALSE(modes->customSetting()->isChecked());
    EXPECT_FALSE(modes->startEdit()->isEnabled());
    EXPECT_FALSE(modes->customRangeGiven());
    modes->customSetting()->click();
    modes->customSetting()->click();  // unchecked again: fields off
    EXPECT_FALSE(modes->endEdit()->isEnabled());
}

TEST_F(Flow, VolumeListAndBackKeepWhatWasEntered) {
    select(drives->drivesGroup()->child(1));
    drives->nextButton()->click();
    QPointer<DriveParsingModes> modes = visibleScreen<DriveParsingModes>();
    ASSERT_TRUE(modes);
    EXPECT_EQ(modes->devicePath(), machine.dev("sdb"));
    modes->advanceScan()->click();
    modes->customSetting()->click();
    modes->startEdit()->setText("1234");

    modes->nextButton()->click();
    QPointer<PopulateDriveDlg> list = visibleScreen<PopulateDriveDlg>();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->creator(), modes.data());
    EXPECT_EQ(list->previousScreen, 152);
    saveScreenshot(list, "PopulateDriveDlg");
    list->backButton()->click();
    flushDeletions();
    EXPECT_TRUE(list.isNull());
    ASSERT_EQ(visibleScreen<DriveParsingModes>(), modes.data());
    EXPECT_TRUE(modes->advanceScan()->isChecked());
    EXPECT_TRUE(modes->customSetting()->isChecked());
    EXPECT_EQ(modes->startEdit()->text(), "1234");

    // Next again from a later screen's Back: a fresh screen for the same drive.
    modes->nextButton()->click();
    list = visibleScreen<PopulateDriveDlg>();
    ASSERT_TRUE(list);
    modes->backButton()->click();  // as if from the hidden screen: both go
    flushDeletions();
    EXPECT_TRUE(modes.isNull());
    EXPECT_TRUE(list.isNull());
    ASSERT_EQ(visibleScreen<Physical_DriveDialog>(), drives.get());
    EXPECT_EQ(drives->selectedDriveNumber(), 1);
    drives->nextButton()->click();
    auto* again = visibleScreen<DriveParsingModes>();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->devicePath(), machine.dev("sdb"));
    EXPECT_TRUE(again->standardScan()->isChecked());
    EXPECT_EQ(WizardScreen::liveScreens().size(), 2u);
}

TEST_F(Flow, PhysicalDriveThenBackThenAVolumeToItsScanMode) {
    select(drives->drivesGroup()->child(0));
    drives->nextButton()->click();
    auto* modes = visibleScreen<DriveParsingModes>();
    ASSERT_NE(modes, nullptr);
    modes->backButton()->click();
    flushDeletions();
    ASSERT_EQ(visibleScreen<Physical_DriveDialog>(), drives.get());

    select(childNamed(drives->volumesGroup(), "/media/ntfs"));
    drives->nextButton()->click();
    EXPECT_TRUE(CKestrumApp::instance().volumeChosen);
    // The reader is new and unopened: the scan opens the volume's own device.
    ASSERT_NE(sharedReader(), nullptr);
    EXPECT_EQ(sharedReader()->openedPath(), "");
    auto* info = visibleScreen<VolumeOperations>();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->previousScreen, 130);
    EXPECT_EQ(info->volumeName()->text(), "/media/ntfs");
    EXPECT_EQ(info->volumeFileSystem()->text(), "NTFS");
    EXPECT_EQ(info->volumeSize()->text(), "3  MB");
    EXPECT_EQ(info->itemText()->text(), "/media/ntfs");
    EXPECT_TRUE(info->itemText()->isHidden());
    EXPECT_TRUE(info->nextButton()->isEnabled());
    EXPECT_EQ(&info->volume(), drives->selectedVolume());
    saveScreenshot(info, "VolumeOperations");

    info->nextButton()->click();
    QPointer<ParceModeNtfsDlg> mode = visibleScreen<ParceModeNtfsDlg>();
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->previousScreen, 135);
    EXPECT_EQ(mode->volume().fileSystem, "NTFS");
    EXPECT_EQ(mode->volume().devicePath, machine.dev("sdb1"));
    EXPECT_EQ(mode->volume().sizeText, "3  MB");
    EXPECT_EQ(mode->family(), "ntfs");
    EXPECT_TRUE(mode->standardButton()->isChecked());
    EXPECT_EQ(mode->scanMode(), 1);
    EXPECT_FALSE(mode->maxPrompt()->isVisible());
    EXPECT_FALSE(mode->maxEdit()->isVisible());
    EXPECT_FALSE(mode->maxHint()->isVisible());
    EXPECT_FALSE(mode->driveFormattedBox()->isVisible());
    EXPECT_TRUE(mode->advancedButton()->isVisible());
    EXPECT_TRUE(mode->deepButton()->isVisible());
    saveScreenshot(mode, "ParceModeNtfsDlg");

    mode->advancedButton()->click();
    EXPECT_EQ(mode->scanMode(), 2);
    EXPECT_TRUE(mode->maxPrompt()->isVisible());
    EXPECT_EQ(mode->maxPrompt()->text(), "Please Enter Max File Systems to Find :");
    EXPECT_TRUE(mode->maxEdit()->isVisible());
    EXPECT_EQ(mode->maxEdit()->text(), "3");
    EXPECT_EQ(mode->maxHint()->text(), "( By  Default  it's  = 3 )");
    EXPECT_FALSE(mode->driveFormattedBox()->isVisible());  // not a FAT volume
    EXPECT_FALSE(mode->standardButton()->isChecked());
    saveScreenshot(mode, "ParceModeNtfsDlg-advanced");

    // The typed maximum survives mode changes and goes on.
    mode->maxEdit()->setText("7");
    mode->nextButton()->click();
    auto* advance = visibleScreen<advanceOptions>();
    ASSERT_NE(advance, nullptr);
    EXPECT_EQ(advance->creator(), mode.data());
    EXPECT_EQ(mode->maxFileSystemsText(), "7");
    EXPECT_EQ(advance->maxFileSystems(), 7);
    // The volume holds no MFT: the search says so and Back leads out.
    ASSERT_TRUE(waitUntil([&] { return advance->backButton()->isEnabled(); }));
    EXPECT_EQ(advance->tableList()->count(), 0);
    advance->backButton()->click();
    flushDeletions();
    ASSERT_EQ(visibleScreen<ParceModeNtfsDlg>(), mode.data());

    mode->deepButton()->click();
    EXPECT_EQ(mode->scanMode(), 3);
    EXPECT_FALSE(mode->maxEdit()->isVisible());
    EXPECT_TRUE(mode->deepButton()->isChecked());
    EXPECT_FALSE(mode->advancedButton()->isChecked());
    mode->nextButton()->click();
    auto* scan = visibleScreen<VolumeScanDlg>();
    ASSERT_NE(scan, nullptr);
    EXPECT_EQ(scan->creator(), mode.data());
    EXPECT_EQ(scan->scanMode(), 3);
    waitForScanEnd(scan);
    saveScreenshot(scan, "VolumeScanDlg");
    scan->backButton()->click();
    flushDeletions();

    mode->standardButton()->click();
    mode->advancedButton()->click();
    EXPECT_EQ(mode->maxFileSystemsText(), "7");
    mode->standardButton()->click();
    mode->nextButton()->click();
    scan = visibleScreen<VolumeScanDlg>();
    ASSERT_NE(scan, nullptr);
    EXPECT_EQ(scan->scanMode(), 1);
    waitForScanEnd(scan);
}

TEST_F(Flow, RecoveryModesOfferedByFileSystem) {
    struct Case {
        const char* fileSystem;
        bool advanced, deep, formattedInAdvanced;
    };
    for (const Case& c : {Case{"NTFS", true, true, false}, Case{"extX", false, false, false},
                          Case{"HFS+", false, true, false}, Case{"FAT32", true, false, true},
                          Case{"FAT", true, false, true}, Case{"  fat16", true, false, true},
                          Case{"FAT64", true, false, true}, Case{"exFAT", true, false, true},
                          Case{"ntfs", true, true, false}, Case{"ext4", false, false, false},
                          Case{"HFSX", false, true, false}, Case{"fat64 ", true, false, true},
                          Case{"Unknown", true, true, false}}) {
        SCOPED_TRACE(c.fileSystem);
        ParceModeNtfsDlg mode(drives.get(), VolumeDescriptor{c.fileSystem, "", "0", "10", 2048});
        EXPECT_FALSE(mode.standardButton()->isHidden());
        EXPECT_EQ(!mode.advancedButton()->isHidden(), c.advanced);
        EXPECT_EQ(!mode.deepButton()->isHidden(), c.deep);
        EXPECT_EQ(mode.volume().startSector, 2048);
        if (c.advanced) {
            mode.advancedButton()->click();
            EXPECT_EQ(!mode.driveFormattedBox()->isHidden(), c.formattedInAdvanced);
            EXPECT_FALSE(mode.maxEdit()->isHidden());
        }
    }
}

TEST_F(Flow, DriveFormattedOnlyWhileAdvancedOnAFatVolume) {
    CKestrumApp& app = CKestrumApp::instance();
    auto* mode = new ParceModeNtfsDlg(drives.get(), VolumeDescriptor{"FAT32", "", "1", "100", 63});
    drives->showNext(mode);
    EXPECT_FALSE(mode->driveFormattedBox()->isVisible());
    mode->advancedButton()->click();
    ASSERT_TRUE(mode->driveFormattedBox()->isVisible());
    mode->driveFormattedBox()->click();
    EXPECT_TRUE(app.driveFormatted);
    saveScreenshot(mode, "ParceModeNtfsDlg-fat-advanced");
    app.openReader(fixtureImage("fat32-mkfs.img"));
    mode->nextButton()->click();
    auto* advance = visibleScreen<advanceOptions>();
    ASSERT_NE(advance, nullptr);
    EXPECT_TRUE(app.driveFormatted);  // handed on
    ASSERT_TRUE(waitUntil([&] { return advance->backButton()->isEnabled(); }));
    ASSERT_NE(advance->parser(), nullptr);
    EXPECT_TRUE(advance->parser()->options.driveFormatted);
    advance->backButton()->click();
    flushDeletions();
    EXPECT_TRUE(app.driveFormatted);  // survives until a mode is clicked

    mode->driveFormattedBox()->click();  // unticked
    EXPECT_FALSE(app.driveFormatted);
    mode->driveFormattedBox()->click();
    mode->standardButton()->click();
    EXPECT_FALSE(app.driveFormatted);
    EXPECT_FALSE(mode->driveFormattedBox()->isChecked());
    EXPECT_FALSE(mode->driveFormattedBox()->isVisible());
    mode->advancedButton()->click();
    EXPECT_FALSE(app.driveFormatted);
    EXPECT_FALSE(mode->driveFormattedBox()->isChecked());
    mode->driveFormattedBox()->click();
    mode->advancedButton()->click();  // clicking the chosen mode again clears it too
    EXPECT_FALSE(app.driveFormatted);

    // A fresh screen clears it as it applies Standard.
    mode->driveFormattedBox()->click();
    ASSERT_TRUE(app.driveFormatted);
    ParceModeNtfsDlg other(drives.get(), VolumeDescriptor{"NTFS", "", "2", "100", 0});
    EXPECT_FALSE(app.driveFormatted);
}

TEST_F(Flow, AddedImagesGoThePhysicalDriveWay) {
    TempDir images;
    const std::string image = images.file("disk one.img");
    writeFile(image, std::string(4096, 'x'));
    drives->chooseImageFile = [&] { return QString::fromStdString(image); };
    drives->addImageButton()->click();
    QTreeWidgetItem* item = childNamed(drives->drivesGroup(), QString::fromStdString(image));
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isSelected());
    EXPECT_EQ(drives->drivesGroup()->childCount(), 3);

    drives->chooseImageFile = [] { return QString(); };  // cancelled
    drives->addImageButton()->click();
    drives->chooseImageFile = [&] { return QString::fromStdString(images.file("missing.img")); };
    drives->addImageButton()->click();
    EXPECT_EQ(takeBoxes(),
              std::vector<std::string>{"Cannot open the image file " + images.file("missing.img")});
    EXPECT_EQ(drives->drivesGroup()->childCount(), 3);

    select(item);
    drives->nextButton()->click();
    auto* modes = visibleScreen<DriveParsingModes>();
    ASSERT_NE(modes, nullptr);
    EXPECT_FALSE(CKestrumApp::instance().volumeChosen);
    EXPECT_EQ(modes->devicePath(), image);
    EXPECT_EQ(sharedReader()->openedPath(), image);
    EXPECT_EQ(CKestrumApp::instance().totalSectors(), 8);
    EXPECT_TRUE(takeBoxes().empty());
}

TEST_F(Flow, AddedImagesShowTheirFormatSizeAndDamage) {
    EXPECT_TRUE(QString(Physical_DriveDialog::kImageFilter).contains("*.E01"));
    EXPECT_TRUE(QString(Physical_DriveDialog::kImageFilter).endsWith(";;All files (*)"));
    TempDir dir;
    formatImage("formats-fat32.E01");
    for (const char* name :
         {"formats-fat32.E01", "formats-fat32.E03", "formats-fat32.E04", "formats-fat32.E05"})
        fs::copy_file(fixtureImage(name), dir.file(name));
    const std::string damaged = dir.file("formats-fat32.E01");
    const std::string qcow = formatImage("formats-ntfs.qcow2");
    for (const std::string& image : {damaged, qcow}) {
        drives->chooseImageFile = [&] { return QString::fromStdString(image); };
        drives->addImageButton()->click();
    }
    std::vector<std::string> boxes = takeBoxes();
    ASSERT_EQ(boxes.size(), 4u);  // the missing segment, then the three it leaves unread
    EXPECT_EQ(boxes[0].rfind("formats-fat32.E02 is missing: sectors ", 0), 0u) << boxes[0];

    QTreeWidgetItem* ewf = childNamed(drives->drivesGroup(), QString::fromStdString(damaged));
    QTreeWidgetItem* vm = childNamed(drives->drivesGroup(), QString::fromStdString(qcow));
    ASSERT_TRUE(ewf && vm);
    EXPECT_EQ(ewf->text(1), "EWF  33 MB");
    EXPECT_TRUE(ewf->toolTip(0).contains("case_number: VEL-2024-018"));
    EXPECT_TRUE(ewf->toolTip(0).contains("formats-fat32.E02 is missing"));
    EXPECT_EQ(vm->text(1), "QCOW2  16 MB");
    saveScreenshot(drives.get(), "Physical_DriveDialog-images");

    select(vm);
    drives->nextButton()->click();
    ASSERT_NE(visibleScreen<DriveParsingModes>(), nullptr);
    ASSERT_NE(sharedReader(), nullptr);
    EXPECT_EQ(sharedReader()->image().format, "QCOW2");
    EXPECT_EQ(CKestrumApp::instance().totalSectors(), 32768);
    EXPECT_TRUE(takeBoxes().empty());
}

TEST_F(Flow, DriveThatCannotBeOpenedSaysInvalidHandleAndStaysUsable) {
    select(drives->drivesGroup()->child(1));
    fs::remove(machine.dev("sdb"));
    drives->nextButton()->click();
    auto* modes = visibleScreen<DriveParsingModes>();
    ASSERT_NE(modes, nullptr);
    EXPECT_EQ(takeBoxes(), std::vector<std::string>{"invalid handle ..."});
    modes->advanceScan()->click();
    EXPECT_TRUE(modes->customSetting()->isEnabled());
    modes->nextButton()->click();
    EXPECT_NE(visibleScreen<PopulateDriveDlg>(), nullptr);
}

TEST_F(Flow, KeysAndCloseOnEveryScreen) {
    auto tryKeysAndNo = [&](WizardScreen* screen, QWidget* focus) {
        SCOPED_TRACE(screen->metaObject()->className());
        const std::size_t live = WizardScreen::liveScreens().size();
        focus->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(focus, key);
        EXPECT_TRUE(screen->isVisible());
        EXPECT_EQ(WizardScreen::liveScreens().size(), live);
        hooks.boxes.queueAnswer(false);
        screen->close();
        EXPECT_EQ(takeBoxes(), std::vector<std::string>{"Do you want to Close Application ?"});
        EXPECT_TRUE(screen->isVisible());
        EXPECT_EQ(WizardScreen::liveScreens().size(), live);
        EXPECT_TRUE(hooks.exitCodes.empty());
    };
    select(childNamed(drives->volumesGroup(), "/boot/efi"));
    tryKeysAndNo(drives.get(), drives->nextButton());
    tryKeysAndNo(drives.get(), drives->tree());
    drives->nextButton()->click();
    auto* info = visibleScreen<VolumeOperations>();
    ASSERT_NE(info, nullptr);
    tryKeysAndNo(info, info->nextButton());
    info->nextButton()->click();
    auto* mode = visibleScreen<ParceModeNtfsDlg>();
    ASSERT_NE(mode, nullptr);
    mode->advancedButton()->click();
    tryKeysAndNo(mode, mode->maxEdit());
    tryKeysAndNo(mode, mode->nextButton());
    EXPECT_EQ(mode->scanMode(), 2);
    mode->backButton()->click();
    info->backButton()->click();
    flushDeletions();
    select(drives->drivesGroup()->child(0));
    drives->nextButton()->click();
    auto* modes = visibleScreen<DriveParsingModes>();
    ASSERT_NE(modes, nullptr);
    tryKeysAndNo(modes, modes->nextButton());
    tryKeysAndNo(modes, modes->startEdit());
}

TEST_F(Flow, DriveSelectionTakesTheReaderWithIt) {
    CKestrumApp::instance().replaceReader();
    drives.reset();
    EXPECT_EQ(CKestrumApp::instance().reader(), nullptr);
}
