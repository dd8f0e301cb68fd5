// The NTFS advanced and deep modes: the search for the places of MFTs (advanced), the search for
// every MFT record of a volume and its sorting into MFT copies (deep).
#include "fs/ntfs/NtfsDeep.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <unordered_set>

#include "fs/ntfs/ntfs.h"
#include "search/RecycleBinNames.h"

namespace vel {

using namespace ntfsfmt;

namespace ntfsdeep {

namespace {

constexpr std::uint32_t kUnassigned = kNoCopy - 1;
constexpr std::uint64_t kMaxOffset =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

bool validClusterSize(std::uint64_t cs) {
    return cs >= kSectorSize && cs <= kMaxClusterSize && (cs & (cs - 1)) == 0;
}

std::int64_t findAt(const std::vector<FoundRecord>& found, std::uint64_t offset) {
    auto it = std::lower_bound(found.begin(), found.end(), offset,
                               [](const FoundRecord& r, std::uint64_t o) { return r.offset < o; });
    if (it == found.end() || it->offset != offset) return -1;
    return it - found.begin();
}

// One MFT as a $MFT record describes it.
struct FileSystemSeen {
    std::size_t sighting = 0;
    bool main = false;  // the record lies in its MFT, not in a mirror
    std::uint64_t clusterSize = 0;
    std::uint64_t origin = 0;
    ClusterSource source = ClusterSource::Assumed;
    std::vector<std::uint64_t> mirrors;  // offsets of mirror copies of its first records
};

}  // namespace

std::uint64_t clusterSizeTold(const std::uint8_t* record, std::uint32_t recordSize) {
    // An extension record holds later extents only; their allocated size is the whole stream's.
    if (baseRecordOf(record) != 0) return 0;
    const AttributeHeaders headers = attributeHeaders(record, recordSize);
    bool listed = false;
    for (const AttributeRef& a : headers) listed = listed || a.type == kAttributeList;
    std::uint64_t told = 0;
    for (const AttributeRef& a : headers) {
        if (!a.nonResident || a.length < 0x40) continue;
        // With an attribute list, streams may go on in other records.
        if (listed && a.type != kAttributeList) continue;
        const std::uint8_t* h = record + a.offset;
        const std::uint64_t startVcn = le64(h + 0x10), lastVcn = le64(h + 0x18);
        const std::uint64_t allocated = le64(h + 0x28);
        if (startVcn != 0 || lastVcn >= (std::uint64_t{1} << 40) || allocated == 0) continue;
        const std::uint64_t clusters = lastVcn + 1;
        if (allocated % clusters != 0) continue;
        const std::uint64_t cs = allocated / clusters;
        if (!validClusterSize(cs)) continue;
        if (told && told != cs) return 0;
        told = cs;
    }
    return told;
}

std::uint64_t recordHash(const std::uint8_t* record, std::uint32_t recordSize) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint32_t i = 0; i < recordSize; ++i) {
        h ^= record[i];
        h *= 1099511628211ull;
    }
    return h;
}

std::string describeCopy(const Copy& copy, const std::string& label) {
    const char* why = copy.source == ClusterSource::MftRecord ? "as its $MFT record tells"
                      : copy.source == ClusterSource::Records ? "as its records tell"
                                                              : "assumed: its records do not tell";
    char text[240];
    std::snprintf(text, sizeof text, "%s: %llu records from byte %llu, clusters of %llu bytes (%s)",
                  label.c_str(), static_cast<unsigned long long>(copy.records),
                  static_cast<unsigned long long>(copy.firstOffset),
                  static_cast<unsigned long long>(copy.clusterSize), why);
    return text;
}

