#include "GuiTestSupport.h"

#include "support/QtApp.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>

#include "app/CKestrumApp.h"
#include "app/WizardScreen.h"
#include "support/Fixtures.h"

namespace vel::test {

QApplication& guiApp() {
    return qtApp();
}

WizardHooks::WizardHooks() {
    guiApp();
    CKestrumApp::instance().initialise();
    CKestrumApp::instance().setMessageBoxes(&boxes);
    WizardScreen::processExit() = [this](int code) { exitCodes.push_back(code); };
    WizardScreen::openUrl() = [this](const QUrl& url) { openedUrls.push_back(url); };
}

WizardHooks::~WizardHooks() {
    flushDeletions();
    CKestrumApp::instance().setMessageBoxes(nullptr);
    WizardScreen::processExit() = [](int) {};
    WizardScreen::openUrl() = [](const QUrl&) {};
}

void flushDeletions() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QString saveScreenshot(QWidget* widget, const QString& name) {
    const QString dir = QString::fromStdString(binaryDir()) + "/screenshots";
    QDir().mkpath(dir);
    const QString path = dir + "/" + name + ".png";
    widget->grab().save(path);
    return path;
}

}  // namespace vel::test
