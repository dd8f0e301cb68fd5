#pragma once
// The exFAT parser: every live and deleted file entry set of the directory tree becomes an
// ExfatEntry, linked under the top record and shown from the first level down.
#include <cstdint>
#include <string>
#include <vector>

#include "fs/exfat/ExfatEntry.h"
#include "fs/exfat/ExfatLayout.h"
#include "fs/fat/LinkedRecords.h"

namespace vel {

class Fat64Class final : public LinkedRecordParser<ExfatEntry> {
  public:
    explicit Fat64Class(VolumeDescriptor descriptor, ParserOptions options = {});

    // Mode 1 runs the standard sequence; the other modes have no worker here.
    WorkerResult runWorker(int scanMode) override;

    // The advanced input (ExfatAdvanced.cpp): the FAT and cluster-heap places found by the
    // searches, as byte offsets in the volume.
    std::optional<AdvancedLayout> advancedLayout() const override;
    CandidateLists searchCandidates(int maxFileSystems) override;
    std::size_t searchFatTables(int maximum);
    std::size_t searchHeapOffsets(int maximum);
    std::vector<std::int64_t> fatCandidates;
    std::vector<std::int64_t> heapCandidates;
    // The sectors-per-cluster shift and heap start the folders found agree on (measured by
    // searchFatTables; the shift -1 when nothing told).
    int detectedShift() const { return detectedShift_; }
    std::int64_t detectedHeap() const { return detectedHeap_; }

    // The advanced scan's steps (ExfatAdvanced.cpp): the geometry for the picked FAT and heap
    // and the shift (-1: the detected one); false when a pick is missing.
    bool setAdvancedGeometry(std::size_t table, std::size_t heap, int shift);
    // Every entry set of the volume that passes the candidate tests, in volume order.
    void scanEntryCandidates();
    const std::vector<std::int64_t>& entryCandidates() const { return entryCandidates_; }
    // The root walked from where its label was found, then every entry set no walk reached
    // under the folder "ORPHAN ENTRY", folders read as well.
    const std::vector<ExfatEntry>& buildOrphanTree();
    static constexpr const char* kOrphanEntryName = "ORPHAN ENTRY";

    // The standard scan's steps, in the order the worker calls them.
    bool openVolume();
    bool checkBootSector();
    bool readRootDirectory();
    std::vector<ExfatEntry> scanRootDirectory();
    void linkChildren();
    void fillRootNodes();

    // The FAT entry of cluster n; kEndOfChain when there is none (formatted drive, n outside
    // the heap, unreadable FAT).
    std::uint32_t nextCluster(std::uint32_t n);
    std::uint64_t nextClusterCalls() const { return nextClusterCalls_; }
    void resetNextClusterCalls() { nextClusterCalls_ = 0; }
    std::uint32_t lastNextCluster() const { return lastNextCluster_; }

    bool isFolder(ItemData entry) const override;
    bool isDeleted(ItemData entry, ItemData folder) const override;
    EntryColumns entryColumns(ItemData entry) const override;
    std::string entrySizeText(ItemData entry) const override;
    std::uint64_t entrySize(ItemData entry) const override;
    RecordedTimes recordedTimes(ItemData entry) const override;
    std::string recoveryNote(ItemData entry) const override;
    // Marks the deleted files longer than a cluster whose FAT chain is gone.
    void markFreeClusterAssumptions();
    // Whether the allocation bitmap marks cluster n in use (true when it cannot tell).
    bool clusterInUse(std::uint32_t n);
    // The first cluster from `from` on that the bitmap shows free; 0 when there is none.
    std::uint32_t nextFreeCluster(std::uint32_t from);
    bool writeEntry(ItemData entry, EntryWriter& out) override;

    // Bytes from the volume's start to the backup boot sector used; -1 when the first was.
    std::int64_t backupBootOffset() const { return backupBootOffset_; }
    std::uint32_t clusterSize() const { return clusterSize_; }
    std::uint8_t sectorsPerClusterShift() const { return boot_.sectorsPerClusterShift; }
    std::int64_t fatStart() const { return fatStart_; }
    std::int64_t heapStart() const { return heapStart_; }
    // First cluster number past the heap.
    std::uint32_t clusterCount() const { return clusterCount_; }
    // Byte position of cluster n (before the heap for n < 2).
    std::int64_t clusterPosition(std::uint32_t n) const {
        return heapStart_ + (static_cast<std::int64_t>(n) - 2) * clusterSize_;
    }

  private:
    bool validCluster(std::uint32_t n) const { return n >= 2 && n < clusterCount_; }
    std::uint64_t maxDirectoryClusters() const;
    // Reads one directory cluster onto the end of bytes unless the scan decoded it before.
    bool readDirectoryCluster(std::uint32_t cluster, std::vector<std::uint8_t>& bytes);
    // A directory's bytes, at most maxClusters clusters: its FAT chain, or its run of clusters.
    std::vector<std::uint8_t> readDirectory(std::uint32_t firstCluster, bool contiguous,
                                            std::uint64_t maxClusters);
    // Folders found but not read yet; those in deleted folders or deleted themselves apart.
    struct PendingFolders {
        std::vector<std::uint32_t> live, deleted;
    };
    // Appends the entry sets of one folder's bytes as records below parent and queues the
    // folders among them.
    void decodeDirectory(const std::vector<std::uint8_t>& bytes, std::uint32_t parent, bool root,
                         bool inDeleted, PendingFolders& pending);
    // Reads the queued folders, and those they hold, live ones first.
    void readPendingFolders(PendingFolders& pending);
    WorkerResult runAdvanced();
    const ExfatEntry* find(ItemData entry) const;

    exfat::BootSector boot_;
    bool bootValid_ = false;
    bool bootUnreadable_ = false;
    std::int64_t backupBootOffset_ = -1;  // the backup boot sector read instead of the first
    std::uint32_t clusterSize_ = 0;
    std::int64_t fatStart_ = 0;
    std::int64_t heapStart_ = 0;
    std::int64_t volumeBytes_ = 0;
    std::uint32_t clusterCount_ = 0;

    std::vector<std::uint8_t> rootBuffer_;
    // The allocation bitmap the root names, read when first needed.
    std::uint32_t bitmapCluster_ = 0;
    std::uint64_t bitmapBytes_ = 0;
    std::vector<std::uint8_t> bitmap_;
    bool bitmapRead_ = false;
    DirectoryGuard directoryGuard_;  // directory clusters decoded during the scan
    std::uint32_t lastNextCluster_ = exfat::kEndOfChain;
    std::uint64_t nextClusterCalls_ = 0;

    // Advanced mode.
    int detectedShift_ = -1;
    std::int64_t detectedHeap_ = -1;
    std::vector<std::int64_t> entryCandidates_;
    std::int64_t rootPosition_ = -1;
    std::vector<std::int64_t> heapSightings_;  // heap starts the FAT search met on its way
};

// The boot sector of the backup boot region (sector 12, for each sector size) when the region's
// checksum holds: its byte offset, its first 512 bytes in out; -1 when there is none.
std::int64_t exfatBackupBootSector(const readWriteInterface& volume, std::uint8_t* out);

struct FileSystemRow;
FileSystemRow exfatFileSystemRow();

}  // namespace vel
