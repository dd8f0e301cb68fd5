// The advanced mode of the FAT12/16 and FAT32 parsers: the search for the FATs' places, the
// geometry measured from the folders found, the entry scan and the tree rebuilt from it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "fs/common/Endian.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"
#include "search/RecycleBinNames.h"

namespace vel {

namespace {

// The boot sector's sectors per cluster goes first when its check succeeded and it is even;
// a measured value goes before everything, marked.
std::vector<std::string> clusterList(bool bootValid, std::uint8_t bootValue, std::uint32_t detected,
                                     std::vector<std::string> rest) {
    if (bootValid && bootValue != 0 && bootValue % 2 == 0)
        rest.insert(rest.begin(), std::to_string(bootValue));
    if (detected != 0) {
        const std::string text = std::to_string(detected);
        rest.erase(std::remove(rest.begin(), rest.end(), text), rest.end());
        rest.insert(rest.begin(), text + " (detected)");
    }
    return rest;
}

std::vector<std::string> numbered(const char* prefix, std::size_t count) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(prefix + std::to_string(i));
    return out;
}

std::string format(const char* pattern, long long a, long long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Cluster sizes the geometry may have: 1 to 128 sectors.
std::vector<std::uint32_t> fatClusterBytes() {
    std::vector<std::uint32_t> out;
    for (std::uint32_t spc = 1; spc <= 128; spc *= 2) out.push_back(spc * 512);
    return out;
}

constexpr std::int64_t kUsualRootBytes = 16384;  // 512 entries
constexpr std::int64_t kMaxRootBytes = 65536ll * 32;
// Chains are reversed for volumes of up to this many clusters (64 MiB of links).
constexpr std::uint32_t kMaxReverseClusters = 1u << 24;

}  // namespace

// --- the search ------------------------------------------------------------------------------

std::size_t FatVolumeParser::searchFatTables(int maximum) {
    fatCandidates.clear();
    folderStarts_.clear();
    detectedSpc_ = 0;
    const bool fat32 = dynamic_cast<Fat32Class*>(this) != nullptr;
    const auto wanted = static_cast<std::size_t>(std::max(maximum, 1));
    const std::uint64_t size = fatadv::searchBytes(volumeSizeBytes_, reader);
    report().setProgressRange(1000);
    if (size == 0) {
        report().setProgressPosition(1000);
        return 0;
    }
    const auto kind = fat32 ? fatadv::TableKind::Fat32 : fatadv::TableKind::Fat16;
    fatadv::walkSectors(
        *reader, size, stopRequested,
        [&](std::uint64_t k) {
            const std::uint64_t at = k * fatadv::kSearchChunk;
            report().setProgressPosition(static_cast<std::int64_t>(at * 1000 / size));
            if (fat32)
                report().setStatusText(
                    format("Parsing Disk Currently at position %lld of the disk of size %lld",
                           static_cast<long long>(at), static_cast<long long>(size)));
            return true;
        },
        [&](std::int64_t pos, const std::uint8_t* sector) {
            if (fatCandidates.size() < wanted && fatadv::fatStartSignature(sector, kind)) {
                fatCandidates.push_back(pos);
                report().setStatusText(
                    format("found fat entry  %lld ", static_cast<long long>(fatCandidates.size())));
            }
            if (auto own = fatadv::dotEntryCluster(sector);
                own && folderStarts_.size() < fatadv::kMaxVotes)
                folderStarts_.push_back({pos, *own});
            // The folder starts are counted over the whole volume; the FATs lie at its start.
            return true;
        });
    if (!fat32 && stopRequested.isSet()) stopRequested.clear();
    report().setProgressPosition(1000);
    if (!fatCandidates.empty()) {
        const auto ranked =
            fatadv::rankClusterSizes(folderStarts_, fatClusterBytes(), fatCandidates.front() + 512);
        // One folder fits every size; two that agree tell.
        if (!ranked.empty() && ranked.front().agreeing >= 2 &&
            (ranked.size() < 2 || ranked[1].agreeing < ranked.front().agreeing))
            detectedSpc_ = ranked.front().clusterBytes / 512;
    }
    return fatCandidates.size();
}

std::optional<AdvancedLayout> Fat16Class::advancedLayout() const {
    AdvancedLayout layout;
    layout.tableLabel = "Total fat16 Entries Found:";
    return layout;
}

namespace {
// Where each FAT candidate lies, and which are copies of an earlier one.
std::vector<std::string> tableNotes(const readWriteInterface* reader,
                                    const std::vector<std::int64_t>& candidates,
                                    const char* prefix) {
    std::vector<std::string> notes;
    std::vector<std::vector<std::uint8_t>> firsts;
    for (std::int64_t c : candidates) {
        std::vector<std::uint8_t> sector(512, 0);
        if (reader) reader->readAt(c, sector.data(), sector.size());
        std::string note = format("FAT at byte %lld", c);
        for (std::size_t j = 0; j < firsts.size(); ++j)
            if (firsts[j] == sector) {
                note = format("FAT at byte %lld", c) + "; a copy of " + prefix + std::to_string(j) +
                       format(", %lld bytes after it", c - candidates[j]);
                break;
            }
        firsts.push_back(std::move(sector));
        notes.push_back(note);
    }
    return notes;
}
}  // namespace

CandidateLists Fat16Class::searchCandidates(int maxFileSystems) {
    openVolume();
    volumeSizeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    const bool bootValid = checkBootSector();
    report().setStatusText("Finding Fat entries....");
    const std::size_t found = searchFatTables(maxFileSystemsOrDefault(maxFileSystems));
    CandidateLists lists;
    lists.tables = numbered("FAT_ENTRY:", found);
    lists.tableNotes = tableNotes(reader, fatCandidates, "FAT_ENTRY:");
    lists.clusterSizes = clusterList(bootValid, bootSector_[13], detectedSpc_,
                                     {"4", "8", "16", "2", "32", "64", "128"});
    lists.message = "Number of FAT-ENTRY found = " + std::to_string(found) +
                    " . Please select the choice from combo box and click Next button to proceed.";
    lists.doneStatus = "Parsing done.Click Next to continue.";
    return lists;
}

std::optional<AdvancedLayout> Fat32Class::advancedLayout() const {
    return AdvancedLayout{};
}

CandidateLists Fat32Class::searchCandidates(int maxFileSystems) {
    openVolume();
    volumeSizeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    const bool bootValid = checkBootSector();
    const std::size_t found = searchFatTables(maxFileSystemsOrDefault(maxFileSystems));
    CandidateLists lists;
    lists.tables = numbered("FAT32_ENTRY:", found);
    lists.tableNotes = tableNotes(reader, fatCandidates, "FAT32_ENTRY:");
    lists.clusterSizes =
        clusterList(bootValid, bootSector_[13], detectedSpc_, {"2", "4", "16", "32", "64", "8"});
    if (found > 0) {
        lists.message = "Number of FAT32-ENTRY found = " + std::to_string(found) +
                        " . Please select the choice from combo box and click Next button to "
                        "proceed.";
        lists.doneStatus = "Parsing done.Click Next to continue.";
    } else {
        lists.message = "NO FAT  FAT32-ENTRY found ..";
    }
    return lists;
}

// --- the advanced scan -------------------------------------------------------------------------

bool FatVolumeParser::setAdvancedGeometry(std::size_t table, std::uint32_t sectorsPerCluster) {
    if (table >= fatCandidates.size() || !reader) return false;
    const bool fat32 = dynamic_cast<Fat32Class*>(this) != nullptr;
    const std::int64_t fatStart = fatCandidates[table];
    const std::int64_t size =
        static_cast<std::int64_t>(fatadv::searchBytes(volumeSizeBytes_, reader));
    if (sectorsPerCluster == 0 || sectorsPerCluster > 128 || !isPowerOfTwo(sectorsPerCluster))
        sectorsPerCluster = detectedSpc_ != 0 ? detectedSpc_ : (fat32 ? 8 : 4);
    const std::int64_t clusterBytes = std::int64_t{sectorsPerCluster} * 512;

    // The copies of this FAT: candidates whose first sector is the same. Their spacing is the
    // FAT's size; the root region (FAT12/16) or the data (FAT32) follows the last.
    std::uint8_t first[512] = {}, other[512];
    reader->readAt(fatStart, first, sizeof first);
    std::vector<std::int64_t> copies{fatStart};
    for (std::int64_t c : fatCandidates) {
        if (c == fatStart) continue;
        std::memset(other, 0, sizeof other);
        reader->readAt(c, other, sizeof other);
        if (std::memcmp(first, other, sizeof first) == 0) copies.push_back(c);
    }
    std::sort(copies.begin(), copies.end());
    std::int64_t fatSize = 0;
    for (std::size_t i = 1; i < copies.size(); ++i)
        if (fatSize == 0 || copies[i] - copies[i - 1] < fatSize)
            fatSize = copies[i] - copies[i - 1];
    const std::int64_t afterCopies = fatSize > 0 ? copies.back() + fatSize : -1;

    const fatadv::GeometryGuess guess =
        fatadv::bestDataStart(folderStarts_, static_cast<std::uint32_t>(clusterBytes),
                              fatStart + 512, fat32 ? afterCopies : -1);
    std::int64_t dataStart = guess.agreeing > 0 ? guess.dataStart : -1;
    std::int64_t rootStart = 0, rootSize = 0;
    if (fat32) {
        if (dataStart < 0) dataStart = afterCopies;
    } else {
        rootStart = afterCopies;
        if (dataStart < 0 && rootStart > 0) dataStart = rootStart + kUsualRootBytes;
        if (rootStart <= 0 && dataStart > 0)
            rootStart = std::max(fatStart + 512, dataStart - kUsualRootBytes);
        if (rootStart <= 0) {
            // Nothing measured: two FATs of two bytes a cluster, then the usual root.
            std::int64_t f2 = 2 * (size / clusterBytes);
            f2 += 512 - f2 % 512;
            rootStart = fatStart + 2 * f2;
            dataStart = rootStart + kUsualRootBytes;
        }
        rootSize = dataStart - rootStart;
        if (rootSize < 32 || rootSize > kMaxRootBytes) rootSize = kUsualRootBytes;
    }
    advancedDataStartKnown_ = dataStart > 0;
    if (dataStart <= 0) dataStart = fatStart + 512;  // settled by the entry scan
    if (fatSize <= 0)
        fatSize = std::max<std::int64_t>(512, (fat32 ? dataStart : rootStart) - fatStart);

    FatGeometry& g = geometry_;
    g = FatGeometry{};
    g.bytesPerSector = 512;
    g.sectorsPerCluster = sectorsPerCluster;
    g.clusterSize = static_cast<std::uint32_t>(clusterBytes);
    g.fatCount = static_cast<std::uint32_t>(copies.size());
    g.fatStart = fatStart;
    g.fatSize = fatSize;
    g.sectorsPerFat = static_cast<std::uint32_t>(std::min<std::int64_t>(fatSize / 512, 0xFFFFFFFF));
    g.rootStart = rootStart;
    g.rootSize = rootSize;
    g.rootEntryCount = static_cast<std::uint32_t>(rootSize / 32);
    g.dataStart = dataStart;
    const std::int64_t dataClusters = std::max<std::int64_t>(0, (size - dataStart) / clusterBytes);
    g.fatBits = fat32 ? 32 : (dataClusters < 4085 ? 12 : 16);
    const std::int64_t fatEntries = fatSize * 8 / g.fatBits;
    const std::int64_t highest = fat32 ? 0x0FFFFFF6 : (g.fatBits == 16 ? 0xFFF6 : 0xFF6);
    g.clusterLimit = static_cast<std::uint32_t>(
        std::max<std::int64_t>(2, std::min({dataClusters + 2, fatEntries, highest + 1})));
    g.rootCluster = fat32 ? 2 : 0;
    // The advanced geometry stands in for the boot sector from here on, extraction included.
    bootValid_ = true;
    return true;
}

void FatVolumeParser::scanEntryCandidates() {
    entryCandidates_.clear();
    rootMark_ = -1;
    const bool fat32 = geometry_.fatBits == 32;
    const std::uint64_t size = fatadv::searchBytes(volumeSizeBytes_, reader);
    if (size == 0 || geometry_.clusterSize == 0) return;
    // The slot tests take the cluster count the volume's size allows.
    const auto count = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(size / geometry_.clusterSize, 0x0FFFFFFF));
    report().setProgressRange(fat32 ? 1000 : 100000);
    fatadv::walkSectors(
        *reader, size, stopRequested,
        [&](std::uint64_t k) {
            const std::uint64_t at = k * fatadv::kSearchChunk;
            if (fat32) {
                report().setProgressPosition(static_cast<std::int64_t>(at * 1000 / size));
                report().setStatusText(format("found file or directory =  %lld ",
                                              static_cast<long long>(entryCandidates_.size())));
            } else {
                report().setStatusText(format("currently at sector %lld of %lld",
                                              static_cast<long long>(at / 512),
                                              static_cast<long long>(size / 512)));
                report().setProgressPosition(static_cast<std::int64_t>(at * 100000 / size));
            }
            return entryCandidates_.size() < fatadv::kMaxEntryCandidates;
        },
        [&](std::int64_t pos, const std::uint8_t* sector) {
            for (std::size_t o = 0; o < fatadv::kSector; o += kDirEntrySize) {
                const std::uint8_t* slot = sector + o;
                if (fat32 && rootMark_ < 0 && fatadv::fat32RootMark(slot))
                    rootMark_ = pos + static_cast<std::int64_t>(o);
                const bool accepted = fat32 ? fatadv::acceptFat32Slot(slot, count)
                                            : fatadv::acceptFat16Slot(slot, count);
                if (accepted && entryCandidates_.size() < fatadv::kMaxEntryCandidates)
                    entryCandidates_.push_back(pos + static_cast<std::int64_t>(o));
            }
            return true;
        });
    // A stop ends the scan; the tree is built from what was found.
    stopRequested.clear();
    if (fat32 && !advancedDataStartKnown_) {
        // Nothing measured the data start: the root's label (or recycle bin) opens cluster 2,
        // else the first entry found does.
        if (rootMark_ >= 0)
            geometry_.dataStart = rootMark_ & ~std::int64_t{511};
        else if (!entryCandidates_.empty())
            geometry_.dataStart = std::max<std::int64_t>(0, entryCandidates_.front() - 32);
    }
    if (fat32 && rootMark_ >= geometry_.dataStart && geometry_.clusterSize != 0) {
        // The root need not start at cluster 2; its label lies in its first cluster.
        const std::int64_t k = (rootMark_ - geometry_.dataStart) / geometry_.clusterSize + 2;
        if (k < geometry_.clusterLimit) geometry_.rootCluster = static_cast<std::uint32_t>(k);
    }
}

