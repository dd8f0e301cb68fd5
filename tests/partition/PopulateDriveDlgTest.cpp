#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QToolButton>
#include <fstream>

#include "DiskBuilder.h"
#include "app/CKestrumApp.h"
#include "app/PopulateDriveDlg.h"
#include "support/Fixtures.h"
#include "support/QtApp.h"

using namespace vel;
using namespace vel::test;

namespace {

struct VolumeList : ::testing::Test {
    RecordingMessageBoxes boxes;
    std::unique_ptr<PopulateDriveDlg> dlg;
    void SetUp() override {
        qtApp();
        CKestrumApp::instance().setMessageBoxes(&boxes);
        WizardScreen::processExit() = [](int) {};
    }
    void TearDown() override {
        dlg.reset();
        CKestrumApp::instance().setMessageBoxes(nullptr);
    }
    PopulateDriveDlg& open(const std::string& image, int mode, bool gpt = false,
                           bool noSkip = false) {
        PopulateDriveDlg::Inputs in;
        in.devicePath = image;
        in.driveScanMode = mode;
        in.gptMode = gpt;
        in.doNotSkipVolumeSize = noSkip;
        return open(in);
    }
    PopulateDriveDlg& open(const PopulateDriveDlg::Inputs& in) {
        dlg = std::make_unique<PopulateDriveDlg>(nullptr, in);
        if (in.driveScanMode == 2 && dlg->scanRunning()) {
            QSignalSpy done(dlg.get(), &PopulateDriveDlg::scanFinished);
            EXPECT_TRUE(done.wait(30000));
        }
        return *dlg;
    }
    std::vector<std::vector<std::string>> shownRows() const {
        std::vector<std::vector<std::string>> out;
        QTableWidget* list = dlg->list();
        for (int r = 0; r < list->rowCount(); ++r) {
            std::vector<std::string> row;
            for (int c = 0; c < 4; ++c) row.push_back(list->item(r, c)->text().toStdString());
            out.push_back(row);
        }
        return out;
    }
    static std::string manifestPath(const std::string& name) {
        return sourceDir() + "/tests/fixtures/images/" + name + ".manifest.json";
    }
    void screenshot(const std::string& name) {
        QDir().mkpath(QString::fromStdString(binaryDir() + "/screenshots"));
        dlg->resize(900, 620);
        dlg->grab().save(QString::fromStdString(binaryDir() + "/screenshots/" + name + ".png"));
    }
};

std::vector<std::string> row(const nlohmann::json& r, std::size_t index) {
    return {std::to_string(index), r["fileSystem"], r["sizeText"],
            std::to_string(r["startSector"].get<long long>())};
}

// A disk whose one partition has a type byte nobody reads and nothing recognisable in it.
std::string unknownTypeDisk(const TempDir& dir) {
    std::string disk(10000 * 512, '\0');
    disk[446 + 4] = static_cast<char>(0x8E);
    disk[446 + 9] = 0x08;   // first sector 2048
    disk[446 + 13] = 0x10;  // 4096 sectors
    disk[510] = 0x55;
    disk[511] = static_cast<char>(0xAA);
    writeFile(dir.file("unknown.img"), disk);
    return dir.file("unknown.img");
}

}  // namespace

TEST_F(VolumeList, StandardScanShowsTheTableInOrder) {
    auto& d = open(fixtureImage("part-mbr.img"), 1);
    auto truth = loadJson(manifestPath("part-mbr"))["standard"];
    std::vector<std::vector<std::string>> expected;
    for (std::size_t i = 0; i < truth.size(); ++i) expected.push_back(row(truth[i], i));
    EXPECT_EQ(shownRows(), expected);
    QStringList headers;
    for (int c = 0; c < 4; ++c) headers << d.list()->horizontalHeaderItem(c)->text();
    EXPECT_EQ(headers, QStringList({"VOLUME", "FILE_SYSTEM", "VOLUME_SIZE", "START_SECTOR"}));
    EXPECT_TRUE(d.customSettingsBox()->isEnabled());
    EXPECT_FALSE(d.customSettingsBox()->isChecked());
    EXPECT_FALSE(d.startEdit()->isEnabled());
    EXPECT_TRUE(d.addCustomButton()->isHidden());
    EXPECT_TRUE(d.stopButton()->isHidden());
    EXPECT_TRUE(d.filterButton()->isEnabled());
    EXPECT_EQ(d.progressBar()->value(), 1000);
    EXPECT_EQ(d.statusLine()->text(), "Select volume and click next button...");
    EXPECT_TRUE(boxes.shown().empty());
    // Each row refers to a descriptor of its own with the row's values.
    for (int r = 0; r < d.list()->rowCount(); ++r) {
        ASSERT_NE(d.rowDescriptor(r), nullptr);
        EXPECT_EQ(d.rowDescriptor(r)->startSector, truth[r]["startSector"].get<std::int64_t>());
        EXPECT_EQ(d.rowDescriptor(r)->devicePath, std::to_string(r));
    }
    screenshot("PopulateDriveDlg-standard");
}

