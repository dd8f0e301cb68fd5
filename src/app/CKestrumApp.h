#pragma once
// The process-wide state every screen and worker reads.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "app/MessageBoxes.h"
#include "device/readWriteInterface.h"

namespace vel {

class CKestrumApp {
  public:
    static CKestrumApp& instance();

    // Construction values again: base for a fresh start of the wizard (and for tests).
    void initialise();

    // Deletes the old reader and installs a new, unopened one.
    readWriteInterface& replaceReader();
    void deleteReader() { g_reader.reset(); }
    readWriteInterface* reader() const { return g_reader.get(); }

    MessageBoxes& messages() const { return *messages_; }
    // The boxes are the front end's; null restores the stderr boxes.
    void setMessageBoxes(MessageBoxes* boxes);

    std::unique_ptr<readWriteInterface> g_reader;
    std::atomic<std::int64_t> totalSectors{0};
    std::atomic<bool> volumeChosen{false};
    std::atomic<bool> driveFormatted{false};
    std::string rootCaption = "ROOT";
    std::string searchPattern;

  private:
    CKestrumApp();
    StderrMessageBoxes stderrBoxes_;
    std::atomic<MessageBoxes*> messages_;
};

// The name the single-instance lock is made from.
inline constexpr const char* kInstanceMutexName = "Global\\{TAVRELWORKSWindowsDatRecovery}";

}  // namespace vel
