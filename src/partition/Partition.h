#pragma once
// Finding a drive's volumes: from its partition tables (MBR with its extended chain, or GPT) or by
// searching its sectors for the first sectors of lost volumes.
#include <cstdint>
#include <string>
#include <vector>

#include "core/VolumeDescriptor.h"
#include "device/readWriteInterface.h"
#include "fs/common/FileSystemTable.h"
#include "scan/ScanSink.h"
#include "scan/WorkerControl.h"

namespace vel {

// The screen that shows what a scan finds. Called on the scanning thread.
class PartitionOwner {
  public:
    virtual ~PartitionOwner() = default;
    // A volume the sector scan found, after it was appended to the scan's volumes.
    virtual void volumeFound(const VolumeDescriptor& volume) = 0;
    virtual void setFilterEnabled(bool enabled) = 0;
};

// What the volume list says when the tables give no volume.
inline constexpr const char* kNoPartitionTable = "no partition table found; try Advance Scan";

class Partition {
  public:
    // Partition tables: a GPT (found by the protective MBR, or forced by gptMode; its backup
    // copy at the disk's end when the first is damaged), else an MBR that holds together (its
    // signature, entries inside the disk) with its extended chain. A source without a table
    // whose first sector, or a backup copy of it, shows a file system is one volume, listed as
    // the only row. Returns 0, or the system error code of a failed read (what was found before
    // it stays in volumes).
    int walkPartitionTables(const readWriteInterface& reader);
    // Sector scan over [customStartSector, end of drive) in 1 MiB blocks. Unreadable sectors
    // read as zeros and the scan goes on past them. Returns 1 when it ends or is stopped.
    int scanForVolumes(const readWriteInterface& reader);

    bool gptMode = false;
    bool skipVolumeExtent = true;
    std::int64_t customStartSector = 0;
    std::int64_t customEndSector = 0;
    // Size of the drive in sectors; below 0 takes the reader's.
    std::int64_t totalSectors = -1;
    ScanSink* statusLine = nullptr;  // status texts and progress; none when null
    PartitionOwner* owner = nullptr;
    StopFlag stopRequested;
    const FileSystemTable* table = &FileSystemTable::builtin();

    // What the last walk or scan found, in the order found.
    std::vector<VolumeDescriptor> volumes;
    // What else the user should know of it: a backup copy used, why nothing was found.
    std::vector<std::string> notes;
    // The last walk found no table, and the source is one volume starting at sector 0.
    bool sourceIsOneVolume = false;

  private:
    // False when no GPT could be read (and gpt walk was not forced); error then unset.
    bool walkGpt(const readWriteInterface& reader, std::int64_t total, bool forced, int& error);
    int listGptEntries(const readWriteInterface& reader, const unsigned char* array,
                       std::uint32_t count, std::uint32_t entrySize);
    int walkMbr(const readWriteInterface& reader, const unsigned char* mbr);
    // The source as one volume from sector 0; false when neither its first sectors nor a
    // backup boot sector show one.
    bool listSourceAsVolume(const readWriteInterface& reader, bool backupsOnly);
    void note(const std::string& text);
    void status(const std::string& text);
    void append(const std::string& fileSystem, const std::string& sizeText, std::int64_t start);
    // A row's status text, "%d" filled with its running count.
    std::string countedStatus(const std::string& text, const std::string& row);
    std::vector<std::pair<std::string, int>> counts_;
};

bool isExfatBootSector(const readWriteInterface& reader, std::int64_t sector);
bool isHfsPlusHeader(const readWriteInterface& reader, std::int64_t sector);

// What the first 1536 bytes at a sector show, by the table's probes; "" fileSystem for nothing.
VolumeStart probeVolumeStart(const readWriteInterface& reader, std::int64_t sector,
                             const FileSystemTable& table = FileSystemTable::builtin());

}  // namespace vel
