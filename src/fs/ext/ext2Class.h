#pragma once
// The ext2/ext3/ext4 parser: the inode tables are read once into small records, the directory
// tree is walked from the root (and from deleted folders) with the deleted entries left in the
// slack of each directory block, and deleted inodes no name reaches are listed under
// "ORPHAN_ENTRY". Item data is the index of an ExtEntry (one per name).
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/ext/ExtBlockMap.h"
#include "fs/ext/ExtEntry.h"
#include "fs/ext/ExtLayout.h"
#include "fs/ext/Jbd2.h"
#include "scan/VolumeParser.h"

namespace vel {

inline constexpr const char* kExtOrphanFolderName = "ORPHAN_ENTRY";

class ext2Class final : public VolumeParser {
  public:
    explicit ext2Class(VolumeDescriptor descriptor, ParserOptions options = {});

    // Mode 1 runs the standard sequence; the other modes have no worker for ext volumes.
    WorkerResult runWorker(int scanMode) override;

    // The standard scan's steps, in the order the worker calls them.
    bool openVolume();
    bool findSuperblock();
    bool readGroupDescriptors();
    void readInodeTables();
    bool walkDirectories();
    // Journal steps: the log's old copies of metadata blocks give deleted files their maps,
    // times and names again.
    bool readJournal();
    void inodesFromJournal();
    void namesFromJournal();
    void buildEntryMap();
    void linkChildren();
    void fillRootNodes();

    bool isEntry(ItemData entry) const override;
    bool isFolder(ItemData entry) const override;
    bool hasChildren(ItemData entry) const override;
    std::string recordedName(ItemData entry) const override;
    bool isDeleted(ItemData entry, ItemData folder) const override;
    void forEachChild(ItemData folder, const std::function<bool(ItemData)>& visit) const override;
    EntryColumns entryColumns(ItemData entry) const override;
    std::string entrySizeText(ItemData entry) const override;
    std::uint64_t entrySize(ItemData entry) const override;
    // A folder's too: its saved copy gets them after its files.
    RecordedTimes recordedTimes(ItemData entry) const override;
    // Holes and unreadable blocks are written as zeros, in their place.
    bool writeEntry(ItemData entry, EntryWriter& out) override;

    // Reads count blocks from block on; false (and zeros) when any is outside the volume or
    // cannot be read.
    bool readBlocks(std::uint64_t block, std::uint32_t count, std::uint8_t* buffer) const;
    // The inode's bytes as they are in its table (superblock inode size); empty when it cannot
    // be read.
    std::vector<std::uint8_t> readInode(std::uint32_t number) const;
    extfmt::MapLimits limitsFor(std::uint64_t size) const;
    // The block bitmap of one group, kept between questions about neighbouring blocks.
    struct BitmapCache {
        std::uint64_t group = ~std::uint64_t{0};
        std::vector<std::uint8_t> bits;  // empty when it could not be read
    };
    // Whether the block bitmaps call every block of the run free: a deleted file's blocks in use
    // again hold another file's data now.
    bool blocksFree(const extfmt::BlockRun& run, BitmapCache* cache = nullptr) const;
    extfmt::ReadBlock blockReader() const;
    // The newest journal copy of a volume block from a transaction no later than upTo (an index
    // into the log's transactions, oldest first); false when the journal holds none.
    bool journalCopy(std::uint64_t block, std::uint32_t upTo, std::uint8_t* buffer) const;
    // Reads index and pointer blocks as they were when the inode's copy was written: from the
    // journal where it has them, else from the volume.
    extfmt::ReadBlock mapReader(const ExtInode& n) const;
    std::size_t journalTransactions() const { return journalLog_.transactions.size(); }
    std::size_t journalFiles() const { return journalFiles_; }

