#pragma once
// Saving carved files: each found file is written as "<offset> .<ext>" into a folder per
// category under the output folder, read through the engine's reader. Nothing existing is ever
// overwritten; a file that covers unreadable sectors is saved with zeros there and reported as
// damaged.
#include <functional>
#include <string>
#include <vector>

#include "raw/myJpg.h"

namespace vel {

struct SavedFile {
    std::size_t index = 0;  // in the engine's found list
    std::string path;       // "" when it could not be created
    bool written = false;
    bool damaged = false;
};

// The status word of a saved file: failed, damaged, or the found file's own.
std::string savedStatus(const FoundFile& file, const SavedFile& saved);

struct RawSaveReport {
    std::int64_t saved = 0;
    std::int64_t exact = 0, partial = 0, unverified = 0;
    std::int64_t damaged = 0;
    std::vector<std::string> failures;  // files that could not be written
    bool stopped = false;
    std::string outputFolder;

    // For the end of a save: counts, the folder, what went wrong.
    std::string summary() const;
};

class RawSaver {
  public:
    RawSaver(const myJpg& engine, ScanSink& sink, const StopFlag& stop)
        : engine_(engine), sink_(sink), stop_(stop) {}

    RawSaveReport save(const std::vector<std::size_t>& indexes, const std::string& outputFolder);
    // Called after each file.
    std::function<void(const SavedFile&)> onSaved;

  private:
    SavedFile saveOne(std::size_t index, const std::string& outputFolder, bool& stopped);

    const myJpg& engine_;
    ScanSink& sink_;
    const StopFlag& stop_;
    std::uint64_t progress_ = 0;
};

}  // namespace vel
