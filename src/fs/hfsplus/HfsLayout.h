#pragma once
// HFS+ on-disk structures decoded from byte buffers: the volume header, fork data, B-tree nodes,
// catalog and extents-overflow records. Nothing here reads a device.
//
// Bounds rule: every decoder is given a ByteView of the bytes it may look at (a whole node,
// a whole header) and never reads outside it. A record is returned only when its key and its
// data lie wholly inside the limit it is given, so a hostile offset, key length or name length
// yields nothing rather than a read past the node.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fs/common/Endian.h"

namespace vel::hfs {

// Seconds from 1904-01-01 (HFS+ dates, UTC) to 1970-01-01.
inline constexpr std::int64_t kHfsToUnixSeconds = 2082844800;
inline std::int64_t hfsToUnix(std::uint32_t hfsSeconds) {
    return static_cast<std::int64_t>(hfsSeconds) - kHfsToUnixSeconds;
}

// ---- Volume header: 512 bytes at volume byte 1024, its copy 1024 bytes before the end.
inline constexpr std::int64_t kVolumeHeaderOffset = 1024;
inline constexpr std::int64_t kAlternateHeaderFromEnd = 1024;
inline constexpr std::size_t kVolumeHeaderSize = 512;
inline constexpr std::uint16_t kSignatureHfsPlus = 0x482B;  // "H+"
inline constexpr std::uint16_t kSignatureHfsx = 0x4858;     // "HX": case-sensitive names

namespace vh {
inline constexpr std::size_t kSignature = 0;
inline constexpr std::size_t kVersion = 2;
inline constexpr std::size_t kAttributes = 4;
inline constexpr std::size_t kFileCount = 32;
inline constexpr std::size_t kFolderCount = 36;
inline constexpr std::size_t kBlockSize = 40;
inline constexpr std::size_t kTotalBlocks = 44;
inline constexpr std::size_t kFreeBlocks = 48;
inline constexpr std::size_t kNextCatalogId = 64;
inline constexpr std::size_t kAllocationFile = 112;
inline constexpr std::size_t kExtentsFile = 192;
inline constexpr std::size_t kCatalogFile = 272;
inline constexpr std::size_t kAttributesFile = 352;
}  // namespace vh

// Special files' catalog node IDs (their forks live in the volume header).
inline constexpr std::uint32_t kRootParentId = 1;
inline constexpr std::uint32_t kRootFolderId = 2;
inline constexpr std::uint32_t kExtentsFileId = 3;
inline constexpr std::uint32_t kCatalogFileId = 4;
inline constexpr std::uint32_t kAllocationFileId = 6;
inline constexpr std::uint32_t kFirstUserId = 16;

// ---- Fork data: 80 bytes.
inline constexpr std::size_t kForkDataSize = 80;
inline constexpr std::size_t kExtentsPerRecord = 8;
namespace fork {
inline constexpr std::size_t kLogicalSize = 0;
inline constexpr std::size_t kTotalBlocks = 12;
inline constexpr std::size_t kExtents = 16;  // eight (start block u32, block count u32)
}  // namespace fork

struct Extent {
    std::uint32_t startBlock = 0;
    std::uint32_t blockCount = 0;
    bool operator==(const Extent&) const = default;
};
using ExtentRecord = std::array<Extent, kExtentsPerRecord>;

struct ForkData {
    std::uint64_t logicalSize = 0;
    std::uint32_t totalBlocks = 0;
    ExtentRecord extents{};
};

// Eight extents from view (64 bytes; missing bytes read as 0).
ExtentRecord parseExtentRecord(ByteView view);
ForkData parseForkData(ByteView view);

struct VolumeHeader {
    std::uint16_t signature = 0;
    std::uint16_t version = 0;
    std::uint32_t attributes = 0;
    std::uint32_t fileCount = 0;
    std::uint32_t folderCount = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t totalBlocks = 0;
    std::uint32_t freeBlocks = 0;
    std::uint32_t nextCatalogId = 0;
    ForkData allocationFile, extentsFile, catalogFile, attributesFile;

