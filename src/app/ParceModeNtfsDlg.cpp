#include "app/ParceModeNtfsDlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/CKestrumApp.h"
#include "app/NextScreens.h"
#include "fs/common/FileSystemTable.h"

namespace vel {

ParceModeNtfsDlg::ParceModeNtfsDlg(WizardScreen* creator, const VolumeDescriptor& volume)
    : WizardScreen(kDialogId, creator) {
    auto* group = new QGroupBox(tr("Select Recovery Mode:"), this);
    auto* modes = new QVBoxLayout(group);
    standard_ = new QRadioButton(tr("Standard"), group);
    advanced_ = new QRadioButton(tr("Advanced"), group);
    deep_ = new QRadioButton(tr("Deep"), group);
    // The handlers keep exactly one checked, also while some are hidden.
    for (QRadioButton* b : {standard_, advanced_, deep_}) {
        b->setAutoExclusive(false);
        modes->addWidget(b);
    }
    body()->addWidget(group);

    auto* maxRow = new QHBoxLayout;
    maxPrompt_ = new QLabel(tr("Please Enter Max File Systems to Find :"), this);
    maxEdit_ = new QLineEdit(this);
    maxEdit_->setMaximumWidth(80);
    maxHint_ = new QLabel(tr("( By  Default  it's  = 3 )"), this);
    maxRow->addWidget(maxPrompt_);
    maxRow->addWidget(maxEdit_);
    maxRow->addWidget(maxHint_);
    maxRow->addStretch(1);
    body()->addLayout(maxRow);
    formatted_ = new QCheckBox(tr("Is Drive Formated..?"), this);
    body()->addWidget(formatted_);
    body()->addStretch(1);

    back_ = makeButton(tr("Back"), "go-previous", QStyle::SP_ArrowBack);
    next_ = makeButton(tr("Next"), "go-next", QStyle::SP_ArrowForward);
    bottomRow()->addWidget(back_);
    bottomRow()->addWidget(next_);

    connect(standard_, &QRadioButton::clicked, this, &ParceModeNtfsDlg::onStandard);
    connect(advanced_, &QRadioButton::clicked, this, &ParceModeNtfsDlg::onAdvanced);
    connect(deep_, &QRadioButton::clicked, this, &ParceModeNtfsDlg::onDeep);
    connect(formatted_, &QCheckBox::clicked, this, &ParceModeNtfsDlg::onDriveFormatted);
    connect(back_, &QPushButton::clicked, this, &ParceModeNtfsDlg::onBack);
    connect(next_, &QPushButton::clicked, this, &ParceModeNtfsDlg::onNext);

    maxEdit_->setText("3");
    showMaxFileSystems(false);
    formatted_->setVisible(false);
    standard_->setChecked(true);
    onStandard();

    volume_ = volume;
    // A name no row knows ("Unknown", a GPT partition's own) is offered every mode.
    const FileSystemRow* row = FileSystemTable::builtin().find(trim(volume_.fileSystem));
    family_ = row ? row->family : "";
    if (family_ == "fat" || family_ == "exfat") {
        deep_->setVisible(false);
    } else if (family_ == "ext") {
        deep_->setVisible(false);
        advanced_->setVisible(false);
    } else if (family_ == "hfs") {
        advanced_->setVisible(false);
    }
}

void ParceModeNtfsDlg::showMaxFileSystems(bool on) {
    maxPrompt_->setVisible(on);
    maxEdit_->setVisible(on);
    maxHint_->setVisible(on);
}

void ParceModeNtfsDlg::checkOnly(QRadioButton* button) {
    for (QRadioButton* b : {standard_, advanced_, deep_}) b->setChecked(b == button);
}

void ParceModeNtfsDlg::modeClicked() {
    CKestrumApp::instance().driveFormatted = false;
    formatted_->setChecked(false);
}

void ParceModeNtfsDlg::onStandard() {
    modeClicked();
    showMaxFileSystems(false);
    formatted_->setVisible(false);
    checkOnly(standard_);
    scanMode_ = 1;
}

void ParceModeNtfsDlg::onAdvanced() {
    modeClicked();
    showMaxFileSystems(true);
    checkOnly(advanced_);
    // Both FAT and exFAT readers can take every file as contiguous.
    if (family_ == "fat" || family_ == "exfat") formatted_->setVisible(true);
    scanMode_ = 2;
}

void ParceModeNtfsDlg::onDeep() {
    modeClicked();
    showMaxFileSystems(false);
    formatted_->setVisible(false);
    checkOnly(deep_);
    scanMode_ = 3;
}

void ParceModeNtfsDlg::onDriveFormatted() {
    CKestrumApp::instance().driveFormatted = formatted_->isChecked();
}

QString ParceModeNtfsDlg::maxFileSystemsText() const {
    return maxEdit_->text();
}

void ParceModeNtfsDlg::onNext() {
    WizardScreen* next = nullptr;
    if (scanMode_ == 2)
        next = createAdvancedInputScreen(*this);
    else if (scanMode_ == 1 || scanMode_ == 3)
        next = createVolumeScanScreen(*this);
    if (next) showNext(next);
}

}  // namespace vel
