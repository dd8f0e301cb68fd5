#include "fs/exfat/Fat64Class.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "fs/common/Endian.h"
#include "fs/common/FileSystemTable.h"
#include "platform/FileTimes.h"
#include "platform/OutputFile.h"
#include "search/RecycleBinNames.h"

namespace vel {

using namespace exfat;

namespace {
constexpr std::uint32_t kCopyBlockBytes = 1u << 20;
// The root's allocation bitmap entry and its fields.
constexpr std::uint8_t kBitmapEntry = 0x81;
constexpr std::size_t kBitmapFirstCluster = 20;
constexpr std::size_t kBitmapLength = 24;

// Out-of-range fields give a nearby valid date rather than an arithmetic surprise.
HostTime hostTime(std::uint32_t timestamp) {
    CalendarTime t = decodeTimestamp(timestamp);
    return fromCalendarAsUtc(t.year, std::clamp(t.month, 1, 12), std::clamp(t.day, 1, 31),
                             std::min(t.hour, 23), std::min(t.minute, 59), std::min(t.second, 59));
}

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) {
    return a / b + (a % b != 0);
}
}  // namespace

Fat64Class::Fat64Class(VolumeDescriptor descriptor, ParserOptions options)
    : LinkedRecordParser<ExfatEntry>(std::move(descriptor), std::move(options)) {
    volumeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
}

WorkerResult Fat64Class::runWorker(int scanMode) {
    WorkerResult result;
    if (scanMode == 2) return runAdvanced();
    if (scanMode != 1) {
        result.started = false;
        return result;
    }
    openVolume();
    volumeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    if (!checkBootSector()) {
        result.endSequence = false;
        if (bootUnreadable_) result.notices.push_back("cant read file");
        result.failureBox = "Selected Drive is not in exFat Format";
        result.remarks.push_back(
            "no exFAT boot sector at the start of the volume, nor a valid "
            "backup boot region at sector 12");
        return result;
    }
    if (backupBootOffset_ >= 0) {
        result.remarks.push_back(backupBootText(backupBootOffset_));
        report().setStatusText(result.remarks.back());
    }
    if (!readRootDirectory()) {
        result.failureBox = "error...";
    } else {
        report().setStatusText("processing file and directory entries...");
        report().setStatusText("Finding Fat64 File And Directory entries recursively....");
        scanRootDirectory();
        markFreeClusterAssumptions();
        linkChildren();
        report().setStatusText("creating tree Structure...");
        fillRootNodes();
    }
    addPlaceholders();
    restoreRecycleBinNames(*this);
    return result;
}

bool Fat64Class::openVolume() {
    if (!reader) return false;
    insertVolumeRootItem();
    return true;
}

std::int64_t exfatBackupBootSector(const readWriteInterface& volume, std::uint8_t* out) {
    for (std::uint8_t shift = 9; shift <= 12; ++shift) {
        const std::uint32_t bytesPerSector = 1u << shift;
        const std::int64_t at = std::int64_t{kBackupBootRegion} * bytesPerSector;
        std::vector<std::uint8_t> region(std::size_t{kBootRegionSectors} * bytesPerSector);
        if (!volume.readAt(at, region.data(), region.size())) continue;
        auto boot = parseBootSector(region.data());
        if (!boot || boot->bytesPerSectorShift != shift ||
            !bootRegionChecksumHolds(region.data(), bytesPerSector))
            continue;
        std::memcpy(out, region.data(), 512);
        return at;
    }
    return -1;
}

bool Fat64Class::checkBootSector() {
    bootValid_ = false;
    backupBootOffset_ = -1;
    std::uint8_t sector[512] = {};
    bootUnreadable_ = !reader || reader->readAt(0, sector, sizeof sector).nothingRead();
    auto parsed = bootUnreadable_ ? std::nullopt : parseBootSector(sector);
    if (!parsed && reader) {
        // A damaged first sector: the backup boot region, if its checksum holds.
        const std::int64_t at = exfatBackupBootSector(*reader, sector);
        if (at >= 0) {
            parsed = parseBootSector(sector);
            backupBootOffset_ = at;
            bootUnreadable_ = false;
        }
    }
    if (!parsed) return false;
    boot_ = *parsed;
    clusterSize_ = boot_.clusterSize();
    fatStart_ = static_cast<std::int64_t>(boot_.fatOffset) * boot_.bytesPerSector();
    heapStart_ = static_cast<std::int64_t>(boot_.clusterHeapOffset) * boot_.bytesPerSector();
    // The boot sector knows where the heap ends; the size text (whole MiB) may cut it short.
    if (boot_.clusterCount > 0 && boot_.clusterCount <= 0xFFFFFFF5u)
        clusterCount_ = boot_.clusterCount + 2;
    else
        clusterCount_ = static_cast<std::uint32_t>(
            std::min<std::int64_t>(volumeBytes_ / clusterSize_, 0xFFFFFFF7));
    bootValid_ = true;
    return true;
}

