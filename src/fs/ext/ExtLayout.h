#pragma once
// ext2, ext3 and ext4 on-disk structures decoded from byte buffers: the superblock, group
// descriptors, inodes with their times, extent-tree nodes, directory blocks (with the slack where
// deleted entries stay) and the in-inode attribute that holds inline data. Nothing here reads a
// device, so every rule is testable on bytes.
//
// Bounds rule: a decoder reads only the bytes it is given (the fixed sizes named below, or the
// size passed with the buffer). Counts, lengths and offsets read from the disk are checked
// against that size before they are followed; a field that does not fit is a damaged structure,
// never a read past the buffer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "fs/common/Endian.h"

namespace vel::extfmt {

// --- Superblock: 1024 bytes at byte 1024 of the volume; copies start some groups ---------------

inline constexpr std::size_t kSuperblockSize = 1024;
inline constexpr std::uint64_t kSuperblockOffset = 1024;
inline constexpr std::uint16_t kMagic = 0xEF53;
// Larger sizes than this are damaged counts (and would overflow byte offsets).
inline constexpr std::uint64_t kMaxVolumeBytes = std::uint64_t{1} << 62;

namespace sb {
inline constexpr std::size_t kInodeCount = 0x00;
inline constexpr std::size_t kBlockCountLo = 0x04;
inline constexpr std::size_t kFirstDataBlock = 0x14;
inline constexpr std::size_t kLogBlockSize = 0x18;
inline constexpr std::size_t kLogClusterSize = 0x1C;
inline constexpr std::size_t kBlocksPerGroup = 0x20;
inline constexpr std::size_t kInodesPerGroup = 0x28;
inline constexpr std::size_t kMagic = 0x38;
inline constexpr std::size_t kRevLevel = 0x4C;
inline constexpr std::size_t kFirstInode = 0x54;
inline constexpr std::size_t kInodeSize = 0x58;
inline constexpr std::size_t kBlockGroupNr = 0x5A;
inline constexpr std::size_t kFeatureCompat = 0x5C;
inline constexpr std::size_t kFeatureIncompat = 0x60;
inline constexpr std::size_t kFeatureRoCompat = 0x64;
inline constexpr std::size_t kJournalInode = 0xE0;
inline constexpr std::size_t kDescSize = 0xFE;
inline constexpr std::size_t kFirstMetaBg = 0x104;
inline constexpr std::size_t kBlockCountHi = 0x150;
inline constexpr std::size_t kUsrQuotaInode = 0x240;
inline constexpr std::size_t kGrpQuotaInode = 0x244;
inline constexpr std::size_t kBackupGroups = 0x24C;  // two u32
inline constexpr std::size_t kPrjQuotaInode = 0x26C;
inline constexpr std::size_t kOrphanFileInode = 0x280;
}  // namespace sb

inline constexpr std::uint32_t kCompatHasJournal = 0x0004;
inline constexpr std::uint32_t kCompatSparseSuper2 = 0x0200;
inline constexpr std::uint32_t kIncompatFileType = 0x0002;
inline constexpr std::uint32_t kIncompatMetaBg = 0x0010;
inline constexpr std::uint32_t kIncompatExtents = 0x0040;
inline constexpr std::uint32_t kIncompat64Bit = 0x0080;
inline constexpr std::uint32_t kIncompatLargeDir = 0x4000;
inline constexpr std::uint32_t kIncompatInlineData = 0x8000;
inline constexpr std::uint32_t kRoCompatSparseSuper = 0x0001;
inline constexpr std::uint32_t kRoCompatHugeFile = 0x0008;
inline constexpr std::uint32_t kRoCompatGdtCsum = 0x0010;
inline constexpr std::uint32_t kRoCompatBigalloc = 0x0200;
inline constexpr std::uint32_t kRoCompatMetadataCsum = 0x0400;

struct Superblock {
    std::uint32_t inodeCount = 0;
    std::uint64_t blockCount = 0;  // with the high half on 64bit volumes
    std::uint32_t firstDataBlock = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t blocksPerGroup = 0;
    std::uint32_t clusterRatio = 1;  // blocks a bitmap bit stands for (bigalloc)
    std::uint32_t inodesPerGroup = 0;
    std::uint32_t firstInode = 11;
    std::uint16_t inodeSize = 128;
    std::uint16_t blockGroupNr = 0;  // the group this copy sits in
    std::uint32_t featureCompat = 0, featureIncompat = 0, featureRoCompat = 0;
    std::uint32_t descSize = 32;   // 32, or s_desc_size on 64bit volumes
    std::uint32_t groupCount = 0;  // rounded up: a partial last group counts
    std::uint32_t firstMetaBg = 0;
    std::uint32_t backupGroups[2] = {0, 0};
    // Inodes the volume uses for itself, never files of the user (0 where absent).
    std::uint32_t journalInode = 0, usrQuotaInode = 0, grpQuotaInode = 0, prjQuotaInode = 0,
                  orphanFileInode = 0;

