#include "app/CKestrumApp.h"

#include <unistd.h>

#include "device/DriveEnumeration.h"

namespace vel {

namespace {
const char* const kInvalidHandle = "invalid handle ...";
}

CKestrumApp::CKestrumApp() : runningAsRoot(::geteuid() == 0), messages_(&stderrBoxes_) {}

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
    int errorNumber = 0;
    std::shared_ptr<DiskSource> reader = openDiskSource(path, error, &errorNumber);
    if (!reader && openNeedsAdministrator(errorNumber, runningAsRoot))
        return openReaderWithRights(path);
    if (!reader) {
        messages().showInfo(kInvalidHandle);
        return nullptr;
    }
    g_reader = reader;
    return reader;
}

std::shared_ptr<DiskSource> CKestrumApp::openReaderWithRights(const std::string& path) {
    const std::string device = resolveDevicePath(path);
    std::string reason;
    std::shared_ptr<DiskSource> reader = rightsOpener_ ? rightsOpener_(device, reason) : nullptr;
    if (!reader) {
        std::string text = std::string(kInvalidHandle) + "\n\n";
        if (!reason.empty()) text += reason + "\n";
        messages().showInfo(text + administratorHint(device, "vellorine"));
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
