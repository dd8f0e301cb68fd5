#include "support/QtApp.h"

#include <QElapsedTimer>
#include <QStandardPaths>

namespace vel::test {

QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "vellorine-tests";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings the screens keep (column widths) go to a test folder, not the user's.
    QStandardPaths::setTestModeEnabled(true);
    static auto* app = new QApplication(argc, argv);
    return *app;
}

bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

}  // namespace vel::test
