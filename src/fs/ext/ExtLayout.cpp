#include "fs/ext/ExtLayout.h"

#include <algorithm>
#include <cstring>

namespace vel::extfmt {

namespace {
bool isPowerOf(std::uint32_t n, std::uint32_t base) {
    while (n > 1 && n % base == 0) n /= base;
    return n == 1;
}

std::size_t roundUp4(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}
}  // namespace

// --- Superblock ----------------------------------------------------------------------------

bool Superblock::groupHasSuperblock(std::uint32_t group) const {
    if (group == 0) return true;
    if (featureCompat & kCompatSparseSuper2)
        return group == backupGroups[0] || group == backupGroups[1];
    if (!(featureRoCompat & kRoCompatSparseSuper)) return true;
    return group == 1 || isPowerOf(group, 3) || isPowerOf(group, 5) || isPowerOf(group, 7);
}

std::uint64_t Superblock::descriptorBlock(std::uint32_t group, std::uint32_t copyGroup) const {
    const std::uint32_t perBlock = descriptorsPerBlock();
    const std::uint32_t metaGroup = group / perBlock;
    if (hasMetaBg() && metaGroup >= firstMetaBg) {
        const std::uint64_t first = std::uint64_t{metaGroup} * perBlock;
        const auto g = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(copyGroup == 0 ? first : first + 1, 0xFFFFFFFFu));
        return groupFirstBlock(g) + (groupHasSuperblock(g) ? 1 : 0);
    }
    return groupFirstBlock(copyGroup) + 1 + metaGroup;
}

std::optional<Superblock> parseSuperblock(ByteView b) {
    if (b.le16(sb::kMagic) != kMagic) return std::nullopt;
    Superblock s;
    const std::uint32_t logBlock = b.le32(sb::kLogBlockSize);
    if (logBlock > 6) return std::nullopt;
    s.blockSize = 1024u << logBlock;
    s.featureCompat = b.le32(sb::kFeatureCompat);
    s.featureIncompat = b.le32(sb::kFeatureIncompat);
    s.featureRoCompat = b.le32(sb::kFeatureRoCompat);
    const bool bigalloc = s.featureRoCompat & kRoCompatBigalloc;

    // Block 0 holds the boot area and the superblock unless blocks are 1 KiB (bigalloc counts
    // in clusters, which start at 0 whatever the block size).
    s.firstDataBlock = b.le32(sb::kFirstDataBlock);
    if (s.firstDataBlock != (s.blockSize == 1024 && !bigalloc ? 1u : 0u)) return std::nullopt;

    // A group's blocks (clusters with bigalloc) must fit one bitmap block.
    std::uint64_t clusterRatio = 1;
    if (bigalloc) {
        const std::uint32_t logCluster = b.le32(sb::kLogClusterSize);
        if (logCluster < logBlock || logCluster - logBlock > 16) return std::nullopt;
        clusterRatio = std::uint64_t{1} << (logCluster - logBlock);
    }
    s.clusterRatio = static_cast<std::uint32_t>(clusterRatio);
    s.blocksPerGroup = b.le32(sb::kBlocksPerGroup);
    if (s.blocksPerGroup < 8 || s.blocksPerGroup % 8 != 0 ||
        s.blocksPerGroup > std::uint64_t{8} * s.blockSize * clusterRatio)
        return std::nullopt;
    s.inodesPerGroup = b.le32(sb::kInodesPerGroup);
    if (s.inodesPerGroup == 0 || s.inodesPerGroup > std::uint64_t{8} * s.blockSize)
        return std::nullopt;

    const std::uint32_t rev = b.le32(sb::kRevLevel);
    if (rev > 1) return std::nullopt;
    if (rev != 0) {
        s.inodeSize = b.le16(sb::kInodeSize);
        if (s.inodeSize < kGoodOldInodeSize || s.inodeSize > s.blockSize ||
            !isPowerOfTwo(s.inodeSize))
            return std::nullopt;
        s.firstInode = b.le32(sb::kFirstInode);
    }

    const bool is64 = s.featureIncompat & kIncompat64Bit;
    s.blockCount = b.le32(sb::kBlockCountLo);
    if (is64) s.blockCount |= static_cast<std::uint64_t>(b.le32(sb::kBlockCountHi)) << 32;
    if (s.blockCount <= s.firstDataBlock || s.blockCount >= kMaxVolumeBytes / s.blockSize)
        return std::nullopt;
    const std::uint64_t groups =
        (s.blockCount - s.firstDataBlock + s.blocksPerGroup - 1) / s.blocksPerGroup;
    // Inode numbers are 32-bit: more groups than they can count is not a volume.
    if (groups == 0 || groups * s.inodesPerGroup > 0xFFFFFFFFull) return std::nullopt;
    s.groupCount = static_cast<std::uint32_t>(groups);

    s.inodeCount = b.le32(sb::kInodeCount);
    if (s.inodeCount == 0) return std::nullopt;
    s.inodeCount = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(s.inodeCount, groups * s.inodesPerGroup));
    if (s.firstInode < 11 || s.firstInode > s.inodeCount) s.firstInode = 11;

    if (is64) {
        s.descSize = b.le16(sb::kDescSize);
        if (s.descSize < 64 || s.descSize > 1024 || !isPowerOfTwo(s.descSize)) return std::nullopt;
    }
    s.blockGroupNr = b.le16(sb::kBlockGroupNr);
    s.firstMetaBg = b.le32(sb::kFirstMetaBg);
    s.backupGroups[0] = b.le32(sb::kBackupGroups);
    s.backupGroups[1] = b.le32(sb::kBackupGroups + 4);
    s.journalInode = b.le32(sb::kJournalInode);
    s.usrQuotaInode = b.le32(sb::kUsrQuotaInode);
    s.grpQuotaInode = b.le32(sb::kGrpQuotaInode);
    s.prjQuotaInode = b.le32(sb::kPrjQuotaInode);
    s.orphanFileInode = b.le32(sb::kOrphanFileInode);
    return s;
}

