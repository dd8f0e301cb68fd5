#pragma once
// The NTFS parser: one entry per MFT record slot, in MFT order (an entry's index is its record
// number), linked into folders from their $FILE_NAME parents, with "ORPHAN_ENTRY" for the
// entries whose parent cannot be used. Item data is an entry index.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fs/ntfs/NtfsRecord.h"
#include "scan/VolumeParser.h"

namespace vel {

using ntfsfmt::DataAttributeInfo;
using ntfsfmt::DataRun;
using ntfsfmt::EntryTimes;

// Kept small: a volume has one per MFT record. Names live in the parser's shared UTF-16 arena.
// What the list shows is kept here, so showing it never reads the disk.
struct NtfsEntry {
    std::uint64_t recordOffset = 0;  // from the start of the volume
    std::int64_t parentIndex = 0;
    std::uint64_t allocatedSize = 0;                        // from $FILE_NAME
    std::int64_t firstChild = 0;                            // 0: none
    std::int64_t nextSibling = 0;                           // 0 or negative: end of the list
    std::uint64_t dataSize = 0;                             // of the unnamed $DATA
    std::uint64_t created = 0, modified = 0, accessed = 0;  // FILETIME, UTC
    std::uint32_t signature = 0;
    std::uint32_t nameStart = 0;  // in the arena
    std::uint16_t recordFlags = 0;
    std::uint16_t fileAttributes = 0;  // $FILE_NAME flags
    std::uint8_t nameLength = 0;       // UTF-16 units; 255 names are stored with nameLength 255
    char kind = 0;                     // 'D' for a folder
    std::uint8_t orphan = 0;
    bool hasName = false;

    bool isFileRecord() const { return signature == ntfsfmt::kFileSignature; }
    bool inUse() const { return recordFlags & ntfsfmt::kRecordInUse; }
};

inline constexpr const char* kOrphanEntryName = "ORPHAN_ENTRY";

// Everything needed to write an entry's data.
struct DataStream {
    bool found = false;
    bool resident = false;
    std::vector<std::uint8_t> residentBytes;
    std::vector<DataRun> runs;  // in VCN order, gaps as sparse runs
    std::uint64_t realSize = 0, initializedSize = 0;
    bool compressed = false;
    std::uint16_t compressionUnit = 0;
    bool complete = true;  // every extent was found
    std::uint64_t clusterSize = 4096;
    std::uint64_t origin = 0;  // where cluster 0 lies in the volume
};

// A place the candidate search took for an MFT's first record.
struct MftCandidate {
    std::uint64_t offset = 0;  // of its $MFT record in the volume
    std::uint32_t recordSize = ntfsfmt::kRecordSize;
    std::uint64_t clusterSize = 0;  // as its $MFT record tells it; 0 when it does not
    std::uint64_t origin = 0;       // where its file system starts in the volume
};

namespace ntfsdetail {
class RecordBlockReader;
}
namespace ntfsdeep {
struct DeepIndex;
}

class ntfs final : public VolumeParser {
  public:
    explicit ntfs(VolumeDescriptor descriptor, ParserOptions options = {});
    ~ntfs() override;

    // Mode 1: the standard sequence; 2: the MFT from the picked candidate; 3: every record
    // found anywhere on the volume, grouped by the MFT copy it belongs to.
    WorkerResult runWorker(int scanMode) override;

    void insertVolumeRoot();
    bool readBootSector();
    bool locateMft();
    void enumerateMft();
    void buildTree();
    // Reads and decodes one record into entry index (name, parent, kind, flags, times, size).
    bool decodeEntry(std::uint64_t recordOffset, std::int64_t index);
    // The same from a fixed-up record in memory.
    bool decodeRecord(const std::uint8_t* record, std::int64_t index);

    // The advanced and deep modes (NtfsDeep.cpp). The candidate search lists every place where
    // an MFT's first record lies with its $Boot record seven records on; at most about maximum
    // (the search ends with the chunk that reached it). Clears a stop it honours.
    std::int64_t findMftCandidates(std::int64_t maximum);
    // The MFT's runs from a candidate's record; its cluster size and file-system start when the
    // record tells them.
    bool selectCandidate(std::int64_t ordinal);
    // Every named record of the volume becomes an entry, in disk order; entry 0 is none.
    void deepScan();
    std::optional<AdvancedLayout> advancedLayout() const override;
    CandidateLists searchCandidates(int maxFileSystems) override;
    std::vector<MftCandidate> candidates;
    // Where the scanned file system starts in the volume: not 0 when the picked candidate is a
    // file system further on.
    std::uint64_t origin = 0;
    const ntfsdeep::DeepIndex* deepIndex() const { return deep_.get(); }

    // What reading an entry's data uses: its cluster size and where cluster 0 lies. A deep scan
    // reads each MFT copy with its own.
    struct ClusterGeometry {
        std::uint64_t clusterSize = 4096;
        std::uint64_t origin = 0;
    };
    ClusterGeometry geometryOf(std::int64_t index) const;
    // Appends an entry to its parent's child list (at most once).
    void linkChild(std::int64_t index);

