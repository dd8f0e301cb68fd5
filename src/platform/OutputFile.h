#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "core/EntryWriter.h"
#include "platform/FileTimes.h"

namespace vel {

// A recovered file being written; every failure (a full disk, say) is remembered so a file that
// was not written whole is never reported as saved.
class OutputFile final : public EntryWriter {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const std::string& path);  // creates or truncates
    // Creates the file only when nothing is at path yet (false, errno EEXIST, when something is).
    bool openNew(const std::string& path);
    bool write(const void* data, std::size_t size) override;
    bool writeZeros(std::uint64_t size) override;
    // Kept for finish().
    void setTimes(std::optional<HostTime> access, std::optional<HostTime> modification) override {
        access_ = access;
        modification_ = modification;
    }
    // Closes with the times given to setTimes; true when every write succeeded.
    bool finish() { return closeWithTimes(access_, modification_); }
    // Closes; true when every write succeeded.
    bool close();
    // Sets the times on the open file, then closes it (one path lookup fewer than setFileTimes
    // after close). Missing times stay as they are. True when every write succeeded.
    bool closeWithTimes(std::optional<HostTime> access, std::optional<HostTime> modification);
    bool ok() const { return fd_ >= 0 && ok_; }
    std::uint64_t bytesWritten() const { return written_; }
    // Closes and removes the file.
    void discard();
    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    bool ok_ = false;
    std::string path_;
    std::optional<HostTime> access_, modification_;
    std::uint64_t written_ = 0;
};

// Creates a folder; an existing folder is fine.
bool makeFolder(const std::string& path);

}  // namespace vel