GroupDescriptor parseGroupDescriptor(const std::uint8_t* b, std::uint32_t descSize) {
    GroupDescriptor d;
    d.blockBitmap = le32(b + gd::kBlockBitmapLo);
    d.inodeBitmap = le32(b + gd::kInodeBitmapLo);
    d.inodeTable = le32(b + gd::kInodeTableLo);
    d.freeInodes = le16(b + gd::kFreeInodesLo);
    d.flags = le16(b + gd::kFlags);
    d.itableUnused = le16(b + gd::kItableUnusedLo);
    if (descSize >= 64) {
        d.blockBitmap |= static_cast<std::uint64_t>(le32(b + gd::kBlockBitmapHi)) << 32;
        d.inodeBitmap |= static_cast<std::uint64_t>(le32(b + gd::kInodeBitmapHi)) << 32;
        d.inodeTable |= static_cast<std::uint64_t>(le32(b + gd::kInodeTableHi)) << 32;
        d.freeInodes |= static_cast<std::uint32_t>(le16(b + gd::kFreeInodesHi)) << 16;
        d.itableUnused |= static_cast<std::uint32_t>(le16(b + gd::kItableUnusedHi)) << 16;
    }
    return d;
}

// --- Inodes ----------------------------------------------------------------------------------

UnixTime decodeTime(const RawTime& t) {
    UnixTime u;
    u.seconds = static_cast<std::int32_t>(t.seconds);
    if (t.hasExtra) {
        u.seconds += static_cast<std::int64_t>(t.extra & 3) << 32;
        u.nanoseconds = std::min<std::uint32_t>(t.extra >> 2, 999999999);
    }
    return u;
}

