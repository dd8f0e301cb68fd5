#include "app/WizardScreen.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/CKestrumApp.h"
#include "app/CTavrelAboutDlg.h"
#include "app/UserGuideDlg.h"
#include "ui/GuiMessageBoxes.h"

namespace vel {

namespace {

std::vector<WizardScreen*>& registry() {
    static std::vector<WizardScreen*> screens;
    return screens;
}

// Enter and Escape never reach a screen's controls: no key may press a button or close a screen.
// Boxes and dialogs opened from a screen are their own windows and keep their keys.
class KeySwallower final : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Escape) return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        return widget && qobject_cast<WizardScreen*>(widget->window()) != nullptr;
    }
};

void installKeySwallower() {
    static KeySwallower* swallower = nullptr;
    if (swallower || !qApp) return;
    swallower = new KeySwallower;
    swallower->setParent(qApp);
    qApp->installEventFilter(swallower);
}

}  // namespace

WizardScreen::WizardScreen(int dialogId, WizardScreen* creator)
    : QWidget(creator, Qt::Window),
      previousScreen(creator ? creator->dialogId() : -1),
      dialogId_(dialogId),
      creator_(creator) {
    registry().push_back(this);
    installKeySwallower();
    setWindowTitle(kApplicationTitle);
    setWindowIcon(themeIcon("drive-harddisk", QStyle::SP_DriveHDIcon));
    resize(770, 490);
    setMinimumSize(560, 380);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(new WizardBanner(this));

    auto* content = new QVBoxLayout;
    content->setContentsMargins(16, 10, 16, 8);
    content->setSpacing(8);
    outer->addLayout(content, 1);

    // A widget rather than a bare layout, so the body takes the room even while it is empty.
    auto* bodyArea = new QWidget(this);
    bodyArea->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    body_ = new QVBoxLayout(bodyArea);
    body_->setContentsMargins(0, 0, 0, 0);
    content->addWidget(bodyArea, 1);

    bottom_ = new QHBoxLayout;
    help_ = makeButton(tr("Help"), "help-contents", QStyle::SP_DialogHelpButton);
    helpMenu_ = new QMenu(help_);
    connect(helpMenu_->addAction(tr("Help")), &QAction::triggered, this,
            [this] { UserGuideDlg::showGuide(this); });
    connect(helpMenu_->addAction(tr("Software Webpage")), &QAction::triggered, this,
            [] { openUrl()(QUrl(kProductPageUrl)); });
    connect(helpMenu_->addAction(tr("About")), &QAction::triggered, this, [this] {
        CTavrelAboutDlg about(this);
        about.exec();
    });
    help_->setMenu(helpMenu_);
    bottom_->addWidget(help_);
    bottom_->addStretch(1);
    exit_ = new QPushButton(tr("EXIT"), this);
    exit_->setVisible(false);
    connect(exit_, &QPushButton::clicked, this, &WizardScreen::exitNow);
    bottom_->addWidget(exit_);
    content->addLayout(bottom_);

    link_ = new QLabel(this);
    link_->setText(
        QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(QString::fromLatin1(kProductsPageUrl), tr("Explore more database products")));
    link_->setTextFormat(Qt::RichText);
    link_->setOpenExternalLinks(false);
    link_->setAlignment(Qt::AlignCenter);
    link_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    connect(link_, &QLabel::linkActivated, this, [](const QString& url) { openUrl()(QUrl(url)); });
    content->addWidget(link_);
}

WizardScreen::~WizardScreen() {
    auto& screens = registry();
    screens.erase(std::remove(screens.begin(), screens.end(), this), screens.end());
    if (auto* boxes = dynamic_cast<GuiMessageBoxes*>(&CKestrumApp::instance().messages());
        boxes && boxes->owner() == this)
        boxes->setOwner(creator_);
}

void WizardScreen::showNext(WizardScreen* next) {
    if (!next) return;
    next->showInPlaceOf(this);
    hide();
}

void WizardScreen::goBack() {
    if (creator_) creator_->showInPlaceOf(this);
    hide();
    deleteLater();
}

void WizardScreen::showInPlaceOf(const WizardScreen* previous) {
    // One steady window for the user: same place, size, monitor and maximised state.
    if (previous) restoreGeometry(previous->saveGeometry());
    show();
}

void WizardScreen::askToClose() {
    if (CKestrumApp::instance().messages().askYesNo("Do you want to Close Application ?"))
        endProcess();
}

void WizardScreen::exitNow() {
    endProcess();
}

void WizardScreen::endProcess() {
    // Copy: a screen's stopWorkers() must not change what is walked.
    const std::vector<WizardScreen*> screens = registry();
    for (WizardScreen* screen : screens) screen->stopWorkers();
    processExit()(0);
}

std::vector<WizardScreen*> WizardScreen::liveScreens() {
    return registry();
}