    bool hasFileType() const { return featureIncompat & kIncompatFileType; }
    bool hasMetaBg() const { return featureIncompat & kIncompatMetaBg; }
    bool hasLargeDir() const { return featureIncompat & kIncompatLargeDir; }
    bool hasHugeFile() const { return featureRoCompat & kRoCompatHugeFile; }
    // Group descriptor flags and unused-inode counts are kept only with a checksum feature.
    bool hasGroupChecksums() const {
        return featureRoCompat & (kRoCompatGdtCsum | kRoCompatMetadataCsum);
    }
    std::uint32_t descriptorsPerBlock() const { return blockSize / descSize; }
    std::uint64_t volumeBytes() const { return blockCount * blockSize; }
    std::uint64_t groupFirstBlock(std::uint32_t group) const {
        return firstDataBlock + static_cast<std::uint64_t>(group) * blocksPerGroup;
    }
    // Whether group holds a superblock copy (and, without meta_bg, a descriptor table copy).
    bool groupHasSuperblock(std::uint32_t group) const;
    // The block holding the descriptor of group in the table that follows the superblock copy of
    // copyGroup (0: the primary). meta_bg tables sit in their own meta group instead; copyGroup
    // other than 0 gives the backup in the meta group's second group.
    std::uint64_t descriptorBlock(std::uint32_t group, std::uint32_t copyGroup) const;
    // Byte offset of this copy from the start of the file system.
    std::uint64_t copyOffset() const {
        return blockGroupNr == 0 ? kSuperblockOffset
                                 : groupFirstBlock(blockGroupNr) * std::uint64_t{blockSize};
    }
};

// The superblock in up to 1024 bytes (fields past the bytes given read as 0, so the first 512
// are enough to recognise one); nullopt unless the magic matches and the geometry is one a
// volume can have (revision 0 or 1, block size 1 KiB to 64 KiB, the first data block where the
// block size puts it, group sizes that fit a bitmap block, inode size a power of two between
// 128 and the block size, 64bit descriptors of 64 bytes or more).
std::optional<Superblock> parseSuperblock(ByteView bytes);

// --- Group descriptors: descSize bytes each, packed from the table's first block ---------------

namespace gd {
inline constexpr std::size_t kBlockBitmapLo = 0x00;
inline constexpr std::size_t kInodeBitmapLo = 0x04;
inline constexpr std::size_t kInodeTableLo = 0x08;
inline constexpr std::size_t kFreeInodesLo = 0x0E;
inline constexpr std::size_t kFlags = 0x12;
inline constexpr std::size_t kItableUnusedLo = 0x1C;
inline constexpr std::size_t kBlockBitmapHi = 0x20;
inline constexpr std::size_t kInodeBitmapHi = 0x24;
inline constexpr std::size_t kInodeTableHi = 0x28;
inline constexpr std::size_t kFreeInodesHi = 0x2E;
inline constexpr std::size_t kItableUnusedHi = 0x32;
}  // namespace gd

inline constexpr std::uint16_t kGroupInodeUninit = 0x0001;
inline constexpr std::uint16_t kGroupBlockUninit = 0x0002;

struct GroupDescriptor {
    std::uint64_t blockBitmap = 0;
    std::uint64_t inodeBitmap = 0;
    std::uint64_t inodeTable = 0;
    std::uint32_t freeInodes = 0;
    std::uint32_t itableUnused = 0;
    std::uint16_t flags = 0;
};

// One descriptor of descSize bytes (32, or 64 and more with the high halves).
GroupDescriptor parseGroupDescriptor(const std::uint8_t* bytes, std::uint32_t descSize);

// --- Inodes: inodeSize bytes each in the group's inode table ---------------------------------

namespace ino {
inline constexpr std::size_t kMode = 0x00;
inline constexpr std::size_t kSizeLo = 0x04;
inline constexpr std::size_t kAtime = 0x08;
inline constexpr std::size_t kCtime = 0x0C;
inline constexpr std::size_t kMtime = 0x10;
inline constexpr std::size_t kDtime = 0x14;
inline constexpr std::size_t kLinksCount = 0x1A;
inline constexpr std::size_t kBlocksLo = 0x1C;
inline constexpr std::size_t kFlags = 0x20;
inline constexpr std::size_t kBlock = 0x28;  // 60 bytes: block map, extent root or inline data
inline constexpr std::size_t kGeneration = 0x64;
inline constexpr std::size_t kSizeHi = 0x6C;
inline constexpr std::size_t kBlocksHi = 0x74;
inline constexpr std::size_t kExtraIsize = 0x80;
inline constexpr std::size_t kCtimeExtra = 0x84;
inline constexpr std::size_t kMtimeExtra = 0x88;
inline constexpr std::size_t kAtimeExtra = 0x8C;
inline constexpr std::size_t kCrtime = 0x90;
inline constexpr std::size_t kCrtimeExtra = 0x94;
}  // namespace ino

inline constexpr std::size_t kGoodOldInodeSize = 128;
inline constexpr std::size_t kBlockAreaSize = 60;
inline constexpr std::uint32_t kRootInode = 2;

inline constexpr std::uint16_t kTypeMask = 0xF000;
inline constexpr std::uint16_t kTypeFifo = 0x1000;
inline constexpr std::uint16_t kTypeCharDevice = 0x2000;
inline constexpr std::uint16_t kTypeDirectory = 0x4000;
inline constexpr std::uint16_t kTypeBlockDevice = 0x6000;
inline constexpr std::uint16_t kTypeRegular = 0x8000;
inline constexpr std::uint16_t kTypeSymlink = 0xA000;
inline constexpr std::uint16_t kTypeSocket = 0xC000;

inline constexpr std::uint32_t kFlagIndex = 0x00001000;  // hashed directory
inline constexpr std::uint32_t kFlagHugeFile = 0x00040000;
inline constexpr std::uint32_t kFlagExtents = 0x00080000;
inline constexpr std::uint32_t kFlagEaInode = 0x00200000;
inline constexpr std::uint32_t kFlagInlineData = 0x10000000;

// A time as stored: the low 32 bits of seconds and, where the inode has room, the extra word
// (two epoch bits above the signed 32-bit seconds, then nanoseconds << 2).
struct RawTime {
    std::uint32_t seconds = 0;
    std::uint32_t extra = 0;
    bool hasExtra = false;
};

// Seconds since 1970-01-01 UTC and nanoseconds.
struct UnixTime {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    bool operator==(const UnixTime&) const = default;
};
UnixTime decodeTime(const RawTime& t);

struct Inode {
    std::uint16_t mode = 0;
    std::uint16_t linksCount = 0;
    std::uint32_t flags = 0;
    std::uint32_t dtime = 0;
    std::uint64_t size = 0;
    std::uint64_t blocks = 0;  // i_blocks as stored (512-byte units unless huge_file says blocks)
    RawTime atime, ctime, mtime, crtime;
    bool hasCrtime = false;
    std::uint16_t extraIsize = 0;
    std::uint8_t block[kBlockAreaSize] = {};

