#pragma once
// What the deep scan knows of the MFT records it found anywhere on a volume, and how it sorts
// them into MFT copies: the MFT each $MFT record's runs describe (up to its data size, so the
// records of an older format beyond a newer, smaller MFT stay apart), its mirror's copies of the
// first records (kept once), and the remaining records grouped by where their record 0 would lie.
// Within a copy record numbers are unique, so parent references can be followed. The decoders
// here read fixed-up record buffers of recordSize bytes and never leave them.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/ntfs/NtfsRecord.h"

namespace vel::ntfsdeep {

inline constexpr std::uint32_t kRootRecord = 5;
inline constexpr std::uint32_t kNoCopy = 0xFFFFFFFF;    // a duplicate: not shown
inline constexpr std::uint32_t kNoNumber = 0xFFFFFFFF;  // the record does not say its number

// One record the deep scan found (named or not: unnamed ones hold extents of named ones).
struct FoundRecord {
    std::uint64_t offset = 0;  // in the volume
    std::uint32_t recordSize = ntfsfmt::kRecordSize;
    std::uint32_t number = kNoNumber;  // as its header records it
    std::uint16_t sequence = 0;
    std::uint16_t parentSequence = 0;  // of its name's parent reference
    std::uint64_t clusterSize = 0;     // told by its own attributes; 0 when they do not tell
    std::int64_t dataLcn = -1;         // first cluster of its unnamed $DATA; -1 none
    std::uint64_t hash = 0;            // of its fixed-up bytes
    std::int64_t entry = -1;           // its entry when it has a name
    bool hasAttributeList = false;
};

// A record named "$MFT" with the runs of its data: the description of one MFT.
struct MftSighting {
    std::size_t record = 0;  // in the found records
    std::vector<ntfsfmt::DataRun> runs;
    std::uint64_t dataSize = 0;  // bytes of the MFT
    std::uint64_t created = 0;   // its name's creation time: when the volume was formatted
};

enum class ClusterSource { MftRecord, Records, Assumed };

struct Copy {
    std::uint64_t clusterSize = 0;
    std::uint64_t origin = 0;  // where its file system starts in the volume (cluster 0)
    ClusterSource source = ClusterSource::Assumed;
    std::uint64_t firstOffset = 0;  // of its first named record
    std::uint64_t records = 0;      // named records shown
    bool numbered = true;           // false: the records that do not say their numbers
    std::unordered_map<std::uint32_t, std::uint32_t> byNumber;  // record number -> found record
    std::int64_t find(std::uint32_t number) const {
        auto it = byNumber.find(number);
        return it == byNumber.end() ? -1 : static_cast<std::int64_t>(it->second);
    }
};

struct Grouping {
    std::vector<Copy> copies;
    std::vector<std::uint32_t> copyOf;    // per found record; kNoCopy for duplicates
    std::vector<std::uint32_t> numberOf;  // per found record: its number in its copy
};

// The deep scan's records and copies, kept beside the parser's entries.
struct DeepIndex {
    std::vector<FoundRecord> found;
    std::vector<MftSighting> mfts;
    Grouping grouping;
    std::vector<std::int64_t> foundOfEntry;  // per entry: its found record, -1 for none
    std::vector<std::string> copyLabels;     // per copy: the folder it shows as
    bool grouped = false;
    std::int64_t foundOf(std::int64_t entry) const {
        return entry >= 0 && static_cast<std::size_t>(entry) < foundOfEntry.size()
                   ? foundOfEntry[static_cast<std::size_t>(entry)]
                   : -1;
    }
};

// Sorts records found in increasing offset order into copies. fallbackClusterSize serves copies
// whose records do not tell theirs.
Grouping groupRecords(const std::vector<FoundRecord>& found, const std::vector<MftSighting>& mfts,
                      std::uint64_t fallbackClusterSize);

// The cluster size a record's non-resident attributes imply (allocated size over the clusters
// of their one extent), or 0 when they imply none or disagree.
std::uint64_t clusterSizeTold(const std::uint8_t* record, std::uint32_t recordSize);

std::uint64_t recordHash(const std::uint8_t* record, std::uint32_t recordSize);

// Where a copy lies and why its cluster size is what it is, for the status line.
std::string describeCopy(const Copy& copy, const std::string& label);

}  // namespace vel::ntfsdeep
