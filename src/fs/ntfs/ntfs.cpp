#include "fs/ntfs/ntfs.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "fs/common/FileSystemTable.h"
#include "fs/ntfs/Lznt1.h"
#include "fs/ntfs/NtfsDeep.h"
#include "platform/FileTimes.h"
#include "platform/OutputFile.h"
#include "platform/Text.h"
#include "scan/Formats.h"
#include "search/RecycleBinNames.h"

namespace vel {

using namespace ntfsfmt;

namespace {

constexpr std::uint64_t kSearchChunk = 10485760;
constexpr std::uint32_t kReadBlock = 1 << 20;
// Status lines per entry would flood the screen; one in this many is shown.
constexpr std::int64_t kStatusEvery = 4096;

bool nameStartsWithMft(const std::u16string& name) {
    return name.size() >= 3 && name[0] == u'$' && name[1] == u'M' && name[2] == u'F';
}

// Searches a volume for the first record whose name begins "$MF" and that has $DATA runs.
// onRecord sees every "FILE" sector (offset); returns the record's offset when found.
// Unreadable chunks read as zeros and hold no record; the search goes on past them.
template <class OnRecord>
std::optional<std::uint64_t> searchMftRecord(const readWriteInterface& reader,
                                             std::uint64_t volumeSize, const StopFlag* stop,
                                             ScanSink& sink, OnRecord onRecord) {
    std::vector<std::uint8_t> buffer(kSearchChunk);
    sink.setProgressRange(static_cast<std::int64_t>(volumeSize / kSearchChunk));
    constexpr auto kMaxOffset =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    for (std::uint64_t k = 0, pos = 0; pos < volumeSize && pos < kMaxOffset;
         ++k, pos += kSearchChunk) {
        if (stop && stop->requested()) break;
        if (k % 100 == 0) sink.setProgressPosition(static_cast<std::int64_t>(k));
        reader.readAt(static_cast<std::int64_t>(pos), buffer.data(), kSearchChunk);
        for (std::uint64_t s = 0; s + 4 <= kSearchChunk; s += kSectorSize) {
            if (le32(buffer.data() + s) != kFileSignature) continue;
            if (onRecord(pos + s)) return pos + s;
            s += kSectorSize;  // a record covers at least two sectors
        }
    }
    return std::nullopt;
}

std::vector<DataRun> dataRunsOf(const std::uint8_t* record, std::uint32_t recordSize,
                                std::uint32_t type) {
    for (const AttributeRef& a : attributeHeaders(record, recordSize))
        if (a.type == type && a.nonResident) return attributeRuns(record, a);
    return {};
}

// A record at a volume offset, fixed up; an unreadable one reads as zeros (no "FILE").
bool readRecordAt(const readWriteInterface& reader, std::uint64_t offset, std::uint8_t* record,
                  std::uint32_t recordSize) {
    std::memset(record, 0, recordSize);
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    reader.readAt(static_cast<std::int64_t>(offset), record, recordSize);
    applyFixups(record, recordSize);
    return true;
}

}  // namespace

namespace ntfsdetail {

// Record slots read in large blocks: the scan touches every record once, in disk order.
// A sector that cannot be read costs only the records it holds: the source zero-fills it.
class RecordBlockReader {
  public:
    explicit RecordBlockReader(const readWriteInterface* reader)
        : reader_(reader), block_(kReadBlock) {}
    bool fetch(std::uint64_t offset, std::uint8_t* record, std::uint32_t recordSize) {
        const std::uint8_t* bytes = peek(offset, recordSize);
        if (!bytes) return false;
        std::memcpy(record, bytes, recordSize);
        return true;
    }
    // The record's bytes in the block, valid until the next call; null past the last offset.
    const std::uint8_t* peek(std::uint64_t offset, std::uint32_t recordSize) {
        if (!reader_) return nullptr;
        if (!(valid_ && offset >= start_ && offset + recordSize <= start_ + length_)) {
            if (offset >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - kReadBlock) {
                valid_ = false;
                return nullptr;
            }
            reader_->readAt(static_cast<std::int64_t>(offset), block_.data(), kReadBlock);
            start_ = offset;
            length_ = kReadBlock;
            valid_ = true;
        }
        return block_.data() + (offset - start_);
    }

  private:
    const readWriteInterface* reader_;
    std::vector<std::uint8_t> block_;
    std::uint64_t start_ = 0, length_ = 0;
    bool valid_ = false;
};

}  // namespace ntfsdetail

using ntfsdetail::RecordBlockReader;

namespace {
bool hasAttributeList(const std::uint8_t* record, std::uint32_t recordSize) {
    for (const AttributeRef& a : attributeHeaders(record, recordSize))
        if (a.type == kAttributeList) return true;
    return false;
}
}  // namespace

ntfs::ntfs(VolumeDescriptor descriptor, ParserOptions options)
    : VolumeParser(std::move(descriptor), std::move(options)) {}

ntfs::~ntfs() = default;

bool ntfs::fetchRecord(std::uint64_t offset, std::uint8_t* record) const {
    std::memset(record, 0, recordSize);
    if (!reader) return false;
    {
        std::lock_guard lock(blocksMutex_);
        if (!blocks_ || blocksReader_ != reader) {
            blocks_ = std::make_unique<RecordBlockReader>(reader);
            blocksReader_ = reader;
        }
        if (!blocks_->fetch(offset, record, recordSize)) return false;
    }
    applyFixups(record, recordSize);
    return true;
}

WorkerResult ntfs::runWorker(int mode) {
    if (mode == 2) return runAdvanced();
    if (mode == 3) return runDeep();
    WorkerResult result;
    if (mode != 1) {
        result.started = false;
        return result;
    }
    scanMode = mode;
    insertVolumeRoot();
    readBootSector();
    report().setStatusText(" ParsingBasedOnMFT is going on....");
    locateMft();
    enumerateMft();
    buildTree();
    addPlaceholders();
    restoreRecycleBinNames(*this);
    if (backupBootOffset >= 0) result.remarks.push_back(backupBootText(backupBootOffset));
    bool anyRecord = false;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(entries.size()) && !anyRecord; ++i)
        anyRecord = i != orphanIndex && entries[static_cast<std::size_t>(i)].isFileRecord() &&
                    entries[static_cast<std::size_t>(i)].hasName;
    if (!bootSectorUsable() && !mftReady && !anyRecord && !stopRequested.requested()) {
        result.endSequence = false;
        result.failureBox = "Selected Drive is not in NTFS Format";
        result.remarks.push_back(
            "no NTFS boot sector at the start of the volume, no backup copy at its end, and no "
            "MFT record found by searching the volume");
    }
    return result;
}

