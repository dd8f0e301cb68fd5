#include "partition/Partition.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "fs/common/Endian.h"
#include "fs/exfat/ExfatLayout.h"
#include "fs/hfsplus/HfsProbe.h"
#include "platform/Text.h"

namespace vel {

namespace {

constexpr std::int64_t kBlockBytes = 1 << 20;
constexpr std::int64_t kBlockSectors = kBlockBytes / 512;

std::string format(const std::string& pattern, long long value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern.c_str(), value);
    return text;
}

// A table that cannot be read: the walk ends with the device's error.
int lastError() {
    return EIO;
}

}  // namespace

bool isExfatBootSector(const readWriteInterface& reader, std::int64_t sector) {
    unsigned char b[512];
    if (!reader.readAt(sectorsToBytes(sector), b, sizeof b)) return false;
    return exfat::parseBootSector(b).has_value();
}

bool isHfsPlusHeader(const readWriteInterface& reader, std::int64_t sector) {
    unsigned char b[512];
    if (!reader.readAt(sectorsToBytes(sector) + 1024, b, sizeof b)) return false;
    return hfsPlusVolumeBytes(b) >= 0;
}

VolumeStart probeVolumeStart(const readWriteInterface& reader, std::int64_t sector,
                             const FileSystemTable& table) {
    unsigned char b[1536];
    if (reader.readAt(sectorsToBytes(sector), b, sizeof b).inSource < 512) return {};
    return table.probe(b);
}

void Partition::status(const std::string& text) {
    if (statusLine) statusLine->setStatusText(text);
}

std::string Partition::countedStatus(const std::string& text, const std::string& row) {
    if (text.find("%d") == std::string::npos) return text;
    auto it =
        std::find_if(counts_.begin(), counts_.end(), [&](const auto& c) { return c.first == row; });
    if (it == counts_.end()) it = counts_.insert(counts_.end(), {row, 0});
    return format(text, ++it->second);
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

int Partition::walkPartitionTables(const readWriteInterface& reader) {
    volumes.clear();
    counts_.clear();
    unsigned char first[1024];
    bool ok = static_cast<bool>(reader.readAt(0, first, sizeof first));
    if (ok && gptMode) return walkGpt(reader, first);
    return walkMbr(reader);
}

int Partition::walkGpt(const readWriteInterface& reader, const unsigned char* first) {
    const unsigned char* header = first + 512;
    // The header's own geometry of the entry array; the usual 128 x 128 bytes at LBA 2 when
    // the header gives nothing usable.
    std::uint64_t arrayLba = le64(header + 72);
    std::uint32_t count = le32(header + 80), entrySize = le32(header + 84);
    if (arrayLba < 2 || arrayLba >= (std::uint64_t{1} << 54)) arrayLba = 2;
    if (entrySize < 128 || entrySize > 4096 || entrySize % 8 != 0) entrySize = 128;
    if (count == 0 || count > 4096) count = 128;

    std::vector<unsigned char> array(static_cast<std::size_t>(count) * entrySize);
    if (!reader.readAt(static_cast<std::int64_t>(arrayLba) * 512, array.data(), array.size()))
        return lastError();

    for (std::uint32_t k = 0; k < count; ++k) {
        const unsigned char* e = array.data() + static_cast<std::size_t>(k) * entrySize;
        // An all-zero type marks an unused slot; later slots may still be in use.
        static const unsigned char kUnused[16] = {};
        if (std::memcmp(e, kUnused, 16) == 0) continue;
        std::uint64_t firstLba = le64(e + 32), lastLba = le64(e + 40);
        if (firstLba <= 2 || firstLba >= (std::uint64_t{1} << 54)) continue;
        std::int64_t start = static_cast<std::int64_t>(firstLba);

        unsigned char b[1536];
        if (reader.readAt(start * 512, b, sizeof b).inSource < 512) return lastError();

        std::u16string nameUnits = utf16leUnits(e + 56, 36);
        std::size_t nul = nameUnits.find(u'\0');
        if (nul != std::u16string::npos) nameUnits.resize(nul);
        std::string name = utf16ToUtf8(nameUnits);
        if (name == "Microsoft reserved partition") continue;

        VolumeStart found = table->probe(b);
        const FileSystemRow* row = table->find(found.fileSystem);
        if (row && !row->sizeFromGptEntry) {
            std::int64_t mib = found.sizeBytes / kBlockBytes;
            if (mib > 0) {
                append(row->name, format(row->sizeFormat, mib), start);
                status(countedStatus(row->foundStatus, row->name));
            }
            if (stopRequested.requested()) return 0;
            continue;
        }
        // Listed whatever it holds, under the best name there is, with the entry's own size.
        if (!row) row = table->forGptType(e);
        long long size =
            lastLba > firstLba ? static_cast<long long>((lastLba - firstLba) / 2048) : 0;
        append(row ? row->name : name, format("%lld", size), start);
    }
    return 0;
}

int Partition::walkMbr(const readWriteInterface& reader) {
    unsigned char table512[512];
    if (!reader.readAt(0, table512, sizeof table512)) return lastError();

    std::string lastCounted;
    auto decide = [&](unsigned type, std::int64_t start, bool logical) -> std::string {
        unsigned char b[1536];
        const bool readable = reader.readAt(sectorsToBytes(start), b, sizeof b).inSource >= 512;
        const FileSystemRow* row =
            table->forMbrType(static_cast<std::uint8_t>(type), logical, readable ? b : nullptr);
        std::uint8_t typeByte = static_cast<std::uint8_t>(type);
        if (!row && readable) {
            // The type names nothing we read: the content decides.
            VolumeStart content = table->probe(b);
            const FileSystemRow* found = table->find(content.fileSystem);
            if (found && !found->mbrTypes.empty()) {
                row = found;
                typeByte = found->mbrTypes.front().type;
            } else {
                status("found UNKNOWN...");
                return content.fileSystem.empty() ? "Unknown" : content.fileSystem;
            }
        }
        if (!row) {
            status("found UNKNOWN...");
            return "Unknown";
        }
        const MbrType* t = table->mbrType(*row, typeByte);
        std::string text = logical ? t->logicalStatus : t->primaryStatus;
        if (!text.empty()) {
            text = countedStatus(text, row->name);
            status(text);
            if (!logical && text != t->primaryStatus) lastCounted = text;
        }
        // A shared type byte took a probe: the count of the other holder comes back.
        if (t->needsProbe && !logical) status(lastCounted);
        return row->name;
    };

    // Empty slots are skipped, not taken as the end: deleting a partition leaves a hole.
    std::int64_t extendedStart = -1;
    for (int k = 0; k < 4; ++k) {
        const unsigned char* e = table512 + 446 + 16 * k;
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
            append(fs, format("%lld   MB", static_cast<long long>(le32(e + 12) >> 11)), start);
        }
        if (!linked) break;
        link = next;
    }
    return 0;
}