TEST_F(VolumeList, AdvanceScanPutsTheLatestVolumeOnTop) {
    auto& d = open(fixtureImage("lost-volumes.img"), 2);
    auto truth = loadJson(manifestPath("lost-volumes"))["advance"];
    std::vector<std::vector<std::string>> expected;
    for (std::size_t i = truth.size(); i-- > 0;) expected.push_back(row(truth[i], i));
    EXPECT_EQ(shownRows(), expected);
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"populated partitions...."});
    EXPECT_TRUE(d.nextButton()->isEnabled());
    EXPECT_TRUE(d.backButton()->isEnabled());
    EXPECT_TRUE(d.addCustomButton()->isEnabled());
    EXPECT_FALSE(d.addCustomButton()->isHidden());
    EXPECT_TRUE(d.filterButton()->isEnabled());
    EXPECT_TRUE(d.customSettingsBox()->isEnabled());
    EXPECT_TRUE(d.stopButton()->isHidden());
    EXPECT_EQ(d.statusLine()->text(), "Select volume and click next button...");
    screenshot("PopulateDriveDlg-advance");
}

TEST_F(VolumeList, SelectingAndClickingARowFillTheCustomFields) {
    auto& d = open(fixtureImage("part-mbr.img"), 1);
    d.list()->selectRow(0);  // NTFS, 8 MB at 2048
    EXPECT_EQ(d.startEdit()->text(), "2048");
    EXPECT_EQ(d.endEdit()->text(), QString::number(2048 + 8 * 2048 - 1));
    EXPECT_EQ(d.selectedVolumeValue()->text(), "0");
    d.onRowClicked(0);
    EXPECT_EQ(d.treatAsList()->currentText(), "NTFS");
    d.onRowClicked(4);  // extX
    EXPECT_EQ(d.treatAsList()->currentText(), "EXTX");
    d.onRowClicked(5);  // FAT12 is none of the entries: the choice stays
    EXPECT_EQ(d.treatAsList()->currentText(), "EXTX");
    QStringList entries;
    for (int i = 0; i < d.treatAsList()->count(); ++i) entries << d.treatAsList()->itemText(i);
    EXPECT_EQ(entries, QStringList({"EXTX", "FAT16", "FAT32", "FAT64", "HFS+", "NTFS", "RAW"}));
}

TEST_F(VolumeList, SpinnersCountAndNeverGoBelowZero) {
    auto& d = open(fixtureImage("part-mbr.img"), 1);
    d.customSettingsBox()->click();
    EXPECT_TRUE(d.startEdit()->isEnabled());
    EXPECT_TRUE(d.treatAsList()->isEnabled());
    d.startEdit()->setText("1");
    d.startSpinDown()->click();
    EXPECT_EQ(d.startEdit()->text(), "0");
    d.startSpinDown()->click();
    EXPECT_EQ(d.startEdit()->text(), "0");
    d.endEdit()->setText("41");
    d.endSpinUp()->click();
    EXPECT_EQ(d.endEdit()->text(), "42");
    d.customSettingsBox()->click();
    EXPECT_FALSE(d.endEdit()->isEnabled());
    EXPECT_FALSE(d.endSpinUp()->isEnabled());
}

