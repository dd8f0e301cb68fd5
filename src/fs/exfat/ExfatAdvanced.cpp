// The advanced mode of the exFAT parser: the searches for the FAT's and the cluster heap's
// places, the cluster size and heap start measured from what the folders name, the entry scan and
// the tree rebuilt from it.
#include <algorithm>
#include <cstdio>
#include <string>

#include "fs/common/Endian.h"
#include "fs/exfat/Fat64Class.h"
#include "fs/fat/FatAdvanced.h"
#include "search/RecycleBinNames.h"

namespace vel {

using namespace exfat;

namespace {

std::string format(const char* pattern, long long a, long long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Sectors-per-cluster shifts a volume may have (512 bytes to 32 MiB a cluster).
constexpr int kMaxShift = 16;
// Bounds on what the search keeps to measure the geometry from.
constexpr std::size_t kMaxFolderClusters = 128;
constexpr std::size_t kMaxDirectoryStarts = 512;
constexpr std::size_t kMaxTableStarts = 16;
// An entry set takes at most 19 slots.
constexpr std::size_t kMaxSetBytes = (2 + kMaxNameEntries) * kEntrySize;

// What one pass over the volume keeps besides the FAT places.
struct Sightings {
    std::vector<std::int64_t> heapStarts;  // sectors that start like a full allocation bitmap
    std::vector<std::int64_t> upcaseStarts, directoryStarts;
    std::vector<std::uint32_t> bitmapClusters, upcaseClusters, folderClusters;
};

void keep(std::vector<std::uint32_t>& list, std::uint32_t value, std::size_t limit) {
    if (value >= 2 && list.size() < limit &&
        std::find(list.begin(), list.end(), value) == list.end())
        list.push_back(value);
}

// Each cluster a root or folder entry names, paired with every place that looks like its start.
std::vector<fatadv::ClusterVote> votesOf(const Sightings& s) {
    std::vector<fatadv::ClusterVote> votes;
    auto pair = [&](const std::vector<std::uint32_t>& clusters,
                    const std::vector<std::int64_t>& places) {
        for (std::uint32_t c : clusters)
            for (std::int64_t p : places) votes.push_back({p, c});
    };
    pair(s.bitmapClusters, s.heapStarts);
    pair(s.upcaseClusters, s.upcaseStarts);
    pair(s.folderClusters, s.directoryStarts);
    return votes;
}

}  // namespace

std::size_t Fat64Class::searchFatTables(int maximum) {
    fatCandidates.clear();
    detectedShift_ = -1;
    detectedHeap_ = -1;
    const auto wanted = static_cast<std::size_t>(std::max(maximum, 1));
    const std::uint64_t size = fatadv::searchBytes(volumeBytes_, reader);
    if (size == 0) return 0;
    Sightings seen;
    report().setProgressRange(1000);
    fatadv::walkSectors(
        *reader, size, stopRequested,
        [&](std::uint64_t k) {
            report().setProgressPosition(
                static_cast<std::int64_t>(k * fatadv::kSearchChunk * 1000 / size));
            return true;
        },
        [&](std::int64_t pos, const std::uint8_t* sector) {
            if (fatCandidates.size() < wanted &&
                fatadv::fatStartSignature(sector, fatadv::TableKind::Exfat)) {
                fatCandidates.push_back(pos);
                report().setStatusText(
                    format("found fat entry  %lld ", static_cast<long long>(fatCandidates.size())));
            }
            if (fatadv::heapStartSignature(sector) && seen.heapStarts.size() < kMaxTableStarts)
                seen.heapStarts.push_back(pos);
            if (fatadv::upcaseTableSignature(sector) && seen.upcaseStarts.size() < kMaxTableStarts)
                seen.upcaseStarts.push_back(pos);
            if ((sector[0] == kFileLive || sector[0] == kFileDeleted || sector[0] == 0x83) &&
                seen.directoryStarts.size() < kMaxDirectoryStarts)
                seen.directoryStarts.push_back(pos);
            for (std::size_t o = 0; o + kEntrySize <= fatadv::kSector; o += kEntrySize) {
                const std::uint8_t* e = sector + o;
                if (e[0] == 0x81) keep(seen.bitmapClusters, le32(e + 20), 4);
                if (e[0] == 0x82) keep(seen.upcaseClusters, le32(e + 20), 4);
                if (e[0] == kFileLive && isDirectoryAttributes(le16(e + 4)) &&
                    o + 2 * kEntrySize <= fatadv::kSector && e[kEntrySize] == kStreamLive)
                    keep(seen.folderClusters, le32(e + kEntrySize + 20), kMaxFolderClusters);
            }
            return true;
        });
    std::vector<std::uint32_t> sizes;
    for (int shift = 0; shift <= kMaxShift; ++shift) sizes.push_back(512u << shift);
    const std::int64_t minStart = fatCandidates.empty() ? 0 : fatCandidates.front() + 512;
    const auto ranked = fatadv::rankClusterSizes(votesOf(seen), sizes, minStart);
    if (ranked.size() > 1 && ranked[0].agreeing >= 2 && ranked[0].agreeing > ranked[1].agreeing) {
        int shift = 0;
        while ((512u << shift) != ranked[0].clusterBytes) ++shift;
        detectedShift_ = shift;
        detectedHeap_ = ranked[0].dataStart;
    }
    heapSightings_ = std::move(seen.heapStarts);
    return fatCandidates.size();
}

std::size_t Fat64Class::searchHeapOffsets(int maximum) {
    heapCandidates.clear();
    // The list ends with maximum + 1 places, as the screen has always shown.
    const auto wanted = static_cast<std::size_t>(std::max(maximum, 1)) + 1;
    const std::uint64_t size = fatadv::searchBytes(volumeBytes_, reader);
    if (size > 0 && heapSightings_.size() < wanted)
        fatadv::walkSectors(
            *reader, size, stopRequested, [](std::uint64_t) { return true; },
            [&](std::int64_t pos, const std::uint8_t* sector) {
                if (fatadv::heapStartSignature(sector)) heapCandidates.push_back(pos);
                return heapCandidates.size() < wanted;
            });
    else
        heapCandidates.assign(heapSightings_.begin(),
                              heapSightings_.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                           wanted, heapSightings_.size())));
    // The measured heap goes first.
    if (detectedHeap_ >= 0) {
        heapCandidates.erase(
            std::remove(heapCandidates.begin(), heapCandidates.end(), detectedHeap_),
            heapCandidates.end());
        heapCandidates.insert(heapCandidates.begin(), detectedHeap_);
    }
    return heapCandidates.size();
}

