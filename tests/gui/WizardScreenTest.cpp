#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

#include "GuiTestSupport.h"
#include "app/CTavrelAboutDlg.h"
#include "app/UserGuideDlg.h"
#include "app/WizardScreen.h"

using namespace vel;
using namespace vel::test;

namespace {

// A screen with an edit and a button, counting what reaches them and its stop requests.
class ProbeScreen : public WizardScreen {
  public:
    explicit ProbeScreen(int id, WizardScreen* creator = nullptr) : WizardScreen(id, creator) {
        edit = new QLineEdit(this);
        body()->addWidget(edit);
        button = makeButton("Next", "go-next", QStyle::SP_ArrowForward);
        bottomRow()->addWidget(button);
        connect(edit, &QLineEdit::returnPressed, this, [this] { ++returns; });
        connect(button, &QPushButton::clicked, this, [this] { ++clicks; });
    }
    void stopWorkers() override { ++stops; }
    QLineEdit* edit;
    QPushButton* button;
    int returns = 0, clicks = 0, stops = 0;
};

struct Wizard : ::testing::Test {
    WizardHooks hooks;
};

}  // namespace

TEST_F(Wizard, ScreensLookAlike) {
    ProbeScreen screen(130);
    screen.show();
    EXPECT_EQ(screen.windowTitle(), "Vellorine");
    EXPECT_NEAR(screen.width(), 770, 20);
    EXPECT_NEAR(screen.height(), 490, 20);
    EXPECT_TRUE(screen.productsLink()->text().contains("Explore more database products"));
    EXPECT_TRUE(screen.productsLink()->isVisible());
    EXPECT_FALSE(screen.exitButton()->isVisible());
    EXPECT_EQ(screen.exitButton()->text(), "EXIT");
    EXPECT_FALSE(screen.button->icon().isNull());
    EXPECT_EQ(screen.helpButton()->text(), "Help");
    ASSERT_EQ(screen.helpButton()->menu(), screen.helpMenu());
    QStringList items;
    for (QAction* a : screen.helpMenu()->actions()) items << a->text();
    EXPECT_EQ(items, (QStringList{"Help", "Software Webpage", "About"}));
    // Layouts, not fixed places: the screen grows with its window.
    screen.resize(640, 420);
    screen.layout()->activate();
    const QPoint linkSmall = screen.productsLink()->pos(), nextSmall = screen.button->pos();
    screen.resize(770, 490);
    screen.layout()->activate();
    EXPECT_EQ(screen.productsLink()->y() - linkSmall.y(), 70);
    EXPECT_EQ(screen.button->x() - nextSmall.x(), 130);
    saveScreenshot(&screen, "WizardScreen");
}

TEST_F(Wizard, HelpMenuOpensTheShippedGuidePagesAndTheAboutBox) {
    ProbeScreen screen(130);
    screen.show();
    auto actions = screen.helpMenu()->actions();
    // Help needs no browser: the guide inside the program opens, once however often it is asked.
    actions[0]->trigger();
    UserGuideDlg* guide = UserGuideDlg::current();
    ASSERT_NE(guide, nullptr);
    EXPECT_TRUE(guide->isVisible());
    const QString text = guide->text()->toPlainText();
    for (const char* topic : {"Standard", "Deep", "ORPHAN_ENTRY", "Incomplete", "another disk"})
        EXPECT_TRUE(text.contains(QString::fromLatin1(topic))) << topic;
    actions[0]->trigger();
    EXPECT_EQ(UserGuideDlg::current(), guide);
    saveScreenshot(guide, "UserGuideDlg");
    guide->onlineButton()->click();
    guide->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(UserGuideDlg::current(), nullptr);

    actions[1]->trigger();
    emit screen.productsLink()->linkActivated(QString::fromLatin1(kProductsPageUrl));
    ASSERT_EQ(hooks.openedUrls.size(), 3u);
    EXPECT_EQ(hooks.openedUrls[0], QUrl(kUserGuideUrl));
    EXPECT_EQ(hooks.openedUrls[1], QUrl(kProductPageUrl));
    EXPECT_EQ(hooks.openedUrls[2], QUrl(kProductsPageUrl));

    QString seenTitle, seenVersion;
    QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<CTavrelAboutDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(about, nullptr);
        seenTitle = about->windowTitle();
        seenVersion = about->versionLabel()->text();
        saveScreenshot(about, "CTavrelAboutDlg");
        about->okButton()->click();
    });
    actions[2]->trigger();  // returns when OK closed the box
    EXPECT_TRUE(seenTitle.contains("Vellorine"));
    EXPECT_TRUE(seenVersion.contains(VELLORINE_VERSION));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(hooks.openedUrls.size(), 3u);
}

