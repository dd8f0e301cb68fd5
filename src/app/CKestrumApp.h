#pragma once
// The wizard's process-wide state: what one screen hands the next, the shared source and the
// message boxes. Nothing below the screens reads it; parsers and scans are given what they need.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/MessageBoxes.h"
#include "device/DiskSource.h"
#include "device/FileReadSeek.h"
#include "scan/VolumeParser.h"

namespace vel {

class CKestrumApp {
  public:
    static CKestrumApp& instance();

    // Construction values again: base for a fresh start of the wizard (and for tests).
    void initialise();

    // A new, unopened reader in place of the old one; a worker still reading keeps the old.
    FileReadSeek& replaceReader();
    void deleteReader() { g_reader.reset(); }
    std::shared_ptr<DiskSource> reader() const { return g_reader; }
    // A new reader opened on path (a drive or an image of any format) in place of the old one;
    // shows "invalid handle ..." and keeps the old one when the path cannot be opened. A drive
    // the user has no rights to is asked of the rights opener before that.
    std::shared_ptr<DiskSource> openReader(const std::string& path);
    // The same through the rights opener alone; on failure the box also says why and how to run
    // with the rights.
    std::shared_ptr<DiskSource> openReaderWithRights(const std::string& path);

    // Opens a device on the user's behalf; null, with reason set, when it could not.
    using RightsOpener =
        std::function<std::shared_ptr<DiskSource>(const std::string& device, std::string& reason)>;
    void setRightsOpener(RightsOpener opener) { rightsOpener_ = std::move(opener); }
    // An administrator has no more rights to ask for.
    bool runningAsRoot = false;
    std::int64_t totalSectors() const { return g_reader ? g_reader->sectorCount() : 0; }

    // What the parsers are told when they are made.
    ParserOptions parserOptions() const;

    MessageBoxes& messages() const { return *messages_; }
    // The boxes are the front end's; null restores the stderr boxes.
    void setMessageBoxes(MessageBoxes* boxes);

    std::shared_ptr<DiskSource> g_reader;
    std::atomic<bool> volumeChosen{false};
    std::atomic<bool> driveFormatted{false};
    std::string rootCaption = "ROOT";
    std::string searchPattern;

  private:
    CKestrumApp();
    StderrMessageBoxes stderrBoxes_;
    RightsOpener rightsOpener_;
    std::atomic<MessageBoxes*> messages_;
};

}  // namespace vel
