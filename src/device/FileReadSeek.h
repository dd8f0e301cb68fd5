#pragma once
#include <string>

#include "device/DiskSource.h"

namespace vel {

// A block device or a raw image file, opened read-only always.
class FileReadSeek : public DiskSource {
  public:
    FileReadSeek() = default;
    FileReadSeek(const FileReadSeek&) = delete;
    FileReadSeek& operator=(const FileReadSeek&) = delete;
    ~FileReadSeek() override;

    // Opens path (a drive number's device is resolved first). False, with lastError() set and
    // the source unchanged, when it cannot be opened. Call before any reader shares the object.
    bool openDevice(const std::string& path);
    const std::string& lastError() const { return error_; }
    int deviceHandle() const { return fd_; }

  protected:
    std::int64_t readSome(std::int64_t offset, void* buffer, std::size_t count) const override;

  private:
    int fd_ = -1;
    std::string error_;
};

// Byte size of an open file or block device; -1 when it cannot be told.
std::int64_t deviceByteSize(int fd);

}  // namespace vel