    bool caseSensitive() const { return signature == kSignatureHfsx; }
    std::uint64_t volumeBytes() const { return std::uint64_t{blockSize} * totalBlocks; }
};

// The header in a 512-byte view; nullopt unless it reads "H+" or "HX" with a version below 256,
// its block size is a power of two of at least 512 and it has blocks. The partition probe and
// the lost-volume scan use the same rule.
std::optional<VolumeHeader> parseVolumeHeader(ByteView view);

// ---- B-tree nodes.
inline constexpr std::size_t kNodeDescriptorSize = 14;
inline constexpr std::uint32_t kMinNodeSize = 512;
inline constexpr std::uint32_t kMaxNodeSize = 32768;
namespace node {
inline constexpr std::size_t kForwardLink = 0;
inline constexpr std::size_t kBackwardLink = 4;
inline constexpr std::size_t kKind = 8;
inline constexpr std::size_t kHeight = 9;
inline constexpr std::size_t kRecordCount = 10;
}  // namespace node

enum NodeKind : std::int8_t { kLeafNode = -1, kIndexNode = 0, kHeaderNode = 1, kMapNode = 2 };

struct NodeDescriptor {
    std::uint32_t forwardLink = 0;
    std::uint32_t backwardLink = 0;
    std::int8_t kind = 0;
    std::uint8_t height = 0;
    std::uint16_t recordCount = 0;

    bool knownKind() const { return kind >= kLeafNode && kind <= kMapNode; }
};

NodeDescriptor parseNodeDescriptor(ByteView node);
// A power of two from 512 to 32768.
bool isValidNodeSize(std::uint32_t size);

// Header record (record 0 of node 0, at offset 14), offsets from the record's start.
namespace hdr {
inline constexpr std::size_t kTreeDepth = 0;
inline constexpr std::size_t kRootNode = 2;
inline constexpr std::size_t kLeafRecords = 6;
inline constexpr std::size_t kFirstLeafNode = 10;
inline constexpr std::size_t kLastLeafNode = 14;
inline constexpr std::size_t kNodeSize = 18;
inline constexpr std::size_t kMaxKeyLength = 20;
inline constexpr std::size_t kTotalNodes = 22;
inline constexpr std::size_t kFreeNodes = 26;
inline constexpr std::size_t kKeyCompareType = 37;
inline constexpr std::size_t kSize = 106;
}  // namespace hdr
// The node map is record 2 of the header node; further map nodes follow its forward link.
inline constexpr std::uint16_t kHeaderMapRecord = 2;

struct HeaderRecord {
    std::uint16_t treeDepth = 0;
    std::uint32_t rootNode = 0;
    std::uint32_t leafRecords = 0;
    std::uint32_t firstLeafNode = 0;
    std::uint32_t lastLeafNode = 0;
    std::uint16_t nodeSize = 0;
    std::uint32_t totalNodes = 0;
    std::uint32_t freeNodes = 0;
    std::uint8_t keyCompareType = 0;
};

// The header record of a header node (node 0) as read in view, which may be shorter than the
// node (the first block of a tree whose node size is not known yet). nullopt unless the node's
// kind is "header" and its node size is valid.
std::optional<HeaderRecord> parseHeaderNode(ByteView view);

// The offsets of the first count records of a node, in record order. Offsets are stored from the
// node's end backwards. Only offsets inside the record area (at or after the descriptor, before
// the offset table) are returned, others are left out; count is capped at what the node can hold.
std::vector<std::uint16_t> recordOffsets(ByteView node, std::uint16_t count);
// Where the node's free space begins: the offset stored after the last record's (the record area
// end when that offset is implausible).
std::size_t freeSpaceOffset(ByteView node, std::uint16_t count);
// First byte of the offset table of a node holding count records.
std::size_t offsetTableStart(ByteView node, std::uint16_t count);

// The bytes of record index of the node, up to the next record's offset (for map records).
ByteView recordBytes(ByteView node, std::uint16_t count, std::uint16_t index);

// Whether node number n is marked in use in a node-map record whose first bit is node first.
std::optional<bool> mapBit(ByteView map, std::uint64_t first, std::uint64_t n);

// ---- Catalog.
enum CatalogRecordType : std::uint16_t {
    kFolderRecord = 1,
    kFileRecord = 2,
    kFolderThread = 3,
    kFileThread = 4,
};
inline constexpr std::size_t kMaxNameLength = 255;

namespace key {
inline constexpr std::size_t kKeyLength = 0;
inline constexpr std::size_t kParentId = 2;
inline constexpr std::size_t kNameLength = 6;
inline constexpr std::size_t kName = 8;
inline constexpr std::size_t kMinLength = 6;  // key length without the name
}  // namespace key

// Folder and file records share their first 80 bytes' layout.
namespace cat {
inline constexpr std::size_t kRecordType = 0;
inline constexpr std::size_t kId = 8;
inline constexpr std::size_t kCreateDate = 12;
inline constexpr std::size_t kContentModDate = 16;
inline constexpr std::size_t kAttributeModDate = 20;
inline constexpr std::size_t kAccessDate = 24;
inline constexpr std::size_t kFileMode = 42;
inline constexpr std::size_t kSpecial = 44;  // a hard link's link reference (iNode number)
inline constexpr std::size_t kFileType = 48;
inline constexpr std::size_t kFileCreator = 52;
inline constexpr std::size_t kDataFork = 88;
inline constexpr std::size_t kFolderSize = 88;
inline constexpr std::size_t kFileSize = 248;
// Thread records: type, reserved, parent, name.
inline constexpr std::size_t kThreadParent = 4;
inline constexpr std::size_t kThreadName = 8;
inline constexpr std::size_t kThreadMinSize = 10;
}  // namespace cat

inline constexpr std::uint32_t fourCc(const char (&s)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[3]));
}
inline constexpr std::uint32_t kHardLinkType = fourCc("hlnk");
inline constexpr std::uint32_t kHardLinkCreator = fourCc("hfs+");
inline constexpr std::uint32_t kSymlinkType = fourCc("slnk");
inline constexpr std::uint32_t kSymlinkCreator = fourCc("rhap");
// The folder that holds hard-linked files' data, named with four leading NULs.
inline const std::u16string kPrivateDataFolder = std::u16string(4, u'\0') + u"HFS+ Private Data";
inline constexpr const char16_t* kHardLinkFilePrefix = u"iNode";

