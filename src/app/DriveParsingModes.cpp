#include "app/DriveParsingModes.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/CKestrumApp.h"
#include "app/NextScreens.h"
#include "app/Physical_DriveDialog.h"
#include "core/VolumeDescriptor.h"
#include "device/DriveEnumeration.h"

namespace vel {

DriveParsingModes::DriveParsingModes(Physical_DriveDialog* creator)
    : WizardScreen(kDialogId, creator) {
    auto* heading = new QLabel(tr("Drive Parsing Modes"), this);
    QFont f = heading->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.2);
    heading->setFont(f);
    body()->addWidget(heading);

    auto* driveRow = new QHBoxLayout;
    driveRow->addWidget(new QLabel(tr("Currently Selected Drive :"), this));
    driveValue_ = new QLabel(this);
    driveValue_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    driveRow->addWidget(driveValue_, 1);
    body()->addLayout(driveRow);

    auto* modes = new QHBoxLayout;
    standard_ = new QRadioButton(tr("Standard Scan"), this);
    advance_ = new QRadioButton(tr("Advance Scan"), this);
    modes->addWidget(standard_);
    modes->addWidget(advance_);
    modes->addStretch(1);
    body()->addLayout(modes);

    auto* gptRow = new QHBoxLayout;
    gpt_ = new QCheckBox(tr("GPT format"), this);
    gptRow->addWidget(gpt_);
    gptRow->addWidget(new QLabel(tr("* Check If Partition type is GPT"), this));
    gptRow->addStretch(1);
    body()->addLayout(gptRow);

    noSkip_ = new QCheckBox(tr("Do not Skip Volume Size While Parsing in Advance  Scan "), this);
    body()->addWidget(noSkip_);

    auto* range = new QGroupBox(this);
    auto* grid = new QGridLayout(range);
    custom_ = new QCheckBox(tr("Custom Setting:"), range);
    startLabel_ = new QLabel(tr("Starting Sector:"), range);
    endLabel_ = new QLabel(tr("Ending Sector:"), range);
    start_ = new QLineEdit(range);
    end_ = new QLineEdit(range);
    grid->addWidget(custom_, 0, 0, 1, 2);
    grid->addWidget(startLabel_, 1, 0);
    grid->addWidget(start_, 1, 1);
    grid->addWidget(endLabel_, 2, 0);
    grid->addWidget(end_, 2, 1);
    grid->setColumnStretch(2, 1);
    body()->addWidget(range);
    body()->addStretch(1);
    body()->addWidget(new QLabel(tr("Choose any one of the mode and Click Next...."), this));

    back_ = makeButton(tr("Back"), "go-previous", QStyle::SP_ArrowBack);
    next_ = makeButton(tr("Next"), "go-next", QStyle::SP_ArrowForward);
    bottomRow()->addWidget(back_);
    bottomRow()->addWidget(next_);

    connect(standard_, &QRadioButton::clicked, this, &DriveParsingModes::onStandardScan);
    connect(advance_, &QRadioButton::clicked, this, &DriveParsingModes::onAdvanceScan);
    connect(custom_, &QCheckBox::clicked, this, &DriveParsingModes::onCustomSetting);
    connect(back_, &QPushButton::clicked, this, &DriveParsingModes::onBack);
    connect(next_, &QPushButton::clicked, this, &DriveParsingModes::onNext);

    enableSectorFields(false);

    const int number = creator ? creator->selectedDriveNumber() : -1;
    devicePath_ = physicalDrivePath(number);
    if (devicePath_.empty()) devicePath_ = "\\\\.\\PhysicalDrive" + std::to_string(number);
    // A failure is reported in a box; the screen stays usable.
    CKestrumApp::instance().openReader(devicePath_);

    driveValue_->setText(QString::fromStdString(devicePath_));
    start_->setText("0");
    end_->setText("0");
    onStandardScan();
}

void DriveParsingModes::enableSectorFields(bool on) {
    startLabel_->setEnabled(on);
    endLabel_->setEnabled(on);
    start_->setEnabled(on);
    end_->setEnabled(on);
}

void DriveParsingModes::onStandardScan() {
    standard_->setChecked(true);
    advance_->setChecked(false);
    noSkip_->setEnabled(false);
    custom_->setEnabled(false);
    if (custom_->isChecked()) {
        custom_->setChecked(false);
        enableSectorFields(false);
    }
}

void DriveParsingModes::onAdvanceScan() {
    advance_->setChecked(true);
    standard_->setChecked(false);
    noSkip_->setEnabled(true);
    custom_->setEnabled(true);
}

void DriveParsingModes::onCustomSetting() {
    enableSectorFields(custom_->isChecked());
}

int DriveParsingModes::driveScanMode() const {
    return standard_->isChecked() ? 1 : 2;
}

bool DriveParsingModes::gptMode() const {
    return gpt_->isChecked();
}

bool DriveParsingModes::doNotSkipVolumeSize() const {
    return noSkip_->isChecked();
}

bool DriveParsingModes::customRangeGiven() const {
    return custom_->isChecked() && leadingNumber(end_->text().toStdString()) >= 0;
}

std::int64_t DriveParsingModes::customStartSector() const {
    return customRangeGiven() ? leadingNumber(start_->text().toStdString()) : 0;
}

std::int64_t DriveParsingModes::customEndSector() const {
    return customRangeGiven() ? leadingNumber(end_->text().toStdString()) : 0;
}

VolumeListInputs DriveParsingModes::volumeListInputs() const {
    VolumeListInputs in;
    in.devicePath = devicePath_;
    in.driveScanMode = driveScanMode();
    in.gptMode = gptMode();
    in.doNotSkipVolumeSize = doNotSkipVolumeSize();
    in.customStartSector = customStartSector();
    in.customEndSector = customEndSector();
    return in;
}

void DriveParsingModes::onNext() {
    WizardScreen* next = createVolumeListScreen(*this);
    if (!next) {
        CKestrumApp::instance().messages().showInfo("error creating PopulateDriveDlgptr");
        return;
    }
    showNext(next);
}

}  // namespace vel
