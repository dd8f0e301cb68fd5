#pragma once
// The advanced modes of the FAT-family parsers: how a FAT, a cluster heap and a directory entry
// look when no boot sector says where they are, and how the cluster size and the data start are
// measured from the folders found. Decoders over byte buffers; the slot tests read the 32 bytes
// they are given, the sector tests 512.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "device/readWriteInterface.h"
#include "scan/WorkerControl.h"

namespace vel::fatadv {

inline constexpr std::size_t kSector = 512;
// The volume is searched in reads of this size.
inline constexpr std::size_t kSearchChunk = 10485760;
// At most this many entry candidates are kept: 512 MiB of slots, beyond any real directory tree.
inline constexpr std::size_t kMaxEntryCandidates = std::size_t{1} << 24;
// At most this many folder starts are kept to measure the geometry from.
inline constexpr std::size_t kMaxVotes = 4096;

// Which table a sector may begin.
enum class TableKind { Fat16, Fat32, Exfat };

// Whether a sector starts like the first sector of a FAT: the media entry and an end-of-chain
// entry. FAT32's reserved top bits and the two state flags of its second entry may be either
// way (formatters differ, and drivers clear the flags while mounted).
bool fatStartSignature(const std::uint8_t* sector, TableKind kind);
// exFAT: a sector that starts with eight 0xFF bytes, as the heap's first cluster (the
// allocation bitmap) does on a volume whose first 64 clusters are in use.
bool heapStartSignature(const std::uint8_t* sector);
// The first bytes of an exFAT up-case table, which maps the first characters to themselves.
bool upcaseTableSignature(const std::uint8_t* sector);

// A FAT folder's first cluster begins with its "." and ".." entries; the "." entry names the
// folder's own first cluster. That cluster, or none for any other sector.
std::optional<std::uint32_t> dotEntryCluster(const std::uint8_t* sector);

// DOS dates (day 1-31, month 1-12) and times (hour < 24, minute < 60, two-second count < 30).
bool validDosDate(std::uint16_t date);
bool validDosTime(std::uint16_t time);

// The entry scan's tests of a 32-byte slot; clusterCount is one past the highest cluster number.
bool acceptFat32Slot(const std::uint8_t* slot, std::uint32_t clusterCount);
bool acceptFat16Slot(const std::uint8_t* slot, std::uint32_t clusterCount);
// A slot that marks the FAT32 root: its volume label or its recycle-bin folder.
bool fat32RootMark(const std::uint8_t* slot);

// A place where a known cluster begins: the byte position found and the cluster number it holds.
struct ClusterVote {
    std::int64_t position = 0;
    std::uint32_t cluster = 0;
};

// The data start (the position of cluster 2) that most votes agree on for one cluster size.
struct GeometryGuess {
    std::uint32_t clusterBytes = 0;
    std::int64_t dataStart = -1;  // -1: no vote fits
    std::size_t agreeing = 0;
};

// For each vote, position - (cluster - 2) x clusterBytes is a data start; the one met most often
// at or after minStart wins (preferStart on a tie, then the earliest). Votes naming cluster 0 or
// 1 are ignored.
GeometryGuess bestDataStart(const std::vector<ClusterVote>& votes, std::uint32_t clusterBytes,
                            std::int64_t minStart, std::int64_t preferStart = -1);

// The cluster sizes tried, best first: more agreeing votes, then a data start equal to
// preferStart, then the order given.
std::vector<GeometryGuess> rankClusterSizes(const std::vector<ClusterVote>& votes,
                                            const std::vector<std::uint32_t>& clusterBytes,
                                            std::int64_t minStart, std::int64_t preferStart = -1);

// Reads [0, size) of the volume in chunks of kSearchChunk and hands every 512-byte sector to
// onSector (position, bytes) until it returns false. onChunk (chunk index) runs before each read
// and ends the walk when it returns false; so does stop. A chunk read short is seen with zeros
// where nothing was read. Returns the number of chunks read.
std::uint64_t walkSectors(const readWriteInterface& volume, std::uint64_t size,
                          const StopFlag& stop, const std::function<bool(std::uint64_t)>& onChunk,
                          const std::function<bool(std::int64_t, const std::uint8_t*)>& onSector);

// The byte count a search covers: the descriptor's size, else the source's, never past the
// source's end when that is known.
std::uint64_t searchBytes(std::int64_t descriptorBytes, const readWriteInterface* volume);

}  // namespace vel::fatadv
