// The advanced input screen: its lists per file system, the hand-over to the scan screen, and
// leaving while its search still runs.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <filesystem>
#include <fstream>

#include "GuiTestSupport.h"
#include "app/CKestrumApp.h"
#include "app/VolumeScanDlg.h"
#include "app/advanceOptions.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"
#include "support/QtApp.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

QStringList items(const QComboBox* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->itemText(i);
    return out;
}

struct AdvanceOptions : ::testing::Test {
    WizardHooks hooks;
    std::unique_ptr<PlaceholderScreen> creator =
        std::make_unique<PlaceholderScreen>("ParceModeNtfsDlg", 136, nullptr);

    // The screen over an image, as the volume scan mode screen makes it; the search started.
    advanceOptions* open(const std::string& image, const std::string& fileSystem,
                         const QString& maxText = "3") {
        CKestrumApp::instance().openReader(image);
        const auto mib = std::to_string(fs::file_size(image) / 1048576);
        auto* screen = new advanceOptions(creator.get(),
                                          VolumeDescriptor{fileSystem, "", image, mib, 0}, maxText);
        creator->showNext(screen);
        screen->startSearch();
        return screen;
    }
    static bool searched(advanceOptions* s) {
        return waitUntil([&] { return !s->searching() && s->backButton()->isEnabled(); });
    }
    void TearDown() override {
        creator.reset();
        flushDeletions();
    }
};

}  // namespace

TEST_F(AdvanceOptions, NtfsCandidatesGoToTheScanScreenWithTheParser) {
    advanceOptions* screen = open(fixtureImage("ntfs-noboot.img"), "NTFS");
    ASSERT_TRUE(searched(screen));
    EXPECT_EQ(items(screen->tableList()), QStringList{"MFT_ENTRY:0"});
    EXPECT_EQ(screen->tableList()->currentIndex(), 0);
    EXPECT_EQ(items(screen->clusterList()), (QStringList{"8", "4", "2", "16", "32", "64"}));
    EXPECT_EQ(screen->clusterList()->currentIndex(), 0);
    EXPECT_EQ(screen->tableLabel()->text(), "TFS :");
    EXPECT_TRUE(screen->clusterLabel()->isVisible());
    EXPECT_FALSE(screen->heapList()->isVisible());
    EXPECT_FALSE(screen->progressBar()->isVisible());
    EXPECT_FALSE(screen->stopButton()->isVisible());
    EXPECT_TRUE(screen->nextButton()->isEnabled());
    EXPECT_EQ(screen->statusLine()->text(), "Parsing done.Click next to continue.");
    EXPECT_EQ(hooks.boxes.shown(),
              std::vector<std::string>{"Number of MFT-ENTRY found = 1 . Please select the choice "
                                       "from combo box and click Next button to proceed."});
    saveScreenshot(screen, "advanceOptions");

    // Next twice, Back between: each scan screen takes over the same parser and scans anew.
    for (int round = 0; round < 2; ++round) {
        screen->nextButton()->click();
        auto* scan = screen->findChild<VolumeScanDlg*>();
        ASSERT_NE(scan, nullptr);
        EXPECT_EQ(scan->scanMode(), 2);
        EXPECT_FALSE(screen->isVisible());
        ASSERT_TRUE(waitUntil([&] { return !scan->scanBusy(); }));
        EXPECT_EQ(scan->currentParser(), screen->parser());
        std::vector<std::string> first;
        TreeItem top = scan->tree().firstChild(kNoItem);
        for (TreeItem c = scan->tree().firstChild(top); c; c = scan->tree().nextSibling(c))
            first.push_back(scan->tree().itemText(c));
        EXPECT_NE(std::find(first.begin(), first.end(), "readme.txt"), first.end());
        EXPECT_NE(std::find(first.begin(), first.end(), "docs"), first.end());
        scan->backButton()->click();
        flushDeletions();
        EXPECT_TRUE(screen->isVisible());
        EXPECT_EQ(screen->findChild<VolumeScanDlg*>(), nullptr);
    }
}

