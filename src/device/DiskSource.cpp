#include "device/DiskSource.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "device/DriveEnumeration.h"
#include "device/FileReadSeek.h"
#include "device/image/EwfSource.h"
#include "device/image/SplitRawSource.h"
#include "device/image/VirtualDiskSource.h"

namespace vel {

std::shared_ptr<DiskSource> openDiskSource(const std::string& path, std::string& error,
                                           int* errorNumber) {
    error.clear();
    if (errorNumber) *errorNumber = 0;
    const std::string resolved = resolveDevicePath(path);
    struct stat st {};
    // Drives and anything else that is not a plain file are read as they are.
    if (::stat(resolved.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (hasEwfSignature(resolved)) return openEwf(resolved, error);
        if (VirtualDiskKind kind = virtualDiskKind(resolved); kind != VirtualDiskKind::None)
            return openVirtualDisk(kind, resolved, error);
        if (auto split = SplitRawSource::open(resolved, error)) return split;
        if (!error.empty()) return nullptr;
    }
    auto raw = std::make_shared<FileReadSeek>();
    if (!raw->openDevice(resolved)) {
        error = raw->lastError();
        if (errorNumber) *errorNumber = raw->lastErrno();
        return nullptr;
    }
    return raw;
}

std::string imageSizeText(std::int64_t bytes) {
    char text[32];
    if (bytes >= (std::int64_t{1} << 20))
        std::snprintf(text, sizeof text, "%lld MB", static_cast<long long>(bytes >> 20));
    else
        std::snprintf(text, sizeof text, "%lld KB", static_cast<long long>((bytes + 1023) >> 10));
    return text;
}

std::string damageNote(const std::string& file, const std::string& what, std::int64_t firstByte,
                       std::int64_t endByte) {
    const std::int64_t first = firstByte / kSectorBytes;
    const std::int64_t last = (endByte + kSectorBytes - 1) / kSectorBytes - 1;
    return std::filesystem::path(file).filename().string() + " " + what + ": sectors " +
           std::to_string(first) + " to " + std::to_string(last) + " read as unreadable";
}

}  // namespace vel