std::optional<AdvancedLayout> Fat64Class::advancedLayout() const {
    AdvancedLayout layout;
    layout.tableLabel = "Total fat64 Entries Found:";
    layout.clusterLabel = false;
    layout.heapList = true;
    return layout;
}

CandidateLists Fat64Class::searchCandidates(int maxFileSystems) {
    openVolume();
    volumeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    const bool bootValid = checkBootSector();
    report().setStatusText("Finding Fat64 entries....");
    const int maximum = maxFileSystemsOrDefault(maxFileSystems);
    searchFatTables(maximum);
    searchHeapOffsets(maximum);
    // The heap offset an intact boot sector states is the likeliest.
    if (bootValid && !heapCandidates.empty()) heapCandidates.front() = heapStart_;
    CandidateLists lists;
    for (std::size_t i = 0; i < fatCandidates.size(); ++i) {
        lists.tables.push_back("FAT64_ENTRY:" + std::to_string(i));
        lists.tableNotes.push_back(format("FAT at byte %lld", fatCandidates[i]));
    }
    for (std::size_t i = 0; i < heapCandidates.size(); ++i) {
        lists.heaps.push_back("HEAP_OFFSET_ENTRY:" + std::to_string(i));
        std::string note = format("heap at byte %lld", heapCandidates[i]);
        if (i == 0 && bootValid)
            note += ", as the boot sector states";
        else if (heapCandidates[i] == detectedHeap_)
            note += " (detected)";
        lists.heapNotes.push_back(note);
    }
    if (bootValid) lists.clusterSizes.push_back(std::to_string(boot_.sectorsPerClusterShift));
    for (const char* shift : {"8", "9", "10", "11"}) lists.clusterSizes.push_back(shift);
    if (detectedShift_ >= 0) {
        const std::string text = std::to_string(detectedShift_);
        lists.clusterSizes.erase(
            std::remove(lists.clusterSizes.begin(), lists.clusterSizes.end(), text),
            lists.clusterSizes.end());
        lists.clusterSizes.insert(lists.clusterSizes.begin(), text + " (detected)");
    }
    lists.message =
        "Number of FAT64-ENTRY found = " + std::to_string(fatCandidates.size()) +
        " and Number of HeapOffset-ENTRY found =  " + std::to_string(heapCandidates.size()) +
        "  . Please select the choice from ( Entry and Heap ) Combobox and click Next "
        "button to proceed.";
    lists.doneStatus = "Parsing done.Click Next to continue.";
    return lists;
}

