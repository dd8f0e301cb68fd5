#pragma once
// The first screen: the machine's physical drives (and added disk images) and mounted volumes in
// a tree; Next goes the physical-drive way or the volume way.
#include <QString>
#include <functional>
#include <vector>

#include "app/WizardScreen.h"
#include "core/VolumeDescriptor.h"
#include "device/DriveEnumeration.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace vel {

class Physical_DriveDialog : public WizardScreen {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 130;
    static constexpr const char* kVolumesGroup = "     VOLUMES:";
    static constexpr const char* kDrivesGroup = "     PHYSICAL DRIVES:";
    // The "Add Image..." chooser's filter: the formats read, then all files.
    static constexpr const char* kImageFilter =
        "Disk images (*.img *.raw *.dd *.bin *.iso *.E01 *.e01 *.Ex01 *.s01 *.vhd *.VHD *.vhdx "
        "*.VHDX *.vmdk *.VMDK *.qcow2 *.qcow *.000 *.001 *.aa);;All files (*)";

    // roots: where drives and mounts are read (a fake tree in tests).
    explicit Physical_DriveDialog(const SystemRoots& roots = {});
    ~Physical_DriveDialog() override;

    // Button handlers, public so tests drive them as a user would.
    void onNext();
    void onAddImage();
    // Lists an image file under PHYSICAL DRIVES and selects it; false when it cannot be opened.
    bool addImage(const QString& path);

    // What the next screen reads from this one while it is made. Null / -1 / "" when the
    // selection is not a drive or a volume.
    const VolumeDescriptor* selectedVolume() const;
    int selectedDriveNumber() const;
    QString selectedItemText() const;

    QTreeWidget* tree() const { return tree_; }
    QTreeWidgetItem* volumesGroup() const { return volumesGroup_; }
    QTreeWidgetItem* drivesGroup() const { return drivesGroup_; }
    QPushButton* nextButton() const { return next_; }
    QPushButton* addImageButton() const { return addImage_; }
    const std::vector<VolumeDescriptor>& volumes() const { return volumes_; }

    // The image file chooser; tests replace it. Returns "" on cancel.
    std::function<QString()> chooseImageFile;

  private:
    QTreeWidgetItem* selectedItem() const;
    QTreeWidgetItem* addDriveItem(const PhysicalDrive& drive);

    // Filled once, before the first item points into it, and never changed after.
    std::vector<VolumeDescriptor> volumes_;
    QTreeWidget* tree_ = nullptr;
    QTreeWidgetItem* volumesGroup_ = nullptr;
    QTreeWidgetItem* drivesGroup_ = nullptr;
    QPushButton* next_ = nullptr;
    QPushButton* addImage_ = nullptr;
};

}  // namespace vel
