#include "app/CKestrumApp.h"

#include "device/FileReadSeek.h"

namespace vel {

CKestrumApp::CKestrumApp() : messages_(&stderrBoxes_) {}

CKestrumApp& CKestrumApp::instance() {
    static CKestrumApp app;
    return app;
}

void CKestrumApp::initialise() {
    rootCaption = "ROOT";
    volumeChosen = false;
    totalSectors = 0;
    driveFormatted = false;
}

readWriteInterface& CKestrumApp::replaceReader() {
    g_reader.reset();
    g_reader = std::make_unique<FileReadSeek>();
    return *g_reader;
}

void CKestrumApp::setMessageBoxes(MessageBoxes* boxes) {
    messages_.store(boxes ? boxes : &stderrBoxes_);
}

}  // namespace vel
