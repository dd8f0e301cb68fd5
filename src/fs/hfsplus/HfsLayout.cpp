#include "fs/hfsplus/HfsLayout.h"

#include <algorithm>

namespace vel::hfs {

namespace {
std::u16string unitsAt(BigEndianView view, std::size_t offset, std::size_t count) {
    std::u16string s(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<char16_t>(view.u16(offset + 2 * i));
    return s;
}

bool isPowerOfTwo(std::uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// Most records a node of this size can index: each needs an offset and at least a key length.
std::size_t maxRecords(std::size_t nodeSize) {
    return nodeSize > kNodeDescriptorSize + 2 ? (nodeSize - kNodeDescriptorSize - 2) / 4 : 0;
}

// Extents in use come first; an empty one ends the list, and nothing follows it.
bool wellFormedExtents(const ExtentRecord& r) {
    bool ended = false;
    for (const Extent& e : r) {
        if (e.blockCount == 0) {
            ended = true;
            if (e.startBlock != 0) return false;
        } else if (ended || e.startBlock == 0) {
            return false;
        }
    }
    return true;
}
}  // namespace

ExtentRecord parseExtentRecord(BigEndianView view) {
    ExtentRecord r{};
    for (std::size_t i = 0; i < kExtentsPerRecord; ++i)
        r[i] = {view.u32(8 * i), view.u32(8 * i + 4)};
    return r;
}

ForkData parseForkData(BigEndianView view) {
    ForkData f;
    f.logicalSize = view.u64(fork::kLogicalSize);
    f.totalBlocks = view.u32(fork::kTotalBlocks);
    f.extents = parseExtentRecord(view.sub(fork::kExtents, 64));
    return f;
}

std::optional<VolumeHeader> parseVolumeHeader(BigEndianView v) {
    if (!v.fits(0, kVolumeHeaderSize)) return std::nullopt;
    VolumeHeader h;
    h.signature = v.u16(vh::kSignature);
    if (h.signature != kSignatureHfsPlus && h.signature != kSignatureHfsx) return std::nullopt;
    h.version = v.u16(vh::kVersion);
    h.attributes = v.u32(vh::kAttributes);
    h.fileCount = v.u32(vh::kFileCount);
    h.folderCount = v.u32(vh::kFolderCount);
    h.blockSize = v.u32(vh::kBlockSize);
    h.totalBlocks = v.u32(vh::kTotalBlocks);
    h.freeBlocks = v.u32(vh::kFreeBlocks);
    h.nextCatalogId = v.u32(vh::kNextCatalogId);
    if (!isPowerOfTwo(h.blockSize) || h.blockSize < 512 || h.totalBlocks == 0) return std::nullopt;
    h.allocationFile = parseForkData(v.sub(vh::kAllocationFile, kForkDataSize));
    h.extentsFile = parseForkData(v.sub(vh::kExtentsFile, kForkDataSize));
    h.catalogFile = parseForkData(v.sub(vh::kCatalogFile, kForkDataSize));
    h.attributesFile = parseForkData(v.sub(vh::kAttributesFile, kForkDataSize));
    return h;
}

NodeDescriptor parseNodeDescriptor(BigEndianView n) {
    NodeDescriptor d;
    d.forwardLink = n.u32(node::kForwardLink);
    d.backwardLink = n.u32(node::kBackwardLink);
    d.kind = n.s8(node::kKind);
    d.height = n.u8(node::kHeight);
    d.recordCount = n.u16(node::kRecordCount);
    return d;
}

bool isValidNodeSize(std::uint32_t size) {
    return isPowerOfTwo(size) && size >= kMinNodeSize && size <= kMaxNodeSize;
}

std::optional<HeaderRecord> parseHeaderNode(BigEndianView n) {
    if (!n.fits(kNodeDescriptorSize, hdr::kSize)) return std::nullopt;
    if (parseNodeDescriptor(n).kind != kHeaderNode) return std::nullopt;
    BigEndianView r = n.sub(kNodeDescriptorSize, hdr::kSize);
    HeaderRecord h;
    h.treeDepth = r.u16(hdr::kTreeDepth);
    h.rootNode = r.u32(hdr::kRootNode);
    h.leafRecords = r.u32(hdr::kLeafRecords);
    h.firstLeafNode = r.u32(hdr::kFirstLeafNode);
    h.lastLeafNode = r.u32(hdr::kLastLeafNode);
    h.nodeSize = r.u16(hdr::kNodeSize);
    h.totalNodes = r.u32(hdr::kTotalNodes);
    h.freeNodes = r.u32(hdr::kFreeNodes);
    h.keyCompareType = r.u8(hdr::kKeyCompareType);
    if (!isValidNodeSize(h.nodeSize)) return std::nullopt;
    return h;
}

std::size_t offsetTableStart(BigEndianView n, std::uint16_t count) {
    std::size_t c = std::min<std::size_t>(count, maxRecords(n.size()));
    return n.size() >= 2 * (c + 1) ? n.size() - 2 * (c + 1) : 0;
}

std::vector<std::uint16_t> recordOffsets(BigEndianView n, std::uint16_t count) {
    std::vector<std::uint16_t> offsets;
    std::size_t c = std::min<std::size_t>(count, maxRecords(n.size()));
    std::size_t tableStart = offsetTableStart(n, count);
    offsets.reserve(c);
    for (std::size_t i = 0; i < c; ++i) {
        std::uint16_t off = n.u16(n.size() - 2 * (i + 1));
        if (off >= kNodeDescriptorSize && off < tableStart) offsets.push_back(off);
    }
    return offsets;
}

std::size_t freeSpaceOffset(BigEndianView n, std::uint16_t count) {
    std::size_t c = std::min<std::size_t>(count, maxRecords(n.size()));
    std::size_t tableStart = offsetTableStart(n, count);
    if (n.size() < 2 * (c + 1)) return tableStart;
    std::size_t off = n.u16(n.size() - 2 * (c + 1));
    return off >= kNodeDescriptorSize && off <= tableStart ? off : tableStart;
}

BigEndianView recordBytes(BigEndianView n, std::uint16_t count, std::uint16_t index) {
    std::size_t c = std::min<std::size_t>(count, maxRecords(n.size()));
    if (index >= c) return {};
    std::size_t tableStart = offsetTableStart(n, count);
    std::size_t start = n.u16(n.size() - 2 * (index + 1));
    std::size_t end = n.u16(n.size() - 2 * (index + 2));
    if (start < kNodeDescriptorSize || end > tableStart || end < start) return {};
    return n.sub(start, end - start);
}

std::optional<bool> mapBit(BigEndianView map, std::uint64_t first, std::uint64_t n) {
    if (n < first) return std::nullopt;
    std::uint64_t bit = n - first;
    if (bit / 8 >= map.size()) return std::nullopt;
    return blockInUse(map.data(), bit);
}

std::optional<CatalogRecord> parseCatalogRecord(BigEndianView n, std::size_t offset,
                                                std::size_t limit, bool strict) {
    limit = std::min(limit, n.size());
    if (offset >= limit || limit - offset < key::kName) return std::nullopt;
    if (strict && (offset & 1)) return std::nullopt;
    BigEndianView v = n.sub(offset, limit - offset);
    CatalogRecord r;
    std::size_t keyLength = v.u16(key::kKeyLength);
    std::size_t nameLength = v.u16(key::kNameLength);
    if (nameLength > kMaxNameLength) return std::nullopt;
    std::size_t nameBytes = key::kMinLength + 2 * nameLength;
    if (keyLength < nameBytes || (strict && keyLength != nameBytes)) return std::nullopt;
    std::size_t data = 2 + keyLength;
    if (!v.fits(data, 2)) return std::nullopt;
    r.type = v.u16(data + cat::kRecordType);
    r.keyParentId = v.u32(key::kParentId);
    BigEndianView d = v.sub(data);

    if (r.type == kFolderRecord || r.type == kFileRecord) {
        std::size_t size = r.type == kFolderRecord ? cat::kFolderSize : cat::kFileSize;
        if (!d.fits(0, size) || nameLength == 0) return std::nullopt;
        r.id = d.u32(cat::kId);
        if (r.id == 0) return std::nullopt;
        r.createDate = d.u32(cat::kCreateDate);
        r.contentModDate = d.u32(cat::kContentModDate);
        r.attributeModDate = d.u32(cat::kAttributeModDate);
        r.accessDate = d.u32(cat::kAccessDate);
        r.fileMode = d.u16(cat::kFileMode);
        r.special = d.u32(cat::kSpecial);
        r.fileType = d.u32(cat::kFileType);
        r.fileCreator = d.u32(cat::kFileCreator);
        if (r.type == kFileRecord) r.dataFork = parseForkData(d.sub(cat::kDataFork, kForkDataSize));
        if (strict) {
            bool root =
                r.type == kFolderRecord && r.id == kRootFolderId && r.keyParentId == kRootParentId;
            if (!root && (r.id < kFirstUserId || r.keyParentId < kRootFolderId))
                return std::nullopt;
            if (r.type == kFileRecord && !wellFormedExtents(r.dataFork.extents))
                return std::nullopt;
        }
        r.keyName = unitsAt(v, key::kName, nameLength);
        r.length = data + size;
        return r;
    }
    if (r.type == kFolderThread || r.type == kFileThread) {
        if (nameLength != 0 || !d.fits(0, cat::kThreadMinSize)) return std::nullopt;
        std::size_t threadNameLength = d.u16(cat::kThreadName);
        if (threadNameLength == 0 || threadNameLength > kMaxNameLength) return std::nullopt;
        if (!d.fits(cat::kThreadMinSize, 2 * threadNameLength)) return std::nullopt;
        r.id = r.keyParentId;
        r.threadParentId = d.u32(cat::kThreadParent);
        if (r.id == 0 || r.threadParentId == 0) return std::nullopt;
        if (strict && (d.u16(2) != 0 || (r.id < kFirstUserId && r.id != kRootFolderId)))
            return std::nullopt;
        r.threadName = unitsAt(d, cat::kThreadMinSize, threadNameLength);
        r.length = data + cat::kThreadMinSize + 2 * threadNameLength;
        return r;
    }
    return std::nullopt;
}

void carveCatalogRecords(BigEndianView n, std::size_t from, std::size_t to,
                         const std::function<void(std::size_t, const CatalogRecord&)>& found) {
    to = std::min(to, n.size());
    std::size_t off = std::max<std::size_t>(from, kNodeDescriptorSize);
    off += off & 1;
    while (off < to && to - off >= key::kName + cat::kThreadMinSize) {
        auto r = parseCatalogRecord(n, off, to, true);
        if (!r) {
            off += 2;
            continue;
        }
        found(off, *r);
        off += r->length + (r->length & 1);
    }
}

bool looksLikeCatalogLeaf(BigEndianView n) {
    if (n.size() < kMinNodeSize || !n.fits(0, kNodeDescriptorSize)) return false;
    NodeDescriptor d = parseNodeDescriptor(n);
    return d.kind == kLeafNode && d.height == 1 && n.u16(12) == 0 &&
           d.recordCount <= maxRecords(n.size()) && n.u16(n.size() - 2) == kNodeDescriptorSize;
}

std::optional<OverflowRecord> parseOverflowRecord(BigEndianView n, std::size_t offset,
                                                  std::size_t limit) {
    limit = std::min(limit, n.size());
    if (offset >= limit || limit - offset < ext::kRecordSize) return std::nullopt;
    BigEndianView v = n.sub(offset, ext::kRecordSize);
    if (v.u16(ext::kKeyLength) != ext::kKeyLengthValue) return std::nullopt;
    OverflowRecord r;
    r.key.forkType = v.u8(ext::kForkType);
    r.key.fileId = v.u32(ext::kFileId);
    r.key.startBlock = v.u32(ext::kStartBlock);
    if (r.key.fileId == 0 || (r.key.forkType != kDataFork && r.key.forkType != kResourceFork))
        return std::nullopt;
    r.extents = parseExtentRecord(v.sub(2 + ext::kKeyLengthValue, 64));
    return r;
}

}  // namespace vel::hfs
