#include "fs/hfsplus/HfsLayout.h"

#include <algorithm>

namespace vel::hfs {

namespace {
std::u16string unitsAt(ByteView view, std::size_t offset, std::size_t count) {
    std::u16string s(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<char16_t>(view.be16(offset + 2 * i));
    return s;
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

ExtentRecord parseExtentRecord(ByteView view) {
    ExtentRecord r{};
    for (std::size_t i = 0; i < kExtentsPerRecord; ++i)
        r[i] = {view.be32(8 * i), view.be32(8 * i + 4)};
    return r;
}

ForkData parseForkData(ByteView view) {
    ForkData f;
    f.logicalSize = view.be64(fork::kLogicalSize);
    f.totalBlocks = view.be32(fork::kTotalBlocks);
    f.extents = parseExtentRecord(view.sub(fork::kExtents, 64));
    return f;
}

std::optional<VolumeHeader> parseVolumeHeader(ByteView v) {
    if (!v.has(0, kVolumeHeaderSize)) return std::nullopt;
    VolumeHeader h;
    h.signature = v.be16(vh::kSignature);
    if (h.signature != kSignatureHfsPlus && h.signature != kSignatureHfsx) return std::nullopt;
    h.version = v.be16(vh::kVersion);
    // 4 for "H+", 5 for "HX"; a high byte is garbage, not a newer version.
    if (h.version > 0xFF) return std::nullopt;
    h.attributes = v.be32(vh::kAttributes);
    h.fileCount = v.be32(vh::kFileCount);
    h.folderCount = v.be32(vh::kFolderCount);
    h.blockSize = v.be32(vh::kBlockSize);
    h.totalBlocks = v.be32(vh::kTotalBlocks);
    h.freeBlocks = v.be32(vh::kFreeBlocks);
    h.nextCatalogId = v.be32(vh::kNextCatalogId);
    if (!isPowerOfTwo(h.blockSize) || h.blockSize < 512 || h.totalBlocks == 0) return std::nullopt;
    h.allocationFile = parseForkData(v.sub(vh::kAllocationFile, kForkDataSize));
    h.extentsFile = parseForkData(v.sub(vh::kExtentsFile, kForkDataSize));
    h.catalogFile = parseForkData(v.sub(vh::kCatalogFile, kForkDataSize));
    h.attributesFile = parseForkData(v.sub(vh::kAttributesFile, kForkDataSize));
    return h;
}

NodeDescriptor parseNodeDescriptor(ByteView n) {
    NodeDescriptor d;
    d.forwardLink = n.be32(node::kForwardLink);
    d.backwardLink = n.be32(node::kBackwardLink);
    d.kind = static_cast<std::int8_t>(n.u8(node::kKind));
    d.height = n.u8(node::kHeight);
    d.recordCount = n.be16(node::kRecordCount);
    return d;
}

bool isValidNodeSize(std::uint32_t size) {
    return isPowerOfTwo(size) && size >= kMinNodeSize && size <= kMaxNodeSize;
}

std::optional<HeaderRecord> parseHeaderNode(ByteView n) {
    if (!n.has(kNodeDescriptorSize, hdr::kSize)) return std::nullopt;
    if (parseNodeDescriptor(n).kind != kHeaderNode) return std::nullopt;
    ByteView r = n.sub(kNodeDescriptorSize, hdr::kSize);
    HeaderRecord h;
    h.treeDepth = r.be16(hdr::kTreeDepth);
    h.rootNode = r.be32(hdr::kRootNode);
    h.leafRecords = r.be32(hdr::kLeafRecords);
    h.firstLeafNode = r.be32(hdr::kFirstLeafNode);
    h.lastLeafNode = r.be32(hdr::kLastLeafNode);
    h.nodeSize = r.be16(hdr::kNodeSize);
    h.totalNodes = r.be32(hdr::kTotalNodes);
    h.freeNodes = r.be32(hdr::kFreeNodes);
    h.keyCompareType = r.u8(hdr::kKeyCompareType);
    if (!isValidNodeSize(h.nodeSize)) return std::nullopt;
    return h;
}

std::size_t offsetTableStart(ByteView n, std::uint16_t count) {
    std::size_t c = std::min<std::size_t>(count, maxRecords(n.size()));
    return n.size() >= 2 * (c + 1) ? n.size() - 2 * (c + 1) : 0;
}

std::vector<std::uint16_t> recordOffsets(ByteView n, std::uint16_t count) {
    std::vector<std::uint16_t> offsets;
    std::size_t c = std::min<std::size_t>(count, maxRecords(n.size()));
    std::size_t tableStart = offsetTableStart(n, count);
    offsets.reserve(c);
    for (std::size_t i = 0; i < c; ++i) {
        std::uint16_t off = n.be16(n.size() - 2 * (i + 1));
        if (off >= kNodeDescriptorSize && off < tableStart) offsets.push_back(off);
    }
    return offsets;
}

std::size_t freeSpaceOffset(ByteView n, std::uint16_t count) {
    std::size_t c = std::min<std::size_t>(count, maxRecords(n.size()));
    std::size_t tableStart = offsetTableStart(n, count);
    if (n.size() < 2 * (c + 1)) return tableStart;
    std::size_t off = n.be16(n.size() - 2 * (c + 1));
    return off >= kNodeDescriptorSize && off <= tableStart ? off : tableStart;
}

ByteView recordBytes(ByteView n, std::uint16_t count, std::uint16_t index) {
    std::size_t c = std::min<std::size_t>(count, maxRecords(n.size()));
    if (index >= c) return {};
    std::size_t tableStart = offsetTableStart(n, count);
    std::size_t start = n.be16(n.size() - 2 * (index + 1));
    std::size_t end = n.be16(n.size() - 2 * (index + 2));
    if (start < kNodeDescriptorSize || end > tableStart || end < start) return {};
    return n.sub(start, end - start);
}

std::optional<bool> mapBit(ByteView map, std::uint64_t first, std::uint64_t n) {
    if (n < first) return std::nullopt;
    std::uint64_t bit = n - first;
    if (bit / 8 >= map.size()) return std::nullopt;
    return blockInUse(map.data(), bit);
}

std::optional<CatalogRecord> parseCatalogRecord(ByteView n, std::size_t offset, std::size_t limit,
                                                bool strict) {
    limit = std::min(limit, n.size());
    if (offset >= limit || limit - offset < key::kName) return std::nullopt;
    if (strict && (offset & 1)) return std::nullopt;
    ByteView v = n.sub(offset, limit - offset);
    CatalogRecord r;
    std::size_t keyLength = v.be16(key::kKeyLength);
    std::size_t nameLength = v.be16(key::kNameLength);
    if (nameLength > kMaxNameLength) return std::nullopt;
    std::size_t nameBytes = key::kMinLength + 2 * nameLength;
    if (keyLength < nameBytes || (strict && keyLength != nameBytes)) return std::nullopt;
    std::size_t data = 2 + keyLength;
    if (!v.has(data, 2)) return std::nullopt;
    r.type = v.be16(data + cat::kRecordType);
    r.keyParentId = v.be32(key::kParentId);
    ByteView d = v.sub(data);

    if (r.type == kFolderRecord || r.type == kFileRecord) {
        std::size_t size = r.type == kFolderRecord ? cat::kFolderSize : cat::kFileSize;
        if (!d.has(0, size) || nameLength == 0) return std::nullopt;
        r.id = d.be32(cat::kId);
        if (r.id == 0) return std::nullopt;
        r.createDate = d.be32(cat::kCreateDate);
        r.contentModDate = d.be32(cat::kContentModDate);
        r.attributeModDate = d.be32(cat::kAttributeModDate);
        r.accessDate = d.be32(cat::kAccessDate);
        r.fileMode = d.be16(cat::kFileMode);
        r.special = d.be32(cat::kSpecial);
        r.fileType = d.be32(cat::kFileType);
        r.fileCreator = d.be32(cat::kFileCreator);
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
        if (nameLength != 0 || !d.has(0, cat::kThreadMinSize)) return std::nullopt;
        std::size_t threadNameLength = d.be16(cat::kThreadName);
        if (threadNameLength == 0 || threadNameLength > kMaxNameLength) return std::nullopt;
        if (!d.has(cat::kThreadMinSize, 2 * threadNameLength)) return std::nullopt;
        r.id = r.keyParentId;
        r.threadParentId = d.be32(cat::kThreadParent);
        if (r.id == 0 || r.threadParentId == 0) return std::nullopt;
        if (strict && (d.be16(2) != 0 || (r.id < kFirstUserId && r.id != kRootFolderId)))
            return std::nullopt;
        r.threadName = unitsAt(d, cat::kThreadMinSize, threadNameLength);
        r.length = data + cat::kThreadMinSize + 2 * threadNameLength;
        return r;
    }
    return std::nullopt;
}

void carveCatalogRecords(ByteView n, std::size_t from, std::size_t to,
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

bool looksLikeCatalogLeaf(ByteView n) {
    if (n.size() < kMinNodeSize || !n.has(0, kNodeDescriptorSize)) return false;
    NodeDescriptor d = parseNodeDescriptor(n);
    return d.kind == kLeafNode && d.height == 1 && n.be16(12) == 0 &&
           d.recordCount <= maxRecords(n.size()) && n.be16(n.size() - 2) == kNodeDescriptorSize;
}

std::optional<OverflowRecord> parseOverflowRecord(ByteView n, std::size_t offset,
                                                  std::size_t limit) {
    limit = std::min(limit, n.size());
    if (offset >= limit || limit - offset < ext::kRecordSize) return std::nullopt;
    ByteView v = n.sub(offset, ext::kRecordSize);
    if (v.be16(ext::kKeyLength) != ext::kKeyLengthValue) return std::nullopt;
    OverflowRecord r;
    r.key.forkType = v.u8(ext::kForkType);
    r.key.fileId = v.be32(ext::kFileId);
    r.key.startBlock = v.be32(ext::kStartBlock);
    if (r.key.fileId == 0 || (r.key.forkType != kDataFork && r.key.forkType != kResourceFork))
        return std::nullopt;
    r.extents = parseExtentRecord(v.sub(2 + ext::kKeyLengthValue, 64));
    return r;
}

}  // namespace vel::hfs