std::uint32_t Fat64Class::nextCluster(std::uint32_t n) {
    ++nextClusterCalls_;
    lastNextCluster_ = kEndOfChain;
    if (options.driveFormatted || !bootValid_ || !validCluster(n)) return kEndOfChain;
    std::int64_t at = fatStart_ + 4 * static_cast<std::int64_t>(n);
    std::uint8_t sector[512] = {};
    if (!reader || !reader->readAt(at & ~std::int64_t{511}, sector, sizeof sector))
        return kEndOfChain;
    lastNextCluster_ = le32(sector + (at & 511));
    return lastNextCluster_;
}

bool Fat64Class::readDirectoryCluster(std::uint32_t cluster, std::vector<std::uint8_t>& bytes) {
    // Each directory cluster is decoded once per scan, however the links loop.
    if (!directoryGuard_.enter(cluster)) return false;
    std::size_t at = bytes.size();
    bytes.resize(at + clusterSize_, 0);
    // What a failed read could not fill stays zero, which decodes to nothing.
    reader->readAt(clusterPosition(cluster), bytes.data() + at, clusterSize_);
    return true;
}

std::vector<std::uint8_t> Fat64Class::readDirectory(std::uint32_t cluster, bool contiguous,
                                                    std::uint64_t maxClusters) {
    std::vector<std::uint8_t> bytes;
    if (!reader || !bootValid_ || !validCluster(cluster)) return bytes;
    // A run's size is known up front; growing the buffer cluster by cluster could double it.
    if (contiguous)
        bytes.reserve(static_cast<std::size_t>(
            std::min<std::uint64_t>(maxClusters, clusterCount_ - cluster) * clusterSize_));
    for (std::uint64_t k = 0; k < maxClusters; ++k) {
        if (!readDirectoryCluster(cluster, bytes)) break;
        if (k + 1 == maxClusters) break;
        std::uint32_t next = contiguous ? cluster + 1 : nextCluster(cluster);
        if (!validCluster(next)) break;
        cluster = next;
    }
    return bytes;
}

bool Fat64Class::readRootDirectory() {
    rootBuffer_.clear();
    directoryGuard_.clear();
    if (!bootValid_ || !reader || !validCluster(boot_.rootCluster)) return false;
    // The first cluster must be readable: a root that cannot be read is no scan at all.
    std::uint8_t probe[512];
    if (!reader->readAt(clusterPosition(boot_.rootCluster), probe, sizeof probe)) return false;
    resetNextClusterCalls();
    // The root has no stream entry: its chain, bounded by the largest directory, gives its size.
    rootBuffer_ = readDirectory(boot_.rootCluster, false, maxDirectoryClusters());
    bitmapCluster_ = 0;
    bitmapBytes_ = 0;
    bitmap_.clear();
    bitmapRead_ = false;
    for (std::size_t o = 0; o + kEntrySize <= rootBuffer_.size(); o += kEntrySize) {
        const std::uint8_t* e = rootBuffer_.data() + o;
        if (e[0] != kBitmapEntry) continue;
        bitmapCluster_ = le32(e + kBitmapFirstCluster);
        bitmapBytes_ = le64(e + kBitmapLength);
        break;
    }
    return !rootBuffer_.empty();
}

