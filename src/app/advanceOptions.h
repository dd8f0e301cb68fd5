#pragma once
// The advanced input screen: searches the chosen volume for the places of its file system's
// tables on a worker, lists them with the sectors-per-cluster choices, and hands the parser and
// the picks to the scan screen (mode 2). The parser belongs to this screen; the scan screens it
// starts share it.
#include <QString>
#include <atomic>
#include <memory>
#include <thread>

#include "app/WizardScreen.h"
#include "core/VolumeDescriptor.h"
#include "device/DiskSource.h"
#include "scan/VolumeParser.h"
#include "scan/WorkerControl.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace vel {

struct FileSystemRow;
class QtScanSink;

class advanceOptions : public WizardScreen {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 153;

    // creator: the volume scan mode screen; volume: its descriptor; maxFileSystems: its "Please
    // Enter Max File Systems to Find :" text.
    advanceOptions(WizardScreen* creator, const VolumeDescriptor& volume,
                   const QString& maxFileSystems);
    ~advanceOptions() override;

    // Picks the parser by the volume's file system and starts the search (when first shown).
    void startSearch();

    // Button handlers, public so tests drive them as a user would.
    void onPause();
    void onResume();
    void onStop();
    void onBack();
    void onNext();
    void stopWorkers() override;
    void waitForWorkers() override;

    int maxFileSystems() const { return maxFileSystems_; }
    bool searching() const { return workerRunning_.load(); }
    VolumeParser* parser() const { return parser_.get(); }
    QComboBox* tableList() const { return tfsList_; }
    QComboBox* clusterList() const { return spcList_; }
    QComboBox* heapList() const { return heapList_; }
    QLabel* tableLabel() const { return tfsLabel_; }
    QLabel* clusterLabel() const { return spcLabel_; }
    QLabel* heapLabel() const { return heapLabel_; }
    QLabel* statusLine() const { return status_; }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* pauseButton() const { return pause_; }
    QPushButton* resumeButton() const { return resume_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }

  signals:
    void searchFinished();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void searchEnded(const CandidateLists& lists);
    // Lets a running worker reach its end (it may wait for this thread meanwhile), then joins.
    void waitForWorker(int maxMilliseconds = -1);
    void refuse(const char* box, const char* status);

    VolumeDescriptor volume_;
    QString maxText_;
    int maxFileSystems_ = 0;
    const FileSystemRow* row_ = nullptr;
    std::shared_ptr<VolumeParser> parser_;
    // Held while the parser may read: the wizard may replace its reader meanwhile.
    std::shared_ptr<DiskSource> source_;
    std::unique_ptr<QtScanSink> sink_;
    PauseGate pauseGate_;
    std::thread worker_;
    std::atomic<bool> workerRunning_{false};
    bool started_ = false;
    bool leaving_ = false;

    QLabel* tfsLabel_ = nullptr;
    QComboBox* tfsList_ = nullptr;
    QLabel* spcLabel_ = nullptr;
    QComboBox* spcList_ = nullptr;
    QLabel* heapLabel_ = nullptr;
    QComboBox* heapList_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* resume_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace vel