Inode decodeInode(const std::uint8_t* b, std::uint32_t inodeSize, bool largeDir) {
    Inode n;
    n.mode = le16(b + ino::kMode);
    n.linksCount = le16(b + ino::kLinksCount);
    n.flags = le32(b + ino::kFlags);
    n.dtime = le32(b + ino::kDtime);
    n.size = le32(b + ino::kSizeLo);
    if (!n.isDirectory() || largeDir)
        n.size |= static_cast<std::uint64_t>(le32(b + ino::kSizeHi)) << 32;
    n.blocks =
        le32(b + ino::kBlocksLo) | (static_cast<std::uint64_t>(le16(b + ino::kBlocksHi)) << 32);
    std::memcpy(n.block, b + ino::kBlock, kBlockAreaSize);
    n.atime.seconds = le32(b + ino::kAtime);
    n.ctime.seconds = le32(b + ino::kCtime);
    n.mtime.seconds = le32(b + ino::kMtime);
    if (inodeSize > kGoodOldInodeSize + 2) {
        n.extraIsize = le16(b + ino::kExtraIsize);
        // A size that runs past the inode means the extra fields cannot be trusted.
        if (kGoodOldInodeSize + n.extraIsize > inodeSize) n.extraIsize = 0;
    }
    const std::size_t end = kGoodOldInodeSize + n.extraIsize;
    auto extra = [&](RawTime& t, std::size_t offset) {
        if (offset + 4 <= end) {
            t.extra = le32(b + offset);
            t.hasExtra = true;
        }
    };
    extra(n.ctime, ino::kCtimeExtra);
    extra(n.mtime, ino::kMtimeExtra);
    extra(n.atime, ino::kAtimeExtra);
    if (ino::kCrtime + 4 <= end) {
        n.hasCrtime = true;
        n.crtime.seconds = le32(b + ino::kCrtime);
        extra(n.crtime, ino::kCrtimeExtra);
    }
    return n;
}

bool isFastSymlink(const Inode& inode) {
    if (inode.type() != kTypeSymlink || inode.hasInlineData()) return false;
    if (inode.size == 0 || inode.size >= kBlockAreaSize) return false;
    // A short link may still have been written to a block (its area then holds an extent root).
    return !(inode.usesExtents() && le16(inode.block) == kExtentMagic);
}

// --- Extent trees ----------------------------------------------------------------------------

std::optional<ExtentHeader> parseExtentHeader(const std::uint8_t* node, std::size_t size) {
    if (size < kExtentEntrySize || le16(node + ext::kMagic) != kExtentMagic) return std::nullopt;
    ExtentHeader h;
    h.entries = le16(node + ext::kEntries);
    h.max = le16(node + ext::kMax);
    h.depth = le16(node + ext::kDepth);
    if (h.depth > kMaxExtentDepth || h.entries > h.max ||
        kExtentEntrySize * (std::size_t{h.entries} + 1) > size)
        return std::nullopt;
    return h;
}

Extent extentAt(const std::uint8_t* node, std::size_t i) {
    const std::uint8_t* e = node + kExtentEntrySize * (i + 1);
    Extent x;
    x.logical = le32(e + ext::kLogical);
    std::uint16_t length = le16(e + ext::kLength);
    x.unwritten = length > kMaxInitializedExtent;
    x.length = x.unwritten ? length - kMaxInitializedExtent : length;
    x.start = static_cast<std::uint64_t>(le16(e + ext::kStartHi)) << 32 | le32(e + ext::kStartLo);
    return x;
}

ExtentIndex extentIndexAt(const std::uint8_t* node, std::size_t i) {
    const std::uint8_t* e = node + kExtentEntrySize * (i + 1);
    ExtentIndex x;
    x.logical = le32(e + ext::kLogical);
    x.child = static_cast<std::uint64_t>(le16(e + ext::kLeafHi)) << 32 | le32(e + ext::kLeafLo);
    return x;
}

// --- Directory blocks ------------------------------------------------------------------------

