#pragma once
// What the FAT12/16 and FAT32 parsers share: the boot-sector geometry, the directory walk that
// turns every entry into a FatEntry, the tree, the list texts and the extraction.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "device/readWriteInterface.h"
#include "fs/fat/FatAdvanced.h"
#include "fs/fat/FatEntry.h"
#include "fs/fat/LinkedRecords.h"

namespace vel {

// The layout a BIOS parameter block describes.
struct FatGeometry {
    std::uint32_t bytesPerSector = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t clusterSize = 0;
    std::uint32_t reservedSectors = 0;
    std::uint32_t fatCount = 0;
    std::uint32_t sectorsPerFat = 0;
    std::uint32_t rootEntryCount = 0;  // 0 on FAT32
    std::uint32_t rootCluster = 0;     // FAT32 only
    std::uint64_t totalSectors = 0;
    std::int64_t fatStart = 0;   // bytes from the volume start
    std::int64_t fatSize = 0;    // bytes
    std::int64_t rootStart = 0;  // fixed root region (FAT12/16)
    std::int64_t rootSize = 0;
    std::int64_t dataStart = 0;
    std::uint32_t clusterLimit = 0;  // one past the highest cluster number
    int fatBits = 0;                 // 12, 16 or 32
};

// Reads a boot sector's parameter block; false when it does not hold together. The 16-bit
// sectors-per-FAT field tells the two parsers apart: 0 on FAT32, set on FAT12/16.
// The one rule for what a FAT boot sector is, used by the parsers and by the partition probes.
bool readBiosParameterBlock(const std::uint8_t* boot, bool fat32, FatGeometry& g);

// FAT32 keeps a copy of its boot sector in the reserved sectors, at the sector this field names
// (6 as formatted); the copy names itself.
inline constexpr std::size_t kBackupBootField = 50;
inline constexpr std::uint32_t kUsualBackupBootSector = 6;
// A valid FAT32 boot sector copy in the volume: at the sector the damaged first sector's field
// names, else at sector 6, for each sector size a copy may have. Its byte offset, its bytes in
// out (512); -1 when there is none.
std::int64_t fat32BackupBootSector(const readWriteInterface& volume, std::uint8_t* out);

class FatVolumeParser : public LinkedRecordParser<FatEntry> {
  public:
    using LinkedRecordParser::LinkedRecordParser;

    bool isFolder(ItemData e) const override { return isEntry(e) && at(e).isFolder(); }
    // Deleted, or a file listed in a deleted folder.
    bool isDeleted(ItemData e, ItemData folder) const override;
    EntryColumns entryColumns(ItemData e) const override;
    std::string entrySizeText(ItemData e) const override;
    std::uint64_t entrySize(ItemData e) const override;
    RecordedTimes recordedTimes(ItemData e) const override;
    std::string recoveryNote(ItemData e) const override {
        return isEntry(e) && at(e).freeClustersAssumed ? kFreeClusterNote : "";
    }
    // Marks the deleted files longer than a cluster whose chain the FAT no longer holds.
    void markFreeClusterAssumptions();
    bool writeEntry(ItemData e, EntryWriter& out) override;

    void openVolume();
    void linkChildren(bool withProgress);
    void fillRootNodes();
    static EntryColumns entryColumns(const FatEntry& e) { return fatEntryColumns(e); }
    static std::string entrySizeText(const FatEntry& e) { return sizeText(e.size); }
    bool writeEntry(const FatEntry& e, EntryWriter& out);

    // The advanced input's search for the FATs' places (FatAdvanced.cpp): keeps what it finds in
    // fatCandidates (byte offsets in the volume) and returns how many; at most maximum. The same
    // pass keeps the folder starts ("." entries) the geometry is measured from.
    std::size_t searchFatTables(int maximum);
    std::vector<std::int64_t> fatCandidates;
    const std::vector<fatadv::ClusterVote>& folderStarts() const { return folderStarts_; }
    // The sectors per cluster most folder starts agree on (0 when none tells), measured by
    // searchFatTables.
    std::uint32_t detectedSectorsPerCluster() const { return detectedSpc_; }

