#include "fs/ntfs/NtfsRecord.h"

#include <algorithm>
#include <cstring>

namespace vel::ntfsfmt {

bool decodeBootSector(const std::uint8_t* b, BootGeometry& g) {
    g = BootGeometry{};
    if (std::memcmp(b + 3, "NTFS", 4) != 0) return false;
    const std::uint32_t bps = le16(b + 11);
    if (!isPowerOfTwo(bps) || bps < 512 || bps > 4096) return false;
    // Above 0x80 the byte is a negative power of two: clusters of 64 KiB and more.
    const std::uint8_t spcByte = b[13];
    std::uint64_t clusterSize;
    if (spcByte <= 0x80) {
        if (!isPowerOfTwo(spcByte)) return false;
        clusterSize = std::uint64_t{bps} * spcByte;
    } else {
        const unsigned shift = 256u - spcByte;
        if (shift > 31) return false;
        clusterSize = std::uint64_t{1} << shift;
    }
    if (clusterSize < bps || clusterSize > kMaxClusterSize) return false;
    const auto perRecord = static_cast<std::int8_t>(b[0x40]);
    std::uint64_t recordSize;
    if (perRecord > 0)
        recordSize = clusterSize * static_cast<std::uint64_t>(perRecord);
    else if (perRecord < 0 && perRecord > -32)
        recordSize = std::uint64_t{1} << -perRecord;
    else
        return false;
    if (!isPowerOfTwo(recordSize) || recordSize < 512 || recordSize > kMaxRecordSize) return false;
    const std::uint64_t totalSectors = le64(b + 40);
    const std::uint64_t mftCluster = le64(b + 48);
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
    if (totalSectors >= kLimit / bps || mftCluster >= kLimit / clusterSize) return false;
    g.bytesPerSector = bps;
    g.clusterSize = clusterSize;
    g.recordSize = static_cast<std::uint32_t>(recordSize);
    g.volumeSize = totalSectors * bps;
    g.mftOffset = mftCluster * clusterSize;
    return true;
}

std::uint32_t recordSizeOf(const std::uint8_t* record) {
    const std::uint32_t allocated = le32(record + 0x1C);
    return allocated == 1024 || allocated == 2048 || allocated == 4096 ? allocated : 0;
}

void applyFixups(std::uint8_t* record, std::uint32_t recordSize) {
    const std::uint32_t usaOffset = le16(record + 4);
    const std::uint32_t usaCount = le16(record + 6);
    if (usaOffset >= recordSize) return;
    for (std::uint32_t k = 1; k < usaCount; ++k) {
        const std::uint32_t tail = k * kSectorSize - 2;
        const std::uint32_t element = usaOffset + 2 * k;
        if (tail + 2 > recordSize || element + 2 > recordSize) break;
        record[tail] = record[element];
        record[tail + 1] = record[element + 1];
    }
}

AttributeHeaders attributeHeaders(const std::uint8_t* record, std::uint32_t recordSize) {
    AttributeHeaders out;
    std::uint32_t offset = le16(record + 0x14);
    // Each header is at least 16 bytes: a 4096-byte record ends the walk within 256 steps, and
    // only the first kMax are kept.
    while (offset + 16 <= recordSize) {
        const std::uint8_t* h = record + offset;
        AttributeRef a;
        a.type = le32(h);
        if (a.type == kEndOfAttributes) break;
        a.length = le16(h + 4);
        if (a.length < 16 || offset + a.length > recordSize) break;
        a.offset = offset;
        a.nonResident = h[8] != 0;
        a.nameLength = h[9];
        a.flags = le16(h + 0x0C);
        out.push_back(a);
        offset += a.length;
    }
    return out;
}

ValueRef residentValue(const std::uint8_t* record, const AttributeRef& a) {
    ValueRef v;
    if (a.nonResident || a.length < 0x18) return v;
    const std::uint8_t* h = record + a.offset;
    const std::uint32_t length = le32(h + 0x10);
    const std::uint32_t offset = le16(h + 0x14);
    if (offset > a.length || length > a.length - offset) return v;
    v.data = h + offset;
    v.length = length;
    v.offset = a.offset + offset;
    return v;
}

bool decodeFileName(const ValueRef& value, FileNameInfo& out) {
    if (!value.data || value.length < 0x42) return false;
    const std::uint8_t* p = value.data;
    std::uint64_t parent = le64(p) & 0xFFFFFFFFFFFFull;
    if (parent & 0x800000000000ull) parent |= 0xFFFF000000000000ull;
    out.parentIndex = static_cast<std::int64_t>(parent);
    out.allocatedSize = le64(p + 0x28);
    out.flags = le32(p + 0x38);
    out.nameLength = p[0x40];
    out.nameSpace = p[0x41];
    if (0x42 + 2 * out.nameLength > value.length) return false;
    out.name = p + 0x42;
    return true;
}

NameChoice chooseName(const std::uint8_t* record, std::uint32_t recordSize) {
    NameChoice c;
    bool haveLong = false;
    for (const AttributeRef& a : attributeHeaders(record, recordSize)) {
        if (a.type != kFileName || a.nonResident) continue;
        FileNameInfo fn;
        if (!decodeFileName(residentValue(record, a), fn)) continue;
        if (fn.flags & kDirectoryIndexFlag) c.directory = true;
        const bool isLong = fn.nameSpace != kDosNamespace;
        if (haveLong && !isLong) continue;
        haveLong = haveLong || isLong;
        c.info = fn;
        c.found = true;
    }
    return c;
}

std::vector<DataRun> decodeRuns(const std::uint8_t* bytes, std::size_t length,
                                std::uint64_t maxClusters) {
    std::vector<DataRun> runs;
    std::size_t pos = 0;
    std::int64_t current = 0;
    std::uint64_t total = 0;
    while (pos < length) {
        const std::uint8_t h = bytes[pos];
        const unsigned lengthSize = h & 0x0F;
        const unsigned offsetSize = h >> 4;
        if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8) break;
        if (pos + 1 + lengthSize + offsetSize > length) break;
        const std::uint8_t* p = bytes + pos + 1;
        std::uint64_t count = 0;
        for (unsigned i = 0; i < lengthSize; ++i)
            count |= static_cast<std::uint64_t>(p[i]) << (8 * i);
        DataRun run;
        run.clusterCount = count;
        if (offsetSize == 0) {
            run.sparse = true;
        } else {
            std::uint64_t delta = 0;
            for (unsigned i = 0; i < offsetSize; ++i)
                delta |= static_cast<std::uint64_t>(p[lengthSize + i]) << (8 * i);
            if (offsetSize < 8 && (p[lengthSize + offsetSize - 1] & 0x80))
                delta |= ~0ull << (8 * offsetSize);
            current = static_cast<std::int64_t>(static_cast<std::uint64_t>(current) + delta);
            run.startCluster = current;
        }
        pos += 1 + lengthSize + offsetSize;
        if (count > maxClusters - std::min(total, maxClusters)) break;
        total += count;
        runs.push_back(run);
    }
    return runs;
}