Grouping groupRecords(const std::vector<FoundRecord>& found, const std::vector<MftSighting>& mfts,
                      std::uint64_t fallbackClusterSize) {
    Grouping g;
    const std::size_t n = found.size();
    g.copyOf.assign(n, kUnassigned);
    g.numberOf.assign(n, kNoNumber);
    auto numberedAs = [&](std::int64_t i, std::uint32_t k) {
        return i >= 0 && found[static_cast<std::size_t>(i)].number == k;
    };

    // Each $MFT record describes one MFT. One followed by records 4 to 7 lies in its MFT; one
    // without them is a mirror's copy.
    std::vector<FileSystemSeen> mains, mirrors;
    for (std::size_t s = 0; s < mfts.size(); ++s) {
        const FoundRecord& r = found[mfts[s].record];
        const std::uint64_t rs = r.recordSize;
        FileSystemSeen fs;
        fs.sighting = s;
        for (std::uint32_t k = 4; k <= 7 && !fs.main; ++k)
            fs.main = numberedAs(findAt(found, r.offset + k * rs), k);
        const std::vector<DataRun>& runs = mfts[s].runs;
        const std::int64_t lcn = runs.empty() || runs[0].sparse ? -1 : runs[0].startCluster;
        std::uint64_t cs = r.clusterSize;
        // Cluster 0 lies where the first run's cluster, counted back from the record, begins.
        std::int64_t anchorLcn = lcn;
        if (!fs.main) {
            // A mirror's copy: its $MFTMirr copy follows it and tells where the mirror lies.
            const std::int64_t m1 = findAt(found, r.offset + rs);
            anchorLcn = numberedAs(m1, 1) ? found[static_cast<std::size_t>(m1)].dataLcn : -1;
            fs.mirrors.push_back(r.offset);
        }
        if (cs && anchorLcn >= 0 && static_cast<std::uint64_t>(anchorLcn) <= r.offset / cs) {
            fs.origin = r.offset - static_cast<std::uint64_t>(anchorLcn) * cs;
            fs.source = ClusterSource::MftRecord;
        } else if (!cs && anchorLcn > 0 && r.offset % static_cast<std::uint64_t>(anchorLcn) == 0 &&
                   validClusterSize(r.offset / static_cast<std::uint64_t>(anchorLcn))) {
            cs = r.offset / static_cast<std::uint64_t>(anchorLcn);
            fs.source = ClusterSource::MftRecord;
        } else if (cs) {
            fs.source = ClusterSource::MftRecord;
        }
        fs.clusterSize = cs;
        (fs.main ? mains : mirrors).push_back(fs);
    }
    // A mirror made at the same moment as a main MFT (the same format) belongs to it.
    std::vector<FileSystemSeen> standalone;
    for (const FileSystemSeen& m : mirrors) {
        const std::uint64_t created = mfts[m.sighting].created;
        FileSystemSeen* host = nullptr;
        for (auto* list : {&mains, &standalone})
            for (FileSystemSeen& f : *list)
                if (!host && created != 0 && mfts[f.sighting].created == created) host = &f;
        if (host)
            host->mirrors.push_back(m.mirrors.front());
        else
            standalone.push_back(m);
    }
    std::vector<FileSystemSeen> order = mains;
    order.insert(order.end(), standalone.begin(), standalone.end());

    auto newCopy = [&]() -> std::uint32_t {
        g.copies.emplace_back();
        return static_cast<std::uint32_t>(g.copies.size() - 1);
    };
    auto claim = [&](std::size_t i, std::uint32_t c, std::uint32_t number) {
        if (g.copyOf[i] != kUnassigned) return false;
        Copy& copy = g.copies[c];
        if (!copy.byNumber.emplace(number, static_cast<std::uint32_t>(i)).second) return false;
        g.copyOf[i] = c;
        g.numberOf[i] = number;
        return true;
    };

    // Each MFT takes the records its runs place, up to its data size: what lies beyond belongs to
    // an earlier format.
    for (const FileSystemSeen& fs : order) {
        const std::uint32_t c = newCopy();
        g.copies[c].clusterSize = fs.clusterSize;
        g.copies[c].origin = fs.origin;
        g.copies[c].source = fs.source;
        const MftSighting& s = mfts[fs.sighting];
        const std::uint64_t rs = found[s.record].recordSize;
        if (fs.main) claim(s.record, c, 0);
        const std::uint64_t cs = fs.clusterSize;
        if (cs) {
            const std::uint64_t limit = std::min<std::uint64_t>(s.dataSize / rs, kNoNumber - 1);
            std::uint64_t vcn = 0;
            for (const DataRun& run : s.runs) {
                if (vcn > kMaxOffset / cs || vcn * cs / rs >= limit) break;
                if (!run.sparse && run.startCluster >= 0 &&
                    static_cast<std::uint64_t>(run.startCluster) < kMaxOffset / cs &&
                    run.clusterCount < kMaxOffset / cs) {
                    const std::uint64_t start =
                        fs.origin + static_cast<std::uint64_t>(run.startCluster) * cs;
                    const std::uint64_t end = start + run.clusterCount * cs;
                    auto it = std::lower_bound(
                        found.begin(), found.end(), start,
                        [](const FoundRecord& r, std::uint64_t o) { return r.offset < o; });
                    for (auto i = static_cast<std::size_t>(it - found.begin());
                         i < n && found[i].offset < end; ++i) {
                        const std::uint64_t mftByte = vcn * cs + (found[i].offset - start);
                        if (mftByte % rs != 0 || mftByte / rs >= limit) continue;
                        const auto number = static_cast<std::uint32_t>(mftByte / rs);
                        if (found[i].number != kNoNumber && found[i].number != number) continue;
                        claim(i, c, number);
                    }
                }
                vcn += run.clusterCount;
            }
        }
        // A mirror's copies of the first records count only where the MFT lost its own.
        for (std::uint64_t m : fs.mirrors) {
            for (std::uint32_t k = 0; k < 4; ++k) {
                const std::int64_t i = findAt(found, m + k * rs);
                if (!numberedAs(i, k)) break;
                const auto at = static_cast<std::size_t>(i);
                if (g.copyOf[at] == kUnassigned && !claim(at, c, k)) g.copyOf[at] = kNoCopy;
            }
        }
    }

    // The rest: records that tell their numbers group by where their record 0 would lie.
    std::map<std::pair<std::uint64_t, std::uint32_t>, std::uint32_t> byBase;
    std::uint32_t unnumbered = kNoCopy;
    for (std::size_t i = 0; i < n; ++i) {
        if (g.copyOf[i] != kUnassigned) continue;
        const FoundRecord& r = found[i];
        const std::uint64_t back = std::uint64_t{r.number} * r.recordSize;
        if (r.number != kNoNumber && back <= r.offset) {
            auto key = std::make_pair(r.offset - back, r.recordSize);
            auto it = byBase.find(key);
            const std::uint32_t c = it != byBase.end() ? it->second : newCopy();
            byBase.emplace(key, c);
            if (!claim(i, c, r.number)) g.copyOf[i] = kNoCopy;
        } else {
            if (unnumbered == kNoCopy) {
                unnumbered = newCopy();
                g.copies[unnumbered].numbered = false;
            }
            g.copyOf[i] = unnumbered;
        }
    }

    std::vector<std::vector<std::uint32_t>> members(g.copies.size());
    for (std::size_t i = 0; i < n; ++i)
        if (g.copyOf[i] < g.copies.size())
            members[g.copyOf[i]].push_back(static_cast<std::uint32_t>(i));

    // Cluster sizes no $MFT record told: the one most of the copy's records tell.
    for (std::size_t c = 0; c < g.copies.size(); ++c) {
        Copy& copy = g.copies[c];
        if (copy.clusterSize) continue;
        std::map<std::uint64_t, std::uint64_t> votes;
        for (std::uint32_t i : members[c])
            if (found[i].clusterSize) ++votes[found[i].clusterSize];
        auto best = std::max_element(votes.begin(), votes.end(), [](const auto& a, const auto& b) {
            return a.second < b.second;
        });
        if (best != votes.end()) {
            copy.clusterSize = best->first;
            copy.source = ClusterSource::Records;
        } else {
            copy.clusterSize = validClusterSize(fallbackClusterSize) ? fallbackClusterSize : 4096;
            copy.source = ClusterSource::Assumed;
        }
    }

    // A named record met again byte for byte in a later copy (a second copy of an MFT) is shown
    // once.
    std::unordered_set<std::uint64_t> seen;
    for (std::size_t c = 0; c < g.copies.size(); ++c) {
        Copy& copy = g.copies[c];
        for (std::uint32_t i : members[c]) {
            if (found[i].entry < 0) continue;
            if (!seen.insert(found[i].hash ^ (std::uint64_t{g.numberOf[i]} * 0x9E3779B97F4A7C15ull))
                     .second) {
                g.copyOf[i] = kNoCopy;
                continue;
            }
            if (copy.records == 0 || found[i].offset < copy.firstOffset)
                copy.firstOffset = found[i].offset;
            ++copy.records;
        }
    }
    return g;
}

}  // namespace ntfsdeep

