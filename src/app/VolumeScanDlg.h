#pragma once
// The volume scan screen: runs the parser of the volume's file system on a worker, shows what it
// finds in the results tree and file list, and saves what the user picks.
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "app/WizardScreen.h"
#include "core/VolumeDescriptor.h"
#include "device/DiskSource.h"
#include "fs/common/FileSystemTable.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "scan/WorkerControl.h"
#include "search/PatternSearch.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QSplitter;
class QPushButton;
class QTimer;

namespace vel {

class CCheckListCtrl;
class CXHtmlTree;
class FileListModel;
class PreviewPane;
class QtScanSink;
class ResultsTreeModel;
class TreeForwarder;

class VolumeScanDlg : public WizardScreen {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 139;

    // volume: the descriptor the volume scan mode screen copied; scanMode 1 Standard, 2 Advanced,
    // 3 Deep; maxFileSystems: that screen's "Please Enter Max File Systems to Find :" text.
    VolumeScanDlg(const VolumeDescriptor& volume, int scanMode, const QString& maxFileSystems,
                  WizardScreen* creator = nullptr);
    ~VolumeScanDlg() override;

    // Picks the parser and starts the worker (the screen's start).
    void startScan();
    // The same with a parser already made (the advanced input's, or a test's).
    void startWithParser(std::shared_ptr<VolumeParser> parser, const FileSystemRow* row);
    // The advanced input's parser, used when the scan starts instead of a new one; it stays the
    // advanced input screen's.
    void takeOverParser(std::shared_ptr<VolumeParser> parser, const FileSystemRow* row);
    // The advanced input's lists with their selections (-1: none), copied for the scan.
    void setAdvancedInput(const QStringList& tables, int table, const QStringList& clusterSizes,
                          int clusterSize, const QStringList& heaps, int heap);
    // The picks the hidden lists hold.
    AdvancedChoice advancedChoice() const;

    // Button handlers, public so tests drive them as a user would.
    void onPause();
    void onResume();
    void onStop();
    void onSave();
    // Searches the scan's files for the pattern box's text and lists the hits.
    void onSearch();
    // Double click on a list row: selects it and shows its file in the preview pane, opening
    // the pane when it was closed. Nothing is saved (the tree's double click saves).
    void doubleClickRow(int row);
    // Sets every running worker's stop flag (closing, Exit).
    void stopWorkers() override;
    void waitForWorkers() override;

