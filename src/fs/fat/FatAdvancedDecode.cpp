#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

#include "fs/common/Endian.h"
#include "fs/fat/FatAdvanced.h"

namespace vel::fatadv {

namespace {

constexpr std::size_t kAttributes = 11;
constexpr std::size_t kCaseFlags = 12;
constexpr std::size_t kCreationTenths = 13;
constexpr std::size_t kCreationTime = 14;
constexpr std::size_t kCreationDate = 16;
constexpr std::size_t kAccessDate = 18;
constexpr std::size_t kClusterHigh = 20;
constexpr std::size_t kWriteTime = 22;
constexpr std::size_t kWriteDate = 24;
constexpr std::size_t kClusterLow = 26;
constexpr std::size_t kSize = 28;
constexpr std::uint8_t kDeleted = 0xE5;

bool upper(std::uint8_t c) {
    return c >= 0x41 && c <= 0x5B;
}
bool digit(std::uint8_t c) {
    return c >= 0x30 && c <= 0x39;
}
// FAT32 names: capitals, digits and 0x5F-0x7A (underscore, back quote, small letters).
bool class32(std::uint8_t c) {
    return upper(c) || digit(c) || (c >= 0x5F && c <= 0x7A);
}
// FAT12/16 names: capitals, digits and small letters.
bool class16(std::uint8_t c) {
    return upper(c) || digit(c) || (c >= 0x61 && c <= 0x7A);
}
bool oneOf(std::uint8_t c, std::initializer_list<std::uint8_t> set) {
    return std::find(set.begin(), set.end(), c) != set.end();
}
std::uint32_t slotCluster(const std::uint8_t* s) {
    return (static_cast<std::uint32_t>(le16(s + kClusterHigh)) << 16) | le16(s + kClusterLow);
}
bool datesAndTimesValid(const std::uint8_t* s) {
    return validDosDate(le16(s + kCreationDate)) && validDosDate(le16(s + kAccessDate)) &&
           validDosDate(le16(s + kWriteDate)) && validDosTime(le16(s + kCreationTime)) &&
           validDosTime(le16(s + kWriteTime));
}
bool folderAttributes(std::uint8_t a) {
    return oneOf(a, {0x10, 0x11, 0x12, 0x14, 0x15, 0x16, 0x30});
}

}  // namespace

bool fatStartSignature(const std::uint8_t* s, TableKind kind) {
    switch (kind) {
        case TableKind::Fat16:
            return le32(s) == 0xFFFFFFF8;
        case TableKind::Fat32:
            // Entry 1 keeps its clean-shutdown and no-error flags in bits 27 and 26.
            return (le32(s) & 0x0FFFFFFF) == 0x0FFFFFF8 && (le32(s + 4) & 0x03FFFFFF) == 0x03FFFFFF;
        case TableKind::Exfat:
            return le32(s) == 0xFFFFFFF8 && le32(s + 4) == 0xFFFFFFFF;
    }
    return false;
}

bool heapStartSignature(const std::uint8_t* s) {
    return le32(s) == 0xFFFFFFFF && le32(s + 4) == 0xFFFFFFFF;
}

bool upcaseTableSignature(const std::uint8_t* s) {
    for (std::uint16_t i = 0; i < 32; ++i)
        if (le16(s + 2 * i) != i) return false;
    return true;
}

std::optional<std::uint32_t> dotEntryCluster(const std::uint8_t* s) {
    static const char kDot[] = ".          ";
    static const char kDotDot[] = "..         ";
    if (std::memcmp(s, kDot, 11) != 0 || std::memcmp(s + 32, kDotDot, 11) != 0) return std::nullopt;
    if (!(s[kAttributes] & 0x10) || !(s[32 + kAttributes] & 0x10)) return std::nullopt;
    const std::uint32_t own = slotCluster(s) & 0x0FFFFFFF;
    if (own < 2) return std::nullopt;
    return own;
}

bool validDosDate(std::uint16_t date) {
    const unsigned day = date & 0x1F, month = (date >> 5) & 0x0F;
    return day >= 1 && day <= 31 && month >= 1 && month <= 12;
}

bool validDosTime(std::uint16_t time) {
    return (time >> 11) < 24 && ((time >> 5) & 0x3F) < 60 && (time & 0x1F) < 30;
}

bool acceptFat32Slot(const std::uint8_t* s, std::uint32_t clusterCount) {
    const std::uint8_t a = s[kAttributes];
    if (!oneOf(a, {0x0F, 0x10, 0x20, 0x08, 0x12, 0x15, 0x30, 0x16, 0x11, 0x14})) return false;
    if (a == 0x0F)
        return (class32(s[1]) || oneOf(s[1], {0x20, 0x7E, 0x2C, 0x2E, 0x29, kDeleted})) &&
               s[kCaseFlags] == 0 && s[kClusterLow] == 0;
    const std::uint32_t cluster = slotCluster(s);
    // The creation tenths are often 0 (many writers leave them), but never above 199.
    const bool fieldsSet = le16(s + kCreationTime) && le16(s + kCreationDate) &&
                           le16(s + kAccessDate) && le16(s + kWriteTime) && le16(s + kWriteDate) &&
                           s[kCreationTenths] < 200;
    if (folderAttributes(a)) {
        return (class32(s[0]) || oneOf(s[0], {kDeleted, 0x7E, 0x24})) &&
               (class32(s[1]) || oneOf(s[1], {0x20, 0x7E, 0x2E, 0x29, kDeleted})) && cluster > 0 &&
               cluster < clusterCount && fieldsSet && (s[0] == kDeleted || le32(s + kSize) == 0) &&
               datesAndTimesValid(s);
    }
    if (a == 0x20) {
        return (class32(s[0]) || oneOf(s[0], {kDeleted, 0x7E})) &&
               (class32(s[1]) || oneOf(s[1], {0x20, 0x7E, 0x2E, kDeleted})) &&
               (s[kCaseFlags] == 0 || s[kCaseFlags] == 0x18) && cluster > 0 &&
               cluster < clusterCount && fieldsSet && le32(s + kSize) != 0 && datesAndTimesValid(s);
    }
    return false;
}

bool acceptFat16Slot(const std::uint8_t* s, std::uint32_t clusterCount) {
    const std::uint8_t a = s[kAttributes];
    if (!(a == 0x08 || (a >= 0x0F && a <= 0x16) || a == 0x20 || a == 0x26 || a == 0x30))
        return false;
    if (a == 0x0F) {
        const bool live = s[0] != kDeleted;
        return (class16(s[1]) || oneOf(s[1], {0x20, 0x7E, 0x2C, 0x2E, 0x29, kDeleted}) ||
                (live && s[1] == 0x5F)) &&
               s[kCaseFlags] == 0 && s[kClusterLow] == 0;
    }
    const std::uint32_t cluster = slotCluster(s);
    if (folderAttributes(a)) {
        if (!(class16(s[0]) || oneOf(s[0], {kDeleted, 0x7E, 0x24})) ||
            !(class16(s[1]) || oneOf(s[1], {0x20, 0x7E, 0x2E, 0x29, kDeleted})))
            return false;
        if (s[0] != kDeleted && (le32(s + kSize) != 0 || cluster == 0 || cluster >= clusterCount))
            return false;
        return datesAndTimesValid(s);
    }
    if (a == 0x20 || a == 0x26)
        return (s[kCaseFlags] == 0 || s[kCaseFlags] == 0x18) && cluster < clusterCount &&
               datesAndTimesValid(s);
    return false;
}

bool fat32RootMark(const std::uint8_t* s) {
    const bool label = s[kAttributes] == 0x08;
    if (!label && std::memcmp(s + 1, "RECYCLE", 7) != 0) return false;
    auto alnum = [](std::uint8_t c) {
        return digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    };
    return (alnum(s[0]) || oneOf(s[0], {kDeleted, 0x7E, 0x24})) &&
           (alnum(s[1]) || oneOf(s[1], {0x20, 0x7E, 0x2E, 0x29, kDeleted})) &&
           (s[kCaseFlags] == 0 || s[kCaseFlags] == 0x18) && s[kSize] == 0;
}

GeometryGuess bestDataStart(const std::vector<ClusterVote>& votes, std::uint32_t clusterBytes,
                            std::int64_t minStart, std::int64_t preferStart) {
    GeometryGuess best;
    best.clusterBytes = clusterBytes;
    if (clusterBytes == 0) return best;
    std::map<std::int64_t, std::size_t> counts;  // ordered: ties go to the earliest
    for (const ClusterVote& v : votes) {
        if (v.cluster < 2) continue;
        const std::int64_t start =
            v.position - static_cast<std::int64_t>(v.cluster - 2) * clusterBytes;
        if (start >= minStart) ++counts[start];
    }
    for (const auto& [start, count] : counts) {
        const bool better =
            count > best.agreeing || (count == best.agreeing && start == preferStart);
        if (better) {
            best.dataStart = start;
            best.agreeing = count;
        }
    }
    return best;
}

std::vector<GeometryGuess> rankClusterSizes(const std::vector<ClusterVote>& votes,
                                            const std::vector<std::uint32_t>& clusterBytes,
                                            std::int64_t minStart, std::int64_t preferStart) {
    std::vector<GeometryGuess> out;
    for (std::uint32_t bytes : clusterBytes)
        out.push_back(bestDataStart(votes, bytes, minStart, preferStart));
    std::stable_sort(out.begin(), out.end(), [&](const GeometryGuess& a, const GeometryGuess& b) {
        if (a.agreeing != b.agreeing) return a.agreeing > b.agreeing;
        return preferStart >= 0 && a.dataStart == preferStart && b.dataStart != preferStart;
    });
    return out;
}

std::uint64_t walkSectors(const readWriteInterface& volume, std::uint64_t size,
                          const StopFlag& stop, const std::function<bool(std::uint64_t)>& onChunk,
                          const std::function<bool(std::int64_t, const std::uint8_t*)>& onSector) {
    if (size < kSector) return 0;
    std::vector<std::uint8_t> chunk(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kSearchChunk)));
    std::uint64_t k = 0;
    for (std::uint64_t pos = 0; pos + kSector <= size; pos += kSearchChunk, ++k) {
        if (stop.requested() || !onChunk(k)) break;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - pos, chunk.size()));
        std::fill(chunk.begin(), chunk.end(), 0);
        volume.readAt(static_cast<std::int64_t>(pos), chunk.data(), want);
        for (std::size_t s = 0; s + kSector <= want; s += kSector)
            if (!onSector(static_cast<std::int64_t>(pos + s), chunk.data() + s)) return k + 1;
    }
    return k;
}

std::uint64_t searchBytes(std::int64_t descriptorBytes, const readWriteInterface* volume) {
    if (!volume) return 0;
    const std::int64_t source = volume->byteSize();
    std::int64_t size = descriptorBytes > 0 ? descriptorBytes : source;
    if (source > 0) size = std::min(size, source);
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

}  // namespace vel::fatadv
