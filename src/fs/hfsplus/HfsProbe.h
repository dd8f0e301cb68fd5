#pragma once
// How partition tables and the lost-volume scan know HFS+ volumes.
#include <cstdint>

#include "fs/common/FileSystemTable.h"

namespace vel {

// The size an HFS+ or HFSX volume header (the 512 bytes at volume start + 1024) records, or -1
// when the bytes are no volume header.
std::int64_t hfsPlusVolumeBytes(const std::uint8_t* header);

FileSystemRow hfsPlusFileSystemRow();

}  // namespace vel
