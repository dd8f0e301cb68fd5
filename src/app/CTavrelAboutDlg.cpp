#include "app/CTavrelAboutDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#include "app/WizardScreen.h"
#include "core/MessageBoxes.h"

namespace vel {

CTavrelAboutDlg::CTavrelAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("About %1").arg(QString::fromLatin1(kApplicationTitle)));
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* picture = new QLabel(this);
    picture->setPixmap(style()->standardIcon(QStyle::SP_DriveHDIcon).pixmap(48, 48));
    top->addWidget(picture, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    auto* title = new QLabel(QString::fromLatin1(kApplicationTitle), this);
    QFont f = title->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.4);
    title->setFont(f);
    texts->addWidget(title);
    version_ = new QLabel(tr("Version %1").arg(QString::fromLatin1(VELLORINE_VERSION)), this);
    texts->addWidget(version_);
    auto* links = new QLabel(this);
    links->setTextFormat(Qt::RichText);
    links->setText(
        QStringLiteral("<a href=\"%1\">%1</a><br><a href=\"mailto:%2\">%2</a>")
            .arg(QString::fromLatin1(kProductPageUrl), QString::fromLatin1(kVendorMail)));
    links->setOpenExternalLinks(false);
    connect(links, &QLabel::linkActivated, this,
            [](const QString& url) { WizardScreen::openUrl()(QUrl(url)); });
    texts->addWidget(links);
    texts->addWidget(new QLabel(tr("Also from us: disk imaging, database repair and mail "
                                   "recovery tools."),
                                this));
    top->addLayout(texts, 1);
    layout->addLayout(top);

    auto* row = new QHBoxLayout;
    row->addStretch(1);
    ok_ = new QPushButton(tr("OK"), this);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(ok_);
    layout->addLayout(row);
}

}  // namespace vel
