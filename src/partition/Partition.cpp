#include "partition/Partition.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <set>

#include "fs/common/Endian.h"
#include "fs/exfat/ExfatLayout.h"
#include "fs/hfsplus/HfsProbe.h"
#include "partition/GptLayout.h"
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

std::string foundFromCopyText(const std::string& fileSystem, std::int64_t start,
                              std::int64_t copySector) {
    return fileSystem + " volume at sector " + std::to_string(start) +
           " found from its backup boot sector at sector " + std::to_string(copySector);
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

void Partition::note(const std::string& text) {
    notes.push_back(text);
}

namespace {

// What sector 0 holds as an MBR. A table is only what holds together: the signature, boot flags
// 0x00 or 0x80, and entries that start after sector 0 and end inside the disk (total 0: size
// unknown). A protective entry starts at sector 1 and may claim more than the disk.
struct MbrCheck {
    bool table = false;
    int entries = 0;
    bool protective = false;
    bool onlyProtective = false;
};

MbrCheck checkMbr(const unsigned char* s, std::int64_t total) {
    MbrCheck m;
    if (s[510] != 0x55 || s[511] != 0xAA) return m;
    int others = 0;
    for (int k = 0; k < 4; ++k) {
        const unsigned char* e = s + 446 + 16 * k;
        if (e[4] == 0) continue;
        if (e[0] != 0x00 && e[0] != 0x80) return {};
        const std::int64_t first = le32(e + 8), count = le32(e + 12);
        if (e[4] == gpt::kProtectiveType) {
            if (first != 1) return {};
            m.protective = true;
        } else {
            if (first == 0 || count == 0 || (total > 0 && first + count > total)) return {};
            ++others;
        }
        ++m.entries;
    }
    m.table = true;
    m.onlyProtective = m.protective && others == 0;
    return m;
}

}  // namespace

int Partition::walkPartitionTables(const readWriteInterface& reader) {
    volumes.clear();
    counts_.clear();
    notes.clear();
    sourceIsOneVolume = false;
    const std::int64_t total = totalSectors >= 0 ? totalSectors : reader.sectorCount();
    unsigned char first[512];
    const bool readable = static_cast<bool>(reader.readAt(0, first, sizeof first));
    const int error = readable ? 0 : lastError();

    // A volume formatted without a table starts at sector 0.
    if (readable && listSourceAsVolume(reader, false)) return 0;
    const MbrCheck mbr = readable ? checkMbr(first, total) : MbrCheck{};
    // A GPT is tried when asked for, when the MBR guards one, and when there is no table at all
    // (the guard may be what was wiped); only the last asks for a copy whose checksums hold.
    if (gptMode || mbr.protective || mbr.entries == 0) {
        int gptError = 0;
        if (walkGpt(reader, total, gptMode || mbr.protective, gptError)) return gptError;
        counts_.clear();
    }
    if (mbr.table && mbr.entries > 0 && !mbr.onlyProtective) return walkMbr(reader, first);
    if (listSourceAsVolume(reader, true)) return 0;
    if (mbr.onlyProtective) note("the protective MBR names a GPT, but neither GPT copy is valid");
    status(kNoPartitionTable);
    note(kNoPartitionTable);
    return error;
}

bool Partition::listSourceAsVolume(const readWriteInterface& reader, bool backupsOnly) {
    VolumeStart found;
    if (backupsOnly) {
        const VolumeView whole(&reader, 0);
        found = table->probeVolume(whole, whole.byteSize());
        if (found.backupOffset < 0) return false;
    } else {
        found = probeVolumeStart(reader, 0, *table);
    }
    const FileSystemRow* row = table->find(found.fileSystem);
    if (!row) return false;
    append(row->name, format(row->sizeFormat, found.sizeBytes / kBlockBytes), 0);
    status(countedStatus(row->foundStatus, row->name));
    if (found.backupOffset >= 0) note(foundFromCopyText(row->name, 0, found.backupOffset / 512));
    sourceIsOneVolume = true;
    return true;
}

bool Partition::walkGpt(const readWriteInterface& reader, std::int64_t total, bool forced,
                        int& error) {
    struct Copy {
        gpt::Header header;
        std::vector<unsigned char> array;
        bool arrayHolds = false;
    };
    auto readCopy = [&](std::int64_t lba) -> std::optional<Copy> {
        unsigned char sector[512];
        if (lba < 1 || (total > 0 && lba >= total)) return std::nullopt;
        if (!reader.readAt(lba * 512, sector, sizeof sector)) return std::nullopt;
        auto header = gpt::decodeHeader(sector);
        if (!header || header->myLba != static_cast<std::uint64_t>(lba)) return std::nullopt;
        Copy c{*header, std::vector<unsigned char>(header->arrayBytes()), false};
        c.arrayHolds = reader.readAt(static_cast<std::int64_t>(header->arrayLba) * 512,
                                     c.array.data(), c.array.size()) &&
                       gpt::crc32(c.array.data(), c.array.size()) == header->arrayCrc;
        return c;
    };
    auto whole = [](const std::optional<Copy>& c) {
        return c && c->header.crcHolds && c->arrayHolds;
    };

    std::optional<Copy> primary = readCopy(1), backup;
    if (!whole(primary)) {
        // The backup header is where the primary says, or else in the disk's last sector.
        std::int64_t at = total - 1;
        if (primary && primary->header.crcHolds &&
            primary->header.alternateLba < static_cast<std::uint64_t>(INT64_MAX))
            at = static_cast<std::int64_t>(primary->header.alternateLba);
        backup = readCopy(at);
        if (!backup && at != total - 1) backup = readCopy(total - 1);
    }
    const Copy* use = nullptr;
    if (whole(primary)) {
        use = &*primary;
    } else if (whole(backup)) {
        use = &*backup;
        note("the primary GPT is damaged; the backup GPT at sector " +
             std::to_string(backup->header.myLba) + " was used");
    } else if (forced) {
        // A header that is itself sound is trusted with a damaged array, rather than nothing.
        for (const std::optional<Copy>* c : {&primary, &backup}) {
            if (!use && *c && (*c)->header.crcHolds) {
                use = &**c;
                note("the GPT entry array at sector " + std::to_string(use->header.arrayLba) +
                     " fails its checksum; its entries were read anyway");
            }
        }
    }
    if (use) {
        error = listGptEntries(reader, use->array.data(), use->header.entryCount,
                               use->header.entrySize);
        return true;
    }
    if (!forced) return false;

    // A GPT that no checksum vouches for: read the first header's geometry as it stands, the
    // usual 128 x 128 bytes at LBA 2 where it gives nothing usable. Kept only when it lists
    // something.
    unsigned char header[512];
    reader.readAt(512, header, sizeof header);
    std::uint64_t arrayLba = le64(header + gpt::kArrayLba);
    std::uint32_t count = le32(header + gpt::kEntryCount);
    std::uint32_t entrySize = le32(header + gpt::kEntrySize);
    if (arrayLba < 2 || arrayLba >= (std::uint64_t{1} << 54)) arrayLba = 2;
    if (entrySize < 128 || entrySize > 4096 || entrySize % 8 != 0) entrySize = 128;
    if (count == 0 || count > 4096) count = 128;
    std::vector<unsigned char> array(static_cast<std::size_t>(count) * entrySize);
    reader.readAt(static_cast<std::int64_t>(arrayLba) * 512, array.data(), array.size());
    error = listGptEntries(reader, array.data(), count, entrySize);
    if (volumes.empty()) return false;
    note("no GPT header with a valid checksum; the entries were read as the first header gives");
    return true;
}

int Partition::listGptEntries(const readWriteInterface& reader, const unsigned char* array,
                              std::uint32_t count, std::uint32_t entrySize) {
    for (std::uint32_t k = 0; k < count; ++k) {
        const unsigned char* e = array + static_cast<std::size_t>(k) * entrySize;
        // An all-zero type marks an unused slot; later slots may still be in use.
        static const unsigned char kUnused[16] = {};
        if (std::memcmp(e, kUnused, 16) == 0) continue;
        std::uint64_t firstLba = le64(e + gpt::kEntryFirstLba);
        std::uint64_t lastLba = le64(e + gpt::kEntryLastLba);
        if (firstLba <= 2 || firstLba >= (std::uint64_t{1} << 54)) continue;
        std::int64_t start = static_cast<std::int64_t>(firstLba);

        unsigned char b[1536];
        if (reader.readAt(start * 512, b, sizeof b).inSource < 512) return lastError();

        std::u16string nameUnits = utf16leUnits(e + gpt::kEntryName, 36);
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

int Partition::walkMbr(const readWriteInterface& reader, const unsigned char* table512) {
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
    notes.clear();

    const std::int64_t total = totalSectors >= 0 ? totalSectors : reader.sectorCount();
    const std::int64_t endSector = customEndSector > 0 ? customEndSector : 0;
    std::int64_t current = customStartSector > 0 ? customStartSector : 0;
    if (statusLine) statusLine->setProgressRange(1000);

    std::vector<unsigned char> block(static_cast<std::size_t>(kBlockBytes), 0);
    int hits = 0;
    // A volume is listed once, whether the scan meets its first sector, a copy of it, or both.
    std::set<std::pair<std::int64_t, std::string>> shown;

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
        // Sectors around the one examined: from the block when they lie in it.
        const SectorPeek peek = [&](std::int64_t delta, std::uint8_t* out, std::size_t bytes) {
            const std::int64_t sector = current + i + delta;
            if (sector < 0 || (total > 0 && sector >= total)) return false;
            const std::int64_t inBlock = sector - current;
            if (inBlock >= 0 && (inBlock * 512 + static_cast<std::int64_t>(bytes)) <= slots * 512) {
                std::memcpy(out, block.data() + inBlock * 512, bytes);
                return true;
            }
            return static_cast<bool>(reader.readAt(sector * 512, out, bytes));
        };
        bool stopped = false;
        for (; i < slots; ++i) {
            if (stopRequested.requested()) {
                stopped = true;
                break;
            }
            const unsigned char* s = block.data() + i * 512;
            SectorHit hit = table->examineSector(s, peek);
            if (hit.fileSystem.empty()) continue;
            std::int64_t start = current + i + hit.startOffset;
            if (start < 0) continue;
            const FileSystemRow* row = table->find(hit.fileSystem);
            std::int64_t mib = hit.sizeBytes / kBlockBytes;
            bool jump = false;
            if (row && mib > 0) {
                if (hit.listed && shown.emplace(start, row->name).second) {
                    add(row->name, format(row->sizeFormat, mib), start);
                    status(countedStatus(row->foundStatus, row->name));
                    if (hit.fromCopy) note(foundFromCopyText(row->name, start, current + i));
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