    // The advanced scan's steps (FatAdvanced.cpp). The geometry for the FAT at fatCandidates[table]
    // and the cluster size (0: the detected one); false when there is no such candidate.
    bool setAdvancedGeometry(std::size_t table, std::uint32_t sectorsPerCluster);
    // Every slot of the volume that passes the entry tests, in volume order.
    void scanEntryCandidates();
    const std::vector<std::int64_t>& entryCandidates() const { return entryCandidates_; }
    // The root walked from the advanced geometry, then every candidate no walk reached under
    // "ORPHAN ENTRY", folders descended into.
    const std::vector<FatEntry>& buildOrphanTree();
    static constexpr const char* kOrphanEntryName = "ORPHAN ENTRY";

    const FatGeometry& geometry() const { return geometry_; }
    bool bootSectorValid() const { return bootValid_; }
    // Bytes from the volume's start to the backup boot sector used; -1 when the first was.
    std::int64_t backupBootOffset() const { return backupBootOffset_; }
    std::int64_t clusterOffset(std::uint32_t n) const {
        return geometry_.dataStart + static_cast<std::int64_t>(n - 2) * geometry_.clusterSize;
    }
    bool validCluster(std::uint32_t n) const { return n >= 2 && n < geometry_.clusterLimit; }
    // The cluster after n in its chain, or 0 when the chain ends there (end marker, free or bad
    // cluster, a number outside the volume).
    virtual std::uint32_t chainNext(std::uint32_t n) = 0;
    // The FAT's entry for cluster n as it stands (0: free), read without the scan's guards.
    virtual std::uint32_t fatValue(std::uint32_t n) = 0;

    // Deepest folder nesting decoded; deeper folders are listed but not entered.
    static constexpr std::size_t kMaxDepth = 512;
    // A directory holds at most 65,536 entries (2 MiB); a chain running on past that is damage.
    static constexpr std::uint64_t kMaxDirectoryBytes = 65536ull * kDirEntrySize;

  protected:
    // Mode 2: the user's pick applied, the entry scan and the tree (FatAdvanced.cpp).
    WorkerResult runAdvanced(bool fat32);
    // Reads the root (and the FAT it needs) with the geometry in force and walks it.
    virtual void walkRootDirectory() = 0;
    // The boot sector, or for FAT32 its backup copy when the first sector is damaged.
    bool loadBootSector(bool fat32);
    // Decodes the root (its bytes already read) and every folder below it.
    void scanDirectories(const std::vector<std::uint8_t>& root);
    // Reads one cluster; a failed read leaves zeros, never stale bytes.
    bool readCluster(std::uint32_t n, std::uint8_t* buffer);

    std::uint8_t bootSector_[512] = {};
    bool bootValid_ = false;
    std::int64_t backupBootOffset_ = -1;  // the copy read instead of the first sector
    FatGeometry geometry_;
    std::int64_t volumeSizeBytes_ = 0;
    DirectoryGuard directoryGuard_;
    std::uint32_t extractionCount_ = 0;

    // Advanced mode.
    std::vector<fatadv::ClusterVote> folderStarts_;
    std::uint32_t detectedSpc_ = 0;
    std::vector<std::int64_t> entryCandidates_;
    std::int64_t rootMark_ = -1;  // the first slot that marks the FAT32 root
    bool advancedDataStartKnown_ = false;

  private:
    struct DirFrame {
        std::uint32_t dirIndex = 0;  // record of the folder being decoded
        std::vector<std::uint8_t> data;
        std::size_t pos = 0;
        std::uint32_t cluster = 0;  // cluster in data; 0 for the root buffer
        std::uint64_t bytesDecoded = 0;
        bool root = false;
        LongNameBuilder longName;
        std::unordered_map<std::uint32_t, std::uint32_t> foldersByCluster;
    };
    // Opens a folder's first cluster; false when it is not a directory (already decoded, out of
    // the volume, or not starting with a dot entry).
    bool enterDirectory(std::uint32_t dirIndex);
    // Decodes the folders on parentStack, then the deleted folders met, until all are done.
    void walkFrames();
    // Decodes a folder and everything below it; false when it is not a directory.
    bool descendInto(std::uint32_t dirIndex);
    // Decodes the next slot of the frame on top of parentStack.
    void readDirectoryCluster();
    bool advanceFrame(DirFrame& f);

    std::vector<DirFrame> parentStack;
    std::vector<std::uint32_t> deferredFolders_;
};

}  // namespace vel
