#include "platform/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vel {

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool OutputFile::open(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    path_ = path;
    written_ = 0;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    ok_ = fd_ >= 0;
    return ok_;
}

bool OutputFile::openNew(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    written_ = 0;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    ok_ = fd_ >= 0;
    // What is there already is not ours: discard() must never remove it.
    path_ = ok_ ? path : std::string();
    return ok_;
}

bool OutputFile::write(const void* data, std::size_t size) {
    if (!ok()) return false;
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ok_ = false;
        p += n;
        written_ += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool OutputFile::writeZeros(std::uint64_t size) {
    static const std::vector<char> zeros(1 << 16, 0);
    while (size > 0 && ok()) {
        std::size_t n = size < zeros.size() ? static_cast<std::size_t>(size) : zeros.size();
        write(zeros.data(), n);
        size -= n;
    }
    return ok();
}

void OutputFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ok_ = false;
    if (!path_.empty()) ::unlink(path_.c_str());
}

bool OutputFile::close() {
    if (fd_ < 0) return false;
    bool good = ok_;
    if (::close(fd_) != 0) good = false;
    fd_ = -1;
    ok_ = good;
    return good;
}

bool OutputFile::closeWithTimes(std::optional<HostTime> access,
                                std::optional<HostTime> modification) {
    if (fd_ >= 0 && (access || modification)) {
        timespec times[2];
        auto fill = [](timespec& ts, const std::optional<HostTime>& t) {
            ts.tv_sec = t ? static_cast<time_t>(t->seconds) : 0;
            ts.tv_nsec = t ? static_cast<long>(t->nanoseconds) : UTIME_OMIT;
        };
        fill(times[0], access);
        fill(times[1], modification);
        ::futimens(fd_, times);
    }
    return close();
}

bool makeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    struct stat st {};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vel
