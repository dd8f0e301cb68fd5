#include "search/RecycleBinIndex.h"

#include <algorithm>

#include "fs/common/Endian.h"
#include "platform/Text.h"

namespace vel::recycle {

namespace {
std::u16string pathAt(const std::uint8_t* bytes, std::size_t size, std::size_t offset,
                      std::size_t maxUnits) {
    std::u16string path;
    for (std::size_t i = 0; i < maxUnits && offset + 2 * i + 2 <= size; ++i) {
        char16_t u = le16(bytes + offset + 2 * i);
        if (u == 0) break;
        path.push_back(u);
    }
    return path;
}
}  // namespace

std::optional<IndexFile> decodeIndexFile(const std::uint8_t* bytes, std::size_t size) {
    if (!bytes || size < kV1PathOffset) return std::nullopt;
    IndexFile f;
    f.version = le64(bytes + kVersionOffset);
    f.originalSize = le64(bytes + kOriginalSizeOffset);
    f.deletionTime = le64(bytes + kDeletionTimeOffset);
    if (f.version == 1) {
        if (size >= kV1MaxBytes) return std::nullopt;
        f.path = pathAt(bytes, size, kV1PathOffset, (size - kV1PathOffset) / 2);
        return f;
    }
    if (f.version == 2) {
        if (size < kV2PathOffset) return std::nullopt;
        std::size_t units =
            std::min<std::size_t>(le32(bytes + kV2PathLengthOffset), kV2MaxPathUnits);
        f.path = pathAt(bytes, size, kV2PathOffset, units);
        return f;
    }
    return std::nullopt;
}

std::string formerName(const std::u16string& path) {
    std::size_t slash = path.rfind(u'\\');
    return utf16ToUtf8(slash == std::u16string::npos ? path : path.substr(slash + 1));
}

}  // namespace vel::recycle