void ntfs::insertVolumeRoot() {
    insertVolumeRootItem();
}

bool ntfs::bootSectorUsable() const {
    BootGeometry g;
    return bootSector.size() >= 512 && decodeBootSector(bootSector.data(), g);
}

bool ntfs::readBootSector() {
    bootSector.assign(512, 0);
    backupBootOffset = -1;
    if (reader) reader->readAt(0, bootSector.data(), 512);
    const std::int64_t mib =
        std::clamp<std::int64_t>(sizeTextMiB(volume.sizeText), 0, std::int64_t{1} << 40);
    BootGeometry g;
    if (!decodeBootSector(bootSector.data(), g) && reader) {
        std::uint8_t copy[512];
        const std::int64_t at = ntfsBackupBootSector(*reader, mib * 1048576, copy);
        if (at >= 0) {
            bootSector.assign(copy, copy + sizeof copy);
            backupBootOffset = at;
            report().setStatusText(backupBootText(at));
        }
    }
    if (decodeBootSector(bootSector.data(), g))
        volumeSize = g.volumeSize;
    else
        volumeSize = static_cast<std::uint64_t>(mib) * 1048576;
    return volumeSize != 0;
}

std::vector<DataRun> ntfs::mftRunsFromRecord(const std::uint8_t* record) const {
    return dataRunsOf(record, recordSize, kData);
}

bool ntfs::locateMft() {
    BootGeometry g;
    if (bootSector.size() >= 512 && decodeBootSector(bootSector.data(), g)) {
        mftReady = true;
        clusterSize = g.clusterSize;
        recordSize = g.recordSize;
        mftOffset = g.mftOffset;
        std::uint8_t record[kMaxRecordSize];
        if (!reader || !readRecordAt(*reader, mftOffset, record, recordSize)) return true;
        report().setStatusText("boot sector is fine.Getting run of mft entry...");
        mftRuns = mftRunsFromRecord(record);
        report().setStatusText("Got run...");
        runPending = false;
        return true;
    }
    return searchForMft();
}

bool ntfs::searchForMft() {
    clusterSize = 4096;
    recordSize = kRecordSize;
    report().setStatusText("boot sector corrupt.Scanning for first mft entry...");
    mftReady = false;
    if (!reader) return false;
    auto found =
        searchMftRecord(*reader, volumeSize, &stopRequested, report(), [&](std::uint64_t offset) {
            auto index = static_cast<std::int64_t>(entries.size());
            NtfsEntry e;
            e.signature = kFileSignature;
            e.recordOffset = offset;
            entries.push_back(e);
            decodeEntry(offset, index);
            if (!nameStartsWithMft(nameOf(index))) return false;
            report().setStatusText("found mft entry.getting its run ...");
            std::uint8_t record[kMaxRecordSize];
            // The record tells its own size: 4096-byte records come from 4Kn disks.
            if (readRecordAt(*reader, offset, record, kMaxRecordSize)) {
                if (std::uint32_t size = recordSizeOf(record)) recordSize = size;
                readRecordAt(*reader, offset, record, recordSize);
                mftRuns = mftRunsFromRecord(record);
            }
            report().setStatusText("got run ...");
            return !mftRuns.empty();
        });
    if (!found) return false;
    mftReady = true;
    runPending = false;
    entries.clear();
    nameArena.clear();
    return true;
}

void ntfs::enumerateMft() {
    if (!mftReady || stopRequested.requested()) return;
    if (clusterSize == 0) clusterSize = 4096;
    if (runPending && !entries.empty()) {
        report().setStatusText("getting run of mft...");
        mftRuns = decodeRuns(entries[0].recordOffset, kData);
        report().setStatusText("got run...");
    } else {
        entries.clear();
        nameArena.clear();
    }
    // A record covers several clusters when clusters are smaller than a record.
    const std::uint64_t step = clusterSize >= recordSize ? 1 : recordSize / clusterSize;
    recordsPerCluster =
        clusterSize >= recordSize ? static_cast<std::uint32_t>(clusterSize / recordSize) : 1;
    std::uint64_t slots = 0;
    for (const DataRun& r : mftRuns)
        if (!r.sparse) slots += r.clusterCount / step * recordsPerCluster;
    // A damaged run list must not reserve more than the volume can hold.
    entries.reserve(
        static_cast<std::size_t>(std::min<std::uint64_t>(slots, volumeSize / recordSize + 16)) +
        1);  // and the orphan node

    // Records are decoded as they are read, so the table is read once; the deep mode links its
    // copies in a pass of its own.
    decodedEarly_ = scanMode != 3;
    decodeLater_.clear();
    report().setProgressRange(static_cast<std::int64_t>(entries.capacity()));
    RecordBlockReader blocks(reader);
    std::uint8_t record[kMaxRecordSize];
    constexpr auto maxOffset = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t maxCluster = maxOffset / clusterSize;
    for (const DataRun& run : mftRuns) {
        report().setStatusText("parsing " + std::to_string(run.startCluster) +
                               " cluster of MFT run.");
        if (stopRequested.requested()) return;
        if (run.sparse || run.startCluster < 0) continue;
        for (std::uint64_t c = 0;
             c + step <= run.clusterCount || (step == 1 && c < run.clusterCount); c += step) {
            if ((c & 0xFF) == 0 && stopRequested.requested()) return;
            const std::uint64_t cluster = static_cast<std::uint64_t>(run.startCluster) + c;
            if (cluster > maxCluster) break;
            // Past the volume nothing can be read; a damaged run list ends here.
            if (cluster * clusterSize > maxOffset - origin) break;
            const std::uint64_t clusterOffset = origin + cluster * clusterSize;
            if (volumeSize && clusterOffset >= volumeSize) break;
            for (std::uint32_t r = 0; r < recordsPerCluster; ++r) {
                const std::uint64_t offset = clusterOffset + std::uint64_t{r} * recordSize;
                const std::uint8_t* bytes = blocks.peek(offset, recordSize);
                if (!bytes) break;
                const auto index = static_cast<std::int64_t>(entries.size());
                NtfsEntry e;
                e.signature = le32(bytes);
                e.recordOffset = offset;
                entries.push_back(e);
                if (index % kStatusEvery == 0) {
                    report().setStatusText("parsing MFT entry " + std::to_string(index) + "...");
                    report().setProgressPosition(index);
                }
                if (!decodedEarly_ || !e.isFileRecord()) continue;
                std::memcpy(record, bytes, recordSize);
                applyFixups(record, recordSize);
                // An attribute list may point at records not read yet.
                if (hasAttributeList(record, recordSize))
                    decodeLater_.push_back(index);
                else
                    decodeRecord(record, index);
            }
        }
    }
}