using ntfsdeep::DeepIndex;
using ntfsdeep::FoundRecord;

namespace {

constexpr std::uint64_t kSearchChunk = 10485760;

std::u16string nameText(const NameChoice& c) {
    std::u16string name;
    if (!c.found) return name;
    for (std::uint32_t i = 0; i < c.info.nameLength; ++i)
        name.push_back(static_cast<char16_t>(le16(c.info.name + 2 * i)));
    return name;
}

// The unnamed $DATA's first extent: its runs and its data size.
const AttributeRef* unnamedData(const AttributeHeaders& headers) {
    for (const AttributeRef& a : headers)
        if (a.type == kData && a.nonResident && a.nameLength == 0 && a.length >= 0x40) return &a;
    return nullptr;
}

// Reads the volume up to end in 10 MiB chunks and hands every sector that starts a record, the
// record fixed up in memory, to onRecord(offset, record, size); onRecord returns false to end.
// beforeChunk(k) returns false to end before chunk k. Unreadable sectors read as zeros and start
// nothing, so every chunk is passed whatever it held. Returns the number of chunks begun.
template <class BeforeChunk, class OnRecord>
std::uint64_t walkRecordStarts(const readWriteInterface& reader, std::uint64_t end,
                               std::uint32_t defaultRecordSize, const StopFlag& stop,
                               BeforeChunk beforeChunk, OnRecord onRecord) {
    std::vector<std::uint8_t> buffer(kSearchChunk);
    std::uint8_t record[kMaxRecordSize];
    std::uint64_t k = 0, polls = 0;
    end = std::min<std::uint64_t>(
        end, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - kSearchChunk);
    for (std::uint64_t pos = 0; pos < end; pos += kSearchChunk) {
        if (!beforeChunk(k)) return k;
        ++k;
        reader.readAt(static_cast<std::int64_t>(pos), buffer.data(), kSearchChunk);
        const std::uint64_t length = std::min(kSearchChunk, end - pos);
        for (std::uint64_t s = 0; s < length; s += kSectorSize) {
            if (++polls % 256 == 0 && stop.requested()) return k;
            const std::uint8_t* sector = buffer.data() + s;
            if (!looksLikeRecordStart(sector)) continue;
            std::uint32_t size = recordSizeOf(sector);
            if (size == 0) size = defaultRecordSize;
            // Zeros past the record: a decoder that takes records as larger reads nothing stale.
            std::memset(record, 0, sizeof record);
            if (s + size <= kSearchChunk)
                std::memcpy(record, sector, size);
            else
                reader.readAt(static_cast<std::int64_t>(pos + s), record, size);
            applyFixups(record, size);
            if (!onRecord(pos + s, record, size)) return k;
            s += size - kSectorSize;  // the rest of the record starts nothing
        }
    }
    return k;
}

std::uint64_t descriptorBytes(const VolumeDescriptor& v) {
    const std::int64_t mib =
        std::clamp<std::int64_t>(sizeTextMiB(v.sizeText), 0, std::int64_t{1} << 40);
    return static_cast<std::uint64_t>(mib) * 1048576;
}

std::string printf64(const char* format, unsigned long long a) {
    char text[160];
    std::snprintf(text, sizeof text, format, a);
    return text;
}

}  // namespace

