#pragma once
// One exFAT file entry set (file, stream extension and name entries) as the scan found it.
#include <cstdint>
#include <string>

#include "fs/fat/LinkedRecords.h"

namespace vel {

namespace exfat {
inline constexpr std::uint8_t kFileLive = 0x85;
inline constexpr std::uint8_t kFileDeleted = 0x05;
inline constexpr std::uint8_t kStreamLive = 0xC0;
inline constexpr std::uint8_t kStreamDeleted = 0x40;
inline constexpr std::uint8_t kNameLive = 0xC1;
inline constexpr std::uint8_t kNameDeleted = 0x41;

inline constexpr std::uint8_t kAllocationPossible = 0x01;
inline constexpr std::uint8_t kNoFatChain = 0x02;
}  // namespace exfat

struct ExfatEntry {
    std::uint8_t entryType = 0;  // 0x85 live, 0x05 deleted
    std::uint16_t attributes = 0;
    std::uint32_t createTimestamp = 0;
    std::uint32_t modifiedTimestamp = 0;
    std::uint32_t accessedTimestamp = 0;
    std::uint8_t create10ms = 0;
    std::uint8_t modified10ms = 0;
    std::uint8_t createUtcOffset = 0;
    std::uint8_t modifiedUtcOffset = 0;
    std::uint8_t accessedUtcOffset = 0;
    std::uint8_t streamType = 0;  // 0xC0 live, 0x40 deleted, 0 when the set had no stream
    std::uint8_t secondaryFlags = 0;
    std::uint8_t nameLength = 0;  // kept; the name entries decide the name
    std::uint64_t validDataLength = 0;
    std::uint32_t firstCluster = 0;
    std::uint64_t dataLength = 0;
    bool freeClustersAssumed = false;  // deleted, longer than a cluster, its chain cleared
    std::string name;                  // UTF-8, from the name entries
    RecordLinks links;                 // parent, own index, first child, next sibling

    bool deleted() const { return entryType == exfat::kFileDeleted; }
    bool usesFatChain() const { return (secondaryFlags & exfat::kNoFatChain) == 0; }
};

}  // namespace vel
