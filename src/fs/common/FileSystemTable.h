#pragma once
// The file systems the program knows, one row each: how partition tables name them, how their
// first sectors are recognised, how the lost-volume scan finds them and which parser reads them.
// Partition discovery, the volume list, the scan screen and the command line all read this table;
// a new file system is one row here plus its folder under src/fs/.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/VolumeDescriptor.h"
#include "device/readWriteInterface.h"

namespace vel {

class VolumeParser;
struct ParserOptions;

// What a volume's first 1536 bytes show (boot sector, then what lies at byte 1024).
struct VolumeStart {
    std::string fileSystem;      // a row's name, or "" when no row recognises the bytes
    std::int64_t sizeBytes = 0;  // the size they record; 0 when they record none
    // Bytes from the volume's start to the backup boot sector that showed it; -1 when its own
    // first sector did.
    std::int64_t backupOffset = -1;
};

// One 512-byte sector as the lost-volume scan sees it.
struct SectorHit {
    std::string fileSystem;          // "" for no hit
    std::int64_t sizeBytes = 0;      // of the volume
    std::int64_t startOffset = 0;    // the volume starts this many sectors from the sector
    std::int64_t extentSectors = 0;  // sectors the volume covers from its start
    bool listed = true;              // false: skipped over, but not listed
    bool fromCopy = false;           // the sector is a backup copy of the volume's boot sector
};

// The lost-volume scan's look at other sectors: bytes at a distance (in sectors, either way) from
// the sector examined; false when they lie outside the source or cannot be read.
using SectorPeek =
    std::function<bool(std::int64_t sectorDelta, std::uint8_t* out, std::size_t bytes)>;

// A partition type byte naming a row, with the status texts of the table walk ("%d" counts the
// row's partitions in the primary table).
struct MbrType {
    std::uint8_t type = 0;
    std::string primaryStatus;
    std::string logicalStatus;
    bool primaryOnly = false;  // in the extended chain the byte means nothing
    bool needsProbe = false;   // the type is shared: the row must also recognise the boot sector
};

// A GPT partition type GUID as stored on disk (the first three fields little-endian).
using GptTypeGuid = std::array<std::uint8_t, 16>;
GptTypeGuid gptGuid(const char* text);
// Windows basic data: NTFS, FAT and exFAT alike.
inline constexpr const char* kBasicDataGuid = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

struct FileSystemRow {
    std::string name;                  // the system's own name: "NTFS", "FAT32", "extX", ...
    std::vector<std::string> aliases;  // other names for it, case ignored
    std::vector<MbrType> mbrTypes;
    std::vector<GptTypeGuid> gptTypes;  // types that hold only this file system
    // Status text when the GPT walk or the lost-volume scan finds one ("%d" counts them).
    std::string foundStatus;
    std::string sizeFormat = "%lld  MB";  // the volume list's size text from MiB
    // The boot-sector probe over a volume's first 1536 bytes; null for rows found by type only.
    std::function<bool(const std::uint8_t* first1536, VolumeStart& out)> probe;
    // The lost-volume scan: bytes of which one must match at its offset before sectorTest runs.
    std::vector<std::pair<std::uint16_t, std::uint8_t>> sectorKeys;
    std::function<bool(const std::uint8_t* sector, SectorHit& out)> sectorTest;
    // For file systems that keep copies of their boot sector: after sectorTest, decides from
    // the sectors around whether the sector is such a copy and if so moves hit.startOffset back
    // to the volume's true start. Null: every hit starts its volume.
    std::function<void(const std::uint8_t* sector, const SectorPeek& peek, SectorHit& hit)>
        placeHit;
    // A valid backup copy of the boot sector of the volume (read from its first byte) when its
    // first sector is damaged: its byte offset, its first 512 bytes in out; -1 for none.
    // sizeHintBytes: the size the volume is thought to have (0 when unknown). Null: no copies.
    std::function<std::int64_t(const readWriteInterface& volume, std::int64_t sizeHintBytes,
                               std::uint8_t* out)>
        backupBoot;
    // The GPT walk lists such a volume with its entry's size, not its boot sector's.
    bool sizeFromGptEntry = false;
    // The parser; null when none reads this file system yet.
    std::function<std::unique_ptr<VolumeParser>(const VolumeDescriptor&, const ParserOptions&)>
        create;
    std::string selectedStatus;  // the scan screen's status line before the worker starts
    // What the scan-mode screen offers: "ntfs", "fat", "exfat", "ext" or "hfs".
    std::string family;
};

class FileSystemTable {
  public:
    explicit FileSystemTable(std::vector<FileSystemRow> rows);
    // The file systems this program reads.
    static const FileSystemTable& builtin();

    const std::vector<FileSystemRow>& rows() const { return rows_; }
    // The row of a name or alias (case ignored); null when none.
    const FileSystemRow* find(std::string_view name) const;
    // What the first 1536 bytes of a volume show, rows tried in order.
    VolumeStart probe(const std::uint8_t* first1536) const;
    // What a volume shows: its first sectors, or when they show nothing, a backup copy of a
    // boot sector (backupOffset set). sizeHintBytes as for FileSystemRow::backupBoot.
    VolumeStart probeVolume(const readWriteInterface& volume, std::int64_t sizeHintBytes) const;
    // The row an MBR type byte names; first1536 (may be null) decides shared types.
    const FileSystemRow* forMbrType(std::uint8_t type, bool logical,
                                    const std::uint8_t* first1536) const;
    const MbrType* mbrType(const FileSystemRow& row, std::uint8_t type) const;
    // The row a GPT type GUID names; null when it names none or several.
    const FileSystemRow* forGptType(const std::uint8_t* guid) const;
    // The lost-volume scan's test of one sector: cheap key bytes first, then the rows' tests.
    SectorHit examineSector(const std::uint8_t* sector) const;
    // The same, with a look around (peek) that places backup copies at their volume's start.
    SectorHit examineSector(const std::uint8_t* sector, const SectorPeek& peek) const;

  private:
    std::vector<FileSystemRow> rows_;
    std::vector<std::uint16_t> keyOffsets_;
    std::vector<std::array<std::uint8_t, 32>> keyMasks_;  // a 256-bit set per offset
};

// Where the volume of a boot sector starts when the sector may also be its copy `distance`
// sectors after the start: an equal sector (by same) that far before marks it a copy, one that far
// after marks it the first; otherwise the layout behind each possible start decides
// (fitsAt(delta): whether the volume's tables lie where a start at delta sectors puts them), and
// when that does not, the sector is taken as the first.
void placeBootCopy(const std::uint8_t* sector, const SectorPeek& peek, std::int64_t distance,
                   const std::function<bool(const std::uint8_t*, const std::uint8_t*)>& same,
                   const std::function<bool(std::int64_t delta)>& fitsAt, SectorHit& hit);

// "boot sector damaged: read from its backup copy at sector N of the volume".
std::string backupBootText(std::int64_t offsetBytes);

// Makes the parser a descriptor names; null when no row reads it.
std::unique_ptr<VolumeParser> createParser(const FileSystemTable& table,
                                           const VolumeDescriptor& volume,
                                           const ParserOptions& options);

}  // namespace vel
