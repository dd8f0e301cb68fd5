#pragma once
// What an ext scan keeps: the few fields of each inode that the list and the save need (read
// once, from the inode tables), one ExtEntry per name a directory gave (live or deleted, so a
// hard-linked file is listed under each of its names), and the names themselves in one arena.
// Folders hold their children: an inode's first child, then each name's next sibling.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "fs/ext/ExtLayout.h"
#include "platform/LargeMemory.h"

namespace vel {

inline constexpr std::uint32_t kNoExtInode = 0xFFFFFFFF;
inline constexpr std::int32_t kNoExtEntry = -1;

struct ExtInode {
    // State bits.
    static constexpr std::uint8_t kWalked = 0x01;     // its directory blocks were read
    static constexpr std::uint8_t kNamed = 0x02;      // some name gives this inode
    static constexpr std::uint8_t kLiveNamed = 0x04;  // a live name gives it
    static constexpr std::uint8_t kInUse = 0x08;
    static constexpr std::uint8_t kAtimeExtra = 0x10;  // the times have their extra words
    static constexpr std::uint8_t kMtimeExtra = 0x20;
    static constexpr std::uint8_t kCreatedExtra = 0x40;
    static constexpr std::uint8_t kFromJournal = 0x80;  // size, map and times from an old copy

    std::uint32_t number = 0;  // 0: a folder the scan made up
    std::uint32_t flags = 0;
    std::uint64_t size = 0;
    std::uint32_t atime = 0, atimeExtra = 0;
    std::uint32_t mtime = 0, mtimeExtra = 0;
    // The creation time where the inode has one, else the change time.
    std::uint32_t created = 0, createdExtra = 0;
    std::int32_t firstChild = kNoExtEntry;
    std::int32_t owner = kNoExtEntry;  // the name under which the folder shows its children
    std::uint16_t mode = 0;
    std::uint8_t state = 0;
    std::uint8_t block[extfmt::kBlockAreaSize] = {};

    bool inUse() const { return state & kInUse; }
    bool isDirectory() const { return (mode & extfmt::kTypeMask) == extfmt::kTypeDirectory; }
    extfmt::UnixTime accessTime() const {
        return extfmt::decodeTime({atime, atimeExtra, (state & kAtimeExtra) != 0});
    }
    extfmt::UnixTime modificationTime() const {
        return extfmt::decodeTime({mtime, mtimeExtra, (state & kMtimeExtra) != 0});
    }
    extfmt::UnixTime creationTime() const {
        return extfmt::decodeTime({created, createdExtra, (state & kCreatedExtra) != 0});
    }
    static ExtInode from(std::uint32_t number, const extfmt::Inode& n);
};

struct ExtEntry {
    static constexpr std::uint8_t kDeleted = 0x01;
    static constexpr std::uint8_t kOrphan = 0x02;       // listed under the orphan folder
    static constexpr std::uint8_t kJournalName = 0x04;  // an old copy of its folder gave it

    std::uint32_t nameStart = 0;              // in the arena
    std::uint32_t inode = 0;                  // the inode number the name gave (0: none)
    std::uint32_t inodeIndex = kNoExtInode;   // its kept fields; none when its data is gone
    std::uint32_t parentIndex = kNoExtInode;  // the folder's kept fields
    std::int32_t nextSibling = kNoExtEntry;
    std::uint8_t nameLength = 0;
    std::uint8_t type = 0;  // directory entry file type (extfmt::kFt...)
    std::uint8_t flags = 0;

    bool deleted() const { return flags & kDeleted; }
    bool isFolder() const { return type == extfmt::kFtDirectory; }
    // Listed: folders, regular files and symbolic links (saved as files holding the target).
    bool listed() const {
        return type == extfmt::kFtDirectory || type == extfmt::kFtRegular ||
               type == extfmt::kFtSymlink;
    }
};

// Names, 1 to 255 bytes each, in pages that never move once written.
class NameArena {
  public:
    std::uint32_t add(std::string_view name);
    std::string_view get(std::uint32_t start, std::uint8_t length) const {
        return {pages_[start >> kPageBits].get() + (start & (kPageSize - 1)), length};
    }
    void clear() { pages_.clear(), used_ = kPageSize; }

