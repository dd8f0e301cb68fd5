#pragma once
// exFAT on-disk structures decoded from byte buffers: the boot sector, timestamps and the
// entry sets of a directory. Nothing here reads a device, so every rule is testable on bytes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "fs/exfat/ExfatEntry.h"
#include "scan/Formats.h"

namespace vel::exfat {

inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::size_t kNameUnitsPerEntry = 15;
// 255 characters: the longest name an entry set can carry.
inline constexpr std::size_t kMaxNameEntries = 17;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;
// The largest directory the format allows; also the most we read for one.
inline constexpr std::uint64_t kMaxDirectoryBytes = 256ull << 20;

struct BootSector {
    std::uint64_t volumeLength = 0;       // sectors
    std::uint32_t fatOffset = 0;          // sectors
    std::uint32_t clusterHeapOffset = 0;  // sectors
    std::uint32_t clusterCount = 0;
    std::uint32_t rootCluster = 0;
    std::uint8_t bytesPerSectorShift = 0;
    std::uint8_t sectorsPerClusterShift = 0;

    std::uint32_t bytesPerSector() const { return 1u << bytesPerSectorShift; }
    std::uint32_t sectorsPerCluster() const { return 1u << sectorsPerClusterShift; }
    std::uint32_t clusterSize() const { return bytesPerSector() * sectorsPerCluster(); }
};

// The fields of an exFAT boot sector (512 bytes); nullopt unless bytes 3-7 read "EXFAT" and the
// shifts give a sector of 512 to 4096 bytes and a cluster of at most 32 MiB. The parser and the
// partition probes both go by this.
std::optional<BootSector> parseBootSector(const std::uint8_t* sector);

// The boot region: the boot sector, 8 extended boot sectors, the OEM parameters, a reserved
// sector and the checksum sector, in this order; a copy of it follows at sector 12.
inline constexpr std::uint32_t kBootRegionSectors = 12;
inline constexpr std::uint32_t kBackupBootRegion = 12;
// Boot-sector fields that change while the volume is in use: the checksum skips them, and a
// copy may differ from its original there.
inline constexpr std::size_t kVolumeFlags = 106;  // 2 bytes
inline constexpr std::size_t kPercentInUse = 112;
// How far a boot sector and its copy must agree (the fields before the boot code).
inline constexpr std::size_t kBootFieldBytes = 120;

// The checksum of a boot region's first 11 sectors (region holds at least 11 sectors of
// bytesPerSector bytes).
std::uint32_t bootRegionChecksum(const std::uint8_t* region, std::uint32_t bytesPerSector);
// Whether a whole boot region (12 sectors) ends with a checksum sector that matches it.
bool bootRegionChecksumHolds(const std::uint8_t* region, std::uint32_t bytesPerSector);
// Whether two boot sectors agree in every field but those that change in use.
bool sameBootFields(const std::uint8_t* a, const std::uint8_t* b);

// Directory attribute values (exactly these).
bool isDirectoryAttributes(std::uint16_t attributes);

// The calendar time a 32-bit exFAT timestamp denotes (seconds at 2-second resolution).
CalendarTime decodeTimestamp(std::uint32_t timestamp);

// Name entries starting at pos: this one and every directly following name entry (of type
// onlyType when that is given), at most kMaxNameEntries and never past size. Each gives up to 15
// code units, ending at its first 0x0000. pos is left after the gathered entries.
std::u16string gatherName(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                          int onlyType = -1);

// Every file entry set of a directory's bytes, in order. A set without a stream extension has
// no data (its stream fields stay 0); one without name entries has an empty name. Stream and
// name entries belong to a set only when they are in the same state (live or deleted) as its
// file entry, and the name is cut at the stream's name length: the leftovers of an older,
// longer set in reused slots are not part of it.
void walkEntrySets(const std::uint8_t* data, std::size_t size,
                   const std::function<void(const ExfatEntry&)>& visit);

// The advanced scan's test of a file entry at data + offset with everything after it in the
// buffer: a file entry of plausible attributes and clear reserved bytes, a stream extension that
// allows allocation and exactly as many name entries as its name length needs. The slots the
// set takes, or 0 when it is no candidate.
std::size_t candidateEntrySet(const std::uint8_t* data, std::size_t size, std::size_t offset);
// A volume label entry (0x83) whose reserved bytes are clear: the root's first cluster.
bool rootLabelEntry(const std::uint8_t* slot);

}  // namespace vel::exfat