struct CatalogRecord {
    std::uint16_t type = 0;
    std::uint32_t keyParentId = 0;  // the key's parent (for threads: the item's own ID)
    std::u16string keyName;
    std::size_t length = 0;  // key and data, bytes
    // Folder and file records.
    std::uint32_t id = 0;
    std::uint32_t createDate = 0, contentModDate = 0, attributeModDate = 0, accessDate = 0;
    std::uint16_t fileMode = 0;
    std::uint32_t special = 0;
    std::uint32_t fileType = 0, fileCreator = 0;
    ForkData dataFork;
    // Thread records.
    std::uint32_t threadParentId = 0;
    std::u16string threadName;

    bool isThread() const { return type == kFolderThread || type == kFileThread; }
    bool isHardLink() const {
        return type == kFileRecord && fileType == kHardLinkType && fileCreator == kHardLinkCreator;
    }
    bool isSymlink() const {
        return type == kFileRecord && fileType == kSymlinkType && fileCreator == kSymlinkCreator;
    }
};

// The catalog leaf record at offset of node, read no further than limit. nullopt when it does
// not fit, is not a folder, file or thread record, or names an impossible item (a zero ID, an
// empty or over-long name). With strict set (records found outside the offset table) the key
// length must be exactly the name's, the item ID a user ID (or the root folder), a file's extent
// list well formed: what stale bytes rarely satisfy by chance.
std::optional<CatalogRecord> parseCatalogRecord(ByteView node, std::size_t offset,
                                                std::size_t limit, bool strict = false);

// Stale catalog records in [from, to) of a node: tried at every even offset; after a record the
// search continues behind it.
void carveCatalogRecords(ByteView node, std::size_t from, std::size_t to,
                         const std::function<void(std::size_t, const CatalogRecord&)>& found);

// A catalog leaf node by its look, for the search over a whole volume: kind leaf, height 1, the
// offset table's first entry 14 and a record count the node can hold (0 included: a node freed
// from the tree keeps its records' bytes).
bool looksLikeCatalogLeaf(ByteView node);

// ---- Extents overflow.
inline constexpr std::uint8_t kDataFork = 0x00;
inline constexpr std::uint8_t kResourceFork = 0xFF;
namespace ext {
inline constexpr std::size_t kKeyLength = 0;
inline constexpr std::size_t kForkType = 2;
inline constexpr std::size_t kFileId = 4;
inline constexpr std::size_t kStartBlock = 8;
inline constexpr std::size_t kKeyLengthValue = 10;
inline constexpr std::size_t kRecordSize = 12 + 64;
}  // namespace ext

struct OverflowKey {
    std::uint8_t forkType = 0;
    std::uint32_t fileId = 0;
    std::uint32_t startBlock = 0;  // fork-relative, in allocation blocks
    auto operator<=>(const OverflowKey&) const = default;
};

struct OverflowRecord {
    OverflowKey key;
    ExtentRecord extents{};
};

// The extents-overflow leaf record at offset, read no further than limit.
std::optional<OverflowRecord> parseOverflowRecord(ByteView node, std::size_t offset,
                                                  std::size_t limit);

// ---- Allocation file: one bit per block, the most significant bit of byte 0 is block 0.
inline bool blockInUse(const std::uint8_t* bitmap, std::uint64_t bitIndex) {
    return (bitmap[bitIndex >> 3] >> (7 - (bitIndex & 7))) & 1;
}

}  // namespace vel::hfs