NameChoice ntfs::nameFromAttributeList(const std::uint8_t* record, std::int64_t index,
                                       std::vector<std::uint8_t>& nameBytes) const {
    const std::uint64_t self = recordNumberOf(index);
    for (const AttributeRef& a : attributeHeaders(record, recordSize)) {
        if (a.type != kAttributeList) continue;
        const std::vector<std::uint8_t> list = attributeListBytes(record, a, geometryOf(index));
        for (const ListedExtent& x : collectAttributeList(list.data(), list.size(), kFileName)) {
            if (x.recordNumber == self) continue;
            std::uint8_t other[kMaxRecordSize];
            if (!readListedRecord(index, x.recordNumber, other) || baseRecordOf(other) != self)
                continue;
            NameChoice c = chooseName(other, recordSize);
            if (c.found) {
                // Copied out: the name points into the other record.
                nameBytes.assign(c.info.name, c.info.name + 2 * c.info.nameLength);
                c.info.name = nameBytes.data();
                return c;
            }
        }
        break;
    }
    return {};
}

bool ntfs::decodeEntry(std::uint64_t recordOffset, std::int64_t index) {
    if (!validIndex(index) || !reader) return false;
    std::uint8_t record[kMaxRecordSize];
    if (!fetchRecord(recordOffset, record)) return false;
    return decodeRecord(record, index);
}

bool ntfs::decodeRecord(const std::uint8_t* record, std::int64_t index) {
    if (!validIndex(index)) return false;
    // An extension record's attributes belong to its base record, which is listed instead.
    if (baseRecordOf(record) != 0) return true;
    std::vector<std::uint8_t> listedName;
    NameChoice c = chooseName(record, recordSize);
    if (!c.found) c = nameFromAttributeList(record, index, listedName);
    NtfsEntry& e = entries[static_cast<std::size_t>(index)];
    if (c.directory) e.kind = 'D';
    if (!c.found) return true;
    const EntryTimes t = ntfsfmt::readTimes(record, recordSize);
    e.created = t.creation;
    e.modified = t.modification;
    e.accessed = t.access;
    e.fileAttributes = t.fileAttributes;
    // The size the list shows; through the attribute list only when the record lacks it.
    const DataAttributeInfo d = ntfsfmt::describeData(record, recordSize);
    if (d.residency != 0 && d.startVcn == 0) {
        e.dataSize = d.realSize;
    } else if (e.kind != 'D') {
        DataStream stream;
        if (loadDataStream(index, stream)) e.dataSize = stream.realSize;
    }
    e.nameStart = static_cast<std::uint32_t>(nameArena.size());
    e.nameLength = static_cast<std::uint8_t>(std::min<std::uint32_t>(c.info.nameLength, 255));
    for (std::uint32_t i = 0; i < e.nameLength; ++i)
        nameArena.push_back(static_cast<char16_t>(le16(c.info.name + 2 * i)));
    e.hasName = true;
    e.recordFlags = le16(record + 0x16);
    e.allocatedSize = c.info.allocatedSize;
    e.parentIndex = c.info.parentIndex;
    return true;
}

void ntfs::linkChild(std::int64_t index) {
    if (index < 1 || !validIndex(index)) return;
    NtfsEntry& e = entries[static_cast<std::size_t>(index)];
    const std::int64_t p = e.parentIndex;
    if (p == index || !validIndex(p)) return;
    if (lastChild_.size() != entries.size()) lastChild_.assign(entries.size(), 0);
    NtfsEntry& parent = entries[static_cast<std::size_t>(p)];
    std::int64_t& last = lastChild_[static_cast<std::size_t>(p)];
    if (last == index || parent.firstChild == index) return;  // linked before
    if (parent.firstChild == 0) {
        parent.firstChild = index;
    } else {
        if (last == 0) {
            // The list was started elsewhere: find its end once, bounded by the entry count.
            std::int64_t cur = parent.firstChild;
            for (std::size_t steps = 0; steps < entries.size() && validIndex(cur); ++steps) {
                if (cur == index) return;
                std::int64_t next = entries[static_cast<std::size_t>(cur)].nextSibling;
                if (next <= 0 || next == cur) break;
                cur = next;
            }
            last = cur;
            if (!validIndex(last)) return;
        }
        entries[static_cast<std::size_t>(last)].nextSibling = index;
    }
    e.nextSibling = -1;
    last = index;
}

std::int64_t ntfs::appendSyntheticFolder(const std::string& asciiName) {
    NtfsEntry e;
    e.signature = kFileSignature;
    e.kind = 'D';
    e.hasName = true;
    e.nameStart = static_cast<std::uint32_t>(nameArena.size());
    e.nameLength = static_cast<std::uint8_t>(asciiName.size());
    for (char ch : asciiName) nameArena.push_back(static_cast<char16_t>(ch));
    entries.push_back(e);
    return static_cast<std::int64_t>(entries.size()) - 1;
}