  private:
    static constexpr std::uint32_t kPageBits = 16;
    static constexpr std::uint32_t kPageSize = 1u << kPageBits;
    std::vector<std::unique_ptr<char[]>> pages_;
    std::uint32_t used_ = kPageSize;
};

// Records in chunks of 2 MiB: they never move once added (the tree shows them while a save
// runs), growing never copies what is there, and a volume's worth is a few dozen allocations.
template <class T>
class ChunkedVector {
    // Chunks are raw memory, not zero-filled first: they are written once, in order.
    static_assert(std::is_trivially_destructible_v<T> && std::is_trivially_copyable_v<T>);
    struct Free {
        void operator()(T* p) const { freeLargeBlock(p); }
    };

  public:
    static constexpr std::size_t kPerChunk = kLargeBlockBytes / sizeof(T);

    void push_back(const T& value) {
        if (size_ % kPerChunk == 0) chunks_.emplace_back(static_cast<T*>(allocateLargeBlock()));
        new (&chunks_.back()[size_ % kPerChunk]) T(value);
        ++size_;
    }
    T& operator[](std::size_t i) { return chunks_[i / kPerChunk][i % kPerChunk]; }
    const T& operator[](std::size_t i) const { return chunks_[i / kPerChunk][i % kPerChunk]; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() {
        chunks_.clear();
        size_ = 0;
    }

    template <class Owner, class Value>
    struct Iterator {
        Owner* owner;
        std::size_t i;
        Value& operator*() const { return (*owner)[i]; }
        Iterator& operator++() { return ++i, *this; }
        bool operator!=(const Iterator& o) const { return i != o.i; }
    };
    Iterator<ChunkedVector, T> begin() { return {this, 0}; }
    Iterator<ChunkedVector, T> end() { return {this, size_}; }
    Iterator<const ChunkedVector, const T> begin() const { return {this, 0}; }
    Iterator<const ChunkedVector, const T> end() const { return {this, size_}; }

  private:
    std::vector<std::unique_ptr<T[], Free>> chunks_;
    std::size_t size_ = 0;
};

// All the scan's records. Item data in the results tree is an entry's index.
class ExtEntryMap {
  public:
    ChunkedVector<ExtInode> inodes;  // [0, tableInodes) in inode order, then made-up folders
    ChunkedVector<ExtEntry> entries;
    NameArena names;
    std::size_t tableInodes = 0;

    // The kept fields of inode number, kNoExtInode when none were kept. Names in one folder
    // tend to give neighbouring inodes: the record after hint is tried first.
    std::uint32_t findInode(std::uint32_t number, std::uint32_t hint = kNoExtInode) const;
    std::string_view name(const ExtEntry& e) const { return names.get(e.nameStart, e.nameLength); }
    std::uint32_t addInode(const ExtInode& n) {
        inodes.push_back(n);
        return static_cast<std::uint32_t>(inodes.size() - 1);
    }
    std::int32_t addEntry(ExtEntry e, std::string_view name) {
        e.nameLength = static_cast<std::uint8_t>(std::min<std::size_t>(name.size(), 255));
        e.nameStart = names.add(name.substr(0, e.nameLength));
        entries.push_back(e);
        return static_cast<std::int32_t>(entries.size() - 1);
    }
    bool validEntry(std::int64_t i) const {
        return i >= 0 && static_cast<std::uint64_t>(i) < entries.size();
    }
    const ExtInode* inodeOf(const ExtEntry& e) const {
        return e.inodeIndex < inodes.size() ? &inodes[e.inodeIndex] : nullptr;
    }
    void clear() {
        inodes.clear();
        entries.clear();
        names.clear();
        tableInodes = 0;
    }
};

}  // namespace vel
