#pragma once
// The raw recovery screen: loads signature files (the default one and/or the user's), carves the
// chosen volume on a worker with progress, Pause, Resume and Stop, lists what it found by
// category and saves the checked files.
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "app/WizardScreen.h"
#include "core/VolumeDescriptor.h"
#include "device/DiskSource.h"
#include "raw/RawSaver.h"
#include "scan/MemoryTree.h"
#include "scan/WorkerControl.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QToolButton;

namespace vel {

class CXHtmlTree;
class QtScanSink;
class ResultsTreeModel;
class TreeForwarder;

class RawRecoveryDialog : public WizardScreen {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 151;

    // volume: the row chosen in the volume list (size in MiB and start sector).
    RawRecoveryDialog(const VolumeDescriptor& volume, WizardScreen* creator = nullptr);
    ~RawRecoveryDialog() override;

    // Handlers, public so tests drive them as a user would.
    void onBrowseSignatures();
    void onParse();
    void onSettings();
    void onPause();
    void onResume();
    void onStop();
    void onSave();
    void selectItem(TreeItem item);
    void stopWorkers() override;

    bool busy() const { return worker_.joinable(); }
    const myJpg* engine() const { return engine_.get(); }
    MemoryTree& tree() { return tree_; }
    const RawSaveReport& lastSave() const { return lastSave_; }
    // Where the default signature file is looked for (fixed when the screen opens).
    const QString& defaultSignaturePath() const { return defaultPath_; }

    QGroupBox* signatureGroup() const { return group_; }
    QLineEdit* signatureFileEdit() const { return userFile_; }
    QPushButton* browseButton() const { return browse_; }
    QPushButton* parseButton() const { return parse_; }
    QCheckBox* loadDefaultBox() const { return loadDefault_; }
    QCheckBox* everyByteBox() const { return everyByte_; }
    QToolButton* settingsButton() const { return settings_; }
    CXHtmlTree* treeView() const { return treeView_; }
    QTableWidget* filesList() const { return list_; }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* pauseButton() const { return pause_; }
    QPushButton* resumeButton() const { return resume_; }
    QPushButton* stopButton() const { return stop_; }
    QLabel* statusLine() const { return status_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* saveButton() const { return save_; }

    // Dialogs; tests replace them. "" on cancel.
    std::function<QString()> chooseSignatureFile;
    std::function<QString()> chooseFolder;
    // Runs the signature editor (modal).
    std::function<void()> runSettings;

  signals:
    void scanFinished();
    void saveFinished();

  private:
    void buildControls();
    void showScanControls(bool on);
    void setControlsEnabled(bool on);
    void refuse(const QString& message);
    void scanEnded();
    void saveEnded();
    void joinWorker();

    VolumeDescriptor volume_;
    QString defaultPath_;
    // The source the engine reads, held while it may read.
    std::shared_ptr<DiskSource> source_;
    std::unique_ptr<myJpg> engine_;
    MemoryTree tree_;
    PauseGate pauseGate_;
    StopFlag saveStop_;
    RawSaveReport lastSave_;
    std::thread worker_;
    std::atomic<bool> workerRunning_{false};
    bool saving_ = false;

    ResultsTreeModel* treeModel_ = nullptr;
    std::unique_ptr<TreeForwarder> forwarder_;
    std::unique_ptr<QtScanSink> sink_;
    QGroupBox* group_ = nullptr;
    QLineEdit* userFile_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* parse_ = nullptr;
    QCheckBox* loadDefault_ = nullptr;
    QCheckBox* everyByte_ = nullptr;
    QToolButton* settings_ = nullptr;
    CXHtmlTree* treeView_ = nullptr;
    QTableWidget* list_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* resume_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* save_ = nullptr;
};

}  // namespace vel
