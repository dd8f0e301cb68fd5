#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/VolumeDescriptor.h"
#include "device/readWriteInterface.h"

namespace vel {

// The file system whose boot sector or superblock starts at startSector: "NTFS", "FAT32",
// "FAT16" (FAT12 included), "FAT64", "extX", "HFS+"; "" when none is recognised.
std::string probeFileSystem(readWriteInterface& reader, std::int64_t startSector);

// The rows of the volume list's Standard Scan (partition tables; GPT when gpt is set), their
// devicePath the row number.
std::vector<VolumeDescriptor> listStandardVolumes(readWriteInterface& reader, bool gpt);

}  // namespace vel