std::function<void(int)>& WizardScreen::processExit() {
    // At once: the remaining screens' clean-up is not run.
    static std::function<void(int)> exitFunction = [](int code) {
        std::fflush(nullptr);
        std::_Exit(code);
    };
    return exitFunction;
}

std::function<void(const QUrl&)>& WizardScreen::openUrl() {
    static std::function<void(const QUrl&)> open = [](const QUrl& url) {
        if (!QDesktopServices::openUrl(url))
            CKestrumApp::instance().messages().showInfo(
                "No web browser could be opened. The page is " + url.toString().toStdString());
    };
    return open;
}

QIcon WizardScreen::themeIcon(const char* name, QStyle::StandardPixmap fallback) const {
    return QIcon::fromTheme(QString::fromLatin1(name), style()->standardIcon(fallback));
}

QPushButton* WizardScreen::makeButton(const QString& caption, const char* iconName,
                                      QStyle::StandardPixmap fallback) {
    auto* button = new QPushButton(themeIcon(iconName, fallback), caption, this);
    button->setAutoDefault(false);
    button->setMinimumWidth(96);
    return button;
}

void WizardScreen::closeEvent(QCloseEvent* event) {
    // The window stays; Yes ends the process from inside the question.
    event->ignore();
    askToClose();
}

void WizardScreen::showEvent(QShowEvent* event) {
    if (auto* boxes = dynamic_cast<GuiMessageBoxes*>(&CKestrumApp::instance().messages()))
        boxes->setOwner(this);
    QWidget::showEvent(event);
}

WizardBanner::WizardBanner(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize WizardBanner::sizeHint() const {
    return {770, 72};
}

void WizardBanner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();

    QLinearGradient sky(r.topLeft(), r.topRight());
    sky.setColorAt(0.0, QColor(14, 42, 84));
    sky.setColorAt(0.6, QColor(24, 86, 150));
    sky.setColorAt(1.0, QColor(60, 150, 200));
    p.fillRect(r, sky);

    // A platter with its read arm, at the left.
    const qreal h = r.height();
    const QPointF centre(18 + h * 0.42, h / 2);
    const qreal radius = h * 0.38;
    QRadialGradient platter(centre, radius);
    platter.setColorAt(0.0, QColor(235, 240, 248));
    platter.setColorAt(0.85, QColor(160, 176, 196));
    platter.setColorAt(1.0, QColor(110, 124, 146));
    p.setPen(QPen(QColor(20, 30, 50), 1.2));
    p.setBrush(platter);
    p.drawEllipse(centre, radius, radius);
    p.setBrush(QColor(60, 70, 90));
    p.drawEllipse(centre, radius * 0.16, radius * 0.16);
    p.setPen(QPen(QColor(250, 190, 60), h * 0.06, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(centre.x() + radius * 0.95, centre.y() + radius * 0.85),
               QPointF(centre.x() + radius * 0.15, centre.y() - radius * 0.35));

    // Faint tracks of sectors across the rest.
    p.setPen(QPen(QColor(255, 255, 255, 28), 1));
    for (int i = 0; i < 6; ++i) {
        const qreal y = h * (0.18 + 0.13 * i);
        p.drawLine(QPointF(h * 1.2, y), QPointF(r.width(), y));
    }

    QFont title = font();
    title.setPointSizeF(title.pointSizeF() * 2.0);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    const qreal textLeft = 18 + h * 0.95;
    p.drawText(QRectF(textLeft, 0, r.width() - textLeft, h * 0.62), Qt::AlignLeft | Qt::AlignBottom,
               QString::fromLatin1(kApplicationTitle));
    QFont sub = font();
    sub.setPointSizeF(sub.pointSizeF() * 0.95);
    p.setFont(sub);
    p.setPen(QColor(210, 228, 245));
    p.drawText(QRectF(textLeft, h * 0.62, r.width() - textLeft, h * 0.38),
               Qt::AlignLeft | Qt::AlignTop,
               tr("Data recovery for NTFS, FAT, exFAT, ext and HFS+"));
}

PlaceholderScreen::PlaceholderScreen(const QString& dialogName, int dialogId, WizardScreen* creator)
    : WizardScreen(dialogId, creator), name_(dialogName) {
    auto* heading = new QLabel(dialogName, this);
    QFont f = heading->font();
    f.setPointSizeF(f.pointSizeF() * 1.6);
    f.setBold(true);
    heading->setFont(f);
    heading->setAlignment(Qt::AlignCenter);
    body()->addStretch(1);
    body()->addWidget(heading);
    auto* note = new QLabel(tr("This step of the wizard comes in a later version."), this);
    note->setAlignment(Qt::AlignCenter);
    body()->addWidget(note);
    body()->addStretch(1);
    back_ = makeButton(tr("Back"), "go-previous", QStyle::SP_ArrowBack);
    connect(back_, &QPushButton::clicked, this, &WizardScreen::goBack);
    bottomRow()->addWidget(back_);
}

}  // namespace vel