TEST_F(Wizard, NextHidesTheCreatorAndBackDestroysTheLaterScreens) {
    ProbeScreen first(130);
    first.show();
    first.edit->setText("typed before");
    QPointer<ProbeScreen> second = new ProbeScreen(152, &first);
    second->previousScreen = first.dialogId();
    first.showNext(second);
    EXPECT_FALSE(first.isVisible());
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(second->creator(), &first);
    // The window the user moved and sized stays where it is from screen to screen.
    const QRect moved(60, 50, 900, 640);
    second->setGeometry(moved);
    QPointer<ProbeScreen> third = new ProbeScreen(134, second);
    second->showNext(third);
    EXPECT_FALSE(second->isVisible());
    EXPECT_TRUE(third->isVisible());
    EXPECT_EQ(third->geometry(), moved);
    EXPECT_EQ(WizardScreen::liveScreens().size(), 3u);
    third->showMaximized();
    QPointer<ProbeScreen> fourth = new ProbeScreen(136, third);
    third->showNext(fourth);
    EXPECT_TRUE(fourth->isMaximized());
    fourth->goBack();
    flushDeletions();
    EXPECT_TRUE(third->isMaximized());

    // Back from the middle screen: its own later screen goes with it.
    second->goBack();
    flushDeletions();
    EXPECT_TRUE(second.isNull());
    EXPECT_TRUE(third.isNull());
    EXPECT_TRUE(first.isVisible());
    EXPECT_EQ(first.geometry(), moved);
    EXPECT_EQ(first.edit->text(), "typed before");
    EXPECT_EQ(WizardScreen::liveScreens().size(), 1u);
}

TEST_F(Wizard, EnterAndEscapeAreSwallowed) {
    ProbeScreen screen(130);
    screen.show();
    screen.activateWindow();
    screen.edit->setFocus();
    QTest::keyClick(screen.edit, Qt::Key_Return);
    QTest::keyClick(screen.edit, Qt::Key_Enter);
    QTest::keyClick(screen.edit, Qt::Key_Escape);
    screen.button->setFocus();
    QTest::keyClick(screen.button, Qt::Key_Return);
    QTest::keyClick(screen.button, Qt::Key_Escape);
    EXPECT_EQ(screen.returns, 0);
    EXPECT_EQ(screen.clicks, 0);
    EXPECT_TRUE(screen.isVisible());
    EXPECT_TRUE(hooks.boxes.shown().empty());
    // Other keys still work, and a window that is not a screen keeps its Enter.
    QTest::keyClick(screen.button, Qt::Key_Space);
    EXPECT_EQ(screen.clicks, 1);
    QLineEdit other;
    int otherReturns = 0;
    QObject::connect(&other, &QLineEdit::returnPressed, [&] { ++otherReturns; });
    other.show();
    QTest::keyClick(&other, Qt::Key_Return);
    EXPECT_EQ(otherReturns, 1);
}

TEST_F(Wizard, CloseAnsweredNoLeavesEverything) {
    ProbeScreen first(130);
    first.show();
    auto* second = new ProbeScreen(152, &first);
    first.showNext(second);
    hooks.boxes.queueAnswer(false);
    EXPECT_FALSE(second->close());
    EXPECT_EQ(hooks.boxes.shown(),
              (std::vector<std::string>{"Do you want to Close Application ?"}));
    EXPECT_TRUE(second->isVisible());
    EXPECT_TRUE(hooks.exitCodes.empty());
    EXPECT_EQ(first.stops + second->stops, 0);
    EXPECT_EQ(WizardScreen::liveScreens().size(), 2u);
}

TEST_F(Wizard, CloseAnsweredYesStopsEveryWorkerAndEndsWithZero) {
    ProbeScreen first(130);
    first.show();
    auto* second = new ProbeScreen(152, &first);
    first.showNext(second);
    hooks.boxes.queueAnswer(true);
    second->close();
    EXPECT_EQ(hooks.exitCodes, std::vector<int>{0});
    EXPECT_EQ(first.stops, 1);
    EXPECT_EQ(second->stops, 1);
    EXPECT_TRUE(hooks.openedUrls.empty());  // no web page on close
}

TEST_F(Wizard, ExitButtonEndsWithoutAsking) {
    ProbeScreen first(130);
    first.show();
    first.exitButton()->click();
    EXPECT_TRUE(hooks.boxes.shown().empty());
    EXPECT_EQ(hooks.exitCodes, std::vector<int>{0});
    EXPECT_EQ(first.stops, 1);
}

TEST_F(Wizard, PlaceholderShowsItsNameAndGoesBack) {
    ProbeScreen first(152);
    first.show();
    QPointer<PlaceholderScreen> next = new PlaceholderScreen("PopulateDriveDlg", 134, &first);
    first.showNext(next);
    EXPECT_EQ(next->previousScreen, 152);
    EXPECT_EQ(next->windowTitle(), "Vellorine");
    bool named = false;
    for (QLabel* l : next->findChildren<QLabel*>()) named |= l->text() == "PopulateDriveDlg";
    EXPECT_TRUE(named);
    saveScreenshot(next, "Placeholder");
    next->backButton()->click();
    flushDeletions();
    EXPECT_TRUE(next.isNull());
    EXPECT_TRUE(first.isVisible());
}
