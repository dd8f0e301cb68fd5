#include "partition/Partition.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "app/CKestrumApp.h"
#include "platform/Text.h"

namespace vel {

namespace {

constexpr std::int64_t kBlockBytes = 1 << 20;
constexpr std::int64_t kBlockSectors = kBlockBytes / 512;
// Larger sizes than this come from garbage and would overflow sector arithmetic.
constexpr std::uint64_t kMaxSizeBytes = std::uint64_t{1} << 62;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t le64(const unsigned char* p) {
    return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}
std::uint32_t be32(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}
bool isPowerOfTwo(std::uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}
std::int64_t clampSize(std::uint64_t bytes) {
    return bytes >= kMaxSizeBytes ? 0 : static_cast<std::int64_t>(bytes);
}

bool fatLikeJump(const unsigned char* b) {
    return b[0] == 0xEB && (b[1] == 0x3C || b[1] == 0x58 || b[1] == 0x76);
}

// NTFS as the table walk and the scan know it: total sectors, or -1 when not NTFS.
std::int64_t ntfsSectors(const unsigned char* b, bool needName) {
    if (b[0] != 0xEB || b[1] != 0x52 || le16(b + 11) != 512) return -1;
    if (needName && std::memcmp(b + 3, "NTFS", 4) != 0) return -1;
    std::uint64_t total = le64(b + 40);
    return total >= kMaxSizeBytes / 512 ? 0 : static_cast<std::int64_t>(total);
}

std::int64_t exfatBytes(const unsigned char* b) {
    if (!fatLikeJump(b) || std::memcmp(b + 3, "EXFA", 4) != 0) return -1;
    unsigned shift = b[108];
    if (shift < 9 || shift > 12) shift = 9;
    std::uint64_t length = le64(b + 72);
    if (length >= (kMaxSizeBytes >> shift)) return 0;
    return static_cast<std::int64_t>(length << shift);
}

// "H+" and "HX" (HFSX, case-sensitive names) read the same.
bool hfsPlusSignature(const unsigned char* h) {
    return h[0] == 'H' && (h[1] == '+' || h[1] == 'X') && h[2] == 0;
}

std::int64_t hfsPlusBytes(const unsigned char* h) {
    if (!hfsPlusSignature(h)) return -1;
    std::uint64_t blockSize = be32(h + 40);
    if (!isPowerOfTwo(blockSize) || blockSize < 512) return -1;
    return clampSize(blockSize * be32(h + 44));
}

std::string format(const char* pattern, long long value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}
std::string formatInt(const char* pattern, int value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

int lastError() {
    return errno != 0 ? errno : EIO;
}

}  // namespace

VolumeStart fatBootSector(const unsigned char* b) {
    if (b[510] != 0x55 || b[511] != 0xAA) return {};
    if (b[0] != 0xEB && b[0] != 0xE9) return {};
    unsigned bytesPerSector = le16(b + 11), sectorsPerCluster = b[13];
    unsigned reserved = le16(b + 14), fats = b[16], rootEntries = le16(b + 17);
    unsigned media = b[21];
    if (!isPowerOfTwo(bytesPerSector) || bytesPerSector < 512 || bytesPerSector > 4096) return {};
    if (!isPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > 128) return {};
    if (reserved < 1 || fats < 1 || fats > 2) return {};
    if (media != 0xF0 && media < 0xF8) return {};
    std::uint32_t total16 = le16(b + 19), total32 = le32(b + 32);
    std::uint32_t fatSize16 = le16(b + 22);
    std::uint64_t total, fatSectors;
    std::string kind;
    if (fatSize16 == 0) {
        // FAT32: the FAT size and the totals live in the 32-bit fields only.
        fatSectors = le32(b + 36);
        if (fatSectors == 0 || rootEntries != 0 || total16 != 0) return {};
        total = total32;
        kind = "FAT32";
    } else {
        if (rootEntries == 0) return {};
        fatSectors = fatSize16;
        total = total16 != 0 ? total16 : total32;
        kind = "FAT16";
    }
    std::uint64_t rootSectors = (rootEntries * 32ull + bytesPerSector - 1) / bytesPerSector;
    if (total <= reserved + fats * fatSectors + rootSectors) return {};
    return {kind, static_cast<std::int64_t>(total * bytesPerSector)};
}

VolumeStart extSuperblock(const unsigned char* s, bool primaryOnly) {
    if (le16(s + 56) != 0xEF53) return {};
    std::uint32_t logBlock = le32(s + 24);
    if (logBlock > 6) return {};
    std::uint64_t blockSize = 1024u << logBlock;
    if (le32(s + 0) == 0 || le32(s + 32) == 0 || le32(s + 40) == 0) return {};
    if (le32(s + 20) != (logBlock == 0 ? 1u : 0u)) return {};
    if (le32(s + 76) > 1) return {};
    if (primaryOnly && le16(s + 90) != 0) return {};
    std::uint64_t blocks = le32(s + 4);
    if (le32(s + 96) & 0x80) blocks |= static_cast<std::uint64_t>(le32(s + 0x150)) << 32;
    if (blocks == 0 || blocks >= kMaxSizeBytes / blockSize) return {};
    return {"extX", static_cast<std::int64_t>(blocks * blockSize)};
}

VolumeStart decideVolumeStart(const unsigned char* b) {
    std::int64_t n = ntfsSectors(b, false);
    if (n >= 0) return {"NTFS", n * 512};
    VolumeStart fat = fatBootSector(b);
    if (!fat.fileSystem.empty()) return fat;
    std::int64_t x = exfatBytes(b);
    if (x >= 0) return {"FAT64", x};
    VolumeStart ext = extSuperblock(b + 1024, true);
    if (!ext.fileSystem.empty()) return ext;
    std::int64_t h = hfsPlusBytes(b + 1024);
    if (h >= 0) return {"HFS+", h};
    return {};
}

SectorHit examineSector(const unsigned char* s) {
    SectorHit hit;
    if (s[0] == 0xEB || s[0] == 0xE9) {
        std::int64_t n = ntfsSectors(s, true);
        if (n >= 0) {
            // The volume's last sector holds the backup boot sector, past the recorded count.
            hit.fileSystem = "NTFS";
            hit.sizeBytes = n * 512;
            hit.extentSectors = n + 1;
            return hit;
        }
        VolumeStart fat = fatBootSector(s);
        if (!fat.fileSystem.empty()) {
            hit.fileSystem = fat.fileSystem;
            hit.sizeBytes = fat.sizeBytes;
            hit.extentSectors = fat.sizeBytes / 512;
            return hit;
        }
        std::int64_t x = exfatBytes(s);
        if (x >= 0) {
            hit.fileSystem = "FAT64";
            hit.sizeBytes = x;
            hit.extentSectors = x / 512;
        }
        return hit;
    }
    std::int64_t h = hfsPlusBytes(s);
    if (h >= 0) {
        hit.fileSystem = "HFS+";
        hit.sizeBytes = h;
        hit.startOffset = -2;
        hit.extentSectors = h / 512;
        return hit;
    }
    VolumeStart ext = extSuperblock(s, true);
    if (!ext.fileSystem.empty()) {
        hit.fileSystem = "extX";
        hit.sizeBytes = ext.sizeBytes;
        hit.startOffset = -2;
        hit.extentSectors = ext.sizeBytes / 512;
    }
    return hit;
}

bool isExfatBootSector(readWriteInterface& reader, std::int64_t sector) {
    unsigned char b[512];
    if (!reader.readAt(sector * 512, b, sizeof b)) return false;
    return fatLikeJump(b) && std::memcmp(b + 3, "EXFA", 4) == 0;
}

bool isHfsPlusHeader(readWriteInterface& reader, std::int64_t sector) {
    unsigned char b[512];
    if (!reader.readAt((sector + 2) * 512, b, sizeof b)) return false;
    return hfsPlusSignature(b);
}

void Partition::status(const std::string& text) {
    if (statusLine) statusLine->setStatusText(text);
}

void Partition::append(const std::string& fileSystem, const std::string& sizeText,
                       std::int64_t start) {
    VolumeDescriptor v;
    v.fileSystem = fileSystem;
    v.devicePath = std::to_string(volumes.size());
    v.sizeText = sizeText;
    v.startSector = start;
    volumes.push_back(v);
}

int Partition::walkPartitionTables(readWriteInterface& reader) {
    volumes.clear();
    reader.baseOffset = 0;
    unsigned char first[1024];
    bool ok = reader.readAt(0, first, sizeof first);
    if (ok && gptMode) return walkGpt(reader, first);
    return walkMbr(reader);
}

int Partition::walkGpt(readWriteInterface& reader, const unsigned char* first) {
    const unsigned char* header = first + 512;
    // The header's own geometry of the entry array; the usual 128 x 128 bytes at LBA 2 when
    // the header gives nothing usable.
    std::uint64_t arrayLba = le64(header + 72);
    std::uint32_t count = le32(header + 80), entrySize = le32(header + 84);
    if (arrayLba < 2 || arrayLba >= (std::uint64_t{1} << 54)) arrayLba = 2;
    if (entrySize < 128 || entrySize > 4096 || entrySize % 8 != 0) entrySize = 128;
    if (count == 0 || count > 4096) count = 128;

    std::vector<unsigned char> array(static_cast<std::size_t>(count) * entrySize);
    if (!reader.readAt(static_cast<std::int64_t>(arrayLba) * 512, array.data(),
                       static_cast<std::uint32_t>(array.size())))
        return lastError();

    int ntfsCount = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const unsigned char* e = array.data() + static_cast<std::size_t>(k) * entrySize;
        // An all-zero type marks an unused slot; later slots may still be in use.
        static const unsigned char kUnused[16] = {};
        if (std::memcmp(e, kUnused, 16) == 0) continue;
        std::uint64_t firstLba = le64(e + 32), lastLba = le64(e + 40);
        if (firstLba <= 2 || firstLba >= (std::uint64_t{1} << 54)) continue;
        std::int64_t start = static_cast<std::int64_t>(firstLba);

        unsigned char b[1536] = {};
        if (!reader.readAt(start * 512, b, 512)) return lastError();
        if (!reader.readAt(start * 512 + 512, b + 512, 1024)) std::memset(b + 512, 0, 1024);

        std::u16string nameUnits = utf16leUnits(e + 56, 36);
        std::size_t nul = nameUnits.find(u'\0');
        if (nul != std::u16string::npos) nameUnits.resize(nul);
        std::string name = utf16ToUtf8(nameUnits);
        if (name == "Microsoft reserved partition") continue;

        VolumeStart found = decideVolumeStart(b);
        std::int64_t mib = found.sizeBytes / kBlockBytes;
        if (found.fileSystem == "NTFS") {
            if (mib > 0) {
                append("NTFS", formatInt("%d   MB", static_cast<int>(mib)), start);
                status(formatInt("found NTFS %d...", ++ntfsCount));
            }
        } else if (found.fileSystem == "FAT32" || found.fileSystem == "FAT16" ||
                   found.fileSystem == "FAT64" || found.fileSystem == "extX") {
            if (found.fileSystem == "FAT32") status("found FAT 32...");
            if (found.fileSystem == "FAT16") status("found FAT 16...");
            if (found.fileSystem == "FAT64") status("found FAT 64...");
            if (found.fileSystem == "extX") status("found extX...");
            if (mib > 0) append(found.fileSystem, format("%lld  MB", mib), start);
        } else {
            std::string fs = found.fileSystem == "HFS+" ? "HFS+" : name;
            long long size =
                lastLba > firstLba ? static_cast<long long>((lastLba - firstLba) / 2048) : 0;
            append(fs, format("%lld", size), start);
            continue;
        }
        if (stopRequested.requested()) return 0;
    }
    return 0;
}

int Partition::walkMbr(readWriteInterface& reader) {
    unsigned char table[512];
    if (!reader.readAt(0, table, sizeof table)) return lastError();

    int ntfsCount = 0;
    std::string lastNtfsText;
    // Content decides where the type byte names nothing we read.
    auto probeContent = [&](std::int64_t start) {
        unsigned char b[1536] = {};
        if (!reader.readAt(start * 512, b, 512)) return std::string();
        if (!reader.readAt(start * 512 + 512, b + 512, 1024)) std::memset(b + 512, 0, 1024);
        return decideVolumeStart(b).fileSystem;
    };
    auto decide = [&](unsigned type, std::int64_t start, bool logical) -> std::string {
        switch (type) {
            case 0x01:
                return "FAT12";
            case 0x04:
            case 0x06:
            case 0x0E:
                status("found FAT 16...");
                return "FAT16";
            case 0x07:
                if (isExfatBootSector(reader, start)) {
                    status("found FAT64...");
                    if (!logical) status(lastNtfsText);
                    return "FAT64";
                }
                if (logical) {
                    status("found NTFS...");
                } else {
                    lastNtfsText = formatInt("found NTFS %d...", ++ntfsCount);
                    status(lastNtfsText);
                }
                return "NTFS";
            case 0x0B:
            case 0x0C:
                status("found FAT 32...");
                return "FAT32";
            case 0x83:
                status(logical ? "found extx..." : "found ext2...");
                return "extX";
            case 0x42:
                if (!logical) {
                    status("NTFS...");
                    return "NTFS";
                }
                break;
            default:
                break;
        }
        std::string content = probeContent(start);
        if (content == "extX") {
            status(logical ? "found extx..." : "found ext2...");
            return "extX";
        }
        status("found UNKNOWN...");
        return content.empty() ? "Unknown" : content;
    };

    // Empty slots are skipped, not taken as the end: deleting a partition leaves a hole.
    std::int64_t extendedStart = -1;
    for (int k = 0; k < 4; ++k) {
        const unsigned char* e = table + 446 + 16 * k;
        unsigned type = e[4];
        if (type == 0) continue;
        if (type == 0x05 || type == 0x0F) {
            if (extendedStart < 0) extendedStart = le32(e + 8);
            continue;
        }
        std::int64_t start = le32(e + 8);
        long long mib = le32(e + 12) >> 11;
        std::string fs = decide(type, start, false);
        append(fs, format("%lld   MB", mib), start);
    }
    if (extendedStart < 0) return 0;

    std::int64_t link = 0;
    for (int record = 0; record < 50; ++record) {
        if (stopRequested.requested()) return 0;
        reader.baseOffset = 0;
        unsigned char ebr[512];
        if (!reader.readAt((extendedStart + link) * 512, ebr, sizeof ebr)) return lastError();
        bool linked = false;
        std::int64_t next = 0;
        for (int k = 0; k < 4; ++k) {
            const unsigned char* e = ebr + 446 + 16 * k;
            unsigned type = e[4];
            if (type == 0x05 || type == 0x0F) {
                linked = true;
                next = le32(e + 8);
                break;
            }
            // A record whose logical slot was emptied may still link on to the next one.
            if (type == 0) continue;
            std::int64_t start = extendedStart + link + le32(e + 8);
            std::string fs = decide(type, start, true);
            append(fs, formatInt("%d   MB", static_cast<int>(le32(e + 12) >> 11)), start);
        }
        if (!linked) break;
        link = next;
    }
    return 0;
}

int Partition::scanForVolumes(readWriteInterface& reader) {
    stopRequested.clear();
    if (owner) owner->setFilterEnabled(false);
    status("Scanning partition.....");
    volumes.clear();

    const std::int64_t total =
        totalSectors >= 0 ? totalSectors : CKestrumApp::instance().totalSectors.load();
    const std::int64_t endSector = customEndSector > 0 ? customEndSector : 0;
    std::int64_t current = customStartSector > 0 ? customStartSector : 0;
    std::int64_t savedBase = reader.baseOffset;
    reader.baseOffset = 0;
    if (statusLine) statusLine->setProgressRange(1000);

    std::vector<unsigned char> block(static_cast<std::size_t>(kBlockBytes), 0);
    int result = 1;
    int hits = 0, ntfsHits = 0;

    auto add = [&](const std::string& fs, const std::string& sizeText, std::int64_t start) {
        VolumeDescriptor v;
        v.fileSystem = fs;
        v.devicePath = std::to_string(hits++);
        v.sizeText = sizeText;
        v.startSector = start;
        volumes.push_back(v);
        if (owner) owner->volumeFound(v);
    };

    while (current < total) {
        // A block that starts at or before the end sector is scanned whole.
        if (endSector > 0 && endSector < current) break;
        // The last block of a drive may be short; only what was read is examined.
        std::int64_t slots = std::min(kBlockSectors, total - current);
        errno = 0;
        if (!reader.readAt(current * 512, block.data(), static_cast<std::uint32_t>(slots * 512))) {
            result = lastError();
            break;
        }
        std::int64_t i = 0;
        bool stopped = false;
        for (; i < slots; ++i) {
            if (stopRequested.requested()) {
                stopped = true;
                break;
            }
            const unsigned char* s = block.data() + i * 512;
            // Cheap rejection first: nearly every sector is none of these.
            if (s[0] != 0xEB && s[0] != 0xE9 && s[0] != 'H' && !(s[56] == 0x53 && s[57] == 0xEF))
                continue;
            SectorHit hit = examineSector(s);
            if (hit.fileSystem.empty()) continue;
            std::int64_t start = current + i + hit.startOffset;
            if (start < 0) continue;
            std::int64_t mib = hit.sizeBytes / kBlockBytes;
            bool jump = false;
            if (hit.fileSystem == "NTFS") {
                if (mib > 0) {
                    add("NTFS", formatInt("%d   MB", static_cast<int>(mib)), start);
                    status(formatInt("found NTFS %d...", ++ntfsHits));
                    jump = true;
                }
            } else if (hit.fileSystem == "HFS+") {
                if (mib >= 1 && mib <= 20971519) {
                    status("found HFS+...");
                    add("HFS+", format("%lld  MB", mib), start);
                }
                jump = mib > 0;
            } else {
                if (hit.fileSystem == "FAT32") status("found FAT 32...");
                if (hit.fileSystem == "FAT16") status("found FAT 16...");
                if (hit.fileSystem == "FAT64") status("found FAT 64...");
                if (hit.fileSystem == "extX") status("found extX...");
                if (mib > 0) {
                    add(hit.fileSystem, format("%lld  MB", mib), start);
                    jump = true;
                }
            }
            // Go on at the first sector after the volume's extent (measured from its start).
            if (jump && skipVolumeExtent) {
                std::int64_t resume = start + hit.extentSectors - current - 1;
                if (resume > i) i = resume;
            }
            if (stopRequested.requested()) {
                stopped = true;
                break;
            }
        }
        if (stopped) {
            status("Scanned Partitions");
            break;
        }
        current += i;
        if (statusLine && total > 0) {
            double ratio =
                static_cast<double>(std::min(current, total)) / static_cast<double>(total);
            statusLine->setProgressPosition(static_cast<std::int64_t>(std::floor(ratio * 1000)));
        }
    }
    reader.baseOffset = savedBase;
    if (owner) owner->setFilterEnabled(true);
    return result;
}

}  // namespace vel
