// The ext parser's journal steps. Deleting a file on ext3 or ext4 clears its size, its map and
// (on current kernels) its name, but the journal often still holds the blocks as they were
// before: inode-table blocks with the inode whole, and directory blocks with the name. A deleted
// inode takes the newest such copy whose data blocks are still free; a deleted inode without a
// name takes one from an old copy of a directory block of the folder that holds that block.
#include <algorithm>
#include <cstring>

#include "fs/ext/ext2Class.h"

namespace vel {

using namespace extfmt;

namespace {
std::string format(const char* pattern, std::uint64_t a, std::uint64_t b) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return text;
}
}  // namespace

bool ext2Class::readJournalBlock(std::uint32_t n, std::uint8_t* buffer) const {
    // Runs are in logical order: the last one starting at or before n.
    auto it = std::upper_bound(journalRuns_.begin(), journalRuns_.end(), std::uint64_t{n},
                               [](std::uint64_t v, const BlockRun& r) { return v < r.logical; });
    if (it == journalRuns_.begin()) return false;
    const BlockRun& r = *--it;
    if (n - r.logical >= r.count || r.unwritten) return false;
    return readBlocks(r.physical + (n - r.logical), 1, buffer);
}

bool ext2Class::readJournal() {
    journalRuns_.clear();
    journalCopies_.clear();
    journalInodes_.clear();
    journalNames_.clear();
    journalLog_ = {};
    journalFiles_ = 0;
    if (!superblock_) return false;
    const Superblock& s = *superblock_;
    if (!(s.featureCompat & kCompatHasJournal) || s.journalInode == 0) return false;
    std::vector<std::uint8_t> raw = readInode(s.journalInode);
    if (raw.empty()) return false;
    const Inode j = decodeInode(raw.data(), s.inodeSize, s.hasLargeDir());
    if (j.type() != kTypeRegular || j.size < s.blockSize) return false;
    mapBlocks(j.block, j.usesExtents(), limitsFor(j.size), blockReader(), [&](const BlockRun& r) {
        journalRuns_.push_back(r);
        return true;
    });
    if (journalRuns_.empty()) return false;
    // The journal lies inside the volume: its length is bounded by the volume's and the
    // source's.
    const std::uint64_t blocks =
        std::min<std::uint64_t>({j.size / s.blockSize, s.blockCount, sourceBytes() / s.blockSize,
                                 std::numeric_limits<std::uint32_t>::max()});
    report().setStatusText("reading the journal....");
    report().setProgressRange(static_cast<std::int64_t>(blocks));
    auto log = jbd2::readLog(
        [this](std::uint32_t n, std::uint8_t* b) { return readJournalBlock(n, b); }, s.blockSize,
        static_cast<std::uint32_t>(blocks),
        [this](std::uint32_t done, std::uint32_t total) {
            report().setStatusText(format("reading journal block %llu of %llu", done, total));
            report().setProgressPosition(done);
            return !stopRequested.requested();
        });
    if (!log) return false;
    journalLog_ = std::move(*log);
    for (std::size_t t = 0; t < journalLog_.transactions.size(); ++t)
        for (const jbd2::Copy& c : journalLog_.transactions[t].copies)
            if (c.block < s.blockCount)
                journalCopies_[c.block].push_back(
                    {static_cast<std::uint32_t>(t), c.journalBlock, c.escaped});
    return !journalCopies_.empty();
}

bool ext2Class::journalCopy(std::uint64_t block, std::uint32_t upTo, std::uint8_t* buffer) const {
    auto it = journalCopies_.find(block);
    if (it == journalCopies_.end()) return false;
    for (auto ref = it->second.rbegin(); ref != it->second.rend(); ++ref) {
        if (ref->transaction > upTo) continue;
        if (!readJournalBlock(ref->journalBlock, buffer)) return false;
        if (ref->escaped) jbd2::unescape(buffer);
        return true;
    }
    return false;
}

ReadBlock ext2Class::mapReader(const ExtInode& n) const {
    auto it = journalInodes_.find(n.number);
    if (!(n.state & ExtInode::kFromJournal) || it == journalInodes_.end()) return blockReader();
    const std::uint32_t upTo = it->second;
    return [this, upTo](std::uint64_t block, std::uint8_t* buffer) {
        return journalCopy(block, upTo, buffer) || readBlocks(block, 1, buffer);
    };
}

