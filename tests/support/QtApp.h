#pragma once
#include <QApplication>
#include <functional>

namespace vel::test {

// The one application object of a GUI test process (offscreen unless QT_QPA_PLATFORM says
// otherwise). It lives to the process end: destroying it in exit handlers races Qt's statics.
QApplication& qtApp();

// Processes events until done() holds or the time is up; returns done().
bool waitUntil(const std::function<bool()>& done, int milliseconds = 300000);

}  // namespace vel::test