void ntfs::buildTree() {
    const auto n = static_cast<std::int64_t>(entries.size());
    if (mftReady && decodedEarly_) {
        for (std::int64_t i : decodeLater_) {
            if (stopRequested.requested()) break;
            decodeEntry(entries[static_cast<std::size_t>(i)].recordOffset, i);
        }
        report().setProgressRange(n);
        report().setProgressPosition(n);
    } else if (mftReady && !stopRequested.requested()) {
        report().setProgressRange(n);
        for (std::int64_t i = 0; i < n; ++i) {
            if (i % kStatusEvery == 0) {
                report().setStatusText("parsing MFT entry " + std::to_string(i) + "...");
                report().setProgressPosition(i);
                if (stopRequested.requested()) break;
            }
            NtfsEntry& e = entries[static_cast<std::size_t>(i)];
            if (e.isFileRecord()) decodeEntry(e.recordOffset, i);
        }
    }
    if (scanMode == 3 && deep_) {
        deepLinkPass();
        showDeepFirstLevel();
        return;
    }
    // Links: a parent out of range or not a folder makes an orphan; a record that is its own
    // parent (the root) is not listed.
    lastChild_.assign(entries.size(), 0);
    for (std::int64_t i = 0; i < n; ++i) {
        NtfsEntry& e = entries[static_cast<std::size_t>(i)];
        if (!e.hasName) continue;
        const std::int64_t p = e.parentIndex;
        if (p == i) continue;
        if (!validIndex(p) || entries[static_cast<std::size_t>(p)].kind != 'D' ||
            !entries[static_cast<std::size_t>(p)].isFileRecord()) {
            e.orphan = 1;
            continue;
        }
        linkChild(i);
    }

    orphanIndex = appendSyntheticFolder(kOrphanEntryName);
    rootIndex = static_cast<std::int64_t>(entries.size());
    for (std::int64_t i = 0; i < orphanIndex; ++i) {
        const NtfsEntry& e = entries[static_cast<std::size_t>(i)];
        if (e.hasName && e.nameLength == 1 && nameArena[e.nameStart] == u'.') {
            rootIndex = i;
            break;
        }
    }
    NtfsEntry& orphan = entries[static_cast<std::size_t>(orphanIndex)];
    if (validIndex(rootIndex) && rootIndex != orphanIndex) {
        orphan.parentIndex = rootIndex;
        orphan.nextSibling = 0;
        orphan.recordFlags = 1;
        linkChild(orphanIndex);
    }
    report().setProgressRange(n);
    std::int64_t orphanFirst = 0;
    // Entry 0 cannot be listed: a first child of 0 means none.
    for (std::int64_t i = 1; i < orphanIndex; ++i) {
        NtfsEntry& e = entries[static_cast<std::size_t>(i)];
        if (e.orphan != 1) continue;
        if (orphanFirst == 0) {
            e.parentIndex = orphanIndex;
            e.nextSibling = -1;
        } else {
            e.nextSibling = orphanFirst;
        }
        orphanFirst = i;
    }
    entries[static_cast<std::size_t>(orphanIndex)].firstChild = orphanFirst;
    lastChild_.clear();
    lastChild_.shrink_to_fit();

    if (!resultsTree) return;
    if (!validIndex(rootIndex)) {
        // No root: the records found can still be reached through the orphan node.
        if (entries[static_cast<std::size_t>(orphanIndex)].firstChild > 0) {
            insertChildItem(volumeRootItem, orphanIndex, false, orphanIndex);
            resultsTree->expand(volumeRootItem);
        }
        return;
    }
    bool orphanShown = false;
    std::int64_t cur = entries[static_cast<std::size_t>(rootIndex)].firstChild;
    for (std::size_t steps = 0; cur > 0 && validIndex(cur) && steps < entries.size(); ++steps) {
        insertChildItem(volumeRootItem, cur, true, rootIndex);
        if (cur == orphanIndex) orphanShown = true;
        std::int64_t next = entries[static_cast<std::size_t>(cur)].nextSibling;
        if (next == cur) break;
        cur = next;
    }
    if (!orphanShown)
        resultsTree->insertEntry(kOrphanEntryName, IconKind::Folder, volumeRootItem, orphanIndex,
                                 false);
    resultsTree->expand(volumeRootItem);
}

std::u16string ntfs::nameOf(std::int64_t index) const {
    if (!validIndex(index)) return {};
    const NtfsEntry& e = entries[static_cast<std::size_t>(index)];
    if (!e.hasName || e.nameStart + std::size_t{e.nameLength} > nameArena.size()) return {};
    return std::u16string(nameArena.data() + e.nameStart, e.nameLength);
}

bool ntfs::readRecord(std::int64_t index, std::uint8_t* record) const {
    if (!validIndex(index) || !reader) return false;
    return fetchRecord(entries[static_cast<std::size_t>(index)].recordOffset, record);
}

DataAttributeInfo ntfs::describeData(std::int64_t index) const {
    std::uint8_t record[kMaxRecordSize];
    if (!readRecord(index, record)) return {};
    return ntfsfmt::describeData(record, recordSize);
}

EntryTimes ntfs::readTimes(std::int64_t index) const {
    std::uint8_t record[kMaxRecordSize];
    if (!readRecord(index, record)) return {};
    return ntfsfmt::readTimes(record, recordSize);
}

std::vector<DataRun> ntfs::decodeRuns(std::uint64_t recordOffset, std::uint32_t type) const {
    std::uint8_t record[kMaxRecordSize];
    if (!reader || !readRecordAt(*reader, recordOffset, record, recordSize)) return {};
    return dataRunsOf(record, recordSize, type);
}

bool ntfs::readClusters(const ClusterGeometry& g, std::int64_t cluster, std::uint64_t bytes,
                        std::uint8_t* buffer) const {
    std::memset(buffer, 0, bytes);
    const std::uint64_t cs = g.clusterSize ? g.clusterSize : 4096;
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!reader || cluster < 0 || static_cast<std::uint64_t>(cluster) > kMax / cs - 1 ||
        static_cast<std::uint64_t>(cluster) * cs > kMax - g.origin)
        return false;
    return static_cast<bool>(reader->readAt(
        static_cast<std::int64_t>(g.origin + static_cast<std::uint64_t>(cluster) * cs), buffer,
        bytes));
}