std::optional<AdvancedLayout> ntfs::advancedLayout() const {
    AdvancedLayout layout;
    layout.startStatus = "ntfs partition selected....";
    return layout;
}

CandidateLists ntfs::searchCandidates(int maxFileSystems) {
    readBootSector();
    const std::int64_t found = findMftCandidates(maxFileSystemsOrDefault(maxFileSystems));
    CandidateLists lists;
    for (std::int64_t i = 0; i < found; ++i) {
        const MftCandidate& c = candidates[static_cast<std::size_t>(i)];
        lists.tables.push_back("MFT_ENTRY:" + std::to_string(i));
        char note[200];
        if (c.clusterSize)
            std::snprintf(note, sizeof note,
                          "$MFT record at byte %llu; clusters of %llu bytes; file system from "
                          "byte %llu",
                          static_cast<unsigned long long>(c.offset),
                          static_cast<unsigned long long>(c.clusterSize),
                          static_cast<unsigned long long>(c.origin));
        else
            std::snprintf(note, sizeof note,
                          "$MFT record at byte %llu; its cluster size is not recorded",
                          static_cast<unsigned long long>(c.offset));
        lists.tableNotes.push_back(note);
    }
    lists.clusterSizes = {"8", "4", "2", "16", "32", "64"};
    lists.message = "Number of MFT-ENTRY found = " + std::to_string(found) +
                    " . Please select the choice from combo box and click Next button to proceed.";
    lists.doneStatus = "Parsing done.Click next to continue.";
    return lists;
}