int Partition::scanForVolumes(const readWriteInterface& reader) {
    stopRequested.clear();
    if (owner) owner->setFilterEnabled(false);
    status("Scanning partition.....");
    volumes.clear();
    counts_.clear();

    const std::int64_t total = totalSectors >= 0 ? totalSectors : reader.sectorCount();
    const std::int64_t endSector = customEndSector > 0 ? customEndSector : 0;
    std::int64_t current = customStartSector > 0 ? customStartSector : 0;
    if (statusLine) statusLine->setProgressRange(1000);

    std::vector<unsigned char> block(static_cast<std::size_t>(kBlockBytes), 0);
    int hits = 0;

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
        // Unreadable sectors come back as zeros and are remembered by the source.
        reader.readAt(current * 512, block.data(), static_cast<std::size_t>(slots * 512));
        std::int64_t i = 0;
        bool stopped = false;
        for (; i < slots; ++i) {
            if (stopRequested.requested()) {
                stopped = true;
                break;
            }
            const unsigned char* s = block.data() + i * 512;
            SectorHit hit = table->examineSector(s);
            if (hit.fileSystem.empty()) continue;
            std::int64_t start = current + i + hit.startOffset;
            if (start < 0) continue;
            const FileSystemRow* row = table->find(hit.fileSystem);
            std::int64_t mib = hit.sizeBytes / kBlockBytes;
            bool jump = false;
            if (row && mib > 0) {
                if (hit.listed) {
                    add(row->name, format(row->sizeFormat, mib), start);
                    status(countedStatus(row->foundStatus, row->name));
                }
                jump = true;
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
    if (owner) owner->setFilterEnabled(true);
    return 1;
}

}  // namespace vel