    // The fixed-up record of an entry into a buffer of kMaxRecordSize; false when it cannot be
    // read.
    bool readRecord(std::int64_t index, std::uint8_t* record) const;
    DataAttributeInfo describeData(std::int64_t index) const;
    EntryTimes readTimes(std::int64_t index) const;
    // The runs of the first non-resident attribute of a type in the record at recordOffset.
    std::vector<DataRun> decodeRuns(std::uint64_t recordOffset, std::uint32_t type) const;
    // The data of an entry, through its attribute list when it has one.
    bool loadDataStream(std::int64_t index, DataStream& out) const;

    bool isEntry(ItemData entry) const override;
    bool isFolder(ItemData entry) const override;
    bool hasChildren(ItemData entry) const override;
    std::string recordedName(ItemData entry) const override;
    bool isDeleted(ItemData entry, ItemData folder) const override;
    void forEachChild(ItemData folder, const std::function<bool(ItemData)>& visit) const override;
    EntryColumns entryColumns(ItemData entry) const override;
    std::string entrySizeText(ItemData entry) const override;
    std::uint64_t entrySize(ItemData entry) const override;
    std::int64_t saveSizeKiB(ItemData entry) const override;
    RecordedTimes recordedTimes(ItemData entry) const override;
    bool skipOnSave(ItemData entry) const override;
    bool isMetadata(ItemData entry) const override;
    bool enterOnSave(ItemData entry) const override;
    bool writeEntry(ItemData entry, EntryWriter& out) override;

    // State, for the worker's steps and for tests.
    std::vector<NtfsEntry> entries;
    std::vector<char16_t> nameArena;
    std::vector<DataRun> mftRuns;
    std::vector<std::uint8_t> bootSector;
    // Bytes from the volume's start to the backup boot sector read instead of the first; -1
    // when the first was used.
    std::int64_t backupBootOffset = -1;
    std::uint64_t clusterSize = 0;
    std::uint32_t recordSize = ntfsfmt::kRecordSize;
    std::uint64_t volumeSize = 0;
    std::uint64_t mftOffset = 0;
    std::uint32_t recordsPerCluster = 0;
    bool mftReady = false;
    bool runPending = true;
    int scanMode = 1;
    // enumerateMft decoded the records it read, but for those listed here.
    bool decodedEarly_ = false;
    std::vector<std::int64_t> decodeLater_;
    std::int64_t orphanIndex = -1;
    std::int64_t rootIndex = -1;

    std::u16string nameOf(std::int64_t index) const;
    // Appends an entry that is not a record (the orphan node); returns its index.
    std::int64_t appendSyntheticFolder(const std::string& asciiName);

  private:
    bool validIndex(std::int64_t i) const {
        return i >= 0 && static_cast<std::uint64_t>(i) < entries.size();
    }
    bool bootSectorUsable() const;
    bool searchForMft();
    std::vector<DataRun> mftRunsFromRecord(const std::uint8_t* record) const;
    std::vector<std::uint8_t> attributeListBytes(const std::uint8_t* record,
                                                 const ntfsfmt::AttributeRef& list,
                                                 const ClusterGeometry& g) const;
    ntfsfmt::NameChoice nameFromAttributeList(const std::uint8_t* record, std::int64_t index,
                                              std::vector<std::uint8_t>& nameBytes) const;
    bool writePlain(const DataStream& d, EntryWriter& out) const;
    bool writeCompressed(const DataStream& d, EntryWriter& out) const;
    bool readClusters(const ClusterGeometry& g, std::int64_t cluster, std::uint64_t bytes,
                      std::uint8_t* buffer) const;
    WorkerResult runAdvanced();
    WorkerResult runDeep();
    void deepLinkPass();
    void showDeepFirstLevel();
    // A record's number: its index, except in a deep scan.
    std::uint64_t recordNumberOf(std::int64_t index) const;
    // The record an entry's attribute list names, in the entry's own MFT.
    bool readListedRecord(std::int64_t index, std::uint64_t number, std::uint8_t* record) const;
    std::unique_ptr<ntfsdeep::DeepIndex> deep_;
    std::uint64_t volumeClusters(const ClusterGeometry& g) const;
    bool clustersInVolume(const ClusterGeometry& g, std::int64_t cluster,
                          std::uint64_t count) const;

    std::vector<std::int64_t> lastChild_;  // during the build only
    // Records are read through a 1 MiB block cache (the scan and a save read neighbours); a
    // save and a preview may read at once.
    bool fetchRecord(std::uint64_t offset, std::uint8_t* record) const;
    mutable std::mutex blocksMutex_;
    mutable std::unique_ptr<ntfsdetail::RecordBlockReader> blocks_;
    mutable const readWriteInterface* blocksReader_ = nullptr;
};

// Whether the MFT search (the boot sector aside) finds an NTFS "$MFT" record in the volume:
// how a volume whose boot sector was wiped is still recognised.
bool ntfsMftSearchFinds(const readWriteInterface& volume, std::uint64_t volumeBytes);

// The backup boot sector of a volume whose first sector is damaged: the valid boot sector that
// lies at the offset its own size names, found at the end of the view or within a MiB after
// sizeHintBytes. Its byte offset, its bytes in out (512); -1 when there is none.
std::int64_t ntfsBackupBootSector(const readWriteInterface& volume, std::int64_t sizeHintBytes,
                                  std::uint8_t* out);

struct FileSystemRow;
FileSystemRow ntfsFileSystemRow();

}  // namespace vel
