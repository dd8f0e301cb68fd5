#pragma once
// Physical-drive scan mode: how the volume list finds the drive's volumes (partition tables,
// optionally GPT, or a sector search, optionally over a range and without skipping volumes).
#include <QString>
#include <cstdint>
#include <string>

#include "app/WizardScreen.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace vel {

class Physical_DriveDialog;

// What the volume list is given.
struct VolumeListInputs {
    std::string devicePath;
    int driveScanMode = 1;  // 1 Standard Scan, 2 Advance Scan
    bool gptMode = false;
    bool doNotSkipVolumeSize = false;
    // The custom range; 0 and 0 when none was given. An end of 0 means up to the drive's end.
    std::int64_t customStartSector = 0;
    std::int64_t customEndSector = 0;
};

class DriveParsingModes : public WizardScreen {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 152;

    // Reads the selected drive from its creator and opens the shared reader on it.
    explicit DriveParsingModes(Physical_DriveDialog* creator);

    // Control handlers, public so tests drive them as a user would.
    void onStandardScan();
    void onAdvanceScan();
    void onCustomSetting();
    void onNext();
    void onBack() { goBack(); }

    // The chosen drive's path (a /dev node or an image file).
    const std::string& devicePath() const { return devicePath_; }
    int driveScanMode() const;
    bool gptMode() const;
    bool doNotSkipVolumeSize() const;
    // Whether the custom range is handed over, and its sectors (0 and 0 when it is not).
    bool customRangeGiven() const;
    std::int64_t customStartSector() const;
    std::int64_t customEndSector() const;
    VolumeListInputs volumeListInputs() const;

    QLabel* selectedDrive() const { return driveValue_; }
    QRadioButton* standardScan() const { return standard_; }
    QRadioButton* advanceScan() const { return advance_; }
    QCheckBox* gptFormat() const { return gpt_; }
    QCheckBox* doNotSkip() const { return noSkip_; }
    QCheckBox* customSetting() const { return custom_; }
    QLabel* startLabel() const { return startLabel_; }
    QLabel* endLabel() const { return endLabel_; }
    QLineEdit* startEdit() const { return start_; }
    QLineEdit* endEdit() const { return end_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }

  private:
    void enableSectorFields(bool on);

    std::string devicePath_;
    QLabel* driveValue_ = nullptr;
    QRadioButton* standard_ = nullptr;
    QRadioButton* advance_ = nullptr;
    QCheckBox* gpt_ = nullptr;
    QCheckBox* noSkip_ = nullptr;
    QCheckBox* custom_ = nullptr;
    QLabel* startLabel_ = nullptr;
    QLabel* endLabel_ = nullptr;
    QLineEdit* start_ = nullptr;
    QLineEdit* end_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace vel