void Fat64Class::decodeDirectory(const std::vector<std::uint8_t>& bytes, std::uint32_t parent,
                                 bool root, bool inDeleted, PendingFolders& pending) {
    // A second entry for the same folder in one directory renames the first.
    std::unordered_map<std::uint32_t, std::uint32_t> folders;
    walkEntrySets(bytes.data(), bytes.size(), [&](const ExfatEntry& set) {
        if (root && records_.empty()) {
            ExfatEntry top = set;
            top.name = kDummyEntryName;
            appendRecord(std::move(top), 0);
        }
        if (isDirectoryAttributes(set.attributes) && validCluster(set.firstCluster)) {
            auto [it, fresh] =
                folders.try_emplace(set.firstCluster, static_cast<std::uint32_t>(records_.size()));
            if (!fresh) {
                ExfatEntry& earlier = records_[it->second];
                earlier.name = set.name;
                // Deleted only when every entry for it is.
                if (!set.deleted()) {
                    earlier.entryType = set.entryType;
                    earlier.streamType = set.streamType;
                }
                return;
            }
        }
        std::uint32_t idx = appendRecord(set, parent);
        if (isDirectoryAttributes(set.attributes))
            (inDeleted || set.deleted() ? pending.deleted : pending.live).push_back(idx);
    });
}

std::uint64_t Fat64Class::maxDirectoryClusters() const {
    return std::max<std::uint64_t>(1, kMaxDirectoryBytes / clusterSize_);
}

std::vector<ExfatEntry> Fat64Class::scanRootDirectory() {
    records_.clear();
    PendingFolders pending;
    decodeDirectory(rootBuffer_, 0, true, false, pending);
    rootBuffer_.clear();
    rootBuffer_.shrink_to_fit();
    readPendingFolders(pending);
    return records_;
}

void Fat64Class::readPendingFolders(PendingFolders& pending) {
    // Folders are read one at a time, each after its parent, so memory holds one directory and
    // no depth of nesting can exhaust the stack. Live folders come first: a deleted folder's
    // clusters may now hold a live one, and the directory guard gives them to whoever is first.
    for (bool deleted : {false, true}) {
        std::vector<std::uint32_t>& queue = deleted ? pending.deleted : pending.live;
        for (std::size_t i = 0; i < queue.size(); ++i) {
            if (stopRequested.requested()) return;
            std::uint32_t folder = queue[i];
            const ExfatEntry& f = records_[folder];
            // A folder's data length bounds its chain as well as its run of clusters.
            std::uint64_t clusters = std::clamp<std::uint64_t>(ceilDiv(f.dataLength, clusterSize_),
                                                               1, maxDirectoryClusters());
            bool contiguous = !f.usesFatChain() || options.driveFormatted;
            resetNextClusterCalls();
            std::vector<std::uint8_t> bytes = readDirectory(f.firstCluster, contiguous, clusters);
            decodeDirectory(bytes, folder, false, deleted, pending);
        }
    }
}

void Fat64Class::linkChildren() {
    linkChildrenOfRecords();
}

void Fat64Class::fillRootNodes() {
    fillRootLevel([](const ExfatEntry&) { return true; });
}

const ExfatEntry* Fat64Class::find(ItemData entry) const {
    return isEntry(entry) ? &at(entry) : nullptr;
}

bool Fat64Class::isFolder(ItemData entry) const {
    const ExfatEntry* r = find(entry);
    return r && (entry == 0 || isDirectoryAttributes(r->attributes));
}

bool Fat64Class::isDeleted(ItemData entry, ItemData folder) const {
    const ExfatEntry* r = find(entry);
    if (!r || entry == 0 || r->name == "ORPHAN ENTRY") return false;
    if (r->deleted()) return true;
    // The top record is a copy of the root's first entry, not a folder that can be deleted.
    const ExfatEntry* f = find(folder);
    return f && folder != 0 && f->deleted();
}

EntryColumns Fat64Class::entryColumns(ItemData entry) const {
    EntryColumns cols;
    const ExfatEntry* r = find(entry);
    if (!r) return cols;
    cols.created = dateText(decodeTimestamp(r->createTimestamp));
    cols.accessed = dateText(decodeTimestamp(r->accessedTimestamp));
    cols.modified = dateText(decodeTimestamp(r->modifiedTimestamp));
    if (r->attributes & 0x01) cols.attributes += "-R";
    if (r->attributes & 0x02) cols.attributes += "-H";
    if (r->attributes & 0x04) cols.attributes += "-S";
    if (r->attributes & 0x20) cols.attributes += "-A";
    return cols;
}

std::string Fat64Class::entrySizeText(ItemData entry) const {
    const ExfatEntry* r = find(entry);
    return sizeText(r ? static_cast<std::int64_t>(r->validDataLength) : 0);
}

