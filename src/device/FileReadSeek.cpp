#include "device/FileReadSeek.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device/DriveEnumeration.h"

namespace vel {

std::int64_t deviceByteSize(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) return static_cast<std::int64_t>(bytes);
        return -1;
    }
    return st.st_size;
}

FileReadSeek::~FileReadSeek() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileReadSeek::openDevice(const std::string& path) {
    std::string resolved = resolveDevicePath(path);
    int fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = resolved + ": " + std::strerror(errno);
        return false;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    path_ = resolved;
    error_.clear();
    std::int64_t size = deviceByteSize(fd);
    setByteSize(size > 0 ? size : 0);
    struct stat st {};
    info_ = ImageInfo{};
    info_.format =
        fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) ? imageformat::kDevice : imageformat::kRaw;
    info_.mediaSize = byteSize();
    info_.files = {resolved};
    return true;
}

std::int64_t FileReadSeek::readSome(std::int64_t offset, void* buffer, std::size_t count) const {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t n = ::pread(fd_, buffer, count, offset);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<std::int64_t>(n);
    }
}

}  // namespace vel
