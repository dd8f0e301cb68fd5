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
        errno_ = errno;
        error_ = resolved + ": " + std::strerror(errno_);
        return false;
    }
    take(fd, resolved);
    return true;
}

bool FileReadSeek::adoptDescriptor(int fd, const std::string& displayPath) {
    auto refuse = [&](int code, const std::string& why) {
        if (fd >= 0) ::close(fd);
        errno_ = code;
        error_ = displayPath + ": " + why;
        return false;
    };
    const int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
    if (flags < 0) return refuse(EBADF, std::strerror(EBADF));
    // A descriptor that could write is refused: the source is never open for writing.
    if ((flags & O_ACCMODE) != O_RDONLY) return refuse(EINVAL, "not opened read-only");
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse(errno, std::strerror(errno));
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode))
        return refuse(EINVAL, "neither a block device nor a file");
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    take(fd, displayPath);
    return true;
}

void FileReadSeek::take(int fd, const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    path_ = path;
    error_.clear();
    errno_ = 0;
    std::int64_t size = deviceByteSize(fd);
    setByteSize(size > 0 ? size : 0);
    struct stat st {};
    info_ = ImageInfo{};
    info_.format =
        fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) ? imageformat::kDevice : imageformat::kRaw;
    info_.mediaSize = byteSize();
    info_.files = {path};
}

bool openNeedsAdministrator(int errorNumber, bool runningAsRoot) {
    return !runningAsRoot && (errorNumber == EACCES || errorNumber == EPERM);
}

std::string administratorHint(const std::string& device, const std::string& program) {
    return "Opening " + device + " needs administrator rights: run `pkexec " + program +
           "` or `sudo " + program + "`.";
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