ntfs::ClusterGeometry ntfs::geometryOf(std::int64_t index) const {
    ClusterGeometry g{clusterSize ? clusterSize : 4096, origin};
    if (!deep_ || !deep_->grouped) return g;
    const std::int64_t f = deep_->foundOf(index);
    if (f < 0) return g;
    const ntfsdeep::FoundRecord& r = deep_->found[static_cast<std::size_t>(f)];
    const std::uint32_t c = deep_->grouping.copyOf[static_cast<std::size_t>(f)];
    if (c != ntfsdeep::kNoCopy) {
        g.clusterSize = deep_->grouping.copies[c].clusterSize;
        g.origin = deep_->grouping.copies[c].origin;
    }
    // A record that tells its own cluster size knows best.
    if (r.clusterSize) g.clusterSize = r.clusterSize;
    return g;
}

std::uint64_t ntfs::recordNumberOf(std::int64_t index) const {
    if (!deep_) return static_cast<std::uint64_t>(index);
    const std::int64_t f = deep_->foundOf(index);
    if (f < 0 || !deep_->grouped) return ntfsdeep::kNoNumber;
    return deep_->grouping.numberOf[static_cast<std::size_t>(f)];
}

bool ntfs::readListedRecord(std::int64_t index, std::uint64_t number, std::uint8_t* record) const {
    if (!deep_) {
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return false;
        return readRecord(static_cast<std::int64_t>(number), record);
    }
    const std::int64_t f = deep_->foundOf(index);
    if (f < 0 || !deep_->grouped || number >= ntfsdeep::kNoNumber) return false;
    const std::uint32_t c = deep_->grouping.copyOf[static_cast<std::size_t>(f)];
    if (c == ntfsdeep::kNoCopy) return false;
    const std::int64_t other = deep_->grouping.copies[c].find(static_cast<std::uint32_t>(number));
    if (other < 0) return false;
    return fetchRecord(deep_->found[static_cast<std::size_t>(other)].offset, record);
}

std::vector<std::uint8_t> ntfs::attributeListBytes(const std::uint8_t* record,
                                                   const AttributeRef& list,
                                                   const ClusterGeometry& g) const {
    // Resident, or read cluster by cluster from its own runs (at most 16 MiB).
    std::vector<std::uint8_t> bytes;
    const std::uint64_t cs = g.clusterSize ? g.clusterSize : 4096;
    if (!list.nonResident) {
        ValueRef v = residentValue(record, list);
        if (v.data) bytes.assign(v.data, v.data + v.length);
    } else if (list.length >= 0x40) {
        const std::uint64_t size =
            std::min<std::uint64_t>(le64(record + list.offset + 0x30), 16u << 20);
        std::vector<std::uint8_t> cluster(cs);
        for (const DataRun& r : attributeRuns(record, list)) {
            for (std::uint64_t c = 0; c < r.clusterCount && bytes.size() < size; ++c) {
                if (r.sparse)
                    std::fill(cluster.begin(), cluster.end(), 0);
                else
                    readClusters(g, r.startCluster + static_cast<std::int64_t>(c), cs,
                                 cluster.data());
                bytes.insert(bytes.end(), cluster.begin(), cluster.end());
            }
            if (bytes.size() >= size) break;
        }
        if (bytes.size() > size) bytes.resize(size);
    }
    return bytes;
}

bool ntfs::loadDataStream(std::int64_t index, DataStream& out) const {
    out = DataStream{};
    std::uint8_t record[kMaxRecordSize];
    if (!readRecord(index, record) || le32(record) != kFileSignature) return false;
    const AttributeHeaders headers = attributeHeaders(record, recordSize);
    const DataAttributeInfo d = ntfsfmt::describeData(record, recordSize);
    const ClusterGeometry g = geometryOf(index);
    const std::uint64_t cs = g.clusterSize;
    out.clusterSize = g.clusterSize;
    out.origin = g.origin;
    auto takeSizes = [&](const DataAttributeInfo& info) {
        out.found = true;
        out.realSize = info.realSize;
        out.initializedSize = std::min(info.initializedSize, info.realSize);
        out.compressed = info.compressed;
        out.compressionUnit = info.compressionUnit;
    };
    if (d.residency == 'R') {
        out.found = out.resident = true;
        out.residentBytes.assign(record + d.valueOffset, record + d.valueOffset + d.valueLength);
        out.realSize = out.initializedSize = d.valueLength;
        return true;
    }
    const AttributeRef* list = nullptr;
    for (const AttributeRef& a : headers)
        if (a.type == kAttributeList && !list) list = &a;
    if (d.residency == 'N' && d.startVcn == 0) {
        takeSizes(d);
        for (const AttributeRef& a : headers)
            if (a.offset == d.attributeOffset) out.runs = attributeRuns(record, a);
        const std::uint64_t allocatedClusters = (d.allocatedSize + cs - 1) / cs;
        if (!list || d.lastVcn + 1 >= allocatedClusters) return true;
    }
    if (!list) return out.found;

    const std::vector<std::uint8_t> listBytes = attributeListBytes(record, *list, g);
    const std::vector<ListedExtent> extents =
        collectAttributeList(listBytes.data(), listBytes.size());
    if (extents.empty()) return out.found;
    out.runs.clear();
    std::uint64_t vcn = 0;
    std::uint8_t other[kMaxRecordSize];
    const std::uint64_t self = recordNumberOf(index);
    for (const ListedExtent& x : extents) {
        const std::uint8_t* rec = record;
        if (x.recordNumber != self) {
            if (!readListedRecord(index, x.recordNumber, other) || le32(other) != kFileSignature) {
                out.complete = false;
                continue;
            }
            rec = other;
        }
        // Every unnamed non-resident $DATA extent of that record, in VCN order.
        for (const AttributeRef& a : attributeHeaders(rec, recordSize)) {
            if (a.type != kData || !a.nonResident || a.nameLength != 0 || a.length < 0x40) continue;
            const std::uint8_t* h = rec + a.offset;
            const std::uint64_t start = le64(h + 0x10);
            if (start < vcn) continue;  // seen already
            if (start == 0) {
                DataAttributeInfo info;
                info.realSize = le64(h + 0x30);
                info.initializedSize = le64(h + 0x38);
                info.compressed = a.flags == 0x0001;
                info.compressionUnit = le16(h + 0x22);
                takeSizes(info);
            }
            if (start > vcn) {
                out.runs.push_back(DataRun{0, start - vcn, true});
                out.complete = false;
                vcn = start;
            }
            for (const DataRun& r : attributeRuns(rec, a)) {
                out.runs.push_back(r);
                vcn += r.clusterCount;
            }
        }
    }
    return out.found;
}