const std::vector<FatEntry>& FatVolumeParser::buildOrphanTree() {
    records_.clear();
    directoryGuard_.clear();
    if (entryCandidates_.empty()) return records_;
    walkRootDirectory();
    if (records_.empty()) {
        FatEntry top;
        top.attributes = kAttrDirectory;
        top.name = kDummyEntryName;
        appendRecord(std::move(top), 0);
    }
    FatEntry orphanFolder;
    orphanFolder.attributes = kAttrDirectory;
    orphanFolder.name = kOrphanEntryName;
    const std::uint32_t orphans = appendRecord(std::move(orphanFolder), 0);

    const FatGeometry& g = geometry_;
    // A slot was reached by a walk when its cluster was decoded, or it lies in the root region.
    auto reached = [&](std::int64_t p) {
        if (g.rootSize > 0 && p >= g.rootStart && p < g.rootStart + g.rootSize) return true;
        if (p < g.dataStart) return true;  // reserved sectors and FATs hold no entries
        const std::int64_t k = (p - g.dataStart) / g.clusterSize + 2;
        return k >= g.clusterLimit || directoryGuard_.contains(static_cast<std::uint64_t>(k));
    };
    // The long name that stands right before a short entry. Its run may begin in the cluster
    // before; live fragments must count down to the short entry and agree on its checksum.
    // The cluster before each in its chain, for long names that begin in it.
    std::vector<std::uint32_t> previous;
    if (g.clusterLimit <= kMaxReverseClusters) {
        previous.assign(g.clusterLimit, 0);
        for (std::uint32_t n = 2; n < g.clusterLimit; ++n) {
            const std::uint32_t next = fatValue(n);
            if (next >= 2 && next < g.clusterLimit) previous[next] = n;
        }
    }
    auto entryAt = [&](std::int64_t p) {
        const std::int64_t k = (p - g.dataStart) / g.clusterSize + 2;
        const std::int64_t clusterStart = clusterOffset(static_cast<std::uint32_t>(k));
        const auto before = static_cast<std::size_t>(
            std::min<std::int64_t>(p - clusterStart, kMaxLongNameFragments * 32));
        const std::size_t carried =
            std::min<std::size_t>(kMaxLongNameFragments * 32 - before, g.clusterSize);
        std::vector<std::uint8_t> bytes(carried + before + 32, 0);
        const std::uint32_t prior = k < static_cast<std::int64_t>(previous.size())
                                        ? previous[static_cast<std::size_t>(k)]
                                        : 0;
        if (prior != 0 && carried > 0)
            reader->readAt(clusterOffset(prior) + g.clusterSize - carried, bytes.data(), carried);
        reader->readAt(p - static_cast<std::int64_t>(before), bytes.data() + carried, before + 32);
        const std::int64_t from = p - static_cast<std::int64_t>(carried + before);
        const std::uint8_t* slot = bytes.data() + (p - from);
        const bool deleted = slot[0] == kDeletedMark;
        std::size_t run = 0;  // fragments directly before the slot
        while ((run + 1) * 32 <= static_cast<std::size_t>(p - from)) {
            const std::uint8_t* f = slot - (run + 1) * 32;
            if (classifySlot(f) != FatSlot::LongName || (f[0] == kDeletedMark) != deleted) break;
            if (!deleted && (f[0] & 0x1F) != run + 1) break;
            ++run;
            if (!deleted && (f[0] & 0x40)) break;  // the name's first part
        }
        LongNameBuilder longName;
        if (deleted || (run > 0 && (slot[-static_cast<std::ptrdiff_t>(run) * 32] & 0x40)))
            for (std::size_t i = run; i > 0; --i) longName.addFragment(slot - i * 32);
        FatEntry e = entryFields(slot);
        auto name = longName.takeFor(slot);
        e.name = name ? *name : shortEntryName(slot);
        return std::make_pair(e, classifySlot(slot));
    };
    // Folders first, in volume order, so the files they hold are reached before they would be
    // taken for orphans; then the files no walk reached.
    for (bool folders : {true, false}) {
        for (std::int64_t p : entryCandidates_) {
            if (reached(p)) continue;
            auto [e, kind] = entryAt(p);
            if (kind != (folders ? FatSlot::Folder : FatSlot::File)) continue;
            const std::uint32_t idx = appendRecord(std::move(e), orphans);
            if (folders) descendInto(idx);
        }
    }
    directoryGuard_.clear();
    return records_;
}

WorkerResult FatVolumeParser::runAdvanced(bool fat32) {
    WorkerResult result;
    stopRequested.clear();
    if (resultsTree) resultsTree->deleteAll();
    records_.clear();
    openVolume();
    if (volumeSizeBytes_ <= 0) volumeSizeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    const int table = advancedChoice.table;
    if (table < 0 || !setAdvancedGeometry(static_cast<std::size_t>(table),
                                          static_cast<std::uint32_t>(
                                              std::max(advancedChoice.sectorsPerCluster, 0)))) {
        result.remarks.push_back("no FAT location chosen: nothing to rebuild");
        return result;
    }
    report().setStatusText("Maintaining directory Structure in AdvanceScanning");
    scanEntryCandidates();
    result.remarks.push_back(format("clusters of %lld bytes, data from byte %lld",
                                    geometry_.clusterSize, geometry_.dataStart));
    buildOrphanTree();
    markFreeClusterAssumptions();
    report().setStatusText(fat32 ? "Maintaining TreeStructure for Tree Control"
                                 : "Maintaining Tree Structure for Tree Control");
    linkChildren(!fat32);
    fillRootNodes();
    addPlaceholders();
    if (fat32) restoreRecycleBinNames(*this);
    return result;
}

}  // namespace vel
