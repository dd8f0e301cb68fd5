#include "fs/exfat/ExfatLayout.h"

#include <algorithm>
#include <cstring>

#include "fs/common/Endian.h"
#include "platform/Text.h"

namespace vel::exfat {

namespace {

bool isFileEntry(std::uint8_t type) {
    return type == kFileLive || type == kFileDeleted;
}
bool isStreamEntry(std::uint8_t type) {
    return type == kStreamLive || type == kStreamDeleted;
}
bool isNameEntry(std::uint8_t type) {
    return type == kNameLive || type == kNameDeleted;
}
}  // namespace

std::optional<BootSector> parseBootSector(const std::uint8_t* sector) {
    if (std::memcmp(sector + 3, "EXFAT", 5) != 0) return std::nullopt;
    BootSector b;
    b.volumeLength = le64(sector + 72);
    b.fatOffset = le32(sector + 80);
    b.clusterHeapOffset = le32(sector + 88);
    b.clusterCount = le32(sector + 92);
    b.rootCluster = le32(sector + 96);
    b.bytesPerSectorShift = sector[108];
    b.sectorsPerClusterShift = sector[109];
    // Wider shifts cannot be a volume and would make the geometry overflow.
    if (b.bytesPerSectorShift < 9 || b.bytesPerSectorShift > 12) return std::nullopt;
    if (b.bytesPerSectorShift + b.sectorsPerClusterShift > 25) return std::nullopt;
    return b;
}

std::uint32_t bootRegionChecksum(const std::uint8_t* region, std::uint32_t bytesPerSector) {
    std::uint32_t sum = 0;
    const std::size_t bytes = std::size_t{bytesPerSector} * (kBootRegionSectors - 1);
    for (std::size_t i = 0; i < bytes; ++i) {
        if (i == kVolumeFlags || i == kVolumeFlags + 1 || i == kPercentInUse) continue;
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
    }
    return sum;
}

bool bootRegionChecksumHolds(const std::uint8_t* region, std::uint32_t bytesPerSector) {
    const std::uint32_t sum = bootRegionChecksum(region, bytesPerSector);
    // The checksum sector repeats the value to its end.
    const std::uint8_t* check = region + std::size_t{bytesPerSector} * (kBootRegionSectors - 1);
    for (std::uint32_t i = 0; i < bytesPerSector; i += 4)
        if (le32(check + i) != sum) return false;
    return true;
}

bool sameBootFields(const std::uint8_t* a, const std::uint8_t* b) {
    for (std::size_t i = 0; i < kBootFieldBytes; ++i) {
        if (i == kVolumeFlags || i == kVolumeFlags + 1 || i == kPercentInUse) continue;
        if (a[i] != b[i]) return false;
    }
    return true;
}

bool isDirectoryAttributes(std::uint16_t a) {
    return (a >= 0x10 && a <= 0x16) || a == 0x30;
}

CalendarTime decodeTimestamp(std::uint32_t ts) {
    CalendarTime t;
    t.second = static_cast<int>(ts & 0x1F) * 2;
    t.minute = static_cast<int>((ts >> 5) & 0x3F);
    t.hour = static_cast<int>((ts >> 11) & 0x1F);
    t.day = static_cast<int>((ts >> 16) & 0x1F);
    t.month = static_cast<int>((ts >> 21) & 0x0F);
    t.year = 1980 + static_cast<int>((ts >> 25) & 0x7F);
    return t;
}

std::u16string gatherName(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                          int onlyType) {
    std::u16string name;
    for (std::size_t n = 0; n < kMaxNameEntries && pos + kEntrySize <= size &&
                            isNameEntry(data[pos]) && (onlyType < 0 || data[pos] == onlyType);
         ++n, pos += kEntrySize) {
        const std::uint8_t* units = data + pos + 2;
        for (std::size_t i = 0; i < kNameUnitsPerEntry; ++i) {
            char16_t u = static_cast<char16_t>(le16(units + 2 * i));
            if (u == 0) break;
            name.push_back(u);
        }
    }
    return name;
}

void walkEntrySets(const std::uint8_t* data, std::size_t size,
                   const std::function<void(const ExfatEntry&)>& visit) {
    std::size_t pos = 0;
    while (pos + kEntrySize <= size) {
        const std::uint8_t* e = data + pos;
        if (!isFileEntry(e[0])) {
            pos += kEntrySize;
            continue;
        }
        ExfatEntry r;
        r.entryType = e[0];
        r.attributes = le16(e + 4);
        r.createTimestamp = le32(e + 8);
        r.modifiedTimestamp = le32(e + 12);
        r.accessedTimestamp = le32(e + 16);
        r.create10ms = e[20];
        r.modified10ms = e[21];
        r.createUtcOffset = e[22];
        r.modifiedUtcOffset = e[23];
        r.accessedUtcOffset = e[24];
        pos += kEntrySize;
        // Bit 7 of every entry type tells live from deleted.
        const std::uint8_t live = r.entryType & 0x80;
        if (pos + kEntrySize <= size && isStreamEntry(data[pos]) && (data[pos] & 0x80) == live) {
            const std::uint8_t* s = data + pos;
            r.streamType = s[0];
            r.secondaryFlags = s[1];
            r.nameLength = s[3];
            r.validDataLength = le64(s + 8);
            r.firstCluster = le32(s + 20);
            r.dataLength = le64(s + 24);
            pos += kEntrySize;
        }
        std::u16string name = gatherName(data, size, pos, live ? kNameLive : kNameDeleted);
        if (r.streamType && r.nameLength > 0 && r.nameLength < name.size())
            name.resize(r.nameLength);
        r.name = utf16ToUtf8(name);
        visit(r);
    }
}

std::size_t candidateEntrySet(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    if (offset + 2 * kEntrySize > size) return 0;
    const std::uint8_t* f = data + offset;
    if (!isFileEntry(f[0])) return 0;
    static const std::uint8_t kAttributes[] = {0x10, 0x11, 0x12, 0x13, 0x15, 0x20, 0x30};
    if (std::find(std::begin(kAttributes), std::end(kAttributes), f[4]) == std::end(kAttributes))
        return 0;
    auto zero = [](const std::uint8_t* p, std::size_t from, std::size_t to) {
        return std::all_of(p + from, p + to, [](std::uint8_t b) { return b == 0; });
    };
    if (!zero(f, 6, 8) || !zero(f, 25, 32)) return 0;
    const std::uint8_t* s = f + kEntrySize;
    if (!isStreamEntry(s[0]) || s[2] != 0 || !zero(s, 6, 8) || !zero(s, 16, 20)) return 0;
    if (s[1] != 1 && s[1] != 3) return 0;
    const std::size_t names = (s[3] + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
    if (names == 0 || offset + (2 + names) * kEntrySize > size) return 0;
    for (std::size_t i = 0; i < names; ++i) {
        const std::uint8_t* n = s + (i + 1) * kEntrySize;
        if ((n[0] != kNameLive && n[0] != kNameDeleted) || n[1] > 3) return 0;
    }
    return 2 + names;
}

bool rootLabelEntry(const std::uint8_t* slot) {
    return slot[0] == 0x83 &&
           std::all_of(slot + 24, slot + 32, [](std::uint8_t b) { return b == 0; });
}

}  // namespace vel::exfat