DataAttributeInfo describeData(const std::uint8_t* record, std::uint32_t recordSize) {
    DataAttributeInfo unnamed, named;
    bool haveUnnamed = false, haveNamed = false;
    for (const AttributeRef& a : attributeHeaders(record, recordSize)) {
        if (a.type != kData) continue;
        DataAttributeInfo& d = a.nameLength == 0 ? unnamed : named;
        bool& have = a.nameLength == 0 ? haveUnnamed : haveNamed;
        if (have && d.residency == 'N') continue;  // the first non-resident one wins
        const std::uint8_t* h = record + a.offset;
        DataAttributeInfo info;
        info.attributeOffset = a.offset;
        if (a.nonResident) {
            if (a.length < 0x40) continue;
            info.residency = 'N';
            info.runListOffset = le16(h + 0x20);
            info.runListLength = info.runListOffset < a.length ? a.length - info.runListOffset : 0;
            info.compressionUnit = le16(h + 0x22);
            info.startVcn = le64(h + 0x10);
            info.lastVcn = le64(h + 0x18);
            info.allocatedSize = le64(h + 0x28);
            info.realSize = le64(h + 0x30);
            info.initializedSize = le64(h + 0x38);
            info.compressed = a.flags == 0x0001;
        } else {
            ValueRef v = residentValue(record, a);
            if (!v.data) continue;
            info.residency = 'R';
            info.valueOffset = static_cast<std::uint16_t>(v.offset);
            info.valueLength = v.length;
            info.realSize = info.initializedSize = v.length;
        }
        d = info;
        have = true;
    }
    if (haveUnnamed) return unnamed;
    return haveNamed ? named : DataAttributeInfo{};
}

std::vector<DataRun> attributeRuns(const std::uint8_t* record, const AttributeRef& a) {
    if (!a.nonResident || a.length < 0x40) return {};
    const std::uint8_t* h = record + a.offset;
    const std::uint32_t runListOffset = le16(h + 0x20);
    if (runListOffset >= a.length) return {};
    const std::uint64_t startVcn = le64(h + 0x10), lastVcn = le64(h + 0x18);
    if (lastVcn < startVcn && lastVcn + 1 != startVcn) return {};
    return decodeRuns(h + runListOffset, a.length - runListOffset, lastVcn - startVcn + 1);
}

std::string attributeLetters(std::uint16_t flags) {
    std::string s;
    if (flags & 0x0001) s += "-R";
    if (flags & 0x0002) s += "-H";
    if (flags & 0x0200) s += "-S";
    if (flags & 0x0020) s += "-A";
    if (flags & 0x0800) s += "-C";
    if (flags & 0x4000) s += "-E";
    return s;
}

EntryTimes readTimes(const std::uint8_t* record, std::uint32_t recordSize) {
    EntryTimes t;
    for (const AttributeRef& a : attributeHeaders(record, recordSize)) {
        ValueRef v = residentValue(record, a);
        if (a.type == kStandardInformation && v.data && v.length >= 0x20) {
            t.creation = le64(v.data);
            t.modification = le64(v.data + 0x08);
            t.access = le64(v.data + 0x18);
        } else if (a.type == kFileName && v.data && v.length >= 0x3C) {
            t.fileAttributes = static_cast<std::uint16_t>(le32(v.data + 0x38) & 0xFFFF);
            t.attributes = attributeLetters(t.fileAttributes);
        }
    }
    return t;
}

std::vector<ListedExtent> collectAttributeList(const std::uint8_t* list, std::size_t length,
                                               std::uint32_t wanted) {
    std::vector<ListedExtent> out;
    std::size_t pos = 0;
    while (pos + 0x1A <= length) {
        const std::uint8_t* e = list + pos;
        const std::uint32_t type = le32(e);
        if (type == kEndOfAttributes) break;
        const std::uint16_t entryLength = le16(e + 4);
        if (entryLength < 0x1A || pos + entryLength > length) break;
        if (type == wanted && (wanted != kData || e[6] == 0)) {
            ListedExtent x;
            x.recordNumber = le64(e + 0x10) & 0xFFFFFFFFFFFFull;
            x.startVcn = le64(e + 0x08);
            if (out.empty() || out.back().recordNumber != x.recordNumber) out.push_back(x);
        }
        pos += entryLength;
    }
    return out;
}

}  // namespace vel::ntfsfmt