// --- the advanced scan -------------------------------------------------------------------------

bool Fat64Class::setAdvancedGeometry(std::size_t table, std::size_t heap, int shift) {
    if (table >= fatCandidates.size() || heap >= heapCandidates.size() || !reader) return false;
    if (fatCandidates[table] <= 0 || heapCandidates[heap] <= 0) return false;
    if (shift < 0 || shift > kMaxShift)
        shift =
            detectedShift_ >= 0 ? detectedShift_ : (bootValid_ ? boot_.sectorsPerClusterShift : 3);
    const std::int64_t size = static_cast<std::int64_t>(fatadv::searchBytes(volumeBytes_, reader));
    boot_ = BootSector{};
    boot_.bytesPerSectorShift = 9;
    boot_.sectorsPerClusterShift = static_cast<std::uint8_t>(shift);
    clusterSize_ = boot_.clusterSize();
    fatStart_ = fatCandidates[table];
    heapStart_ = heapCandidates[heap];
    clusterCount_ = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>((size - heapStart_) / clusterSize_ + 2, 2, 0xFFFFFFF6));
    // The advanced geometry stands in for the boot sector from here on, extraction included.
    bootValid_ = true;
    return true;
}

void Fat64Class::scanEntryCandidates() {
    entryCandidates_.clear();
    rootPosition_ = -1;
    const std::uint64_t size = fatadv::searchBytes(volumeBytes_, reader);
    if (size < kEntrySize) return;
    report().setProgressRange(1000);
    std::vector<std::uint8_t> chunk;
    for (std::uint64_t pos = 0; pos < size; pos += fatadv::kSearchChunk) {
        if (stopRequested.requested() || entryCandidates_.size() >= fatadv::kMaxEntryCandidates)
            break;
        report().setProgressPosition(static_cast<std::int64_t>(pos * 1000 / size));
        // The sets that begin in this chunk may end in the next.
        const auto own =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - pos, fatadv::kSearchChunk));
        const auto span =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - pos, own + kMaxSetBytes));
        chunk.assign(span, 0);
        reader->readAt(static_cast<std::int64_t>(pos), chunk.data(), span);
        for (std::size_t o = 0; o + kEntrySize <= own; o += kEntrySize) {
            const std::uint8_t* e = chunk.data() + o;
            if (rootPosition_ < 0 && rootLabelEntry(e)) {
                rootPosition_ = static_cast<std::int64_t>(pos + o);
                continue;
            }
            const std::size_t slots = candidateEntrySet(chunk.data(), span, o);
            if (slots == 0) continue;
            if (entryCandidates_.size() < fatadv::kMaxEntryCandidates)
                entryCandidates_.push_back(static_cast<std::int64_t>(pos + o));
            o += (slots - 1) * kEntrySize;
        }
        report().setStatusText(
            format("found Entry %lld ", static_cast<long long>(entryCandidates_.size())));
    }
    // A stop ends the scan; the tree is built from what was found.
    stopRequested.clear();
}

