#pragma once
#include "device/readWriteInterface.h"

namespace vel {

// Reads a block device or an image file, read-only always. Short reads give the bytes read
// followed by zeros and report false; a read that gets nothing leaves the buffer as it was.
class FileReadSeek final : public readWriteInterface {
  public:
    FileReadSeek() = default;
    FileReadSeek(const FileReadSeek&) = delete;
    FileReadSeek& operator=(const FileReadSeek&) = delete;
    ~FileReadSeek() override;

    bool openDevice(const std::string& path) override;
    bool readBytes(void* buffer, std::uint32_t count) override;
    bool seekTo(std::int64_t offset, int origin = SEEK_SET) override;

    // Size of what was opened last, in 512-byte sectors (also stored in the process state).
    std::int64_t sectorCount() const { return sectors_; }
    std::int64_t position() const { return position_; }
    const std::string& openedPath() const { return path_; }

  private:
    std::int64_t position_ = 0;
    std::int64_t sectors_ = 0;
    std::int64_t byteSize_ = 0;
    std::string path_;
};

// Byte size of an open file or block device; -1 when it cannot be told.
std::int64_t deviceByteSize(int fd);

}  // namespace vel