std::int64_t ntfs::findMftCandidates(std::int64_t maximum) {
    BootGeometry boot;
    clusterSize = bootSector.size() >= 512 && decodeBootSector(bootSector.data(), boot)
                      ? boot.clusterSize
                      : 4096;
    mftReady = false;
    mftOffset = 0;
    candidates.clear();
    // The boot sector is not trusted here: the volume is as large as its descriptor says.
    std::uint64_t size = descriptorBytes(volume);
    if (size == 0 && reader && reader->byteSize() > 0)
        size = static_cast<std::uint64_t>(reader->byteSize());
    if (!reader || size <= kRecordSize) return 0;
    report().setProgressRange(static_cast<std::int64_t>(size / kSearchChunk));
    std::string foundMessage;
    std::uint64_t recordsSeen = 0;
    const auto wanted = static_cast<std::uint64_t>(std::max<std::int64_t>(maximum, 1));
    const std::uint64_t chunks = walkRecordStarts(
        *reader, size - kRecordSize, kRecordSize, stopRequested,
        [&](std::uint64_t k) {
            if (!candidates.empty() && candidates.size() >= wanted) return false;
            if (stopRequested.requested()) return false;
            report().setProgressPosition(static_cast<std::int64_t>(k));
            return true;
        },
        [&](std::uint64_t offset, const std::uint8_t* record, std::uint32_t size) {
            ++recordsSeen;
            if (!foundMessage.empty()) report().setStatusText(foundMessage);
            const std::u16string name = nameText(chooseName(record, size));
            if (name.compare(0, 5, u"$Boot") != 0 || offset < 7ull * size) return true;
            // The MFT's own record lies seven records before its $Boot record.
            const std::uint64_t at = offset - 7ull * size;
            std::uint8_t first[kMaxRecordSize] = {};
            reader->readAt(static_cast<std::int64_t>(at), first, size);
            applyFixups(first, size);
            const std::u16string mft = nameText(chooseName(first, size));
            if (mft.compare(0, 4, u"$MFT") != 0 || (mft.size() > 4 && mft[4] == u'M')) return true;
            MftCandidate c;
            c.offset = at;
            c.recordSize = size;
            c.clusterSize = ntfsdeep::clusterSizeTold(first, size);
            const AttributeHeaders headers = attributeHeaders(first, size);
            const AttributeRef* data = unnamedData(headers);
            const std::vector<DataRun> runs =
                data ? attributeRuns(first, *data) : std::vector<DataRun>{};
            const std::int64_t lcn = runs.empty() || runs[0].sparse ? -1 : runs[0].startCluster;
            if (c.clusterSize && lcn >= 0 && static_cast<std::uint64_t>(lcn) <= at / c.clusterSize)
                c.origin = at - static_cast<std::uint64_t>(lcn) * c.clusterSize;
            else if (!c.clusterSize && lcn > 0 && at % static_cast<std::uint64_t>(lcn) == 0 &&
                     (at / static_cast<std::uint64_t>(lcn)) >= kSectorSize &&
                     (at / static_cast<std::uint64_t>(lcn)) <= kMaxClusterSize &&
                     ((at / static_cast<std::uint64_t>(lcn)) &
                      (at / static_cast<std::uint64_t>(lcn) - 1)) == 0)
                c.clusterSize = at / static_cast<std::uint64_t>(lcn);
            candidates.push_back(c);
            foundMessage = printf64("MFT ENTRY %llu Found.Parsing it ...", recordsSeen);
            return true;
        });
    // A stop ends this search only: the scan that may follow starts afresh.
    if (stopRequested.isSet()) stopRequested.clear();
    report().setProgressPosition(static_cast<std::int64_t>(chunks));
    return static_cast<std::int64_t>(candidates.size());
}

bool ntfs::selectCandidate(std::int64_t ordinal) {
    mftReady = false;
    mftRuns.clear();
    if (ordinal < 0 || static_cast<std::uint64_t>(ordinal) >= candidates.size() || !reader)
        return false;
    const MftCandidate& c = candidates[static_cast<std::size_t>(ordinal)];
    std::uint8_t record[kMaxRecordSize] = {};
    reader->readAt(static_cast<std::int64_t>(c.offset), record, c.recordSize);
    applyFixups(record, c.recordSize);
    recordSize = c.recordSize;
    mftOffset = c.offset;
    const AttributeHeaders headers = attributeHeaders(record, c.recordSize);
    if (const AttributeRef* data = unnamedData(headers)) mftRuns = attributeRuns(record, *data);
    if (!mftRuns.empty()) {
        mftReady = true;
        runPending = false;
    }
    return mftReady;
}

