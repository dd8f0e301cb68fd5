#include "support/QtApp.h"

namespace vel::test {

QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "vellorine-tests";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static auto* app = new QApplication(argc, argv);
    return *app;
}

}  // namespace vel::test
