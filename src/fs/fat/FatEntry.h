#pragma once
// FAT directory entries: the record kept per entry and the decoding rules for names and times.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fs/fat/LinkedRecords.h"
#include "platform/FileTimes.h"
#include "scan/Formats.h"

namespace vel {

inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::uint8_t kDeletedMark = 0xE5;
inline constexpr std::uint8_t kAttrReadOnly = 0x01;
inline constexpr std::uint8_t kAttrHidden = 0x02;
inline constexpr std::uint8_t kAttrSystem = 0x04;
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kAttrArchive = 0x20;
inline constexpr std::uint8_t kAttrLongName = 0x0F;
// A long name has at most 20 fragments of 13 UTF-16 units (255 characters).
inline constexpr std::size_t kMaxLongNameFragments = 20;

// One decoded directory entry, live or deleted.
struct FatEntry {
    std::uint8_t attributes = 0;
    std::uint8_t creationTenths = 0;
    std::uint16_t creationTime = 0;
    std::uint16_t creationDate = 0;
    std::uint16_t accessDate = 0;
    std::uint16_t firstClusterHigh = 0;
    std::uint16_t writeTime = 0;
    std::uint16_t writeDate = 0;
    std::uint16_t firstClusterLow = 0;
    std::uint32_t size = 0;
    bool deleted = false;
    bool freeClustersAssumed = false;  // deleted, longer than a cluster, its chain cleared
    std::string name;                  // UTF-8
    RecordLinks links;

    std::uint32_t firstCluster() const {
        return (static_cast<std::uint32_t>(firstClusterHigh) << 16) | firstClusterLow;
    }
    bool isFolder() const { return (attributes & kAttrDirectory) != 0; }
};

// What a 32-byte slot holds.
enum class FatSlot { End, LongName, Dot, VolumeLabel, Folder, File };
FatSlot classifySlot(const std::uint8_t* slot);

// The fields of a short entry (everything but the name).
FatEntry entryFields(const std::uint8_t* slot);

// 11 single-byte characters (8 + 3) in display form: "README  TXT" gives "README.TXT".
std::string format83Name(const std::string& eleven);
// A short entry's display name (UTF-8): formatted, the lower-case flags of byte 12 applied,
// and the first character of a deleted entry shown as U+FFE5.
std::string shortEntryName(const std::uint8_t* slot);
// Checksum of the 11 short-name bytes that long-name fragments carry.
std::uint8_t shortNameChecksum(const std::uint8_t* slot);

// Gathers the long-name fragments that stand before a short entry.
class LongNameBuilder {
  public:
    void reset();
    void addFragment(const std::uint8_t* slot);
    bool pending() const { return !fragments_.empty(); }
    bool deleted() const { return deleted_; }
    // The joined name (UTF-8) when the gathered fragments belong to this short entry: the same
    // state (live or deleted) and, for live ones, the short name's checksum. Clears the state.
    std::optional<std::string> takeFor(const std::uint8_t* shortSlot);
    // The fragments joined, nearest to the short entry first, each up to its first NUL.
    std::u16string joined() const;

  private:
    std::vector<std::u16string> fragments_;  // in disk order
    bool deleted_ = false;
    bool checksumsAgree_ = true;
    std::uint8_t checksum_ = 0;
};

// DOS date and time (local calendar time as recorded).
CalendarTime dosCalendar(std::uint16_t date, std::uint16_t time);
// The host time the DOS values denote, taken as UTC without conversion; none for an invalid date.
std::optional<HostTime> dosHostTime(std::uint16_t date, std::uint16_t time);
// The list's texts: creation, access (date only), modification and attribute letters.
EntryColumns fatEntryColumns(const FatEntry& e);

}  // namespace vel