std::uint64_t Fat64Class::entrySize(ItemData entry) const {
    const ExfatEntry* r = find(entry);
    // Bytes past the allocation are not the file's, whatever the valid length claims.
    return r ? std::min(r->validDataLength, r->dataLength) : 0;
}

RecordedTimes Fat64Class::recordedTimes(ItemData entry) const {
    const ExfatEntry* r = find(entry);
    if (!r || entry == 0) return {};
    // Folders the scan made up (the orphans' folder) record nothing.
    auto host = [](std::uint32_t t) -> std::optional<HostTime> {
        if (t == 0) return std::nullopt;
        return hostTime(t);
    };
    return {host(r->createTimestamp), host(r->accessedTimestamp), host(r->modifiedTimestamp)};
}

bool Fat64Class::writeEntry(ItemData entry, EntryWriter& out) {
    const ExfatEntry* found = find(entry);
    if (!found || entry == 0 || isFolder(entry) || !bootValid_ || !reader) return false;
    const ExfatEntry r = *found;
    resetNextClusterCalls();
    const std::uint64_t size = entrySize(entry);
    std::uint64_t remaining = size;
    if (remaining > 0 && !validCluster(r.firstCluster)) return false;

    bool whole = true;
    std::vector<std::uint8_t> buffer;
    std::uint32_t cluster = r.firstCluster;
    if (!r.usesFatChain() || options.driveFormatted) {
        // One run of clusters, copied in bounded blocks.
        std::uint32_t blockClusters = std::max<std::uint32_t>(1, kCopyBlockBytes / clusterSize_);
        while (remaining > 0) {
            if (!validCluster(cluster)) {
                whole = false;
                break;
            }
            std::uint64_t n = std::min<std::uint64_t>(
                {ceilDiv(remaining, clusterSize_), blockClusters, clusterCount_ - cluster});
            std::size_t bytes = static_cast<std::size_t>(n) * clusterSize_;
            buffer.assign(bytes, 0);
            if (!reader->readAt(clusterPosition(cluster), buffer.data(), bytes)) whole = false;
            std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, bytes));
            out.noteRun({size - remaining, clusterPosition(cluster), take, ByteRun::Kind::Data});
            if (!out.write(buffer.data(), take)) return false;
            remaining -= take;
            cluster += static_cast<std::uint32_t>(n);
        }
    } else {
        // Cluster by cluster along the FAT; a cluster met twice means a damaged chain.
        std::unordered_set<std::uint32_t> visited;
        bool assumeFree = false;
        buffer.resize(clusterSize_);
        while (remaining > 0) {
            std::fill(buffer.begin(), buffer.end(), 0);
            if (!reader->readAt(clusterPosition(cluster), buffer.data(), clusterSize_))
                whole = false;
            std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(remaining, clusterSize_));
            out.noteRun({size - remaining, clusterPosition(cluster), take, ByteRun::Kind::Data});
            if (!out.write(buffer.data(), take)) return false;
            remaining -= take;
            if (remaining == 0) break;
            visited.insert(cluster);
            std::uint32_t next = assumeFree ? 0 : nextCluster(cluster);
            if (r.deleted() && (assumeFree || next == 0)) {
                // The chain was cleared with the file: its data went on in the clusters that
                // were free then, which the bitmap still shows free.
                assumeFree = true;
                next = nextFreeCluster(cluster + 1);
            }
            if (!validCluster(next) || visited.count(next)) {
                whole = false;
                break;
            }
            cluster = next;
        }
    }
    out.setTimes(hostTime(r.accessedTimestamp), hostTime(r.modifiedTimestamp));
    return whole;
}

namespace {

bool exfatProbe(const std::uint8_t* b, VolumeStart& out) {
    auto boot = parseBootSector(b);
    if (!boot) return false;
    const unsigned shift = boot->bytesPerSectorShift;
    out.sizeBytes = boot->volumeLength >= (std::uint64_t{1} << (62 - shift))
                        ? 0
                        : static_cast<std::int64_t>(boot->volumeLength << shift);
    return true;
}

}  // namespace

