#include "fs/common/FileSystemTable.h"

#include <algorithm>
#include <cstdio>

#include "fs/exfat/Fat64Class.h"
#include "fs/ext/ExtProbe.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"
#include "fs/hfsplus/HfsProbe.h"
#include "fs/ntfs/ntfs.h"
#include "scan/VolumeParser.h"

namespace vel {

GptTypeGuid gptGuid(const char* text) {
    // Text order is the GUID's fields; on disk the first three are little-endian.
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::uint8_t bytes[16] = {};
    int n = 0;
    for (const char* p = text; *p && n < 32; ++p) {
        char c = *p;
        int v = c >= '0' && c <= '9'                     ? c - '0'
                : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                         : -1;
        if (v < 0) continue;
        bytes[n / 2] = static_cast<std::uint8_t>(bytes[n / 2] << 4 | v);
        ++n;
    }
    GptTypeGuid g{};
    for (int i = 0; i < 16; ++i) g[static_cast<std::size_t>(i)] = bytes[kOrder[i]];
    return g;
}

FileSystemTable::FileSystemTable(std::vector<FileSystemRow> rows) : rows_(std::move(rows)) {
    for (const FileSystemRow& r : rows_) {
        for (auto [offset, byte] : r.sectorKeys) {
            auto it = std::find(keyOffsets_.begin(), keyOffsets_.end(), offset);
            std::size_t k = static_cast<std::size_t>(it - keyOffsets_.begin());
            if (it == keyOffsets_.end()) {
                keyOffsets_.push_back(offset);
                keyMasks_.push_back({});
            }
            keyMasks_[k][byte >> 3] |= static_cast<std::uint8_t>(1u << (byte & 7));
        }
    }
}

const FileSystemTable& FileSystemTable::builtin() {
    // Order matters: the probes and the sector tests are tried in it.
    static const FileSystemTable table(
        {ntfsFileSystemRow(), fat32FileSystemRow(), fat16FileSystemRow(), fat12FileSystemRow(),
         exfatFileSystemRow(), extFileSystemRow(), hfsPlusFileSystemRow()});
    return table;
}

const FileSystemRow* FileSystemTable::find(std::string_view name) const {
    for (const FileSystemRow& r : rows_) {
        if (equalsIgnoreCase(std::string(name), r.name)) return &r;
        for (const std::string& a : r.aliases)
            if (equalsIgnoreCase(std::string(name), a)) return &r;
    }
    return nullptr;
}

VolumeStart FileSystemTable::probe(const std::uint8_t* first1536) const {
    for (const FileSystemRow& r : rows_) {
        VolumeStart found;
        if (r.probe && r.probe(first1536, found)) {
            found.fileSystem = r.name;
            return found;
        }
    }
    return {};
}

VolumeStart FileSystemTable::probeVolume(const readWriteInterface& volume,
                                         std::int64_t sizeHintBytes) const {
    std::uint8_t first[1536];
    if (volume.readAt(0, first, sizeof first).inSource >= 512) {
        VolumeStart found = probe(first);
        if (!found.fileSystem.empty()) return found;
    }
    for (const FileSystemRow& r : rows_) {
        if (!r.backupBoot || !r.probe) continue;
        std::uint8_t copy[1536] = {};
        std::int64_t at = r.backupBoot(volume, sizeHintBytes, copy);
        VolumeStart found;
        if (at < 0 || !r.probe(copy, found)) continue;
        found.fileSystem = r.name;
        found.backupOffset = at;
        return found;
    }
    return {};
}

const MbrType* FileSystemTable::mbrType(const FileSystemRow& row, std::uint8_t type) const {
    for (const MbrType& t : row.mbrTypes)
        if (t.type == type) return &t;
    return nullptr;
}

const FileSystemRow* FileSystemTable::forMbrType(std::uint8_t type, bool logical,
                                                 const std::uint8_t* first1536) const {
    // Rows that share a type byte and need their boot sector to tell come first.
    for (int pass = 0; pass < 2; ++pass) {
        for (const FileSystemRow& r : rows_) {
            const MbrType* t = mbrType(r, type);
            if (!t || t->needsProbe != (pass == 0) || (logical && t->primaryOnly)) continue;
            if (t->needsProbe) {
                VolumeStart ignored;
                if (!first1536 || !r.probe || !r.probe(first1536, ignored)) continue;
            }
            return &r;
        }
    }
    return nullptr;
}

const FileSystemRow* FileSystemTable::forGptType(const std::uint8_t* guid) const {
    const FileSystemRow* found = nullptr;
    for (const FileSystemRow& r : rows_) {
        for (const GptTypeGuid& g : r.gptTypes) {
            if (!std::equal(g.begin(), g.end(), guid)) continue;
            if (found && found != &r) return nullptr;
            found = &r;
        }
    }
    return found;
}

SectorHit FileSystemTable::examineSector(const std::uint8_t* sector) const {
    SectorHit hit;
    // Nearly every sector is no boot sector: one look at a few bytes settles it.
    bool candidate = false;
    for (std::size_t k = 0; k < keyOffsets_.size() && !candidate; ++k) {
        std::uint8_t b = sector[keyOffsets_[k]];
        candidate = (keyMasks_[k][b >> 3] >> (b & 7)) & 1;
    }
    if (!candidate) return hit;
    for (const FileSystemRow& r : rows_) {
        if (!r.sectorTest) continue;
        bool keyed = false;
        for (auto [offset, byte] : r.sectorKeys) keyed = keyed || sector[offset] == byte;
        if (!keyed || !r.sectorTest(sector, hit)) continue;
        hit.fileSystem = r.name;
        return hit;
    }
    return SectorHit{};
}

SectorHit FileSystemTable::examineSector(const std::uint8_t* sector, const SectorPeek& peek) const {
    SectorHit hit = examineSector(sector);
    if (hit.fileSystem.empty()) return hit;
    const FileSystemRow* row = find(hit.fileSystem);
    if (row && row->placeHit) row->placeHit(sector, peek, hit);
    return hit;
}

void placeBootCopy(const std::uint8_t* sector, const SectorPeek& peek, std::int64_t distance,
                   const std::function<bool(const std::uint8_t*, const std::uint8_t*)>& same,
                   const std::function<bool(std::int64_t delta)>& fitsAt, SectorHit& hit) {
    if (distance <= 0) return;
    std::uint8_t other[512];
    bool copy;
    if (peek(-distance, other, sizeof other) && same(sector, other))
        copy = true;
    else if (peek(distance, other, sizeof other) && same(sector, other))
        copy = false;
    else
        // The other copy is gone: where the tables are tells. A start both ways fits (or
        // neither) leaves the sector where it is.
        copy = fitsAt(-distance) && !fitsAt(0);
    if (!copy) return;
    hit.startOffset -= distance;
    hit.fromCopy = true;
}

std::string backupBootText(std::int64_t offsetBytes) {
    return "boot sector damaged: read from its backup copy at sector " +
           std::to_string(offsetBytes / 512) + " of the volume";
}

std::unique_ptr<VolumeParser> createParser(const FileSystemTable& table,
                                           const VolumeDescriptor& volume,
                                           const ParserOptions& options) {
    const FileSystemRow* row = table.find(volume.fileSystem);
    if (!row || !row->create) return nullptr;
    return row->create(volume, options);
}

}  // namespace vel
