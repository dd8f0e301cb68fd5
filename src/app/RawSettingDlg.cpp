#include "app/RawSettingDlg.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include "app/CKestrumApp.h"
#include "core/MessageBoxes.h"

namespace vel {

namespace {
const char* const kCaptions[RawSettingDlg::kFieldCount] = {
    "File Extention :",      "Starting Signature :",        "Ending Signature :",
    "Offset to Size Byte :", "Number Of Bytes In Size :",   "Size includes header size",
    "Header size :",         "Size_to_skip_WhileParsing :", "Approx file size :",
    "Put Under Category :"};

const char* const kHelp[RawSettingDlg::kFieldCount] = {
    "Enter file extention .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before "
    "extention(i.e .mp3)",
    "here enter the file signature that happens to be in the starting of the file.\n example "
    "0x89,0x50,0x4E,0x47  for png File",
    "here enter the file signature that happens to be in the end of the file.\n Example "
    "0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82 for png File.\n its optional Field .you can leave it "
    "if you dont know .",
    "if  the size of file is given in the header and you know its offset please enter that "
    "offset here.\n its optional Field .you can leave it if you don't know.",
    "if  you know how many bytes represents size please enter that number of bytes  here.\n its "
    "optional Field .you can leave it ifyou  don't know.",
    "check this checkbox if the size alkso includes the header size else leave it.\n its optional "
    "Field .you can leave it if you don't know.",
    "please enter the header size in bytes here.\n its optional Field .you can leave it if you "
    "don't know.",
    "when we find the file signature you mentioned  above we can skip further file scanning by an "
    "amount you enter here.\n For example mp3 are generally greater then 2 mb .so you can enter "
    "2097152 bytes here.\n its optional Field .you can leave it .",
    "please enter approx file size here.\n its optional Field .you can leave it if you don't "
    "know.",
    "here enter the name of category you want to put these files under"};

const char* const kExtensionHelpAfter =
    "here enter the file extentiom .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) "
    "before extention(i.e .mp3)";

MessageBoxes& boxes() {
    return CKestrumApp::instance().messages();
}
}  // namespace

QString RawSettingDlg::helpText(Field field, bool afterPressing) {
    if (field == kExtension && afterPressing) return kExtensionHelpAfter;
    return kHelp[field];
}

RawSettingDlg::RawSettingDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Setting");
    setModal(true);
    chooseFile = [this] { return QFileDialog::getSaveFileName(this); };
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    for (int f = 0; f < kFieldCount; ++f) {
        auto field = static_cast<Field>(f);
        if (field == kIncludesHeader) {
            includesHeader_ = new QCheckBox(kCaptions[f], this);
            grid->addWidget(includesHeader_, f, 0, 1, 2);
        } else {
            grid->addWidget(new QLabel(kCaptions[f], this), f, 0);
            edits_[f] = new QLineEdit(this);
            grid->addWidget(edits_[f], f, 1);
        }
        help_[f] = new QToolButton(this);
        help_[f]->setText("?");
        help_[f]->setToolTip(helpText(field));
        grid->addWidget(help_[f], f, 2);
        connect(help_[f], &QToolButton::clicked, this, [this, field] { onHelp(field); });
    }
    layout->addLayout(grid);

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(new QLabel("Select Path to Save Entries", this));
    path_ = new QLineEdit(this);
    path_->setReadOnly(true);
    choose_ = new QPushButton("...", this);
    save_ = new QPushButton("Save", this);
    pathRow->addWidget(path_, 1);
    pathRow->addWidget(choose_);
    pathRow->addWidget(save_);
    layout->addLayout(pathRow);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    ok_ = new QPushButton("OK", this);
    cancel_ = new QPushButton("Cancel", this);
    ok_->setAutoDefault(false);
    cancel_->setAutoDefault(false);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);

    connect(choose_, &QPushButton::clicked, this, &RawSettingDlg::onChooseFile);
    connect(save_, &QPushButton::clicked, this, &RawSettingDlg::onSave);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void RawSettingDlg::onHelp(Field field) {
    help_[field]->setToolTip(helpText(field, true));
    QToolTip::showText(help_[field]->mapToGlobal(help_[field]->rect().bottomLeft()),
                       help_[field]->toolTip(), help_[field]);
}

void RawSettingDlg::onChooseFile() {
    const QString path = chooseFile();
    if (path.isEmpty()) return;
    if (!writer_.create(path.toStdString())) {
        boxes().showInfo("file can not be created");
        return;
    }
    path_->setText(path);
}

SignatureInputs RawSettingDlg::inputs() const {
    auto text = [this](Field f) { return edits_[f]->text().toStdString(); };
    SignatureInputs in;
    in.extension = text(kExtension);
    in.startSignature = text(kStart);
    in.endSignature = text(kEnd);
    in.offsetToSize = text(kOffsetToSize);
    in.sizeBytes = text(kSizeBytes);
    in.sizeIncludesHeader = includesHeader_->isChecked();
    in.headerSize = text(kHeaderSize);
    in.skipSize = text(kSkipSize);
    in.approximateSize = text(kApproximateSize);
    in.category = text(kCategory);
    return in;
}

void RawSettingDlg::onSave() {
    if (!writer_.isOpen()) return;
    const std::string message = writer_.append(inputs());
    if (!message.empty()) boxes().showInfo(message);
}

void RawSettingDlg::done(int result) {
    writer_.close();
    QDialog::done(result);
}

}  // namespace vel
