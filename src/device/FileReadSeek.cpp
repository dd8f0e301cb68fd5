#include "device/FileReadSeek.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/CKestrumApp.h"
#include "device/DriveEnumeration.h"

namespace vel {

bool readWriteInterface::readBytes(void*, std::uint32_t) {
    return true;
}
bool readWriteInterface::seekTo(std::int64_t, int) {
    return true;
}

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
    if (deviceHandle >= 0) ::close(deviceHandle);
}

bool FileReadSeek::openDevice(const std::string& path) {
    std::string resolved = resolveDevicePath(path);
    int fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        CKestrumApp::instance().messages().showInfo("invalid handle ...");
        return false;
    }
    if (deviceHandle >= 0) ::close(deviceHandle);
    deviceHandle = fd;
    path_ = resolved;
    position_ = 0;
    byteSize_ = deviceByteSize(fd);
    sectors_ = byteSize_ > 0 ? byteSize_ / 512 : 0;
    CKestrumApp::instance().totalSectors.store(sectors_);
    return true;
}

bool FileReadSeek::readBytes(void* buffer, std::uint32_t count) {
    if (count == 0) return true;
    if (deviceHandle < 0) return false;
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(deviceHandle, out + done, count - done, position_ + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::uint32_t>(n);
    }
    if (done == 0) return false;
    if (done < count) std::memset(out + done, 0, count - done);
    position_ += done;
    return done == count;
}

bool FileReadSeek::seekTo(std::int64_t offset, int origin) {
    std::int64_t target = offset + baseOffset;
    if (origin == SEEK_CUR) {
        target += position_;
    } else if (origin == SEEK_END) {
        if (byteSize_ < 0) return false;
        target += byteSize_;
    } else if (origin != SEEK_SET) {
        return false;
    }
    if (target < 0 || deviceHandle < 0) return false;
    position_ = target;
    return true;
}

}  // namespace vel