WorkerResult ntfs::runAdvanced() {
    WorkerResult result;
    scanMode = 2;
    stopRequested.clear();
    if (resultsTree) resultsTree->deleteAll();
    insertVolumeRoot();
    entries.clear();
    nameArena.clear();
    deep_.reset();
    rootIndex = orphanIndex = -1;
    origin = 0;
    if (bootSector.empty()) readBootSector();
    volumeSize = std::max(volumeSize, descriptorBytes(volume));

    const int pick = advancedChoice.table;
    selectCandidate(pick);
    const MftCandidate* c = pick >= 0 && static_cast<std::size_t>(pick) < candidates.size()
                                ? &candidates[static_cast<std::size_t>(pick)]
                                : nullptr;
    const std::uint64_t chosen = advancedChoice.sectorsPerCluster > 0
                                     ? std::uint64_t(advancedChoice.sectorsPerCluster) * 512
                                     : 0;
    const bool chosenValid =
        chosen >= 512 && chosen <= kMaxClusterSize && (chosen & (chosen - 1)) == 0;
    if (c && c->clusterSize) {
        // The MFT's own record knows what it was written with; a different pick would read
        // every file from the wrong place.
        clusterSize = c->clusterSize;
        origin = c->origin;
        report().setStatusText(
            printf64("clusters of %llu bytes, as the MFT record tells", clusterSize));
    } else if (chosenValid) {
        clusterSize = chosen;
        report().setStatusText(printf64("clusters of %llu bytes, as chosen", clusterSize));
    } else {
        BootGeometry boot;
        clusterSize = bootSector.size() >= 512 && decodeBootSector(bootSector.data(), boot)
                          ? boot.clusterSize
                          : 4096;
        report().setStatusText(printf64("clusters of %llu bytes assumed", clusterSize));
    }
    enumerateMft();
    buildTree();
    addPlaceholders();
    restoreRecycleBinNames(*this);
    return result;
}

void ntfs::deepScan() {
    BootGeometry boot;
    const bool bootValid = bootSector.size() >= 512 && decodeBootSector(bootSector.data(), boot);
    clusterSize = bootValid ? boot.clusterSize : 4096;
    recordSize = bootValid ? boot.recordSize : kRecordSize;
    mftReady = false;
    mftOffset = 0;
    entries.clear();
    nameArena.clear();
    deep_ = std::make_unique<DeepIndex>();
    DeepIndex& d = *deep_;
    // Entry 0 is no record: a first child of 0 means none.
    entries.emplace_back();
    d.foundOfEntry.push_back(-1);
    if (!reader) return;
    // Remains of other file systems may lie past the boot sector's end, inside the volume.
    std::uint64_t size = std::max(volumeSize, descriptorBytes(volume));
    if (reader->byteSize() > 0)
        size = std::min(size, static_cast<std::uint64_t>(reader->byteSize()));
    report().setProgressRange(static_cast<std::int64_t>(size / kSearchChunk));
    const std::uint64_t chunks = walkRecordStarts(
        *reader, size, recordSize, stopRequested,
        [&](std::uint64_t k) {
            if (stopRequested.requested()) return false;
            report().setProgressPosition(static_cast<std::int64_t>(k));
            return true;
        },
        [&](std::uint64_t offset, const std::uint8_t* record, std::uint32_t size) {
            FoundRecord r;
            r.offset = offset;
            r.recordSize = size;
            if (le16(record + kUsaOffsetField) >= kNumberedUsaOffset)
                r.number = le32(record + kRecordNumberField);
            r.sequence = le16(record + kSequenceField);
            r.clusterSize = ntfsdeep::clusterSizeTold(record, size);
            r.hash = ntfsdeep::recordHash(record, size);
            const AttributeHeaders headers = attributeHeaders(record, size);
            for (const AttributeRef& a : headers) r.hasAttributeList |= a.type == kAttributeList;
            const AttributeRef* data = unnamedData(headers);
            std::vector<DataRun> runs;
            if (data && le64(record + data->offset + 0x10) == 0) {
                runs = attributeRuns(record, *data);
                if (!runs.empty() && !runs[0].sparse) r.dataLcn = runs[0].startCluster;
            }
            const NameChoice c = chooseName(record, size);
            if (c.found && baseRecordOf(record) == 0) {
                const auto index = static_cast<std::int64_t>(entries.size());
                NtfsEntry e;
                e.signature = le32(record);
                e.recordOffset = offset;
                entries.push_back(e);
                d.foundOfEntry.push_back(static_cast<std::int64_t>(d.found.size()));
                decodeRecord(record, index);
                if (entries.back().hasName) {
                    entries.back().orphan = 1;
                    r.entry = index;
                    r.parentSequence = c.info.parentSequence;
                    report().setStatusText(printf64("MFT ENTRY %llu Found.Parsing it ..",
                                                    static_cast<unsigned long long>(index)));
                    if (nameText(c) == u"$MFT" &&
                        (r.number == ntfsdeep::kNoNumber || r.number == 0) && !runs.empty()) {
                        ntfsdeep::MftSighting s;
                        s.record = d.found.size();
                        s.runs = runs;
                        s.dataSize = le64(record + data->offset + 0x30);
                        s.created = c.info.created;
                        d.mfts.push_back(std::move(s));
                    }
                } else {
                    entries.pop_back();
                    d.foundOfEntry.pop_back();
                }
            }
            d.found.push_back(r);
            return true;
        });
    report().setProgressPosition(static_cast<std::int64_t>(chunks));
}