std::uint8_t fileTypeOfMode(std::uint16_t mode) {
    switch (mode & kTypeMask) {
        case kTypeRegular:
            return kFtRegular;
        case kTypeDirectory:
            return kFtDirectory;
        case kTypeCharDevice:
            return kFtCharDevice;
        case kTypeBlockDevice:
            return kFtBlockDevice;
        case kTypeFifo:
            return kFtFifo;
        case kTypeSocket:
            return kFtSocket;
        case kTypeSymlink:
            return kFtSymlink;
        default:
            return 0;
    }
}

namespace {

// 64 KiB blocks cannot hold their own length in 16 bits; the low bits carry the overflow.
std::size_t recordLength(std::uint16_t raw, std::uint32_t blockSize) {
    if (blockSize < 65536) return raw;
    if (raw == 0xFFFF || raw == 0) return 65536;
    return (raw & 0xFFFCu) | ((raw & 3u) << 16);
}

std::string_view nameAt(const std::uint8_t* block, std::size_t pos, std::size_t length) {
    return {reinterpret_cast<const char*>(block + pos + dirent::kName), length};
}

bool isDotName(std::string_view name) {
    return name == "." || name == "..";
}

class BlockWalk {
  public:
    BlockWalk(const std::uint8_t* b, std::size_t size, const DirBlockOptions& o,
              const std::function<void(const DirEntry&)>& visit)
        : b_(b), size_(size), o_(o), visit_(visit) {}

    // Name length and file type; false when the bytes cannot be a directory entry header.
    bool header(std::size_t pos, std::size_t& nameLen, std::uint8_t& type) const {
        if (o_.hasFileType) {
            nameLen = b_[pos + dirent::kNameLen];
            type = b_[pos + dirent::kFileType];
            return true;
        }
        nameLen = le16(b_ + pos + dirent::kNameLen);
        type = 0;
        return nameLen <= 255;
    }

    // An older entry left in the slack: it must still look whole where it lies.
    bool plausibleDeleted(std::size_t pos, std::size_t end) const {
        const std::uint32_t inode = le32(b_ + pos + dirent::kInode);
        if (inode == 0 || (o_.inodeCount != 0 && inode > o_.inodeCount)) return false;
        std::size_t nameLen;
        std::uint8_t type;
        if (!header(pos, nameLen, type) || nameLen == 0) return false;
        if (pos + dirent::kName + nameLen > end) return false;
        if (o_.hasFileType && (type < kFtRegular || type > kFtSymlink)) return false;
        const std::size_t rec = recordLength(le16(b_ + pos + dirent::kRecLen), o_.blockSize);
        if (rec < dirent::kName + nameLen || rec % 4 != 0 || pos + rec > size_) return false;
        for (std::size_t i = 0; i < nameLen; ++i) {
            const std::uint8_t c = b_[pos + dirent::kName + i];
            if (c < 0x20 || c == '/') return false;
        }
        return !isDotName(nameAt(b_, pos, nameLen));
    }

    void searchSlack(std::size_t from, std::size_t end) {
        std::size_t pos = (from + 3) & ~std::size_t{3};
        while (pos + dirent::kName <= end) {
            if (!plausibleDeleted(pos, end)) {
                pos += 4;
                continue;
            }
            std::size_t nameLen;
            std::uint8_t type;
            header(pos, nameLen, type);
            visit_({le32(b_ + pos), static_cast<std::uint32_t>(pos), type, nameAt(b_, pos, nameLen),
                    true});
            pos += dirent::kName + roundUp4(nameLen);
        }
    }

