#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "platform/FileTimes.h"

namespace vel {

// A recovered file being written; every failure (a full disk, say) is remembered so a file that
// was not written whole is never reported as saved.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const std::string& path);  // creates or truncates
    bool write(const void* data, std::size_t size);
    // Zeros; runs of a MiB and more are left as holes of a sparse file.
    bool writeZeros(std::uint64_t size);
    // Closes; true when every write succeeded.
    bool close();
    // Sets the times on the open file, then closes it (one path lookup fewer than setFileTimes
    // after close). Missing times stay as they are. True when every write succeeded.
    bool closeWithTimes(std::optional<HostTime> access, std::optional<HostTime> modification);
    bool ok() const { return fd_ >= 0 && ok_; }
    const std::string& path() const { return path_; }

  private:
    bool endHole();

    int fd_ = -1;
    bool ok_ = false;
    bool holeAtEnd_ = false;
    std::string path_;
};

// Creates a folder; an existing folder is fine.
bool makeFolder(const std::string& path);

}  // namespace vel