// The scan met an exFAT boot sector: it may open the backup boot region of a volume whose first
// sector is gone. The FAT, which starts with the media entry and an end mark, tells.
void exfatPlaceHit(const std::uint8_t* s, const SectorPeek& peek, SectorHit& hit) {
    auto boot = parseBootSector(s);
    if (!boot) return;
    const std::int64_t scale = boot->bytesPerSector() / 512;
    auto fatAt = [&](std::int64_t delta) {
        static const std::uint8_t kFatStart[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        std::uint8_t fat[512];
        return boot->fatOffset > 0 &&
               peek(delta + std::int64_t{boot->fatOffset} * scale, fat, sizeof fat) &&
               std::memcmp(fat, kFatStart, sizeof kFatStart) == 0;
    };
    placeBootCopy(s, peek, std::int64_t{kBackupBootRegion} * scale, sameBootFields, fatAt, hit);
}

FileSystemRow exfatFileSystemRow() {
    FileSystemRow r;
    r.name = "FAT64";
    r.aliases = {"exFAT"};
    r.mbrTypes = {{0x07, "found FAT64...", "found FAT64...", false, true}};
    r.gptTypes = {gptGuid(kBasicDataGuid)};
    r.foundStatus = "found FAT 64...";
    r.probe = exfatProbe;
    r.sectorKeys = {{0, 0xEB}};
    r.sectorTest = [](const std::uint8_t* s, SectorHit& hit) {
        VolumeStart v;
        if (!exfatProbe(s, v)) return false;
        hit.sizeBytes = v.sizeBytes;
        hit.extentSectors = v.sizeBytes / 512;
        return true;
    };
    r.placeHit = exfatPlaceHit;
    r.backupBoot = [](const readWriteInterface& volume, std::int64_t, std::uint8_t* out) {
        return exfatBackupBootSector(volume, out);
    };
    r.create = [](const VolumeDescriptor& v, const ParserOptions& o) {
        return std::make_unique<Fat64Class>(v, o);
    };
    r.family = "exfat";
    return r;
}

void Fat64Class::markFreeClusterAssumptions() {
    if (options.driveFormatted) return;
    for (ExfatEntry& r : records_) {
        r.freeClustersAssumed = false;
        if (!r.deleted() || isDirectoryAttributes(r.attributes) || !r.usesFatChain() ||
            r.dataLength <= clusterSize_ || !validCluster(r.firstCluster))
            continue;
        r.freeClustersAssumed = nextCluster(r.firstCluster) == 0;
    }
}

std::string Fat64Class::recoveryNote(ItemData entry) const {
    const ExfatEntry* r = find(entry);
    return r && r->freeClustersAssumed ? kFreeClusterNote : "";
}

std::uint32_t Fat64Class::nextFreeCluster(std::uint32_t from) {
    from = std::max<std::uint32_t>(from, 2);
    clusterInUse(from);  // reads the bitmap
    // Past the bitmap every cluster counts as in use: a heap claimed larger than the bitmap
    // is not walked cluster by cluster.
    const std::uint64_t bits = std::min<std::uint64_t>(bitmap_.size() * 8, clusterCount_);
    for (std::uint64_t bit = from - 2; bit < bits;) {
        const std::uint8_t byte = bitmap_[static_cast<std::size_t>(bit / 8)];
        if (byte == 0xFF && bit % 8 == 0) {
            bit += 8;
            continue;
        }
        if (!((byte >> (bit % 8)) & 1)) return static_cast<std::uint32_t>(bit + 2);
        ++bit;
    }
    return 0;
}

bool Fat64Class::clusterInUse(std::uint32_t n) {
    if (!bitmapRead_) {
        bitmapRead_ = true;
        // Never more than the clusters of the heap need, whatever the entry claims.
        const std::uint64_t bytes =
            std::min<std::uint64_t>(bitmapBytes_, (std::uint64_t{clusterCount_} + 7) / 8);
        if (reader && validCluster(bitmapCluster_) && bytes > 0) {
            bitmap_.assign(static_cast<std::size_t>(bytes), 0xFF);
            if (!reader->readAt(clusterPosition(bitmapCluster_), bitmap_.data(), bitmap_.size()))
                bitmap_.clear();
        }
    }
    const std::uint64_t bit = std::uint64_t{n} - 2;
    if (n < 2 || bit / 8 >= bitmap_.size()) return true;
    return (bitmap_[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1;
}

}  // namespace vel