    void run(bool skipSecondSlack) {
        std::size_t pos = 0;
        for (int index = 0; pos + dirent::kName <= size_; ++index) {
            const std::uint32_t inode = le32(b_ + pos + dirent::kInode);
            const std::size_t rec = recordLength(le16(b_ + pos + dirent::kRecLen), o_.blockSize);
            std::size_t nameLen;
            std::uint8_t type;
            const bool sane = header(pos, nameLen, type) && rec >= dirent::kName && rec % 4 == 0 &&
                              pos + rec <= size_ && dirent::kName + nameLen <= rec;
            if (!sane) {
                // The chain is broken here: what follows can only be told apart as leftovers.
                searchSlack(pos, size_);
                return;
            }
            if (nameLen > 0) {
                std::string_view name = nameAt(b_, pos, nameLen);
                if (inode != 0)
                    visit_({inode, static_cast<std::uint32_t>(pos), type, name, false});
                else if (type != kFtChecksumTail && !isDotName(name))
                    // A block's first entry is deleted by clearing its inode; the name stays.
                    visit_({0, static_cast<std::uint32_t>(pos), type, name, true});
            }
            if (!(skipSecondSlack && index == 1))
                searchSlack(pos + dirent::kName + roundUp4(nameLen), pos + rec);
            pos += rec;
        }
    }

  private:
    const std::uint8_t* b_;
    std::size_t size_;
    const DirBlockOptions& o_;
    const std::function<void(const DirEntry&)>& visit_;
};

// An interior node of a hash tree: one empty entry over the whole block, then the node's count
// and limit where a name would be.
bool isHashTreeNode(const std::uint8_t* b, std::size_t size, const DirBlockOptions& o) {
    if (size < 16 || le32(b) != 0 || recordLength(le16(b + 4), o.blockSize) != size || b[6] != 0 ||
        b[7] != 0)
        return false;
    const std::size_t limit = le16(b + 8), count = le16(b + 10);
    return (limit == (size - 8) / 8 || limit == (size - 16) / 8) && count >= 1 && count <= limit;
}

// The hash tree's root sits in the slack of "..": a zero word and an info length of 8.
bool hasHashTreeRoot(const std::uint8_t* b, std::size_t size) {
    return size >= 32 && b[12 + dirent::kNameLen] == 2 && le32(b + 24) == 0 && b[29] == 8;
}

}  // namespace

void walkDirectoryBlock(const std::uint8_t* block, std::size_t size, const DirBlockOptions& options,
                        const std::function<void(const DirEntry&)>& visit) {
    if (options.hashedDirectory && isHashTreeNode(block, size, options)) return;
    const bool rootInSlack =
        options.hashedDirectory && options.firstBlock && hasHashTreeRoot(block, size);
    BlockWalk(block, size, options, visit).run(rootInSlack);
}

// --- Inline data -------------------------------------------------------------------------------

namespace {
constexpr std::uint32_t kXattrMagic = 0xEA020000;
constexpr std::uint8_t kXattrIndexSystem = 7;
constexpr std::size_t kXattrEntryHeader = 16;
}  // namespace

std::string_view inlineDataAttribute(const std::uint8_t* inode, std::uint32_t inodeSize) {
    if (inodeSize <= kGoodOldInodeSize + 2) return {};
    const std::size_t start = kGoodOldInodeSize + le16(inode + ino::kExtraIsize);
    if (start + 4 > inodeSize || le32(inode + start) != kXattrMagic) return {};
    const std::size_t first = start + 4;  // value offsets count from here
    for (std::size_t pos = first; pos + kXattrEntryHeader <= inodeSize;) {
        if (le32(inode + pos) == 0) break;
        const std::size_t nameLen = inode[pos];
        const std::size_t entryLen = roundUp4(kXattrEntryHeader + nameLen);
        if (pos + entryLen > inodeSize) break;
        if (inode[pos + 1] == kXattrIndexSystem && nameLen == 4 &&
            std::memcmp(inode + pos + kXattrEntryHeader, "data", 4) == 0 &&
            le32(inode + pos + 4) == 0) {
            const std::size_t at = first + le16(inode + pos + 2);
            const std::size_t size = le32(inode + pos + 8);
            if (at > inodeSize || size > inodeSize - at) return {};
            return {reinterpret_cast<const char*>(inode + at), size};
        }
        pos += entryLen;
    }
    return {};
}

}  // namespace vel::extfmt