    const std::optional<extfmt::Superblock>& superblock() const { return superblock_; }
    const std::vector<extfmt::GroupDescriptor>& groups() const { return groups_; }
    const ExtEntryMap& entryMap() const { return map_; }
    // Byte offset of the file system within the volume (not 0 only when its superblock was
    // found away from where the volume's start puts it).
    std::uint64_t fileSystemOffset() const { return fsOffset_; }
    std::uint64_t unreadableReads() const { return failedReads_.load(); }
    std::int32_t rootEntry() const { return rootEntry_; }
    std::int32_t orphanFolderEntry() const { return orphanEntry_; }
    // What the scan's end says when the superblock was not where the volume's start puts it.
    std::string superblockRemark() const;

  private:
    // Reads bytes at a file-system offset; false when any could not be read (those are zeros).
    bool readRange(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t bytes) const;
    bool acceptSuperblock(const std::uint8_t* bytes, std::uint64_t offset);
    bool readDescriptorTable();
    bool usable(std::uint32_t group) const;
    std::uint32_t usedInodes(std::uint32_t group) const;
    void keepInode(std::uint32_t number, const std::uint8_t* bytes);
    // Reads one directory's blocks (or inline area) and records its names as its children.
    void walkDirectory(std::uint32_t dirIndex, bool deletedContext);
    // Deleted folders named since the last call, each walked once under its first name.
    void walkDeletedFolders();
    void recordName(const extfmt::DirEntry& d, std::uint32_t parentIndex, bool deletedContext);
    std::int32_t addFolderEntry(const std::string& name, std::uint32_t parentIndex,
                                std::uint32_t inodeIndex, std::uint8_t flags);
    void addOrphans();
    bool isSystemInode(std::uint32_t number) const;
    const ExtEntry* entry(ItemData e) const;
    void progressStatus(const char* pattern, std::uint64_t a, std::uint64_t b);
    bool readJournalBlock(std::uint32_t n, std::uint8_t* buffer) const;
    // Whether an old copy of a deleted inode gives data that can be trusted; runs set to its map.
    bool trustedCopy(const extfmt::Inode& copy, std::uint32_t upTo,
                     std::vector<extfmt::BlockRun>& runs) const;
    void addJournalName(const extfmt::DirEntry& d, std::uint32_t parentIndex, std::uint32_t index);

    std::uint64_t volumeBytes_ = 0;
    // Bytes of the source from the file system's start on.
    std::uint64_t sourceBytes() const;
    std::optional<extfmt::Superblock> superblock_;
    std::uint64_t fsOffset_ = 0;
    std::vector<extfmt::GroupDescriptor> groups_;
    ExtEntryMap map_;

    // During the walk only.
    std::vector<std::uint32_t> liveFolders_;  // inode indexes, in the order they were named
    std::vector<std::int32_t> deletedNames_;  // deleted names of folders
    std::unordered_set<std::uint64_t> directoryBlocks_;
    std::uint64_t foldersWalked_ = 0, foldersKnown_ = 0;
    std::uint32_t lastFound_ = kNoExtInode;

    // The journal: its blocks on the volume, its committed transactions, and for each volume
    // block the transactions that hold a copy of it (oldest first).
    struct JournalRef {
        std::uint32_t transaction = 0;
        std::uint32_t journalBlock = 0;
        bool escaped = false;
    };
    std::vector<extfmt::BlockRun> journalRuns_;
    jbd2::Log journalLog_;
    std::unordered_map<std::uint64_t, std::vector<JournalRef>> journalCopies_;
    // Inode number -> the transaction whose copy gave its fields.
    std::unordered_map<std::uint32_t, std::uint32_t> journalInodes_;
    std::size_t journalFiles_ = 0;
    // (folder index << 32 | inode) of the names the journal gave: the same name found again in
    // the folder's blocks on the volume is not listed twice.
    std::unordered_set<std::uint64_t> journalNames_;

    std::uint32_t rootInode_ = kNoExtInode;
    std::int32_t rootEntry_ = kNoExtEntry;
    std::int32_t orphanEntry_ = kNoExtEntry;
    mutable std::atomic<std::uint64_t> failedReads_{0};
};

}  // namespace vel
