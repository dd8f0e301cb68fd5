#include "app/VolumeOperations.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ParceModeNtfsDlg.h"
#include "app/Physical_DriveDialog.h"

namespace vel {

namespace {
// Shown when the creator had no volume selected; the drive selection does not let that happen.
const VolumeDescriptor kNoVolume{};
}  // namespace

VolumeOperations::VolumeOperations(Physical_DriveDialog* creator)
    : WizardScreen(kDialogId, creator), volume_(&kNoVolume) {
    auto* group = new QGroupBox(tr("Volume Information:"), this);
    auto* form = new QFormLayout(group);
    name_ = new QLabel(group);
    fileSystem_ = new QLabel(group);
    size_ = new QLabel(group);
    for (QLabel* value : {name_, fileSystem_, size_})
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(tr("Volume Name:"), name_);
    form->addRow(tr("Volume File System:"), fileSystem_);
    form->addRow(tr("Volume Size:"), size_);
    body()->addWidget(group);
    itemText_ = new QLabel(this);
    itemText_->setVisible(false);
    body()->addWidget(itemText_);
    body()->addStretch(1);

    back_ = makeButton(tr("Back"), "go-previous", QStyle::SP_ArrowBack);
    next_ = makeButton(tr("Next"), "go-next", QStyle::SP_ArrowForward);
    bottomRow()->addWidget(back_);
    bottomRow()->addWidget(next_);
    connect(back_, &QPushButton::clicked, this, &VolumeOperations::onBack);
    connect(next_, &QPushButton::clicked, this, &VolumeOperations::onNext);

    if (previousScreen == Physical_DriveDialog::kDialogId && creator) {
        itemText_->setText(creator->selectedItemText());
        if (const VolumeDescriptor* chosen = creator->selectedVolume()) volume_ = chosen;
    }
    name_->setText(QString::fromStdString(volume_->rootPath));
    fileSystem_->setText(QString::fromStdString(volume_->fileSystem));
    size_->setText(QString::fromStdString(volume_->sizeText));
    next_->setEnabled(true);
}

void VolumeOperations::onNext() {
    showNext(new ParceModeNtfsDlg(this, *volume_));
}

}  // namespace vel
