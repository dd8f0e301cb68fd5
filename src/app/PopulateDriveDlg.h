#pragma once
// The volume list of a physical drive: fills itself from the partition tables (on the interface
// thread, it is fast) or from a sector search for lost volumes (on a worker), lets the user add
// a volume of their own, filter the rows and go on with one of them.
#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app/WizardScreen.h"
#include "core/VolumeDescriptor.h"
#include "partition/Partition.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QTableWidget;
class QToolButton;

namespace vel {

class QtScanSink;

class PopulateDriveDlg : public WizardScreen, private PartitionOwner {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 134;
    static constexpr int kRawRecoveryDialogId = 151;
    enum Column { kVolume, kFileSystem, kVolumeSize, kStartSector };

    // What the physical-drive scan mode screen hands over.
    struct Inputs {
        std::string devicePath;
        int driveScanMode = 1;  // 1 Standard Scan, 2 Advance Scan
        bool gptMode = false;
        bool doNotSkipVolumeSize = false;
        std::int64_t customStartSector = 0;  // 0 and 0: no range
        std::int64_t customEndSector = 0;    // negative: the range is dropped
    };

    // Runs the scan the inputs ask for at once: the Standard Scan before this returns, the
    // Advance Scan on a worker (scanFinished() follows its end).
    PopulateDriveDlg(WizardScreen* creator, const Inputs& inputs);

    // Makes the volume scan mode screen for the chosen descriptor, with this screen as its
    // creator; the wizard installs the real one, the default is a placeholder.
    static std::function<WizardScreen*(PopulateDriveDlg&, const VolumeDescriptor&)>&
    volumeScanModeScreen();
    // Makes the raw recovery screen for the chosen descriptor ("RAW"); the same way.
    static std::function<WizardScreen*(PopulateDriveDlg&, const VolumeDescriptor&)>&
    rawRecoveryScreen();
    ~PopulateDriveDlg() override;

    void stopWorkers() override;

    // Control handlers, public so tests drive them as a user would.
    void onStop();
    void onSelectionChanged();
    void onRowClicked(int row);
    void onCustomSettings();
    // delta as an up-down control reports it: -1 for the up arrow, +1 for the down arrow.
    void onSpin(QLineEdit* edit, int delta);
    void onAddCustomVolume();
    void onFilter();
    void onNext();
    void onBack();
    // The Advance Scan offered when the Standard Scan found no volume.
    void onAdvanceScan();

    // What the next screens read: the descriptor of the row chosen with Next (null before).
    const VolumeDescriptor* selected() const { return selected_; }
    const std::vector<VolumeDescriptor>& volumes() const { return volumes_; }
    bool scanRunning() const { return worker_.joinable(); }
    // The descriptor a row refers to (null for no such row).
    VolumeDescriptor* rowDescriptor(int row) const;

    QTableWidget* list() const { return list_; }
    QPushButton* filterButton() const { return filter_; }
    QPushButton* addCustomButton() const { return addCustom_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }
    QCheckBox* customSettingsBox() const { return custom_; }
    QGroupBox* customGroup() const { return group_; }
    QLabel* selectedVolumeValue() const { return selectedValue_; }
    QLineEdit* startEdit() const { return startEdit_; }
    QLineEdit* endEdit() const { return endEdit_; }
    QToolButton* startSpinUp() const { return startUp_; }
    QToolButton* startSpinDown() const { return startDown_; }
    QToolButton* endSpinUp() const { return endUp_; }
    QToolButton* endSpinDown() const { return endDown_; }
    QComboBox* treatAsList() const { return treatAs_; }
    QProgressBar* progressBar() const { return progress_; }
    QLabel* statusLine() const { return status_; }
    // What the scan has to say besides its rows (a backup copy used, why nothing was found).
    QLabel* noteLine() const { return note_; }
    QPushButton* advanceScanButton() const { return advance_; }

  signals:
    void scanFinished();

  private:
    void buildControls();
    void enableCustomGroup(bool on);
    void standardScan();
    void advanceScan();
    void advanceScanEnded();
    void insertRowAtTop(const VolumeDescriptor& volume);
    void clearRows();
    void setStatus(const QString& text);
    void waitForWorker();
    void showNotes(std::vector<std::string> notes);

    // Called on the worker by the sector scan.
    void volumeFound(const VolumeDescriptor& volume) override;
    void setFilterEnabled(bool enabled) override;

    Inputs inputs_;
    std::vector<VolumeDescriptor> volumes_;
    // One descriptor per row, owned here; a row's item data points at its own.
    std::deque<std::unique_ptr<VolumeDescriptor>> rowData_;
    std::unique_ptr<Partition> partition_;
    std::unique_ptr<QtScanSink> sink_;
    VolumeDescriptor* selected_ = nullptr;
    bool customApplied_ = false;
    std::int64_t sourceSectors_ = 0;  // of the drive the scan opened
    std::thread worker_;
    std::atomic<bool> workerRunning_{false};

    QTableWidget* list_ = nullptr;
    QPushButton* filter_ = nullptr;
    QPushButton* addCustom_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
    QCheckBox* custom_ = nullptr;
    QGroupBox* group_ = nullptr;
    QLabel* selectedValue_ = nullptr;
    QLineEdit* startEdit_ = nullptr;
    QLineEdit* endEdit_ = nullptr;
    QToolButton* startUp_ = nullptr;
    QToolButton* startDown_ = nullptr;
    QToolButton* endUp_ = nullptr;
    QToolButton* endDown_ = nullptr;
    QComboBox* treatAs_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* note_ = nullptr;
    QPushButton* advance_ = nullptr;
};

}  // namespace vel