TEST_F(VolumeList, CustomVolumeAsNtfsAndTheRowRestoredAfterwards) {
    std::vector<VolumeDescriptor> handed;
    auto saved = PopulateDriveDlg::volumeScanModeScreen();
    PopulateDriveDlg::volumeScanModeScreen() = [&](PopulateDriveDlg&, const VolumeDescriptor& v) {
        handed.push_back(v);
        return nullptr;
    };
    auto& d = open(fixtureImage("lost-volumes.img"), 2);
    int rows = d.list()->rowCount();
    d.addCustomButton()->click();
    ASSERT_EQ(d.list()->rowCount(), rows + 1);
    EXPECT_EQ(d.list()->item(0, 1)->text(), "CUSTOM ");
    EXPECT_EQ(d.list()->item(0, 0)->text(), QString::number(rows));
    EXPECT_TRUE(d.customSettingsBox()->isChecked());
    EXPECT_TRUE(d.startEdit()->isEnabled());
    d.startEdit()->setText("2048");
    d.endEdit()->setText("22527");
    d.treatAsList()->setCurrentText("NTFS");
    d.nextButton()->click();
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].startSector, 2048);
    EXPECT_EQ(handed[0].sizeText, "10");
    EXPECT_EQ(handed[0].fileSystem, "ntfs");
    ASSERT_NE(d.selected(), nullptr);
    EXPECT_EQ(d.selected()->sizeText, "10");

    // A real row, changed through the custom box, then chosen again with the box cleared.
    d.list()->selectRow(rows);  // the oldest hit, at the bottom: NTFS at 2048, "8   MB"
    d.treatAsList()->setCurrentText("FAT32");
    d.nextButton()->click();
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed[1].fileSystem, "fat32");
    d.customSettingsBox()->click();  // cleared
    d.nextButton()->click();
    ASSERT_EQ(handed.size(), 3u);
    EXPECT_EQ(handed[2].fileSystem, "NTFS");
    EXPECT_EQ(handed[2].sizeText, "8");
    EXPECT_EQ(handed[2].startSector, 2048);
    EXPECT_EQ(handed[2].devicePath, "0");
    PopulateDriveDlg::volumeScanModeScreen() = saved;
}

TEST_F(VolumeList, NextRules) {
    TempDir dir;
    auto& d = open(unknownTypeDisk(dir), 1);  // one "Unknown" row
    ASSERT_EQ(d.list()->rowCount(), 1);
    d.list()->clearSelection();
    d.nextButton()->click();
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"please select a valid volume."});
    boxes.clear();
    d.list()->selectRow(0);
    d.treatAsList()->setCurrentText("RAW");  // without the custom box: no raw recovery
    d.nextButton()->click();
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"can not parse unknown volume"});
    EXPECT_EQ(d.findChild<PlaceholderScreen*>(), nullptr);
    boxes.clear();
    d.customSettingsBox()->click();
    d.treatAsList()->setCurrentText("RAW");
    d.nextButton()->click();
    EXPECT_TRUE(boxes.shown().empty());
    ASSERT_NE(d.selected(), nullptr);
    EXPECT_EQ(d.selected()->fileSystem, "RAW");
    auto* raw = d.findChild<PlaceholderScreen*>();
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->dialogName(), "RawRecoveryDialog");
    EXPECT_EQ(raw->previousScreen, 134);
}

TEST_F(VolumeList, FilterKeepsVolumesOneSectorAfterThePreviousOne) {
    // Without skipping, boot sectors in neighbouring sectors are each a row.
    TempDir dir;
    std::string disk(20000 * 512, '\0');
    for (std::int64_t at : {2048, 2049, 9000}) {
        auto boot = fatBoot(true, 4096);
        disk.replace(static_cast<std::size_t>(at * 512), 512,
                     std::string(boot.begin(), boot.end()));
    }
    writeFile(dir.file("neighbours.img"), disk);
    auto& d = open(dir.file("neighbours.img"), 2, false, true);
    ASSERT_EQ(d.list()->rowCount(), 3);
    d.filterButton()->click();
    ASSERT_EQ(d.list()->rowCount(), 1);
    EXPECT_EQ(d.list()->item(0, 1)->text(), "FAT32");
    EXPECT_EQ(d.list()->item(0, 3)->text(), "2049");
    EXPECT_EQ(d.list()->item(0, 0)->text(), "1");

    // On a list of one row Filter empties it.
    PopulateDriveDlg::Inputs one;
    one.devicePath = unknownTypeDisk(dir);
    open(one);
    ASSERT_EQ(dlg->list()->rowCount(), 1);
    dlg->filterButton()->click();
    EXPECT_EQ(dlg->list()->rowCount(), 0);
}