bool ext2Class::trustedCopy(const Inode& copy, std::uint32_t upTo,
                            std::vector<BlockRun>& runs) const {
    runs.clear();
    const Superblock& s = *superblock_;
    auto read = [this, upTo](std::uint64_t block, std::uint8_t* buffer) {
        return journalCopy(block, upTo, buffer) || readBlocks(block, 1, buffer);
    };
    std::uint64_t mapped = 0;
    const MapResult m = mapBlocks(copy.block, copy.usesExtents(), limitsFor(copy.size), read,
                                  [&](const BlockRun& r) {
                                      runs.push_back(r);
                                      mapped += r.count;
                                      return runs.size() < 65536;
                                  });
    if (!m.complete || m.stopped || runs.empty()) return false;
    // A block map read back from zeroed pointer blocks looks like holes: a deleted file's
    // holes are not trusted there.
    if (!copy.usesExtents() && mapped != blocksForSize(copy.size, s.blockSize)) return false;
    // Blocks another file holds now have its data.
    BitmapCache bitmaps;
    for (const BlockRun& r : runs)
        if (!r.unwritten && !blocksFree(r, &bitmaps)) return false;
    return true;
}

void ext2Class::inodesFromJournal() {
    if (journalCopies_.empty() || !superblock_) return;
    const Superblock& s = *superblock_;
    // Inode tables by their first block, to tell which journalled blocks hold inodes.
    const std::uint64_t tableBlocks =
        blocksForSize(std::uint64_t{s.inodesPerGroup} * s.inodeSize, s.blockSize);
    std::vector<std::pair<std::uint64_t, std::uint32_t>> tables;
    for (std::uint32_t g = 0; g < groups_.size(); ++g)
        if (usable(g)) tables.push_back({groups_[g].inodeTable, g});
    std::sort(tables.begin(), tables.end());
    std::vector<std::uint64_t> blocks;
    for (const auto& [block, refs] : journalCopies_) blocks.push_back(block);
    std::sort(blocks.begin(), blocks.end());

    report().setStatusText("looking for deleted inodes in the journal....");
    const std::uint32_t perBlock = s.blockSize / s.inodeSize;
    std::vector<std::uint8_t> buffer(s.blockSize);
    std::vector<BlockRun> runs;
    for (std::uint64_t block : blocks) {
        if (stopRequested.requested()) return;
        auto t = std::upper_bound(tables.begin(), tables.end(),
                                  std::make_pair(block, std::uint32_t{0xFFFFFFFF}));
        if (t == tables.begin()) continue;
        --t;
        if (block - t->first >= tableBlocks) continue;
        const std::uint64_t first =
            std::uint64_t{t->second} * s.inodesPerGroup + (block - t->first) * perBlock + 1;
        const auto& refs = journalCopies_[block];
        for (std::uint32_t k = 0; k < perBlock; ++k) {
            const std::uint64_t number = first + k;
            if (number > s.inodeCount) break;
            const std::uint32_t index = map_.findInode(static_cast<std::uint32_t>(number));
            if (index == kNoExtInode || journalInodes_.count(static_cast<std::uint32_t>(number)))
                continue;
            ExtInode& n = map_.inodes[index];
            if (n.inUse()) continue;
            // A deleted inode that kept its map needs nothing older.
            bool hasMap = false;
            mapBlocks(n.block, n.flags & kFlagExtents, limitsFor(n.size), blockReader(),
                      [&](const BlockRun&) { return !(hasMap = true); });
            if (n.size != 0 && hasMap) continue;
            std::vector<std::uint8_t> now = readInode(static_cast<std::uint32_t>(number));
            if (now.empty()) continue;
            const std::uint32_t generation = le32(now.data() + ino::kGeneration);
            // Newest copy first; one written while the file was whole, by the same life of
            // the inode (a new file in it gets a new generation).
            for (auto ref = refs.rbegin(); ref != refs.rend(); ++ref) {
                if (!readJournalBlock(ref->journalBlock, buffer.data())) continue;
                if (ref->escaped) jbd2::unescape(buffer.data());
                const std::uint8_t* raw = buffer.data() + std::size_t{k} * s.inodeSize;
                const Inode copy = decodeInode(raw, s.inodeSize, s.hasLargeDir());
                if (!copy.inUse() || copy.type() != (n.mode & kTypeMask) || copy.size == 0 ||
                    le32(raw + ino::kGeneration) != generation ||
                    (copy.flags & (kFlagInlineData | kFlagEaInode)))
                    continue;
                if (!trustedCopy(copy, ref->transaction, runs)) continue;
                ExtInode restored = ExtInode::from(n.number, copy);
                restored.state = static_cast<std::uint8_t>((restored.state & ~ExtInode::kInUse) |
                                                           ExtInode::kFromJournal);
                restored.owner = n.owner;
                restored.firstChild = n.firstChild;
                n = restored;
                journalInodes_[n.number] = ref->transaction;
                ++journalFiles_;
                break;
            }
        }
    }
}