TEST_F(AdvanceOptions, FatVolumesWithoutBootSectorsAreRebuiltOnTheScanScreen) {
    struct Case {
        const char* image;
        const char* fileSystem;
        QString detected;
        std::vector<std::string> topLevel;
    } cases[] = {
        {"fat32-noboot.img", "FAT32", "1 (detected)", {"DOCS", "Many Files", "readme.txt"}},
        {"fat16-noboot.img", "FAT16", "2 (detected)", {"DOCS", "Many Files", "readme.txt"}},
        {"exfat-noboot.img", "FAT64", "3 (detected)", {"docs", "many", "root-01.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        advanceOptions* screen = open(fixtureImage(c.image), c.fileSystem);
        ASSERT_TRUE(searched(screen));
        ASSERT_GT(screen->tableList()->count(), 0);
        EXPECT_EQ(screen->clusterList()->currentText(), c.detected);
        screen->nextButton()->click();
        auto* scan = screen->findChild<VolumeScanDlg*>();
        ASSERT_NE(scan, nullptr);
        ASSERT_TRUE(waitUntil([&] { return !scan->scanBusy(); }));
        std::vector<std::string> first;
        TreeItem top = scan->tree().firstChild(kNoItem);
        for (TreeItem i = scan->tree().firstChild(top); i; i = scan->tree().nextSibling(i))
            first.push_back(scan->tree().itemText(i));
        for (const std::string& name : c.topLevel)
            EXPECT_NE(std::find(first.begin(), first.end(), name), first.end()) << name;
        scan->backButton()->click();
        flushDeletions();
        screen->backButton()->click();
        flushDeletions();
    }
}

TEST_F(AdvanceOptions, FamiliesComeFromTheFileSystemTable) {
    struct Case {
        std::string image, fileSystem;
        QString tableLabel;
        QStringList clusterSizes;
        bool heap;
        std::string box;
        QStringList tables = {};
    } cases[] = {
        // FAT12 is read by the FAT12/16 parser; its boot sector's 1 sector per cluster is odd.
        {"fat12-mkfs.img",
         "FAT12",
         "Total fat16 Entries Found:",
         {"4", "8", "16", "2", "32", "64", "128"},
         false,
         "Number of FAT-ENTRY found = 0 . Please select the choice from combo box and click Next "
         "button to proceed."},
        // Both FAT copies are found; the folders' cluster size goes first, marked.
        {"fat16-mkfs.img",
         "FAT16",
         "Total fat16 Entries Found:",
         {"2 (detected)", "4", "8", "16", "32", "64", "128"},
         false,
         "Number of FAT-ENTRY found = 2 . Please select the choice from combo box and click Next "
         "button to proceed.",
         {"FAT_ENTRY:0", "FAT_ENTRY:1"}},
        {"fat32-mkfs.img",
         "FAT32",
         "TFS :",
         {"1 (detected)", "2", "4", "16", "32", "64", "8"},
         false,
         "Number of FAT32-ENTRY found = 2 . Please select the choice from combo box and click "
         "Next button to proceed.",
         {"FAT32_ENTRY:0", "FAT32_ENTRY:1"}},
        // The boot sector's shift is the measured one; the heap it states goes first.
        {"exfat-basic.img",
         "FAT64",
         "Total fat64 Entries Found:",
         {"3 (detected)", "8", "9", "10", "11"},
         true,
         "Number of FAT64-ENTRY found = 1 and Number of HeapOffset-ENTRY found =  3  . Please "
         "select the choice from ( Entry and Heap ) Combobox and click Next button to proceed.",
         {"FAT64_ENTRY:0"}},
        // No family reads these: said so, and Back leads out.
        {"fat32-mkfs.img", "extX", "TFS :", {}, false, "not a valid drive."},
        {"fat32-mkfs.img", "GPT basic data", "TFS :", {}, false, "not a valid drive."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileSystem);
        hooks.boxes.clear();
        advanceOptions* screen = open(fixtureImage(c.image), c.fileSystem);
        ASSERT_TRUE(searched(screen));
        EXPECT_EQ(screen->tableLabel()->text(), c.tableLabel);
        EXPECT_EQ(items(screen->clusterList()), c.clusterSizes);
        EXPECT_EQ(screen->heapList()->isVisible(), c.heap);
        EXPECT_EQ(screen->clusterLabel()->isVisible(), !c.heap && !c.clusterSizes.empty());
        EXPECT_EQ(hooks.boxes.shown(), std::vector<std::string>{c.box});
        EXPECT_EQ(items(screen->tableList()), c.tables);
        // Nothing to pick: Next stays on this screen.
        if (c.tables.empty()) {
            screen->nextButton()->click();
            EXPECT_EQ(screen->findChild<VolumeScanDlg*>(), nullptr);
        }
        if (c.box == "not a valid drive.") {
            EXPECT_EQ(screen->statusLine()->text(), "Not a valid Drive .Go back");
        }
        screen->backButton()->click();
        flushDeletions();
        EXPECT_TRUE(creator->isVisible());
    }
}

TEST_F(AdvanceOptions, BackOrClosingDuringASearchStopsAndJoinsIt) {
    // A large volume of holes keeps the search busy; it is paused as soon as it starts.
    TempDir dir;
    const std::string image = dir.file("big.img");
    std::ofstream(image).close();
    fs::resize_file(image, std::uintmax_t{8} << 30);

    for (bool closing : {false, true}) {
        QPointer<advanceOptions> screen = open(image, "NTFS");
        screen->onPause();
        EXPECT_EQ(screen->statusLine()->text(), "Pause button pressed");
        EXPECT_TRUE(screen->searching());
        EXPECT_FALSE(screen->backButton()->isEnabled());
        screen->onStop();
        EXPECT_EQ(screen->statusLine()->text(), "stop button pressed");
        EXPECT_TRUE(screen->backButton()->isEnabled());
        // Still paused: only leaving lets it go.
        EXPECT_TRUE(screen->searching());
        if (closing) {
            screen->exitButton()->click();
            EXPECT_EQ(hooks.exitCodes, std::vector<int>{0});
            EXPECT_FALSE(screen->searching());
            delete screen.data();
        } else {
            screen->backButton()->click();
            EXPECT_FALSE(screen->searching());
            flushDeletions();
            EXPECT_TRUE(creator->isVisible());
        }
        EXPECT_TRUE(screen.isNull());
    }
}
