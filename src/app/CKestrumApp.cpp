#include "app/CKestrumApp.h"

namespace vel {

CKestrumApp::CKestrumApp() : messages_(&stderrBoxes_) {}

CKestrumApp& CKestrumApp::instance() {
    static CKestrumApp app;
    return app;
}

void CKestrumApp::initialise() {
    rootCaption = "ROOT";
    volumeChosen = false;
    driveFormatted = false;
}

FileReadSeek& CKestrumApp::replaceReader() {
    auto reader = std::make_shared<FileReadSeek>();
    g_reader = reader;
    return *reader;
}

std::shared_ptr<DiskSource> CKestrumApp::openReader(const std::string& path) {
    std::string error;
    std::shared_ptr<DiskSource> reader = openDiskSource(path, error);
    if (!reader) {
        messages().showInfo("invalid handle ...");
        return nullptr;
    }
    g_reader = reader;
    return reader;
}

ParserOptions CKestrumApp::parserOptions() const {
    ParserOptions o;
    o.driveFormatted = driveFormatted.load();
    o.rootCaption = rootCaption;
    return o;
}

void CKestrumApp::setMessageBoxes(MessageBoxes* boxes) {
    messages_.store(boxes ? boxes : &stderrBoxes_);
}

}  // namespace vel