void ext2Class::addJournalName(const DirEntry& d, std::uint32_t parentIndex, std::uint32_t index) {
    ExtInode& n = map_.inodes[index];
    n.state |= ExtInode::kNamed;
    ExtEntry e;
    e.inode = d.inode;
    e.inodeIndex = index;
    e.parentIndex = parentIndex;
    e.type = fileTypeOfMode(n.mode);
    e.flags = ExtEntry::kDeleted | ExtEntry::kJournalName;
    const std::int32_t at = map_.addEntry(e, d.name);
    journalNames_.insert(std::uint64_t{parentIndex} << 32 | d.inode);
    if (n.isDirectory()) deletedNames_.push_back(at);
}

void ext2Class::namesFromJournal() {
    if (journalCopies_.empty() || !superblock_ || rootEntry_ == kNoExtEntry) return;
    const Superblock& s = *superblock_;
    report().setStatusText("looking for deleted names in the journal....");
    // Which folder holds each journalled block, and at which logical block: live folders
    // first, as a deleted folder's block may be a live folder's now.
    struct Owner {
        std::uint32_t folder = kNoExtInode;
        bool firstBlock = false;
    };
    std::unordered_map<std::uint64_t, Owner> owners;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < map_.tableInodes && !stopRequested.requested(); ++i) {
            const ExtInode& d = map_.inodes[i];
            if (!d.isDirectory() || d.inUse() != (pass == 0) || (d.flags & kFlagInlineData))
                continue;
            mapBlocks(d.block, d.flags & kFlagExtents, limitsFor(d.size), mapReader(d),
                      [&](const BlockRun& r) {
                          for (std::uint64_t k = 0; k < r.count; ++k)
                              if (journalCopies_.count(r.physical + k))
                                  owners.emplace(
                                      r.physical + k,
                                      Owner{static_cast<std::uint32_t>(i), r.logical + k == 0});
                          return true;
                      });
        }
    }
    // Every copy of those blocks, newest transaction first: a file moved or renamed before it
    // was deleted keeps its last name and folder.
    struct Seen {
        std::uint32_t transaction;
        std::uint64_t block;
        JournalRef ref;
    };
    std::vector<Seen> copies;
    for (const auto& [block, owner] : owners)
        for (const JournalRef& ref : journalCopies_[block])
            copies.push_back({ref.transaction, block, ref});
    std::sort(copies.begin(), copies.end(), [](const Seen& a, const Seen& b) {
        return a.transaction != b.transaction ? a.transaction > b.transaction : a.block < b.block;
    });

    std::vector<std::uint8_t> buffer(s.blockSize);
    DirBlockOptions options;
    options.hasFileType = s.hasFileType();
    options.inodeCount = s.inodeCount;
    options.blockSize = s.blockSize;
    for (std::size_t i = 0; i < copies.size(); ++i) {
        if (i % 1024 == 0 && stopRequested.requested()) return;
        const Seen& c = copies[i];
        const Owner owner = owners[c.block];
        options.hashedDirectory = map_.inodes[owner.folder].flags & kFlagIndex;
        options.firstBlock = owner.firstBlock;
        if (!readJournalBlock(c.ref.journalBlock, buffer.data())) continue;
        if (c.ref.escaped) jbd2::unescape(buffer.data());
        walkDirectoryBlock(buffer.data(), buffer.size(), options, [&](const DirEntry& d) {
            if (d.deleted || d.inode == 0 || d.name == "." || d.name == "..") return;
            const std::uint32_t index = map_.findInode(d.inode);
            if (index == kNoExtInode) return;
            const ExtInode& n = map_.inodes[index];
            // Live files keep their names; an older name of a named inode is not listed again.
            if (n.inUse() || (n.state & ExtInode::kNamed) || index == owner.folder) return;
            if (d.fileType && d.fileType != fileTypeOfMode(n.mode)) return;
            addJournalName(d, owner.folder, index);
        });
    }
    // Deleted folders named here: their blocks on the volume may hold more.
    walkDeletedFolders();
}

}  // namespace vel