std::uint64_t ntfs::volumeClusters(const ClusterGeometry& g) const {
    // A deep scan's MFT copies may lie past the boot sector's volume: the source bounds them.
    const std::uint64_t bytes =
        deep_ && reader ? static_cast<std::uint64_t>(reader->byteSize()) : volumeSize;
    if (!bytes) return UINT64_MAX;
    return bytes > g.origin ? (bytes - g.origin) / g.clusterSize : 0;
}

// Whether count clusters from cluster lie inside the volume; hostile runs point anywhere.
bool ntfs::clustersInVolume(const ClusterGeometry& g, std::int64_t cluster,
                            std::uint64_t count) const {
    const std::uint64_t total = volumeClusters(g);
    return cluster >= 0 && static_cast<std::uint64_t>(cluster) < total &&
           count <= total - static_cast<std::uint64_t>(cluster);
}

bool ntfs::writePlain(const DataStream& d, EntryWriter& out) const {
    using Kind = ByteRun::Kind;
    const ClusterGeometry g{d.clusterSize ? d.clusterSize : 4096, d.origin};
    const std::uint64_t cs = g.clusterSize;
    // Most files are a few KiB: a buffer of the read size for each would be mostly zero-filling.
    const std::uint64_t fileClusters = d.realSize / cs + 1;
    const std::uint64_t blockClusters =
        std::min(std::max<std::uint64_t>(1, kReadBlock / cs), fileClusters);
    std::vector<std::uint8_t> buffer(blockClusters * cs);
    std::uint64_t pos = 0;
    bool whole = true;
    for (const DataRun& run : d.runs) {
        std::uint64_t c = 0;
        while (c < run.clusterCount && pos < d.realSize) {
            std::uint64_t clusters = std::min(blockClusters, run.clusterCount - c);
            // A run reaching past the volume is read up to the volume's end; the rest is not
            // there to be read (The Sleuth Kit refuses such a run too).
            bool outside = false;
            std::int64_t cluster = 0;
            if (!run.sparse) {
                outside = !clustersInVolume(g, run.startCluster, c + 1);
                if (!outside) {
                    cluster = run.startCluster + static_cast<std::int64_t>(c);
                    clusters =
                        std::min(clusters, volumeClusters(g) - static_cast<std::uint64_t>(cluster));
                }
            }
            // Nothing is read for a hole or for what lies outside: one piece will do.
            if (run.sparse || outside) clusters = run.clusterCount - c;
            const std::uint64_t left = d.realSize - pos;
            const std::uint64_t bytes = clusters > left / cs ? left : clusters * cs;
            if (run.sparse || pos >= d.initializedSize || outside) {
                out.noteRun({pos, -1, bytes,
                             outside && pos < d.initializedSize ? Kind::Missing : Kind::Hole});
                if (outside && pos < d.initializedSize) whole = false;
                if (!out.writeZeros(bytes)) return false;
            } else {
                out.noteRun(
                    {pos,
                     static_cast<std::int64_t>(g.origin + static_cast<std::uint64_t>(cluster) * cs),
                     bytes, Kind::Data});
                if (!readClusters(g, cluster, bytes, buffer.data())) whole = false;
                // Past the initialized size a file reads as zeros.
                if (pos + bytes > d.initializedSize)
                    std::memset(buffer.data() + (d.initializedSize - pos), 0,
                                pos + bytes - d.initializedSize);
                if (!out.write(buffer.data(), bytes)) return false;
            }
            pos += bytes;
            c += clusters;
        }
        if (pos >= d.realSize) break;
    }
    return whole && pos >= d.realSize;
}

