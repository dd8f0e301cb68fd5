#include "app/UserGuideDlg.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "app/WizardScreen.h"

// The guide's resource lives in a static library, whose initialiser the linker would drop; the
// macro must be used outside any namespace.
static void initGuideResource() {
    Q_INIT_RESOURCE(guide);
}

namespace vel {
namespace {
QPointer<UserGuideDlg>& theGuide() {
    static QPointer<UserGuideDlg> guide;
    return guide;
}
}  // namespace

QString userGuideText() {
    static const bool loaded = (initGuideResource(), true);
    (void)loaded;
    QFile file(QStringLiteral(":/guide/user-guide.md"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

UserGuideDlg::UserGuideDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Vellorine user guide"));
    // Not owned by a screen: the guide stays open while the wizard moves on.
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    text_ = new QTextBrowser(this);
    text_->setOpenExternalLinks(false);
    text_->setMarkdown(userGuideText());
    layout->addWidget(text_, 1);
    auto* row = new QHBoxLayout;
    online_ = new QPushButton(tr("Online version"), this);
    connect(online_, &QPushButton::clicked, this,
            [] { WizardScreen::openUrl()(QUrl(QString::fromLatin1(kUserGuideUrl))); });
    row->addWidget(online_);
    row->addStretch(1);
    auto* close = new QPushButton(tr("Close"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    row->addWidget(close);
    layout->addLayout(row);
    resize(720, 640);
}

UserGuideDlg* UserGuideDlg::showGuide(QWidget* near) {
    if (!theGuide()) {
        theGuide() = new UserGuideDlg(nullptr);
        if (near) theGuide()->move(near->geometry().topLeft() + QPoint(40, 40));
    }
    theGuide()->show();
    theGuide()->raise();
    theGuide()->activateWindow();
    return theGuide();
}

UserGuideDlg* UserGuideDlg::current() {
    return theGuide();
}

}  // namespace vel
