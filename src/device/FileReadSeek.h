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
    // Reads from fd, a descriptor someone with the rights to open the device handed over. The
    // reader owns fd from here on: it is closed with the reader, or at once when it is refused
    // (not open for reading only, or neither a block device nor a plain file). displayPath names
    // the source in messages. Call before any reader shares the object.
    bool adoptDescriptor(int fd, const std::string& displayPath);
    const std::string& lastError() const { return error_; }
    // errno of the last failed open or adoption; 0 after a success.
    int lastErrno() const { return errno_; }
    int deviceHandle() const { return fd_; }

  protected:
    std::int64_t readSome(std::int64_t offset, void* buffer, std::size_t count) const override;

  private:
    void take(int fd, const std::string& path);

    int fd_ = -1;
    std::string error_;
    int errno_ = 0;
};

// Byte size of an open file or block device; -1 when it cannot be told.
std::int64_t deviceByteSize(int fd);

// Whether an open that failed with errorNumber would succeed for an administrator, so that
// asking for rights (or telling how to run with them) can help; a missing file is not such a case.
bool openNeedsAdministrator(int errorNumber, bool runningAsRoot);

// "Opening /dev/sda needs administrator rights: run `pkexec vellorine` or `sudo vellorine`."
std::string administratorHint(const std::string& device, const std::string& program);

}  // namespace vel
