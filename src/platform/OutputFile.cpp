#include "platform/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/OutputPath.h"

namespace vel {

namespace {
void applyTimes(int fd, const std::optional<HostTime>& access,
                const std::optional<HostTime>& modification) {
    if (fd < 0 || (!access && !modification)) return;
    timespec times[2];
    auto fill = [](timespec& ts, const std::optional<HostTime>& t) {
        ts.tv_sec = t ? static_cast<time_t>(t->seconds) : 0;
        ts.tv_nsec = t ? static_cast<long>(t->nanoseconds) : UTIME_OMIT;
    };
    fill(times[0], access);
    fill(times[1], modification);
    ::futimens(fd, times);
}
}  // namespace

OutputFile::~OutputFile() {
    // A created file that was never committed is not left behind under its temporary name.
    reset();
}

bool OutputFile::fail(int err) {
    if (error_ == 0) error_ = err ? err : EIO;
    return false;
}

void OutputFile::startIn(OutputFolder& folder) {
    reset();
    folder_ = &folder;
    error_ = 0;
    size_ = written_ = 0;
    committed_.clear();
}

bool OutputFile::create(OutputFolder& folder) {
    startIn(folder);
    fd_ = folder.createTemporary(tempName_);
    if (fd_ < 0) {
        tempName_.clear();
        return fail(errno);
    }
    path_ = folder.pathOf(tempName_);
    return true;
}

bool OutputFile::createNamed(OutputFolder& folder, const std::string& name) {
    startIn(folder);
    fd_ = folder.createNamed(name);
    if (fd_ < 0) return fail(errno);
    named_ = name;
    path_ = folder.pathOf(name);
    return true;
}

bool OutputFile::open(const std::string& path) {
    reset();
    folder_ = nullptr;
    path_ = path;
    error_ = 0;
    size_ = written_ = 0;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) return fail(errno);
    return true;
}

bool OutputFile::openNew(const std::string& path) {
    reset();
    folder_ = nullptr;
    error_ = 0;
    size_ = written_ = 0;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    // What is there already is not ours: discard() must never remove it.
    path_ = fd_ >= 0 ? path : std::string();
    if (fd_ < 0) return fail(errno);
    return true;
}

bool OutputFile::write(const void* data, std::size_t size) {
    if (!ok()) return false;
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(size_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : ENOSPC);
        p += n;
        size_ += static_cast<std::uint64_t>(n);
        written_ += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool OutputFile::writeZeros(std::uint64_t size) {
    if (!ok()) return false;
    if (size > static_cast<std::uint64_t>(INT64_MAX) - size_) return fail(EFBIG);
    // Extending the file now makes the hole and tells at once when the file system cannot hold
    // a file this long.
    if (::ftruncate(fd_, static_cast<off_t>(size_ + size)) != 0) return fail(errno);
    size_ += size;
    return true;
}

std::string OutputFile::nameFor(const std::string& name, bool whole) {
    return whole ? name : decoratedName(name, "", ".incomplete");
}

bool OutputFile::commit(const std::string& name, bool whole, const std::string& reserved) {
    if (!folder_ || (tempName_.empty() && named_.empty())) return fail(EBADF);
    if (whole) applyTimes(fd_, access_, modification_);
    bool good = ok();
    if (fd_ >= 0 && ::close(fd_) != 0 && good) good = fail(errno);
    fd_ = -1;
    if (!good) {
        discard();
        return false;
    }
    if (!named_.empty()) {
        committed_ = std::move(named_);
        named_.clear();
        return true;
    }
    auto final = folder_->publish(tempName_, nameFor(name, whole), reserved);
    if (!final) {
        fail(errno);
        discard();
        return false;
    }
    tempName_.clear();
    committed_ = *final;
    path_ = folder_->pathOf(committed_);
    return true;
}

void OutputFile::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (folder_ && !tempName_.empty()) folder_->remove(tempName_);
    if (folder_ && !named_.empty()) folder_->remove(named_);
    tempName_.clear();
    named_.clear();
}

void OutputFile::discard() {
    const bool open = fd_ >= 0;
    if (!folder_ && open) ::unlink(path_.c_str());
    reset();
}

bool OutputFile::close() {
    if (fd_ < 0) return false;
    bool good = error_ == 0;
    if (::close(fd_) != 0 && good) good = fail(errno);
    fd_ = -1;
    return good;
}

bool OutputFile::closeWithTimes(std::optional<HostTime> access,
                                std::optional<HostTime> modification) {
    applyTimes(fd_, access, modification);
    return close();
}

bool makeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    struct stat st {};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vel
