#include "app/Physical_DriveDialog.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/CKestrumApp.h"
#include "app/DriveParsingModes.h"
#include "app/VolumeOperations.h"

namespace vel {

namespace {
// Item data: the drive number under PHYSICAL DRIVES, the index into the volumes under VOLUMES.
constexpr int kItemData = Qt::UserRole;
}  // namespace

Physical_DriveDialog::Physical_DriveDialog(const SystemRoots& roots)
    : WizardScreen(kDialogId, nullptr) {
    auto* group = new QGroupBox(tr("Currently system contains:"), this);
    auto* groupLayout = new QVBoxLayout(group);
    tree_ = new QTreeWidget(group);
    tree_->setHeaderHidden(true);
    // The second column tells an image's format and media size.
    tree_->setColumnCount(2);
    tree_->setRootIsDecorated(true);
    tree_->setIconSize(QSize(16, 16));
    groupLayout->addWidget(tree_);
    body()->addWidget(group, 1);
    body()->addWidget(
        new QLabel(tr("Select volume or drive to continue the recovery process "), this));

    addImage_ = makeButton(tr("Add Image..."), "document-open", QStyle::SP_DialogOpenButton);
    next_ = makeButton(tr("Next"), "go-next", QStyle::SP_ArrowForward);
    bottomRow()->addWidget(addImage_);
    bottomRow()->addWidget(next_);
    connect(addImage_, &QPushButton::clicked, this, &Physical_DriveDialog::onAddImage);
    connect(next_, &QPushButton::clicked, this, &Physical_DriveDialog::onNext);

    chooseImageFile = [this] {
        return QFileDialog::getOpenFileName(this, tr("Add Image"), QString(),
                                            QString::fromLatin1(kImageFilter));
    };

    volumesGroup_ = new QTreeWidgetItem(tree_, QStringList{QString::fromLatin1(kVolumesGroup)});
    drivesGroup_ = new QTreeWidgetItem(tree_, QStringList{QString::fromLatin1(kDrivesGroup)});
    const QIcon itemIcon = themeIcon("drive-harddisk", QStyle::SP_DriveHDIcon);
    volumesGroup_->setIcon(0, itemIcon);
    drivesGroup_->setIcon(0, itemIcon);

    for (const PhysicalDrive& drive : enumeratePhysicalDrives(roots)) addDriveItem(drive);
    volumes_ = enumerateMountedVolumes(roots);
    for (int i = static_cast<int>(volumes_.size()) - 1; i >= 0; --i) {
        auto* item = new QTreeWidgetItem(volumesGroup_,
                                         QStringList{QString::fromStdString(volumes_[i].rootPath)});
        item->setIcon(0, itemIcon);
        item->setData(0, kItemData, i);
    }
    volumesGroup_->setExpanded(true);
    drivesGroup_->setExpanded(true);
    tree_->resizeColumnToContents(0);
}

Physical_DriveDialog::~Physical_DriveDialog() {
    CKestrumApp::instance().deleteReader();
}

QTreeWidgetItem* Physical_DriveDialog::addDriveItem(const PhysicalDrive& drive) {
    auto* item = new QTreeWidgetItem(drivesGroup_, QStringList{QString::fromStdString(drive.text)});
    item->setIcon(0, themeIcon("drive-harddisk", QStyle::SP_DriveHDIcon));
    item->setData(0, kItemData, drive.number);
    if (drive.isImage) {
        const ImageInfo& info = drive.image;
        item->setText(1,
                      QString::fromStdString(info.format + "  " + imageSizeText(info.mediaSize)));
        // Acquisition details and stored hashes, where the image has them.
        QStringList details;
        for (const auto& [key, value] : info.caseData)
            details << QString::fromStdString(key + ": " + value);
        if (!info.md5.empty()) details << QString::fromStdString("md5: " + info.md5);
        if (!info.sha1.empty()) details << QString::fromStdString("sha1: " + info.sha1);
        for (const std::string& problem : info.problems) details << QString::fromStdString(problem);
        if (!details.isEmpty()) {
            item->setToolTip(0, details.join('\n'));
            item->setToolTip(1, details.join('\n'));
        }
    }
    return item;
}

bool Physical_DriveDialog::addImage(const QString& path) {
    PhysicalDrive drive;
    if (!addImageDrive(path.toStdString(), drive)) {
        CKestrumApp::instance().messages().showInfo("Cannot open the image file " +
                                                    path.toStdString());
        return false;
    }
    // A damaged image is listed all the same; the user is told what cannot be read.
    for (const std::string& problem : drive.image.problems)
        CKestrumApp::instance().messages().showInfo(problem);
    QTreeWidgetItem* item = addDriveItem(drive);
    drivesGroup_->setExpanded(true);
    tree_->resizeColumnToContents(0);
    tree_->setCurrentItem(item);
    return true;
}

void Physical_DriveDialog::onAddImage() {
    const QString path = chooseImageFile ? chooseImageFile() : QString();
    if (!path.isEmpty()) addImage(path);
}

QTreeWidgetItem* Physical_DriveDialog::selectedItem() const {
    const auto items = tree_->selectedItems();
    return items.isEmpty() ? nullptr : items.front();
}

const VolumeDescriptor* Physical_DriveDialog::selectedVolume() const {
    QTreeWidgetItem* item = selectedItem();
    if (!item || item->parent() != volumesGroup_) return nullptr;
    const int index = item->data(0, kItemData).toInt();
    return index >= 0 && index < static_cast<int>(volumes_.size()) ? &volumes_[index] : nullptr;
}

int Physical_DriveDialog::selectedDriveNumber() const {
    QTreeWidgetItem* item = selectedItem();
    if (!item || item->parent() != drivesGroup_) return -1;
    return item->data(0, kItemData).toInt();
}

QString Physical_DriveDialog::selectedItemText() const {
    QTreeWidgetItem* item = selectedItem();
    return item ? item->text(0) : QString();
}

void Physical_DriveDialog::onNext() {
    QTreeWidgetItem* item = selectedItem();
    QTreeWidgetItem* parent = item ? item->parent() : nullptr;
    const std::string group = parent ? trimLeft(parent->text(0).toStdString()) : std::string();
    CKestrumApp& app = CKestrumApp::instance();
    app.replaceReader();
    if (group == "VOLUMES:") {
        app.volumeChosen = true;
        showNext(new VolumeOperations(this));
    } else if (group == "PHYSICAL DRIVES:") {
        app.volumeChosen = false;
        showNext(new DriveParsingModes(this));
    } else {
        app.messages().showInfo("Please select a volume or a drive..");
    }
}

}  // namespace vel