    std::uint16_t type() const { return mode & kTypeMask; }
    bool isDirectory() const { return type() == kTypeDirectory; }
    bool usesExtents() const { return flags & kFlagExtents; }
    bool hasInlineData() const { return flags & kFlagInlineData; }
    // Free: never used, or deleted (links gone, or a deletion time written).
    bool inUse() const { return mode != 0 && linksCount > 0 && dtime == 0; }
};

// One inode of inodeSize bytes (at least 128). Directory sizes keep their high half only with
// largeDir: older volumes used that word for something else.
Inode decodeInode(const std::uint8_t* bytes, std::uint32_t inodeSize, bool largeDir);

// A symbolic link whose target is the text of the block area.
bool isFastSymlink(const Inode& inode);

// --- Extent trees: a 12-byte header, then 12-byte entries -------------------------------------

inline constexpr std::uint16_t kExtentMagic = 0xF30A;
inline constexpr std::size_t kExtentEntrySize = 12;
inline constexpr std::uint16_t kMaxExtentDepth = 5;
// Longer stored lengths mark unwritten (preallocated) extents, which read as zeros.
inline constexpr std::uint16_t kMaxInitializedExtent = 32768;

namespace ext {
inline constexpr std::size_t kMagic = 0;
inline constexpr std::size_t kEntries = 2;
inline constexpr std::size_t kMax = 4;
inline constexpr std::size_t kDepth = 6;
// Leaf entry.
inline constexpr std::size_t kLogical = 0;
inline constexpr std::size_t kLength = 4;
inline constexpr std::size_t kStartHi = 6;
inline constexpr std::size_t kStartLo = 8;
// Index entry.
inline constexpr std::size_t kLeafLo = 4;
inline constexpr std::size_t kLeafHi = 8;
}  // namespace ext

struct ExtentHeader {
    std::uint16_t entries = 0;
    std::uint16_t max = 0;
    std::uint16_t depth = 0;
};
struct Extent {
    std::uint32_t logical = 0;
    std::uint32_t length = 0;  // blocks, with the unwritten mark taken off
    std::uint64_t start = 0;   // 48 bits
    bool unwritten = false;
};
struct ExtentIndex {
    std::uint32_t logical = 0;
    std::uint64_t child = 0;  // 48 bits
};

// The header of a node of size bytes (60 in the inode, a block elsewhere); nullopt unless the
// magic matches, the depth is at most 5 and the entries fit both max and the node.
std::optional<ExtentHeader> parseExtentHeader(const std::uint8_t* node, std::size_t size);
// Entry i of a node whose header was accepted.
Extent extentAt(const std::uint8_t* node, std::size_t i);
ExtentIndex extentIndexAt(const std::uint8_t* node, std::size_t i);

// --- Directory blocks ---------------------------------------------------------------------

namespace dirent {
inline constexpr std::size_t kInode = 0;
inline constexpr std::size_t kRecLen = 4;
inline constexpr std::size_t kNameLen = 6;
inline constexpr std::size_t kFileType = 7;
inline constexpr std::size_t kName = 8;
}  // namespace dirent

// File-type byte of a directory entry.
inline constexpr std::uint8_t kFtRegular = 1;
inline constexpr std::uint8_t kFtDirectory = 2;
inline constexpr std::uint8_t kFtCharDevice = 3;
inline constexpr std::uint8_t kFtBlockDevice = 4;
inline constexpr std::uint8_t kFtFifo = 5;
inline constexpr std::uint8_t kFtSocket = 6;
inline constexpr std::uint8_t kFtSymlink = 7;
inline constexpr std::uint8_t kFtChecksumTail = 0xDE;

std::uint8_t fileTypeOfMode(std::uint16_t mode);

struct DirEntry {
    std::uint32_t inode = 0;
    std::uint32_t offset = 0;   // in the buffer walked
    std::uint8_t fileType = 0;  // 0 without the file type feature
    std::string_view name;      // bytes, pointing into the buffer
    bool deleted = false;       // found in slack, or a live slot whose inode was cleared
};

// How a directory block is read.
struct DirBlockOptions {
    bool hasFileType = true;
    std::uint32_t inodeCount = 0;  // highest inode number a deleted entry may name
    std::uint32_t blockSize = 0;   // for record lengths of 64 KiB blocks
    bool hashedDirectory = false;  // the directory's inode has the index flag
    bool firstBlock = false;       // logical block 0 (where a hashed directory keeps its root)
};

// Walks the entries of one directory block (or an inline-data area) of size bytes: the live
// chain of record lengths from offset 0, and in the slack after each record the older entries
// that fit there (deleted ones). Where the chain breaks, the rest of the block is searched as
// slack. The index nodes of a hashed directory hold no names and are skipped. Calls visit for
// every entry with a name, in the order of their offsets.
void walkDirectoryBlock(const std::uint8_t* block, std::size_t size, const DirBlockOptions& options,
                        const std::function<void(const DirEntry&)>& visit);

// --- Inline data ----------------------------------------------------------------------------

// The value of the in-inode attribute "system.data" (inline data past the block area) within
// one inode of inodeSize bytes; empty when there is none.
std::string_view inlineDataAttribute(const std::uint8_t* inode, std::uint32_t inodeSize);

}  // namespace vel::extfmt
