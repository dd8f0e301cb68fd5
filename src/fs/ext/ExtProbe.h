#pragma once
// How partition tables and the lost-volume scan know ext2/3/4 volumes.
#include <cstdint>

#include "fs/common/FileSystemTable.h"

namespace vel {

// An ext2/3/4 superblock (the 1024 bytes at volume start + 1024). primaryOnly refuses the
// backup copies kept in later block groups.
VolumeStart extSuperblock(const std::uint8_t* superblock, bool primaryOnly);

FileSystemRow extFileSystemRow();

}  // namespace vel