WorkerResult ntfs::runDeep() {
    WorkerResult result;
    scanMode = 3;
    insertVolumeRoot();
    readBootSector();
    report().setStatusText(" scanning for mft entries in deep mode ....");
    deepScan();
    enumerateMft();
    buildTree();
    addPlaceholders();
    restoreRecycleBinNames(*this);
    if (!deep_ || !deep_->grouped) return result;
    std::string assumed;
    for (std::size_t c = 0; c < deep_->grouping.copies.size(); ++c) {
        const ntfsdeep::Copy& copy = deep_->grouping.copies[c];
        if (copy.source == ntfsdeep::ClusterSource::Assumed && copy.records > 0)
            assumed += "\n" + ntfsdeep::describeCopy(copy, deep_->copyLabels[c]);
    }
    if (!assumed.empty())
        result.notices.push_back(
            "Some MFT records do not tell the cluster size they were written with; their "
            "files may come back wrong:" +
            assumed);
    return result;
}

void ntfs::deepLinkPass() {
    DeepIndex& d = *deep_;
    d.grouping = ntfsdeep::groupRecords(d.found, d.mfts, clusterSize ? clusterSize : 4096);
    d.grouped = true;
    const ntfsdeep::Grouping& g = d.grouping;

    // Sizes kept in extension records can be read only now that their copy is known.
    for (const FoundRecord& r : d.found) {
        if (r.entry < 0 || !r.hasAttributeList) continue;
        NtfsEntry& e = entries[static_cast<std::size_t>(r.entry)];
        DataStream s;
        if (e.kind != 'D' && loadDataStream(r.entry, s)) e.dataSize = s.realSize;
    }

    orphanIndex = appendSyntheticFolder(kOrphanEntryName);
    entries[static_cast<std::size_t>(orphanIndex)].recordFlags = kRecordInUse;
    d.foundOfEntry.push_back(-1);
    rootIndex = static_cast<std::int64_t>(entries.size());  // no root is shown: copies have theirs

    const std::size_t copies = g.copies.size();
    std::vector<std::int64_t> parentOf(entries.size(), -1);  // -1: not shown
    std::vector<std::int64_t> copyRoot(copies, -1);
    std::vector<bool> needsRoot(copies, false);
    // A copy's root is the folder that is its own parent.
    for (std::size_t f = 0; f < d.found.size(); ++f) {
        const FoundRecord& r = d.found[f];
        const std::uint32_t c = g.copyOf[f];
        if (r.entry < 0 || c == ntfsdeep::kNoCopy || !g.copies[c].numbered) continue;
        const NtfsEntry& e = entries[static_cast<std::size_t>(r.entry)];
        if (e.kind == 'D' && e.parentIndex == static_cast<std::int64_t>(g.numberOf[f]) &&
            copyRoot[c] < 0)
            copyRoot[c] = r.entry;
    }
    for (std::size_t f = 0; f < d.found.size(); ++f) {
        const FoundRecord& r = d.found[f];
        const std::uint32_t c = g.copyOf[f];
        if (r.entry < 0 || c == ntfsdeep::kNoCopy) continue;
        parentOf[static_cast<std::size_t>(r.entry)] = orphanIndex;
        if (r.entry == copyRoot[c] || !g.copies[c].numbered) continue;
        const std::int64_t p = entries[static_cast<std::size_t>(r.entry)].parentIndex;
        if (p < 0 || p >= ntfsdeep::kNoNumber) continue;
        const std::int64_t pf = g.copies[c].find(static_cast<std::uint32_t>(p));
        if (pf >= 0) {
            // The parent reference names a record of the same copy: a folder of the same
            // generation (its sequence number, and its cluster size when both tell one).
            const FoundRecord& pr = d.found[static_cast<std::size_t>(pf)];
            const bool fits = pr.entry >= 0 && pr.entry != r.entry &&
                              g.copyOf[static_cast<std::size_t>(pf)] == c &&
                              entries[static_cast<std::size_t>(pr.entry)].kind == 'D' &&
                              (r.parentSequence == 0 || r.parentSequence == pr.sequence) &&
                              !(r.clusterSize && pr.clusterSize && r.clusterSize != pr.clusterSize);
            if (fits) parentOf[static_cast<std::size_t>(r.entry)] = pr.entry;
        } else if (p == ntfsdeep::kRootRecord && copyRoot[c] < 0) {
            // The root itself is gone, but the record names it: it lay in the copy's root.
            needsRoot[c] = true;
            parentOf[static_cast<std::size_t>(r.entry)] = -2 - static_cast<std::int64_t>(c);
        }
    }
    for (std::size_t c = 0; c < copies; ++c) {
        if (!needsRoot[c]) continue;
        copyRoot[c] = appendSyntheticFolder("");
        entries[static_cast<std::size_t>(copyRoot[c])].recordFlags = kRecordInUse;
        d.foundOfEntry.push_back(-1);
        parentOf.push_back(orphanIndex);
    }
    for (std::int64_t& p : parentOf)
        if (p <= -2) p = copyRoot[static_cast<std::size_t>(-2 - p)];
    // Each copy's root shows under a name of its own; "." would be neither shown nor saved.
    std::size_t shown = 0;
    d.copyLabels.assign(copies, "");
    for (std::size_t c = 0; c < copies; ++c) {
        const std::string name = "MFT_COPY_" + std::to_string(shown);
        d.copyLabels[c] = copyRoot[c] >= 0 ? name : "ORPHAN_ENTRY";
        if (g.copies[c].records > 0)
            report().setStatusText(ntfsdeep::describeCopy(g.copies[c], d.copyLabels[c]));
        if (copyRoot[c] < 0) continue;
        ++shown;
        NtfsEntry& root = entries[static_cast<std::size_t>(copyRoot[c])];
        root.nameStart = static_cast<std::uint32_t>(nameArena.size());
        root.nameLength = static_cast<std::uint8_t>(name.size());
        root.hasName = true;
        for (char ch : name) nameArena.push_back(static_cast<char16_t>(ch));
        parentOf[static_cast<std::size_t>(copyRoot[c])] = orphanIndex;
    }

    // Hostile references may close a loop; the loop's first member met goes to the orphans.
    const std::size_t n = entries.size();
    std::vector<std::uint8_t> state(n, 0);  // 0 unseen, 1 on the current walk, 2 done
    std::vector<std::int64_t> walk;
    for (std::size_t e = 0; e < n; ++e) {
        if (state[e] != 0 || parentOf[e] < 0) continue;
        walk.clear();
        auto x = static_cast<std::int64_t>(e);
        while (x >= 0 && x != orphanIndex && state[static_cast<std::size_t>(x)] == 0) {
            state[static_cast<std::size_t>(x)] = 1;
            walk.push_back(x);
            x = parentOf[static_cast<std::size_t>(x)];
        }
        if (x >= 0 && x != orphanIndex && state[static_cast<std::size_t>(x)] == 1)
            parentOf[static_cast<std::size_t>(x)] = orphanIndex;
        for (std::int64_t w : walk) state[static_cast<std::size_t>(w)] = 2;
    }

    // Children in disk order; the copies' roots first among the orphans.
    std::vector<std::int64_t> last(n, 0);
    auto append = [&](std::int64_t parent, std::int64_t child) {
        NtfsEntry& e = entries[static_cast<std::size_t>(child)];
        e.parentIndex = parent;
        e.nextSibling = -1;
        NtfsEntry& p = entries[static_cast<std::size_t>(parent)];
        if (p.firstChild == 0)
            p.firstChild = child;
        else
            entries[static_cast<std::size_t>(last[static_cast<std::size_t>(parent)])].nextSibling =
                child;
        last[static_cast<std::size_t>(parent)] = child;
    };
    for (std::size_t e = 0; e < n; ++e) entries[e].firstChild = 0;
    for (std::size_t c = 0; c < copies; ++c)
        if (copyRoot[c] >= 0) append(orphanIndex, copyRoot[c]);
    for (std::size_t e = 1; e < n; ++e) {
        const auto i = static_cast<std::int64_t>(e);
        if (i == orphanIndex || parentOf[e] < 0) continue;
        if (std::find(copyRoot.begin(), copyRoot.end(), i) != copyRoot.end()) continue;
        append(parentOf[e], i);
    }
}

void ntfs::showDeepFirstLevel() {
    if (!resultsTree) return;
    insertChildItem(volumeRootItem, orphanIndex, false, orphanIndex);
    resultsTree->expand(volumeRootItem);
}

}  // namespace vel
