#pragma once
// Volume information: what the chosen mounted volume is, before its scan mode is chosen.
#include "app/WizardScreen.h"
#include "core/VolumeDescriptor.h"

class QLabel;

namespace vel {

class Physical_DriveDialog;

class VolumeOperations : public WizardScreen {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 135;

    // Reads the selected volume from its creator; the creator keeps owning the descriptor.
    explicit VolumeOperations(Physical_DriveDialog* creator);

    void onNext();
    void onBack() { goBack(); }

    const VolumeDescriptor& volume() const { return *volume_; }
    QLabel* volumeName() const { return name_; }
    QLabel* volumeFileSystem() const { return fileSystem_; }
    QLabel* volumeSize() const { return size_; }
    QLabel* itemText() const { return itemText_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }

  private:
    const VolumeDescriptor* volume_;
    QLabel* name_ = nullptr;
    QLabel* fileSystem_ = nullptr;
    QLabel* size_ = nullptr;
    QLabel* itemText_ = nullptr;  // invisible
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace vel