bool ntfs::writeCompressed(const DataStream& d, EntryWriter& out) const {
    using Kind = ByteRun::Kind;
    const ClusterGeometry g{d.clusterSize ? d.clusterSize : 4096, d.origin};
    const std::uint64_t cs = g.clusterSize;
    const std::uint64_t unitClusters = std::uint64_t{1} << d.compressionUnit;
    const std::uint64_t unitBytes = unitClusters * cs;
    std::vector<std::uint8_t> input(unitBytes), output(unitBytes);
    std::vector<ByteRun> unitRuns;
    std::size_t runIndex = 0;
    std::uint64_t runOffset = 0;  // clusters of the current run already used
    std::uint64_t pos = 0;
    bool whole = true;
    while (pos < d.realSize) {
        // The unit's clusters: allocated ones first (compressed data), sparse ones after.
        std::uint64_t have = 0, allocated = 0;
        bool sawSparse = false, outside = false;
        unitRuns.clear();
        std::fill(input.begin(), input.end(), 0);
        while (have < unitClusters && runIndex < d.runs.size()) {
            const DataRun& r = d.runs[runIndex];
            const std::uint64_t take = std::min(unitClusters - have, r.clusterCount - runOffset);
            if (r.sparse) {
                sawSparse = true;
            } else if (!clustersInVolume(g, r.startCluster, runOffset + take)) {
                outside = true;
                allocated += take;
            } else {
                const std::int64_t cluster = r.startCluster + static_cast<std::int64_t>(runOffset);
                unitRuns.push_back(
                    {pos + allocated * cs,
                     static_cast<std::int64_t>(g.origin + static_cast<std::uint64_t>(cluster) * cs),
                     take * cs, Kind::Data});
                if (!readClusters(g, cluster, take * cs, input.data() + allocated * cs))
                    whole = false;
                allocated += take;
            }
            have += take;
            runOffset += take;
            if (runOffset >= r.clusterCount) {
                ++runIndex;
                runOffset = 0;
            }
        }
        if (have == 0) break;  // the runs ended before the data
        const std::uint64_t bytes = std::min(unitBytes, d.realSize - pos);
        bool taken;
        if (outside) {
            // Part of the unit lies past the volume: it cannot be decompressed.
            whole = false;
            out.noteRun({pos, -1, bytes, Kind::Missing});
            taken = out.writeZeros(bytes);
        } else if (allocated == 0) {
            out.noteRun({pos, -1, bytes, Kind::Hole});
            taken = out.writeZeros(bytes);
        } else if (!sawSparse && have == unitClusters) {
            for (const ByteRun& r : unitRuns) out.noteRun(r);
            taken = out.write(input.data(), bytes);
        } else {
            for (const ByteRun& r : unitRuns) out.noteRun(r);
            DecompressionContext c;
            c.input = input.data();
            c.inputLength = allocated * cs;
            c.output = output.data();
            c.outputCapacity = unitBytes;
            if (decompressUnit(c) != 0) whole = false;
            std::fill(output.begin() + static_cast<std::ptrdiff_t>(c.outputCount), output.end(), 0);
            taken = out.write(output.data(), bytes);
        }
        if (!taken) return false;
        pos += bytes;
    }
    return whole && pos >= d.realSize;
}

bool ntfs::isEntry(ItemData entry) const {
    return validIndex(entry) && entries[static_cast<std::size_t>(entry)].isFileRecord();
}

bool ntfs::isFolder(ItemData entry) const {
    return isEntry(entry) && entry != 0 && entries[static_cast<std::size_t>(entry)].kind == 'D';
}

bool ntfs::hasChildren(ItemData entry) const {
    return isEntry(entry) && entries[static_cast<std::size_t>(entry)].firstChild > 0;
}

std::string ntfs::recordedName(ItemData entry) const {
    return utf16ToUtf8(nameOf(entry));
}

bool ntfs::isDeleted(ItemData entry, ItemData) const {
    return isEntry(entry) && !entries[static_cast<std::size_t>(entry)].inUse();
}

void ntfs::forEachChild(ItemData folder, const std::function<bool(ItemData)>& visit) const {
    if (!isEntry(folder)) return;
    std::int64_t cur = entries[static_cast<std::size_t>(folder)].firstChild;
    // A list never holds more entries than there are; anything longer is a loop.
    for (std::size_t steps = 0; cur > 0 && validIndex(cur) && steps < entries.size(); ++steps) {
        const NtfsEntry& e = entries[static_cast<std::size_t>(cur)];
        if (!e.hasName || e.nameLength == 0) return;
        if (!visit(cur)) return;
        if (e.nextSibling == cur) return;
        cur = e.nextSibling;
    }
}

EntryColumns ntfs::entryColumns(ItemData entry) const {
    EntryColumns cols;
    if (!isEntry(entry)) return cols;
    const NtfsEntry& e = entries[static_cast<std::size_t>(entry)];
    cols.created = dateText(filetimeToLocal(e.created));
    cols.accessed = dateText(filetimeToLocal(e.accessed));
    cols.modified = dateText(filetimeToLocal(e.modified));
    cols.attributes = attributeLetters(e.fileAttributes);
    return cols;
}

std::uint64_t ntfs::entrySize(ItemData entry) const {
    return isEntry(entry) ? entries[static_cast<std::size_t>(entry)].dataSize : 0;
}

std::string ntfs::entrySizeText(ItemData entry) const {
    return sizeText(static_cast<std::int64_t>(std::min<std::uint64_t>(
        entrySize(entry), static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))));
}

std::int64_t ntfs::saveSizeKiB(ItemData entry) const {
    if (!isEntry(entry)) return 0;
    return static_cast<std::int64_t>(entries[static_cast<std::size_t>(entry)].allocatedSize / 1024);
}

RecordedTimes ntfs::recordedTimes(ItemData entry) const {
    RecordedTimes t;
    if (!isEntry(entry)) return t;
    const NtfsEntry& e = entries[static_cast<std::size_t>(entry)];
    auto host = [](std::uint64_t ft) -> std::optional<HostTime> {
        if (ft == 0) return std::nullopt;
        return fromFiletime(ft);
    };
    t.created = host(e.created);
    t.accessed = host(e.accessed);
    t.modified = host(e.modified);
    return t;
}

bool ntfs::isMetadata(ItemData entry) const {
    // The first records of each MFT are the volume's own files ($MFT, $LogFile, ..., $Extend),
    // by their number in that MFT: a deep scan's entries are numbered in disk order. Record 5
    // among them is the root folder, which holds everyone's files.
    if (!validIndex(entry)) return false;
    const std::uint64_t number = recordNumberOf(entry);
    return number < static_cast<std::uint64_t>(kFirstUserRecord) && number != ntfsdeep::kRootRecord;
}

bool ntfs::skipOnSave(ItemData entry) const {
    return recordedName(entry) == "$BadClus";
}

bool ntfs::enterOnSave(ItemData entry) const {
    return recordedName(entry) != ".";
}

bool ntfs::writeEntry(ItemData entry, EntryWriter& out) {
    if (!isEntry(entry) || !entries[static_cast<std::size_t>(entry)].hasName) return false;
    std::uint8_t record[kMaxRecordSize];
    bool whole = readRecord(entry, record) && le32(record) == kFileSignature;
    // A folder gives an empty file with its times; a file without $DATA an empty file.
    if (whole && !isFolder(entry)) {
        DataStream d;
        if (loadDataStream(entry, d)) {
            if (d.resident)
                whole = out.write(d.residentBytes.data(), d.residentBytes.size());
            else if (d.compressed && d.compressionUnit > 0 && d.compressionUnit <= 8)
                whole = writeCompressed(d, out);
            else
                whole = writePlain(d, out);
            whole = whole && d.complete;
        }
    }
    if (le32(record) == kFileSignature) {
        EntryTimes t = ntfsfmt::readTimes(record, recordSize);
        auto host = [](std::uint64_t ft) -> std::optional<HostTime> {
            if (ft == 0) return std::nullopt;
            return fromFiletime(ft);
        };
        out.setTimes(host(t.access), host(t.modification));
    }
    return whole;
}

