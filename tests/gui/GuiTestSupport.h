#pragma once
// Shared by the wizard tests: the one application object, the process-end and web-page hooks
// replaced by recorders, and screenshots into the build folder.
#include <QApplication>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <vector>

#include "core/MessageBoxes.h"

namespace vel::test {

QApplication& guiApp();

// Installs recording boxes, a recording process end and a recording web-page opener for the
// scope of a test, and undoes them after.
class WizardHooks {
  public:
    WizardHooks();
    ~WizardHooks();
    RecordingMessageBoxes boxes;
    std::vector<int> exitCodes;
    std::vector<QUrl> openedUrls;
};

// Runs the posted deletions (Back destroys screens deferred).
void flushDeletions();
// Saves widget->grab() as build/screenshots/NAME.png and returns the path.
QString saveScreenshot(QWidget* widget, const QString& name);

}  // namespace vel::test