const std::vector<ExfatEntry>& Fat64Class::buildOrphanTree() {
    records_.clear();
    directoryGuard_.clear();
    if (entryCandidates_.empty() || clusterSize_ == 0) return records_;
    const std::int64_t root =
        rootPosition_ >= heapStart_ ? rootPosition_ : entryCandidates_.front();
    if (root >= heapStart_) {
        boot_.rootCluster = static_cast<std::uint32_t>(
            std::min<std::int64_t>((root - heapStart_) / clusterSize_ + 2, clusterCount_));
        if (readRootDirectory()) scanRootDirectory();
    }
    if (records_.empty()) {
        ExfatEntry top;
        top.entryType = kFileLive;
        top.attributes = 0x10;
        top.name = kDummyEntryName;
        appendRecord(std::move(top), 0);
    }
    // The orphans' folder is a folder whatever the entries it gathers are.
    ExfatEntry folder;
    folder.entryType = kFileLive;
    folder.attributes = 0x10;
    folder.name = kOrphanEntryName;
    const std::uint32_t orphans = appendRecord(std::move(folder), 0);

    auto reached = [&](std::int64_t p) {
        if (p < heapStart_) return true;  // the FAT and the boot region hold no entry sets
        const std::int64_t k = (p - heapStart_) / clusterSize_ + 2;
        return k >= clusterCount_ || directoryGuard_.contains(static_cast<std::uint64_t>(k));
    };
    // Folders first, in volume order, so the sets they hold are reached before they would be
    // taken for orphans; then the sets no walk reached.
    for (bool folders : {true, false}) {
        for (std::int64_t p : entryCandidates_) {
            if (reached(p)) continue;
            std::vector<std::uint8_t> bytes(kMaxSetBytes, 0);
            reader->readAt(p, bytes.data(), bytes.size());
            bool first = true;
            walkEntrySets(bytes.data(), bytes.size(), [&](const ExfatEntry& set) {
                if (!first) return;
                first = false;
                const bool isFolder = isDirectoryAttributes(set.attributes);
                if (isFolder != folders) return;
                const std::uint32_t idx = appendRecord(set, orphans);
                if (!isFolder) return;
                PendingFolders pending;
                (set.deleted() ? pending.deleted : pending.live).push_back(idx);
                readPendingFolders(pending);
            });
        }
    }
    directoryGuard_.clear();
    return records_;
}

WorkerResult Fat64Class::runAdvanced() {
    WorkerResult result;
    stopRequested.clear();
    if (resultsTree) resultsTree->deleteAll();
    records_.clear();
    openVolume();
    if (volumeBytes_ <= 0) volumeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    const int table = advancedChoice.table;
    const int heap = advancedChoice.heap >= 0 ? advancedChoice.heap : table;
    const int shift = advancedChoice.sectorsPerCluster > 0 ? advancedChoice.sectorsPerCluster : -1;
    if (table < 0 || heap < 0 ||
        !setAdvancedGeometry(static_cast<std::size_t>(table), static_cast<std::size_t>(heap),
                             shift)) {
        result.remarks.push_back("no FAT or heap location chosen: nothing to rebuild");
        return result;
    }
    report().setStatusText("Maintaining TreeStructure for Tree Control");
    scanEntryCandidates();
    result.remarks.push_back(
        format("clusters of %lld bytes, heap from byte %lld", clusterSize_, heapStart_));
    buildOrphanTree();
    markFreeClusterAssumptions();
    linkChildren();
    fillRootNodes();
    addPlaceholders();
    restoreRecycleBinNames(*this);
    return result;
}

}  // namespace vel
