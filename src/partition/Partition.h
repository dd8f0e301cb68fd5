#pragma once
// Finding a drive's volumes: from its partition tables (MBR with its extended chain, or GPT) or by
// searching its sectors for the first sectors of lost volumes.
#include <cstdint>
#include <string>
#include <vector>

#include "app/VolumeDescriptor.h"
#include "device/readWriteInterface.h"
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

class Partition {
  public:
    // Partition tables. Returns 0, or the system error code of a failed read (what was found
    // before it stays in volumes).
    int walkPartitionTables(readWriteInterface& reader);
    // Sector scan over [customStartSector, end of drive) in 1 MiB blocks. Returns 1 when it ends
    // or is stopped, or the system error code of a failed block read.
    int scanForVolumes(readWriteInterface& reader);

    bool gptMode = false;
    bool skipVolumeExtent = true;
    std::int64_t customStartSector = 0;
    std::int64_t customEndSector = 0;
    // Size of the drive in sectors; below 0 takes the process-wide value of the open reader.
    std::int64_t totalSectors = -1;
    ScanSink* statusLine = nullptr;  // status texts and progress; none when null
    PartitionOwner* owner = nullptr;
    StopFlag stopRequested;

    // What the last walk or scan found, in the order found.
    std::vector<VolumeDescriptor> volumes;

  private:
    int walkGpt(readWriteInterface& reader, const unsigned char* firstTwoSectors);
    int walkMbr(readWriteInterface& reader);
    void status(const std::string& text);
    void append(const std::string& fileSystem, const std::string& sizeText, std::int64_t start);
};

bool isExfatBootSector(readWriteInterface& reader, std::int64_t sector);
bool isHfsPlusHeader(readWriteInterface& reader, std::int64_t sector);

// What the first bytes of a volume show. sizeBytes is the size the boot sector or superblock
// records (0 when it records none).
struct VolumeStart {
    std::string fileSystem;  // "NTFS", "FAT32", "FAT16", "FAT64", "extX", "HFS+" or ""
    std::int64_t sizeBytes = 0;
};

// FAT by a BIOS parameter block that holds together, whoever formatted it: "FAT32", "FAT16"
// (FAT12 volumes included) or "".
VolumeStart fatBootSector(const unsigned char* sector);
// An ext2/3/4 superblock (the 1024 bytes at volume start + 1024). primaryOnly refuses the
// backup copies kept in later block groups.
VolumeStart extSuperblock(const unsigned char* superblock, bool primaryOnly);
// Decides from the first 1536 bytes of a volume (boot sector, then superblock or volume header
// at byte 1024).
VolumeStart decideVolumeStart(const unsigned char* first1536);

// One 512-byte sector as the sector scan sees it.
struct SectorHit {
    std::string fileSystem;          // "" for no hit; "UNKNOWN" for a FAT-like sector of no use
    std::int64_t sizeBytes = 0;      // of the volume
    int startOffset = 0;             // volume start = this sector + startOffset (-2 for HFS+, ext)
    std::int64_t extentSectors = 0;  // sectors the volume covers from its start
};
SectorHit examineSector(const unsigned char* sector);

}  // namespace vel
