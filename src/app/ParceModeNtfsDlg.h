#pragma once
// Volume scan mode: how deeply the chosen volume is recovered (Standard, Advanced or Deep), and
// for FAT volumes in Advanced mode whether the drive was formatted.
#include <QString>
#include <string>

#include "app/WizardScreen.h"
#include "core/VolumeDescriptor.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace vel {

class ParceModeNtfsDlg : public WizardScreen {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 136;

    // creator: the volume information screen or the volume list; volume: the descriptor it
    // hands over, which this screen copies.
    ParceModeNtfsDlg(WizardScreen* creator, const VolumeDescriptor& volume);

    // Control handlers, public so tests drive them as a user would.
    void onStandard();
    void onAdvanced();
    void onDeep();
    void onDriveFormatted();
    void onNext();
    void onBack() { goBack(); }

    // What the next screens read.
    const VolumeDescriptor& volume() const { return volume_; }
    int scanMode() const { return scanMode_; }  // 1 Standard, 2 Advanced, 3 Deep
    QString maxFileSystemsText() const;
    // The file system's family ("ntfs", "fat", "exfat", "ext", "hfs"; "" when unknown).
    const std::string& family() const { return family_; }

    QRadioButton* standardButton() const { return standard_; }
    QRadioButton* advancedButton() const { return advanced_; }
    QRadioButton* deepButton() const { return deep_; }
    QLabel* maxPrompt() const { return maxPrompt_; }
    QLineEdit* maxEdit() const { return maxEdit_; }
    QLabel* maxHint() const { return maxHint_; }
    QCheckBox* driveFormattedBox() const { return formatted_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }

  private:
    void modeClicked();
    void showMaxFileSystems(bool on);
    void checkOnly(QRadioButton* button);

    VolumeDescriptor volume_;
    std::string family_;
    int scanMode_ = -1;
    QRadioButton* standard_ = nullptr;
    QRadioButton* advanced_ = nullptr;
    QRadioButton* deep_ = nullptr;
    QLabel* maxPrompt_ = nullptr;
    QLineEdit* maxEdit_ = nullptr;
    QLabel* maxHint_ = nullptr;
    QCheckBox* formatted_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace vel
