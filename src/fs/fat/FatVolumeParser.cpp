#include "fs/fat/FatVolumeParser.h"

#include <algorithm>
#include <cstring>

#include "fs/common/Endian.h"

#include "platform/FileTimes.h"
#include "platform/OutputFile.h"

namespace vel {

bool readBiosParameterBlock(const std::uint8_t* b, bool fat32, FatGeometry& g) {
    g = FatGeometry{};
    if (b[510] != 0x55 || b[511] != 0xAA) return false;
    // Every FAT boot sector starts with a jump and names a fixed or removable medium.
    if (b[0] != 0xEB && b[0] != 0xE9) return false;
    if (b[21] != 0xF0 && b[21] < 0xF8) return false;
    g.bytesPerSector = le16(b + 11);
    g.sectorsPerCluster = b[13];
    g.reservedSectors = le16(b + 14);
    g.fatCount = b[16];
    if (!isPowerOfTwo(g.bytesPerSector) || g.bytesPerSector < 512 || g.bytesPerSector > 4096)
        return false;
    if (!isPowerOfTwo(g.sectorsPerCluster) || g.reservedSectors < 1 || g.fatCount < 1 ||
        g.fatCount > 2)
        return false;
    std::uint32_t fatSize16 = le16(b + 22);
    if (fat32) {
        // FAT32 keeps its sizes in the 32-bit fields only and has no fixed root.
        if (fatSize16 != 0 || le16(b + 17) != 0 || le16(b + 19) != 0) return false;
        g.sectorsPerFat = le32(b + 36);
        g.rootCluster = le32(b + 44);
    } else {
        if (fatSize16 == 0) return false;
        g.sectorsPerFat = fatSize16;
        g.rootEntryCount = le16(b + 17);
        if (g.rootEntryCount == 0) return false;
    }
    if (g.sectorsPerFat == 0) return false;
    g.totalSectors = le16(b + 19);
    if (g.totalSectors == 0) g.totalSectors = le32(b + 32);

    const std::uint64_t bps = g.bytesPerSector;
    std::uint64_t rootSectors = (std::uint64_t{g.rootEntryCount} * kDirEntrySize + bps - 1) / bps;
    std::uint64_t fatSectors = std::uint64_t{g.fatCount} * g.sectorsPerFat;
    std::uint64_t firstData = g.reservedSectors + fatSectors + rootSectors;
    if (g.totalSectors <= firstData) return false;
    std::uint64_t dataClusters = (g.totalSectors - firstData) / g.sectorsPerCluster;
    if (dataClusters == 0) return false;

    g.clusterSize = g.bytesPerSector * g.sectorsPerCluster;
    g.fatStart = static_cast<std::int64_t>(g.reservedSectors * bps);
    g.fatSize = static_cast<std::int64_t>(g.sectorsPerFat * bps);
    g.rootStart = static_cast<std::int64_t>((g.reservedSectors + fatSectors) * bps);
    g.rootSize = static_cast<std::int64_t>(std::uint64_t{g.rootEntryCount} * kDirEntrySize);
    // The data region starts at a sector boundary after the root region.
    g.dataStart = static_cast<std::int64_t>(firstData * bps);
    g.fatBits = fat32 ? 32 : (dataClusters < 4085 ? 12 : 16);

    // Cluster numbers the FAT can hold and the region has room for.
    std::uint64_t fatEntries = static_cast<std::uint64_t>(g.fatSize) * 8 / g.fatBits;
    std::uint64_t highest = g.fatBits == 32 ? 0x0FFFFFF6 : (g.fatBits == 16 ? 0xFFF6 : 0xFF6);
    std::uint64_t limit = std::min({dataClusters + 2, fatEntries, highest + 1});
    if (limit <= 2) return false;
    g.clusterLimit = static_cast<std::uint32_t>(limit);
    if (fat32 && (g.rootCluster < 2 || g.rootCluster >= g.clusterLimit)) g.rootCluster = 0;
    return true;
}

std::int64_t fat32BackupBootSector(const readWriteInterface& volume, std::uint8_t* out) {
    std::uint8_t first[512];
    volume.readAt(0, first, sizeof first);
    std::vector<std::uint32_t> sectors;
    // A field that survived names the copy; it must lie in the reserved area, which is small.
    std::uint32_t named = le16(first + kBackupBootField);
    if (named > 0 && named < 64 && named != kUsualBackupBootSector) sectors.push_back(named);
    sectors.push_back(kUsualBackupBootSector);
    for (std::uint32_t sector : sectors) {
        for (std::uint32_t bytesPerSector = 512; bytesPerSector <= 4096; bytesPerSector *= 2) {
            const std::int64_t at = std::int64_t{sector} * bytesPerSector;
            std::uint8_t copy[512];
            if (!volume.readAt(at, copy, sizeof copy)) continue;
            FatGeometry g;
            if (!readBiosParameterBlock(copy, true, g) || g.bytesPerSector != bytesPerSector ||
                le16(copy + kBackupBootField) != sector || sector >= g.reservedSectors)
                continue;
            std::memcpy(out, copy, sizeof copy);
            return at;
        }
    }
    return -1;
}

bool FatVolumeParser::loadBootSector(bool fat32) {
    bootValid_ = false;
    backupBootOffset_ = -1;
    std::memset(bootSector_, 0, sizeof bootSector_);
    if (!reader) return false;
    if (reader->readAt(0, bootSector_, sizeof bootSector_) &&
        readBiosParameterBlock(bootSector_, fat32, geometry_)) {
        bootValid_ = true;
        return true;
    }
    if (!fat32) return false;
    const std::int64_t at = fat32BackupBootSector(*reader, bootSector_);
    if (at < 0 || !readBiosParameterBlock(bootSector_, true, geometry_)) return false;
    backupBootOffset_ = at;
    bootValid_ = true;
    return true;
}

void FatVolumeParser::openVolume() {
    insertVolumeRootItem();
}

bool FatVolumeParser::readCluster(std::uint32_t n, std::uint8_t* buffer) {
    std::memset(buffer, 0, geometry_.clusterSize);
    if (!reader || !validCluster(n)) return false;
    return reader->readAt(clusterOffset(n), buffer, geometry_.clusterSize).complete();
}

bool FatVolumeParser::isDeleted(ItemData e, ItemData folder) const {
    if (!isEntry(e)) return false;
    if (at(e).deleted) return true;
    return !at(e).isFolder() && isEntry(folder) && at(folder).deleted;
}

EntryColumns FatVolumeParser::entryColumns(ItemData e) const {
    return isEntry(e) ? fatEntryColumns(at(e)) : EntryColumns{};
}

std::string FatVolumeParser::entrySizeText(ItemData e) const {
    return isEntry(e) ? entrySizeText(at(e)) : "";
}

std::uint64_t FatVolumeParser::entrySize(ItemData e) const {
    return isEntry(e) && !at(e).isFolder() ? at(e).size : 0;
}

void FatVolumeParser::linkChildren(bool withProgress) {
    linkRecords(records_, withProgress ? &report() : nullptr);
}

void FatVolumeParser::fillRootNodes() {
    // Records are made only for files and folders, so every root record gets a node; the top
    // record stands for the root itself and gets none.
    fillRootLevel([](const FatEntry&) { return true; });
}

// --- directory walk ---------------------------------------------------------------------------

void FatVolumeParser::scanDirectories(const std::vector<std::uint8_t>& root) {
    records_.clear();
    parentStack.clear();
    deferredFolders_.clear();
    FatEntry top;
    top.attributes = kAttrDirectory;
    top.name = kDummyEntryName;
    appendRecord(std::move(top), 0);

    DirFrame rootFrame;
    rootFrame.data = root;
    rootFrame.root = true;
    parentStack.push_back(std::move(rootFrame));
    walkFrames();
}

bool FatVolumeParser::descendInto(std::uint32_t dirIndex) {
    parentStack.clear();
    deferredFolders_.clear();
    if (!enterDirectory(dirIndex)) return false;
    walkFrames();
    return true;
}

void FatVolumeParser::walkFrames() {
    // Deleted folders are entered after the live tree: a live folder that reused a deleted one's
    // cluster keeps its own contents.
    std::size_t nextDeferred = 0;
    for (;;) {
        while (!parentStack.empty()) {
            if (stopRequested.requested()) {
                parentStack.clear();
                return;
            }
            DirFrame& f = parentStack.back();
            if (f.pos + kDirEntrySize > f.data.size()) {
                if (!advanceFrame(f)) parentStack.pop_back();
                continue;
            }
            readDirectoryCluster();
        }
        if (nextDeferred >= deferredFolders_.size()) break;
        enterDirectory(deferredFolders_[nextDeferred++]);
    }
    deferredFolders_.clear();
}

bool FatVolumeParser::advanceFrame(DirFrame& f) {
    if (f.root || f.bytesDecoded >= kMaxDirectoryBytes) return false;
    std::uint32_t next = chainNext(f.cluster);
    if (next == 0 || !directoryGuard_.enter(next)) return false;
    readCluster(next, f.data.data());
    f.cluster = next;
    f.pos = 0;
    return true;
}

bool FatVolumeParser::enterDirectory(std::uint32_t dirIndex) {
    if (parentStack.size() >= kMaxDepth) return false;
    std::uint32_t c = records_[dirIndex].firstCluster();
    if (!validCluster(c) || !directoryGuard_.enter(c)) return false;
    DirFrame f;
    f.dirIndex = dirIndex;
    f.cluster = c;
    f.data.resize(geometry_.clusterSize);
    readCluster(c, f.data.data());
    // A folder's first cluster starts with its "." entry; anything else was reused or is wrong.
    if (f.data[0] != '.') return false;
    parentStack.push_back(std::move(f));
    return true;
}

void FatVolumeParser::readDirectoryCluster() {
    DirFrame& f = parentStack.back();
    while (f.pos + kDirEntrySize <= f.data.size()) {
        const std::uint8_t* s = f.data.data() + f.pos;
        f.pos += kDirEntrySize;
        f.bytesDecoded += kDirEntrySize;
        switch (classifySlot(s)) {
            case FatSlot::End:
                // The end of a folder; the root region is read whole (deleted entries may
                // follow a never-used slot there).
                f.longName.reset();
                if (!f.root) f.pos = f.data.size();
                continue;
            case FatSlot::LongName:
                f.longName.addFragment(s);
                continue;
            case FatSlot::Dot:
            case FatSlot::VolumeLabel:
                f.longName.reset();
                continue;
            case FatSlot::File:
            case FatSlot::Folder:
                break;
        }
        FatEntry e = entryFields(s);
        auto longName = f.longName.takeFor(s);
        e.name = longName ? *longName : shortEntryName(s);
        if (!e.isFolder()) {
            appendRecord(std::move(e), f.dirIndex);
            continue;
        }
        std::uint32_t c = e.firstCluster();
        if (validCluster(c)) {
            auto it = f.foldersByCluster.find(c);
            if (it != f.foldersByCluster.end()) {
                // A second entry for the same folder renames it, unless only a deleted entry
                // would rename a live one.
                FatEntry& earlier = records_[it->second];
                if (!e.deleted || earlier.deleted) {
                    earlier.name = std::move(e.name);
                    earlier.deleted = e.deleted;
                }
                continue;
            }
        }
        bool deleted = e.deleted;
        std::uint32_t idx = appendRecord(std::move(e), f.dirIndex);
        if (!validCluster(c)) continue;
        f.foldersByCluster.emplace(c, idx);
        if (deleted) {
            deferredFolders_.push_back(idx);
            continue;
        }
        if (enterDirectory(idx)) return;  // f is no longer valid: the new folder is on top
    }
}

// --- extraction -------------------------------------------------------------------------------

void FatVolumeParser::markFreeClusterAssumptions() {
    if (options.driveFormatted) return;
    for (FatEntry& e : records_)
        e.freeClustersAssumed = e.deleted && !e.isFolder() && geometry_.clusterSize != 0 &&
                                e.size > geometry_.clusterSize && validCluster(e.firstCluster()) &&
                                fatValue(e.firstCluster()) == 0;
}

RecordedTimes FatVolumeParser::recordedTimes(ItemData e) const {
    if (!isEntry(e)) return {};
    const FatEntry& r = at(e);
    return {dosHostTime(r.creationDate, r.creationTime), dosHostTime(r.accessDate, 0),
            dosHostTime(r.writeDate, r.writeTime)};
}

bool FatVolumeParser::writeEntry(ItemData e, EntryWriter& out) {
    if (!isEntry(e) || at(e).isFolder()) return false;
    return writeEntry(at(e), out);
}

bool FatVolumeParser::writeEntry(const FatEntry& e, EntryWriter& out) {
    ++extractionCount_;

    bool whole = true;
    std::uint64_t remaining = e.size;
    const std::uint32_t clusterSize = geometry_.clusterSize;
    std::uint32_t cluster = e.firstCluster();
    if (remaining > 0 && (clusterSize == 0 || !validCluster(cluster))) whole = false;
    if (remaining > 0 && whole) {
        const bool formatted = options.driveFormatted;
        // Deleted files and formatted volumes have lost their chains: their data is taken to
        // follow on disk.
        bool contiguous = formatted;
        std::vector<std::uint8_t> buffer;
        std::unordered_set<std::uint32_t> visited{cluster};
        // Clusters that follow each other on disk are read and written in one go.
        const std::uint32_t maxRun = std::max<std::uint32_t>(1, (1u << 20) / clusterSize);
        std::uint32_t runStart = cluster, runCount = 1;
        bool writeFailed = false;  // the writer refused (stopped, or the output is full)
        auto writeRun = [&] {
            std::uint64_t bytes = std::uint64_t{runCount} * clusterSize;
            buffer.assign(bytes, 0);
            if (!reader || !reader->readAt(clusterOffset(runStart), buffer.data(), bytes))
                whole = false;  // what could not be read stays zeros
            std::uint64_t n = std::min<std::uint64_t>(remaining, bytes);
            out.noteRun({e.size - remaining, clusterOffset(runStart), n, ByteRun::Kind::Data});
            if (!out.write(buffer.data(), n)) writeFailed = true;
            remaining -= n;
        };
        for (;;) {
            if (std::uint64_t{runCount} * clusterSize >= remaining) {
                writeRun();
                break;
            }
            std::uint32_t last = runStart + runCount - 1;
            std::uint32_t next = contiguous ? 0 : chainNext(last);
            if (next != 0 && !visited.insert(next).second) {
                writeRun();
                whole = false;  // the chain loops
                break;
            }
            if (next == 0) {
                if (!contiguous && !e.deleted) {
                    writeRun();
                    whole = false;  // a live file whose chain ends before its size
                    break;
                }
                contiguous = true;
                next = last + 1;
                // A deleted file's data went on in the clusters that were free then: those
                // live files own now were not its.
                if (e.deleted && !formatted)
                    while (validCluster(next) && fatValue(next) != 0) ++next;
            }
            if (!validCluster(next)) {
                writeRun();
                whole = false;  // the volume ends first
                break;
            }
            if (next == last + 1 && runCount < maxRun) {
                ++runCount;
                continue;
            }
            writeRun();
            if (writeFailed) return false;
            runStart = next;
            runCount = 1;
        }
        if (writeFailed) return false;
    }
    out.setTimes(dosHostTime(e.accessDate, 0), dosHostTime(e.writeDate, e.writeTime));
    return whole;
}

}  // namespace vel
