#include "platform/OutputPath.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Text.h"

namespace vel {

namespace {

// An extension longer than this is part of the name: shortening must be able to cut into it.
constexpr std::size_t kMaxExtensionBytes = 32;
// Attempts at a free name before a folder is given up (another writer keeps taking them).
constexpr int kNameAttempts = 1000;

// The longest prefix of s, at most max bytes, that ends at a character boundary.
std::string_view utf8Prefix(std::string_view s, std::size_t max) {
    if (s.size() <= max) return s;
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

std::pair<std::string_view, std::string_view> splitExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot > kMaxExtensionBytes)
        return {name, {}};
    return {name.substr(0, dot), name.substr(dot)};
}

std::atomic<unsigned> temporaryCounter{0};
// Asked once: a save names hundreds of thousands of files.
const long processId = static_cast<long>(::getpid());

}  // namespace

std::string decoratedName(const std::string& name, std::string_view insert, std::string_view tail) {
    auto [stem, ext] = splitExtension(name);
    const std::size_t fixed = insert.size() + ext.size() + tail.size();
    std::string out(utf8Prefix(stem, kMaxNameBytes - fixed));
    return out.append(insert).append(ext).append(tail);
}

std::optional<std::string> safeFileName(const std::string& utf8Name) {
    std::string name = sanitizeUtf8(utf8Name);
    for (char& c : name) {
        auto u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    if (name.size() > kMaxNameBytes) name = decoratedName(name, "", "");
    return name;
}

std::string portableName(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (std::strchr("<>:\"\\|?*", c) && c != '\0') c = '_';
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.back() = '_';
    return out;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string uniqueOutputPath(const std::string& dir, const std::string& name) {
    struct stat st {};
    std::string path = joinPath(dir, name);
    if (::lstat(path.c_str(), &st) != 0) return path;
    for (int n = 1;; ++n) {
        path = joinPath(dir, decoratedName(name, " (" + std::to_string(n) + ")", ""));
        if (::lstat(path.c_str(), &st) != 0) return path;
    }
}

std::unique_ptr<OutputFolder> OutputFolder::open(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::string shown = path;
    while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
    std::unique_ptr<OutputFolder> folder(new OutputFolder(fd, shown, ""));
    folder->readExistingNames();
    return folder;
}

OutputFolder::~OutputFolder() {
    if (fd_ >= 0) ::close(fd_);
}

void OutputFolder::readExistingNames() {
    int copy = ::dup(fd_);
    if (copy < 0) return;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return;
    }
    while (dirent* d = ::readdir(dir))
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            used_.insert(d->d_name);
    ::closedir(dir);
}

std::string OutputFolder::reserve(const std::string& name) {
    std::lock_guard lock(namesLock_);
    if (used_.insert(name).second) return name;
    int& n = nextNumber_[name];
    if (n == 0) n = 1;
    for (;; ++n) {
        std::string candidate = decoratedName(name, " (" + std::to_string(n) + ")", "");
        if (used_.insert(candidate).second) {
            ++n;
            return candidate;
        }
    }
}

std::unique_ptr<OutputFolder> OutputFolder::makeFolder(const std::string& name,
                                                       std::string& error) {
    std::string wanted = name;
    bool triedPortable = false;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string candidate = reserve(wanted);
        if (::mkdirat(fd_, candidate.c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;  // made meanwhile, or a name the disk folds
            if (errno == EINVAL && !triedPortable) {
                wanted = portableName(wanted);
                triedPortable = true;
                continue;
            }
            error = pathOf(candidate) + ": " + std::strerror(errno);
            return nullptr;
        }
        int fd = ::openat(fd_, candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            error = pathOf(candidate) + ": " + std::strerror(errno);
            return nullptr;
        }
        return std::unique_ptr<OutputFolder>(new OutputFolder(fd, pathOf(candidate), candidate));
    }
    error = pathOf(name) + ": no free name";
    return nullptr;
}

int OutputFolder::createTemporary(std::string& tempName) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".vellorine-%ld-%u.part", processId,
                      temporaryCounter.fetch_add(1));
        int fd = ::openat(fd_, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            tempName = name;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

int OutputFolder::createNamed(const std::string& name) {
    return ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

std::optional<std::string> OutputFolder::publish(const std::string& tempName,
                                                 const std::string& wanted,
                                                 const std::string& reserved) {
    std::string base = wanted;
    bool triedPortable = false;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string candidate = attempt == 0 && !reserved.empty() ? reserved : reserve(base);
        if (::renameat2(fd_, tempName.c_str(), fd_, candidate.c_str(), RENAME_NOREPLACE) == 0)
            return candidate;
        if (errno == EEXIST) continue;
        if (errno != EINVAL) return std::nullopt;
        // Either the file system cannot refuse to replace, or it refuses the name itself.
        struct stat st {};
        if (::fstatat(fd_, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
        if (::renameat(fd_, tempName.c_str(), fd_, candidate.c_str()) == 0) return candidate;
        if (errno != EINVAL || triedPortable) return std::nullopt;
        base = portableName(base);
        triedPortable = true;
    }
    errno = EEXIST;
    return std::nullopt;
}

void OutputFolder::remove(const std::string& name) {
    ::unlinkat(fd_, name.c_str(), 0);
}

void OutputFolder::setTimes(std::optional<HostTime> access, std::optional<HostTime> modification) {
    if (!access && !modification) return;
    timespec times[2];
    auto fill = [](timespec& ts, const std::optional<HostTime>& t) {
        ts.tv_sec = t ? static_cast<time_t>(t->seconds) : 0;
        ts.tv_nsec = t ? static_cast<long>(t->nanoseconds) : UTIME_OMIT;
    };
    fill(times[0], access);
    fill(times[1], modification);
    ::futimens(fd_, times);
}

std::int64_t OutputFolder::freeBytes() const {
    struct statvfs st {};
    if (::fstatvfs(fd_, &st) != 0) return -1;
    const unsigned long long bytes =
        static_cast<unsigned long long>(st.f_bavail) * static_cast<unsigned long long>(st.f_frsize);
    return bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX
                                                              : static_cast<std::int64_t>(bytes);
}

}  // namespace vel
