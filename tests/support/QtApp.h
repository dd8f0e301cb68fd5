#pragma once
#include <QApplication>

namespace vel::test {

// The one application object of a GUI test process (offscreen unless QT_QPA_PLATFORM says
// otherwise). It lives to the process end: destroying it in exit handlers races Qt's statics.
QApplication& qtApp();

}  // namespace vel::test