TEST_F(VolumeList, DriveThatCannotBeOpened) {
    open("/nonexistent/disk.img", 1);
    EXPECT_EQ(boxes.shown(), (std::vector<std::string>{"invalid handle ...", "file not opened.."}));
    EXPECT_EQ(dlg->list()->rowCount(), 0);
    EXPECT_FALSE(dlg->customSettingsBox()->isEnabled());
    boxes.clear();
    open("/nonexistent/disk.img", 2);
    EXPECT_EQ(boxes.shown(), (std::vector<std::string>{"invalid handle ...", "file not opened.."}));
    EXPECT_TRUE(dlg->nextButton()->isEnabled());
    EXPECT_FALSE(dlg->scanRunning());
}

TEST_F(VolumeList, StopEndsTheAdvanceScanEarly) {
    TempDir dir;
    std::string big = dir.file("big.img");
    {
        std::ofstream f(big, std::ios::binary);
        // Large enough that a busy machine cannot finish the scan before Stop is clicked.
        f.seekp((std::int64_t{32} << 30) - 1);
        f.put('\0');
    }
    PopulateDriveDlg::Inputs in;
    in.devicePath = big;
    in.driveScanMode = 2;
    dlg = std::make_unique<PopulateDriveDlg>(nullptr, in);
    ASSERT_TRUE(dlg->scanRunning());
    EXPECT_FALSE(dlg->nextButton()->isEnabled());
    QSignalSpy done(dlg.get(), &PopulateDriveDlg::scanFinished);
    // The scan has begun once it has disabled Filter.
    for (int i = 0; i < 3000 && dlg->filterButton()->isEnabled(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    dlg->stopButton()->click();
    EXPECT_TRUE(dlg->backButton()->isEnabled());
    ASSERT_TRUE(done.wait(30000));
    EXPECT_LT(dlg->progressBar()->value(), 1000);
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"populated partitions...."});
    EXPECT_TRUE(dlg->nextButton()->isEnabled());
}

TEST_F(VolumeList, DamagedDisksShowTheirVolumesAtTheirTrueStartsAndSayHow) {
    struct Case {
        const char* image;
        const char* note;
    } cases[] = {{"gpt-backup", "the primary GPT is damaged; the backup GPT at sector 49151"},
                 {"fat32-boot0", "found from its backup boot sector at sector 6"}};
    for (const Case& c : cases) {
        auto& d = open(fixtureImage(std::string(c.image) + ".img"), 1);
        auto truth = loadJson(manifestPath(c.image))["standard"];
        std::vector<std::vector<std::string>> expected;
        for (std::size_t i = 0; i < truth.size(); ++i) expected.push_back(row(truth[i], i));
        EXPECT_EQ(shownRows(), expected) << c.image;
        EXPECT_FALSE(d.noteLine()->isHidden());
        EXPECT_TRUE(d.noteLine()->text().contains(c.note)) << d.noteLine()->text().toStdString();
        EXPECT_EQ(d.statusLine()->text(), "Select volume and click next button...");
        EXPECT_TRUE(d.advanceScanButton()->isHidden());
    }
}

TEST_F(VolumeList, WithoutATableTheListSaysWhyAndOffersTheAdvanceScan) {
    auto& d = open(fixtureImage("mbr-zeroed.img"), 1);
    EXPECT_EQ(d.list()->rowCount(), 0);
    EXPECT_EQ(d.statusLine()->text(), kNoPartitionTable);
    ASSERT_FALSE(d.advanceScanButton()->isHidden());
    QSignalSpy done(&d, &PopulateDriveDlg::scanFinished);
    d.advanceScanButton()->click();
    ASSERT_TRUE(done.wait(30000));
    auto truth = loadJson(manifestPath("mbr-zeroed"))["advance"];
    std::vector<std::vector<std::string>> expected;
    for (std::size_t i = truth.size(); i-- > 0;) expected.push_back(row(truth[i], i));
    EXPECT_EQ(shownRows(), expected);
    EXPECT_TRUE(d.advanceScanButton()->isHidden());
    EXPECT_FALSE(d.addCustomButton()->isHidden());
    EXPECT_EQ(d.statusLine()->text(), "Select volume and click next button...");

    // A custom volume must lie inside the drive.
    d.addCustomButton()->click();
    d.startEdit()->setText("2048");
    d.endEdit()->setText("999999");
    d.treatAsList()->setCurrentText("FAT32");
    boxes.clear();
    d.nextButton()->click();
    EXPECT_EQ(boxes.shown(),
              std::vector<std::string>{
                  "the custom volume must lie inside the drive: sectors 0 to 98303"});
    EXPECT_EQ(d.selected(), nullptr);
}