    bool scanBusy() const { return scanBusy_.load(); }
    int scanMode() const { return scanMode_; }
    VolumeParser* currentParser() const { return currentParser_.get(); }
    MemoryTree& tree() { return tree_; }
    CXHtmlTree* treeView() const { return treeView_; }
    CCheckListCtrl* listView() const { return listView_; }
    FileListModel* listModel() const { return listModel_; }
    PreviewPane* previewPane() const { return preview_; }
    // The list above the preview pane.
    QSplitter* previewSplitter() const { return listAndPreview_; }
    QLabel* checkedSummary() const { return checkedSummary_; }
    // "Show: all / deleted only / live only" and "hide system files" above the list.
    QComboBox* showFilterBox() const { return showFilter_; }
    QCheckBox* hideSystemBox() const { return hideSystem_; }
    // "N of M files shown" while the filter hides some.
    QLabel* shownNote() const { return shownNote_; }
    QLabel* foundSummary() const { return foundSummary_; }
    QLabel* statusLine() const { return status_; }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* pauseButton() const { return pause_; }
    QPushButton* resumeButton() const { return resume_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* searchButton() const { return search_; }
    QLineEdit* patternBox() const { return pattern_; }
    QCheckBox* ignoreCaseBox() const { return ignoreCase_; }
    const SearchResult& lastSearch() const { return lastSearch_; }
    QLineEdit* outputFolderBox() const { return outputFolder_; }
    const SaveReport& lastSave() const { return lastSave_; }
    // Where the last save's recovery report went ("" when it could not be written).
    const std::string& lastReportPath() const { return lastReportPath_; }

    // Tree handlers (selection by click, expansion, double click).
    void selectItem(TreeItem item);
    void expandItem(TreeItem item);
    void doubleClickItem(TreeItem item);

    // The folder chooser; tests replace it. Returns "" on cancel.
    std::function<QString()> chooseFolder;

  signals:
    void scanFinished();
    void saveFinished();
    void searchFinished();

  protected:
    // The scan starts when the screen is first shown (unless it was started before).
    void showEvent(QShowEvent* event) override;

  private:
    void buildControls();
    void runWorker();
    void workerEnded(const WorkerResult& result);
    // remarks: what the scan has to tell besides (a backup copy used, no files found).
    void endSequence(bool withBox, const std::vector<std::string>& remarks = {});
    void fillList(TreeItem item);
    // Runs job on a worker with a saver that reports into a recovery report in outputDir.
    void startSave(std::function<SaveReport(FolderSaver&)> job, const std::string& outputDir,
                   std::int64_t count);
    void saveEnded();
    void searchEnded();
    // Shows or hides the progress bar with Pause, Resume and Stop.
    void showWorkerControls(bool shown);
    // Warns when the output folder lies on the disk being recovered; false when the user
    // declines to save there.
    bool outputFolderAccepted(const std::string& outputDir);
    // Asks for the output folder when none is set; false when there is none to save into.
    bool ensureOutputFolder();
    TreeItem topItem() const;
    void joinWorker();
    void waitForWorker(int maxMilliseconds);
    // Reads the list row's file for the preview pane on a worker of its own.
    void requestPreview(int row);
    // The entry a list row shows (kNoData for none), and its name or path for the pane.
    ItemData rowEntry(int row, QString* name = nullptr) const;
    // Waits for a preview being read: the parser then serves one reader only.
    void finishPreview();
    // "N folders, M files ..., X MB checked" above the list.
    void updateCheckedSummary();
    // After a double click's save: "Saved NAME to FOLDER" on the status line until the next
    // action, which brings back what the line said before.
    void showSavedNote();
    void clearSavedNote();
    void applyListFilter();
    void updateShownNote();

    VolumeDescriptor volume_;
    int scanMode_;
    QString maxFileSystems_;
    std::atomic<bool> scanBusy_{true};
    StopFlag screenStopRequested_;
    PauseGate pauseGate_;
    const FileSystemRow* row_ = nullptr;
    // Held while the parser may read: the wizard may replace its reader meanwhile.
    std::shared_ptr<DiskSource> source_;
    std::atomic<std::int64_t> unreadableSectors_{0};
    std::shared_ptr<VolumeParser> currentParser_;
    std::shared_ptr<VolumeParser> presetParser_;
    const FileSystemRow* presetRow_ = nullptr;
    MemoryTree tree_;
    std::thread worker_;
    std::thread previewWorker_;
    unsigned previewGeneration_ = 0;   // a preview that comes late for its row is dropped
    ItemData previewEntry_ = kNoData;  // the file the pane shows or is reading
    SaveReport lastSave_;
    std::string lastReportPath_, lastReportError_;
    SearchResult lastSearch_;
    bool saving_ = false;
    bool pendingSingleFile_ = false;
    std::string lastSavedPath_;  // of the last file saved, relative to the output folder
    bool savedNote_ = false;
    QString statusBeforeSave_;
    TreeItem savedItem_ = kNoItem;
    bool started_ = false;
    bool leaving_ = false;  // the screen goes: a worker's end shows nothing
    std::atomic<bool> workerRunning_{false};

    ResultsTreeModel* treeModel_ = nullptr;
    std::unique_ptr<TreeForwarder> forwarder_;
    std::unique_ptr<QtScanSink> sink_;
    CXHtmlTree* treeView_ = nullptr;
    CCheckListCtrl* listView_ = nullptr;
    FileListModel* listModel_ = nullptr;
    PreviewPane* preview_ = nullptr;
    QSplitter* listAndPreview_ = nullptr;
    QLabel* checkedSummary_ = nullptr;
    QComboBox* showFilter_ = nullptr;
    QCheckBox* hideSystem_ = nullptr;
    QLabel* shownNote_ = nullptr;
    QLabel* foundSummary_ = nullptr;  // beside the status line once a scan ends
    QTimer* checkedTimer_ = nullptr;  // many check changes make one count
    QLabel* volumeData_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* fileSize_ = nullptr;  // beside the progress bar while saving
    QProgressBar* progress_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* resume_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* search_ = nullptr;
    QLineEdit* pattern_ = nullptr;
    QCheckBox* ignoreCase_ = nullptr;
    QLabel* searchNote_ = nullptr;
    QLineEdit* outputFolder_ = nullptr;  // hidden
    QListWidget* tfsList_ = nullptr;     // hidden advanced input
    QListWidget* spcList_ = nullptr;
    QListWidget* heapList_ = nullptr;
};

}  // namespace vel
