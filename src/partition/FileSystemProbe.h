#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/VolumeDescriptor.h"
#include "device/readWriteInterface.h"

namespace vel {

// The file system whose boot sector or superblock starts at startSector (a sector of the
// source): a name of the file-system table, or "" when none is recognised.
std::string probeFileSystem(const readWriteInterface& source, std::int64_t startSector);

// The rows of the volume list's Standard Scan (partition tables; GPT when gpt is set), their
// devicePath the row number.
std::vector<VolumeDescriptor> listStandardVolumes(const readWriteInterface& source, bool gpt);

}  // namespace vel