bool ntfsMftSearchFinds(const readWriteInterface& volume, std::uint64_t volumeBytes) {
    NullSink sink;
    std::uint8_t record[kMaxRecordSize];
    auto found = searchMftRecord(volume, volumeBytes, nullptr, sink, [&](std::uint64_t offset) {
        readRecordAt(volume, offset, record, kMaxRecordSize);
        const std::uint32_t size = recordSizeOf(record) ? recordSizeOf(record) : kRecordSize;
        if (!readRecordAt(volume, offset, record, size)) return false;
        NameChoice c = chooseName(record, size);
        if (!c.found || c.info.nameLength < 3) return false;
        std::u16string name;
        for (int i = 0; i < 3; ++i)
            name.push_back(static_cast<char16_t>(le16(c.info.name + 2 * i)));
        return nameStartsWithMft(name) && !dataRunsOf(record, size, kData).empty();
    });
    return found.has_value();
}

std::int64_t ntfsBackupBootSector(const readWriteInterface& volume, std::int64_t sizeHintBytes,
                                  std::uint8_t* out) {
    // The copy lies at the sector its own count names, the volume's last. Where that is the
    // volume's size tells: exactly when the view ends with the volume, within a MiB after a size
    // given in whole MiB.
    constexpr std::int64_t kLargestSector = 4096;
    std::vector<std::pair<std::int64_t, std::int64_t>> windows;
    const std::int64_t end = volume.byteSize();
    if (end > kLargestSector) windows.emplace_back(end - kLargestSector, end);
    if (sizeHintBytes > kLargestSector && sizeHintBytes < (std::int64_t{1} << 60))
        windows.emplace_back(sizeHintBytes - kLargestSector, sizeHintBytes + (1 << 20));
    std::vector<std::uint8_t> buffer;
    for (auto [from, to] : windows) {
        from &= ~std::int64_t{511};
        buffer.assign(static_cast<std::size_t>(to - from), 0);
        volume.readAt(from, buffer.data(), buffer.size());
        for (std::int64_t at = from + (to - from) / 512 * 512 - 512; at >= from && at > 0;
             at -= 512) {
            const std::uint8_t* s = buffer.data() + (at - from);
            BootGeometry g;
            if (!decodeBootSector(s, g) || g.volumeSize != static_cast<std::uint64_t>(at)) continue;
            std::memcpy(out, s, 512);
            return at;
        }
    }
    return -1;
}

namespace {

// The boot sector's fields up to its boot code; a copy agrees with its original in all of them.
constexpr std::size_t kNtfsBootFieldBytes = 0x54;

bool ntfsProbe(const std::uint8_t* b, VolumeStart& out) {
    // The partition walk takes any 0xEB 0x52 jump as NTFS, name or not.
    if (b[0] != 0xEB || b[1] != 0x52) return false;
    const std::uint32_t bps = le16(b + 11);
    if (!isPowerOfTwo(bps) || bps < 512 || bps > 4096) return false;
    const std::uint64_t total = le64(b + 40);
    out.sizeBytes =
        total >= (std::uint64_t{1} << 62) / bps ? 0 : static_cast<std::int64_t>(total * bps);
    return true;
}

bool ntfsSectorTest(const std::uint8_t* s, SectorHit& hit) {
    VolumeStart v;
    if (std::memcmp(s + 3, "NTFS", 4) != 0 || !ntfsProbe(s, v)) return false;
    hit.sizeBytes = v.sizeBytes;
    // The backup boot sector lies past the recorded count, in the volume's last sector.
    hit.extentSectors = v.sizeBytes / 512 + le16(s + 11) / 512;
    return true;
}

// The scan met an NTFS boot sector: it may be the copy in the last sector of a volume whose first
// sector is gone. Where the MFT lies tells.
void ntfsPlaceHit(const std::uint8_t* s, const SectorPeek& peek, SectorHit& hit) {
    VolumeStart v;
    if (!ntfsProbe(s, v)) return;
    auto same = [](const std::uint8_t* a, const std::uint8_t* b) {
        return std::memcmp(a, b, kNtfsBootFieldBytes) == 0;
    };
    BootGeometry g;
    const bool geometry = decodeBootSector(s, g);
    auto mftAt = [&](std::int64_t delta) {
        std::uint8_t record[512];
        return geometry &&
               peek(delta + static_cast<std::int64_t>(g.mftOffset / 512), record, sizeof record) &&
               le32(record) == kFileSignature;
    };
    placeBootCopy(s, peek, v.sizeBytes / 512, same, mftAt, hit);
}

}  // namespace

FileSystemRow ntfsFileSystemRow() {
    FileSystemRow r;
    r.name = "NTFS";
    r.mbrTypes = {{0x07, "found NTFS %d...", "found NTFS...", false, false},
                  {0x42, "NTFS...", "", true, false}};
    r.gptTypes = {gptGuid(kBasicDataGuid)};
    r.foundStatus = "found NTFS %d...";
    r.sizeFormat = "%lld   MB";
    r.probe = ntfsProbe;
    r.sectorKeys = {{0, 0xEB}};
    r.sectorTest = ntfsSectorTest;
    r.placeHit = ntfsPlaceHit;
    r.backupBoot = ntfsBackupBootSector;
    r.create = [](const VolumeDescriptor& v, const ParserOptions& o) {
        return std::make_unique<ntfs>(v, o);
    };
    r.selectedStatus = "ntfs partition selected....";
    r.family = "ntfs";
    return r;
}

}  // namespace vel
