#include "fs/ext/ext2Class.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/Text.h"
#include "scan/Formats.h"

namespace vel {

using namespace extfmt;

namespace {
constexpr std::uint32_t kReadChunk = 1u << 20;
// Status lines for every folder would flood the screen; one in this many is shown.
constexpr std::uint64_t kFolderStatusEvery = 64;
constexpr std::uint64_t kLinkStatusEvery = 4096;

HostTime hostTime(const UnixTime& t) {
    return {t.seconds, t.nanoseconds};
}

std::string format(const char* pattern, std::uint64_t a, std::uint64_t b) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return text;
}

bool isFastSymlink(const ExtInode& n) {
    Inode i;
    i.mode = n.mode;
    i.flags = n.flags;
    i.size = n.size;
    std::memcpy(i.block, n.block, sizeof i.block);
    return extfmt::isFastSymlink(i);
}

std::string permissionText(std::uint16_t mode) {
    static const char* const kPieces[9] = {"-OE", "-OW", "-OR", "-GE", "-GW",
                                           "-GR", "-UE", "-UW", "-UR"};
    std::string text;
    for (int bit = 0; bit < 9; ++bit)
        if (mode & (1u << bit)) text += kPieces[bit];
    return text;
}
}  // namespace

ext2Class::ext2Class(VolumeDescriptor descriptor, ParserOptions options)
    : VolumeParser(std::move(descriptor), std::move(options)) {
    volumeBytes_ =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, sizeTextMiB(volume.sizeText))) *
        1048576;
}

WorkerResult ext2Class::runWorker(int scanMode) {
    WorkerResult result;
    if (scanMode != 1) {
        result.started = false;
        return result;
    }
    openVolume();
    volumeBytes_ =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, sizeTextMiB(volume.sizeText))) *
        1048576;
    if (volumeBytes_ != 0 && findSuperblock() && readGroupDescriptors()) {
        if (std::string remark = superblockRemark(); !remark.empty()) {
            result.remarks.push_back(remark);
            report().setStatusText(remark);
        }
        readInodeTables();
        if (readJournal()) inodesFromJournal();
        walkDirectories();
        namesFromJournal();
        buildEntryMap();
        linkChildren();
        fillRootNodes();
        if (journalFiles_ != 0) {
            const std::string text = std::to_string(journalFiles_) +
                                     " deleted files and folders recovered from the journal";
            result.remarks.push_back(text);
            report().setStatusText(text);
        }
    } else if (!superblock_) {
        result.remarks.push_back(
            "no ext superblock at the start of the volume, nor a copy found further on");
    } else {
        result.remarks.push_back("the ext group descriptors could not be read");
    }
    addPlaceholders();
    return result;
}

std::string ext2Class::superblockRemark() const {
    if (!superblock_) return {};
    std::string remark;
    if (superblock_->blockGroupNr != 0)
        remark = "superblock damaged: read from its backup copy at sector " +
                 std::to_string((fsOffset_ + superblock_->copyOffset()) / 512) + " of the volume";
    if (fsOffset_ != 0)
        remark += std::string(remark.empty() ? "the" : "; the") + " file system starts at sector " +
                  std::to_string(fsOffset_ / 512) + " of the volume";
    return remark;
}

bool ext2Class::openVolume() {
    return reader != nullptr;
}

// --- Superblock and descriptors ----------------------------------------------------------------

bool ext2Class::findSuperblock() {
    superblock_.reset();
    fsOffset_ = 0;
    if (!reader || volumeBytes_ <= 1536) return false;
    std::uint8_t primary[kSuperblockSize] = {};
    if (reader->readAt(kSuperblockOffset, primary, sizeof primary)) {
        if (acceptSuperblock(primary, kSuperblockOffset)) return true;
    } else {
        ++failedReads_;
    }
    // The primary copy is damaged, or the volume does not start where it was said to: a copy
    // further on (a group's backup, or the primary of a shifted volume) still gives the geometry.
    report().setStatusText("searching for the ext superblock....");
    constexpr std::uint64_t kChunk = kReadChunk;
    std::vector<std::uint8_t> chunk(kChunk + kSuperblockSize);
    report().setProgressRange(static_cast<std::int64_t>(volumeBytes_ / kChunk + 1));
    std::uint64_t k = 0;
    for (std::uint64_t pos = kSuperblockOffset + 512; pos + kSuperblockSize <= volumeBytes_;
         pos += kChunk, ++k) {
        if (stopRequested.requested()) return false;
        if (k % 16 == 0) report().setProgressPosition(static_cast<std::int64_t>(k));
        // The chunk reaches one superblock past its end, so no copy is split between chunks.
        const auto n =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk.size(), volumeBytes_ - pos));
        std::fill(chunk.begin(), chunk.end(), 0);
        if (!reader->readAt(static_cast<std::int64_t>(pos), chunk.data(), n)) ++failedReads_;
        for (std::uint64_t at = 0; at < kChunk && at + kSuperblockSize <= n; at += 512) {
            if (le16(chunk.data() + at + sb::kMagic) == kMagic &&
                acceptSuperblock(chunk.data() + at, pos + at))
                return true;
        }
    }
    return false;
}

bool ext2Class::acceptSuperblock(const std::uint8_t* bytes, std::uint64_t offset) {
    auto parsed = parseSuperblock(ByteView(bytes, kSuperblockSize));
    if (!parsed) return false;
    // The copy's group tells where its file system starts.
    const std::uint64_t expected = parsed->copyOffset();
    if (offset < expected) return false;
    superblock_ = parsed;
    fsOffset_ = offset - expected;
    if (offset == kSuperblockOffset) return true;
    // A copy found by searching must also lead to a descriptor table that fits the volume.
    if (readDescriptorTable() && usable(0)) return true;
    superblock_.reset();
    fsOffset_ = 0;
    groups_.clear();
    return false;
}

bool ext2Class::readGroupDescriptors() {
    return superblock_ && readDescriptorTable();
}

bool ext2Class::readDescriptorTable() {
    groups_.clear();
    if (!superblock_) return false;
    const Superblock& s = *superblock_;
    const std::uint32_t perBlock = s.descriptorsPerBlock();
    const std::uint32_t tableBlocks = (s.groupCount + perBlock - 1) / perBlock;
    // A real descriptor table lies inside the volume; a larger group count is a damaged
    // superblock, and trusting it would allocate and read without end.
    if (std::uint64_t{tableBlocks} * s.blockSize > sourceBytes()) return false;
    groups_.reserve(s.groupCount);
    std::vector<std::uint8_t> block(s.blockSize);
    for (std::uint32_t m = 0; m < tableBlocks; ++m) {
        const std::uint32_t firstGroup = m * perBlock;
        // The table after the copy that was found, else the primary, else the first backup.
        bool read = false;
        std::uint32_t tried[3] = {s.blockGroupNr, 0, 1};
        for (int t = 0; t < 3 && !read; ++t) {
            if ((t > 0 && tried[t] == s.blockGroupNr) || tried[t] >= s.groupCount) continue;
            if (t == 2 && !s.groupHasSuperblock(1)) continue;
            read = readBlocks(s.descriptorBlock(firstGroup, tried[t]), 1, block.data());
        }
        if (!read) std::fill(block.begin(), block.end(), 0);
        for (std::uint32_t i = 0; i < perBlock && firstGroup + i < s.groupCount; ++i)
            groups_.push_back(parseGroupDescriptor(block.data() + i * s.descSize, s.descSize));
    }
    for (std::uint32_t g = 0; g < s.groupCount; ++g)
        if (usable(g)) return true;
    return false;
}

bool ext2Class::usable(std::uint32_t group) const {
    if (!superblock_ || group >= groups_.size()) return false;
    const Superblock& s = *superblock_;
    const std::uint64_t table = groups_[group].inodeTable;
    const std::uint64_t tableBlocks =
        blocksForSize(std::uint64_t{s.inodesPerGroup} * s.inodeSize, s.blockSize);
    return table != 0 && table < s.blockCount && tableBlocks <= s.blockCount - table;
}

std::uint32_t ext2Class::usedInodes(std::uint32_t group) const {
    const Superblock& s = *superblock_;
    std::uint32_t count = s.inodesPerGroup;
    const std::uint64_t first = std::uint64_t{group} * s.inodesPerGroup;
    if (first >= s.inodeCount) return 0;
    count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, s.inodeCount - first));
    // Never-used inodes at the table's end are left out where the volume keeps that count.
    if (s.hasGroupChecksums()) {
        const GroupDescriptor& d = groups_[group];
        if (d.flags & kGroupInodeUninit) return 0;
        if (d.itableUnused <= s.inodesPerGroup)
            count = std::min(count, s.inodesPerGroup - d.itableUnused);
    }
    return count;
}

// --- Reading -----------------------------------------------------------------------------------

bool ext2Class::readBlocks(std::uint64_t block, std::uint32_t count, std::uint8_t* buffer) const {
    if (!superblock_) return false;
    const Superblock& s = *superblock_;
    const std::uint64_t bytes = std::uint64_t{count} * s.blockSize;
    std::memset(buffer, 0, bytes);
    const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!reader || block >= s.blockCount || count > s.blockCount - block ||
        bytes > std::numeric_limits<std::uint32_t>::max() ||
        block > (limit - fsOffset_) / s.blockSize - count) {
        ++failedReads_;
        return false;
    }
    return readRange(fsOffset_ + block * s.blockSize, buffer, static_cast<std::uint32_t>(bytes));
}

std::uint64_t ext2Class::sourceBytes() const {
    const auto size = static_cast<std::uint64_t>(std::max<std::int64_t>(0, reader->byteSize()));
    return size > fsOffset_ ? size - fsOffset_ : 0;
}

bool ext2Class::readRange(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t bytes) const {
    // The source retries a failed read in pieces; only what stays unreadable is zeros.
    if (reader->readAt(static_cast<std::int64_t>(offset), buffer, bytes)) return true;
    ++failedReads_;
    return false;
}

std::vector<std::uint8_t> ext2Class::readInode(std::uint32_t number) const {
    if (!superblock_ || !reader || number == 0 || number > superblock_->inodeCount) return {};
    const Superblock& s = *superblock_;
    const std::uint32_t group = (number - 1) / s.inodesPerGroup;
    const std::uint32_t index = (number - 1) % s.inodesPerGroup;
    if (!usable(group)) return {};
    const std::uint64_t offset =
        fsOffset_ + groups_[group].inodeTable * s.blockSize + std::uint64_t{index} * s.inodeSize;
    std::vector<std::uint8_t> bytes(s.inodeSize);
    if (!reader->readAt(static_cast<std::int64_t>(offset), bytes.data(), s.inodeSize)) {
        ++failedReads_;
        return {};
    }
    return bytes;
}

MapLimits ext2Class::limitsFor(std::uint64_t size) const {
    MapLimits l;
    if (!superblock_) return l;
    l.blockSize = superblock_->blockSize;
    l.blockCount = superblock_->blockCount;
    l.logicalEnd = blocksForSize(size, l.blockSize);
    return l;
}

bool ext2Class::blocksFree(const BlockRun& run, BitmapCache* cache) const {
    if (!superblock_) return false;
    const Superblock& s = *superblock_;
    BitmapCache local;
    BitmapCache& c = cache ? *cache : local;
    for (std::uint64_t b = run.physical; b < run.physical + run.count; ++b) {
        if (b < s.firstDataBlock) return false;
        const std::uint64_t rel = b - s.firstDataBlock;
        const std::uint64_t group = rel / s.blocksPerGroup;
        if (group >= groups_.size()) return false;
        const GroupDescriptor& d = groups_[group];
        // A group whose bitmap was never written has handed out no blocks.
        if (s.hasGroupChecksums() && (d.flags & kGroupBlockUninit)) continue;
        if (group != c.group) {
            c.bits.resize(s.blockSize);
            c.group = group;
            if (!readBlocks(d.blockBitmap, 1, c.bits.data())) c.bits.clear();
        }
        const std::uint64_t bit = rel % s.blocksPerGroup / s.clusterRatio;
        if (bit / 8 >= c.bits.size() || (c.bits[bit / 8] & (1u << (bit % 8)))) return false;
    }
    return true;
}

ReadBlock ext2Class::blockReader() const {
    return
        [this](std::uint64_t block, std::uint8_t* buffer) { return readBlocks(block, 1, buffer); };
}

// --- Inode tables ------------------------------------------------------------------------------

bool ext2Class::isSystemInode(std::uint32_t number) const {
    const Superblock& s = *superblock_;
    return number == s.journalInode || number == s.usrQuotaInode || number == s.grpQuotaInode ||
           number == s.prjQuotaInode || number == s.orphanFileInode;
}

void ext2Class::keepInode(std::uint32_t number, const std::uint8_t* bytes) {
    const Superblock& s = *superblock_;
    if (le16(bytes + ino::kMode) == 0) return;  // never used, or wiped
    // The volume's own inodes are not files of the user.
    if ((number < s.firstInode && number != kRootInode) || isSystemInode(number)) return;
    const Inode n = decodeInode(bytes, s.inodeSize, s.hasLargeDir());
    if (n.flags & kFlagEaInode) return;  // a large attribute value
    const std::uint16_t type = n.type();
    if (type != kTypeRegular && type != kTypeDirectory && type != kTypeSymlink) return;
    map_.addInode(ExtInode::from(number, n));
}

void ext2Class::readInodeTables() {
    map_.clear();
    if (!superblock_) return;
    const Superblock& s = *superblock_;
    report().setProgressRange(s.groupCount);
    std::vector<std::uint8_t> buffer(kReadChunk);
    const std::uint32_t perChunk = kReadChunk / s.inodeSize;
    // Inode tables do not overlap, so together they fit in the volume; more means descriptors
    // that point again and again at the same blocks.
    const std::uint64_t available = sourceBytes();
    std::uint64_t tableBytes = 0;
    for (std::uint32_t g = 0; g < s.groupCount; ++g) {
        if (stopRequested.requested()) break;
        report().setStatusText(format("parsing group %llu  of %llu ", g + 1, s.groupCount));
        report().setProgressPosition(g + 1);
        if (!usable(g)) continue;
        const std::uint32_t count = usedInodes(g);
        // Tables past the end of a truncated image read as zeros: nothing to keep.
        if (groups_[g].inodeTable * s.blockSize >= available) continue;
        tableBytes += std::uint64_t{count} * s.inodeSize;
        if (tableBytes > available) break;
        const std::uint64_t table = fsOffset_ + groups_[g].inodeTable * s.blockSize;
        for (std::uint32_t done = 0; done < count;) {
            const std::uint32_t n = std::min(count - done, perChunk);
            const std::uint32_t bytes = n * s.inodeSize;
            std::fill(buffer.begin(), buffer.begin() + bytes, 0);
            // An unreadable block reads as zeros: its inodes look unused and are left out.
            readRange(table + std::uint64_t{done} * s.inodeSize, buffer.data(), bytes);
            const std::uint32_t base = g * s.inodesPerGroup + done + 1;
            for (std::uint32_t i = 0; i < n; ++i)
                keepInode(base + i, buffer.data() + std::size_t{i} * s.inodeSize);
            done += n;
        }
    }
    map_.tableInodes = map_.inodes.size();
}

// --- Directory walk ----------------------------------------------------------------------------

void ext2Class::progressStatus(const char* pattern, std::uint64_t a, std::uint64_t b) {
    report().setStatusText(format(pattern, a, b));
    report().setProgressPosition(static_cast<std::int64_t>(a));
}

std::int32_t ext2Class::addFolderEntry(const std::string& name, std::uint32_t parentIndex,
                                       std::uint32_t inodeIndex, std::uint8_t flags) {
    ExtEntry e;
    e.type = kFtDirectory;
    e.parentIndex = parentIndex;
    e.inodeIndex = inodeIndex;
    e.inode = map_.inodes[inodeIndex].number;
    e.flags = flags;
    const std::int32_t at = map_.addEntry(e, name);
    map_.inodes[inodeIndex].owner = at;
    return at;
}

bool ext2Class::walkDirectories() {
    liveFolders_.clear();
    deletedNames_.clear();
    directoryBlocks_.clear();
    rootEntry_ = orphanEntry_ = kNoExtEntry;
    if (!superblock_) return false;
    foldersWalked_ = 0;
    foldersKnown_ = 0;
    for (std::size_t i = 0; i < map_.tableInodes; ++i)
        foldersKnown_ += map_.inodes[i].isDirectory();
    report().setProgressRange(static_cast<std::int64_t>(foldersKnown_));

    // The root folder stands for "ROOT"; a root inode that was lost is made up, so what is found
    // elsewhere can still be listed under it.
    rootInode_ = map_.findInode(kRootInode);
    if (rootInode_ == kNoExtInode || !map_.inodes[rootInode_].isDirectory()) {
        ExtInode made;
        made.number = kRootInode;
        made.mode = kTypeDirectory | 0755;
        made.state = ExtInode::kInUse | ExtInode::kWalked;
        rootInode_ = map_.addInode(made);
    }
    rootEntry_ = addFolderEntry("ROOT", kNoExtInode, rootInode_, 0);
    map_.inodes[rootInode_].state |= ExtInode::kNamed | ExtInode::kLiveNamed;
    liveFolders_.push_back(rootInode_);

    // Live folders first: a deleted folder's blocks may hold a live one now, and the block
    // guard gives each directory block to the first folder that reads it.
    for (std::size_t i = 0; i < liveFolders_.size() && !stopRequested.requested(); ++i)
        walkDirectory(liveFolders_[i], false);
    walkDeletedFolders();
    progressStatus("parsed inode entry %llu  of %llu ", foldersWalked_, foldersKnown_);
    return map_.entries.size() > 1;
}

void ext2Class::walkDeletedFolders() {
    for (std::size_t i = 0; i < deletedNames_.size() && !stopRequested.requested(); ++i) {
        const std::int32_t at = deletedNames_[i];
        const std::uint32_t index = map_.entries[static_cast<std::size_t>(at)].inodeIndex;
        if (index >= map_.inodes.size()) continue;
        ExtInode& n = map_.inodes[index];
        // Owned already (a live name, or an earlier deleted one), or a live folder now.
        if (n.owner != kNoExtEntry || (n.inUse() && (n.state & ExtInode::kLiveNamed))) continue;
        n.owner = at;
        walkDirectory(index, true);
    }
    deletedNames_.clear();
}

void ext2Class::walkDirectory(std::uint32_t dirIndex, bool deletedContext) {
    const Superblock& s = *superblock_;
    {
        ExtInode& d = map_.inodes[dirIndex];
        if (d.state & ExtInode::kWalked) return;
        d.state |= ExtInode::kWalked;
    }
    if (++foldersWalked_ % kFolderStatusEvery == 0)
        progressStatus("parsing inode entry %llu  of %llu ", foldersWalked_, foldersKnown_);
    // Copied: recording names appends records, and the deque keeps references, but not this.
    const ExtInode d = map_.inodes[dirIndex];
    DirBlockOptions options;
    options.hasFileType = s.hasFileType();
    options.inodeCount = s.inodeCount;
    options.blockSize = s.blockSize;
    options.hashedDirectory = d.flags & kFlagIndex;
    auto visit = [&](const DirEntry& e) { recordName(e, dirIndex, deletedContext); };

    if (d.flags & kFlagInlineData) {
        // The parent's number, then entries; more may follow in the inode's attribute space.
        DirBlockOptions inlineOptions = options;
        inlineOptions.hashedDirectory = false;
        walkDirectoryBlock(d.block + 4, kBlockAreaSize - 4, inlineOptions, visit);
        if (d.size > kBlockAreaSize) {
            std::vector<std::uint8_t> raw = readInode(d.number);
            if (!raw.empty()) {
                std::string_view more = inlineDataAttribute(raw.data(), s.inodeSize);
                walkDirectoryBlock(reinterpret_cast<const std::uint8_t*>(more.data()), more.size(),
                                   inlineOptions, visit);
            }
        }
        return;
    }

    std::vector<BlockRun> runs;
    mapBlocks(d.block, d.flags & kFlagExtents, limitsFor(d.size), mapReader(d),
              [&](const BlockRun& r) {
                  runs.push_back(r);
                  return true;
              });
    std::vector<std::uint8_t> buffer;
    std::vector<bool> fresh;
    // A deleted folder's blocks that are in use again belong to someone else: whatever they
    // hold now are not its names.
    const bool onlyFreeBlocks = !d.inUse();
    BitmapCache bitmaps;
    const std::uint32_t perChunk = std::max<std::uint32_t>(1, kReadChunk / s.blockSize);
    for (const BlockRun& run : runs) {
        if (run.unwritten) continue;  // reads as zeros: no entries
        for (std::uint64_t k = 0; k < run.count; k += perChunk) {
            const auto n =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(perChunk, run.count - k));
            // Each directory block is decoded once per scan, however often maps name it.
            fresh.assign(n, false);
            bool any = false;
            for (std::uint32_t j = 0; j < n; ++j) {
                const std::uint64_t block = run.physical + k + j;
                if (onlyFreeBlocks && !blocksFree({0, block, 1, false}, &bitmaps)) continue;
                any |= fresh[j] = directoryBlocks_.insert(block).second;
            }
            if (!any) continue;
            buffer.resize(std::size_t{n} * s.blockSize);
            // A block that cannot be read is zeros, which hold no entries.
            readBlocks(run.physical + k, n, buffer.data());
            for (std::uint32_t j = 0; j < n; ++j) {
                if (!fresh[j]) continue;
                options.firstBlock = run.logical + k + j == 0;
                walkDirectoryBlock(buffer.data() + std::size_t{j} * s.blockSize, s.blockSize,
                                   options, visit);
            }
        }
    }
}

void ext2Class::recordName(const DirEntry& d, std::uint32_t parentIndex, bool deletedContext) {
    if (d.name == "." || d.name == "..") return;
    if (d.inode > superblock_->inodeCount) return;
    ExtEntry e;
    e.inode = d.inode;
    e.parentIndex = parentIndex;
    bool deleted = d.deleted || deletedContext;
    if (deleted && journalNames_.count(std::uint64_t{parentIndex} << 32 | d.inode)) return;
    std::uint32_t index = d.inode ? map_.findInode(d.inode, lastFound_) : kNoExtInode;
    if (index != kNoExtInode) lastFound_ = index;
    const std::uint8_t inodeType =
        index != kNoExtInode ? fileTypeOfMode(map_.inodes[index].mode) : 0;
    if (d.deleted) {
        e.type = d.fileType ? d.fileType : inodeType;
        // The inode has been used for something else since.
        if (d.fileType && inodeType && d.fileType != inodeType) index = kNoExtInode;
    } else {
        e.type = inodeType ? inodeType : d.fileType;
    }
    if (e.type == 0) e.type = kFtRegular;  // a name whose inode is gone, without a type byte
    if (index != kNoExtInode) {
        ExtInode& n = map_.inodes[index];
        if (!n.inUse()) deleted = true;
        n.state |= ExtInode::kNamed;
        if (!deleted) n.state |= ExtInode::kLiveNamed;
    }
    e.inodeIndex = index;
    e.flags = deleted ? ExtEntry::kDeleted : 0;
    const std::int32_t at = map_.addEntry(e, d.name);
    if (e.type != kFtDirectory || index == kNoExtInode || !map_.inodes[index].isDirectory()) return;
    ExtInode& n = map_.inodes[index];
    if (deleted) {
        // Deleted names get their folder's children only after every live folder is known.
        deletedNames_.push_back(at);
    } else if (n.owner == kNoExtEntry) {
        n.owner = at;
        liveFolders_.push_back(index);
    }
}

// --- Entry map, links and the first level ------------------------------------------------------

void ext2Class::buildEntryMap() {
    report().setStatusText("clearing vector....");
    if (!superblock_ || rootEntry_ == kNoExtEntry) return;
    // A deleted name whose inode a live name gives now: the data is that live file's.
    for (ExtEntry& e : map_.entries) {
        if (!e.deleted() || e.inodeIndex >= map_.inodes.size()) continue;
        const ExtInode& n = map_.inodes[e.inodeIndex];
        if (n.inUse() && (n.state & ExtInode::kLiveNamed)) e.inodeIndex = kNoExtInode;
    }
    addOrphans();
    directoryBlocks_.clear();
    directoryBlocks_.rehash(0);
    liveFolders_.clear();
    liveFolders_.shrink_to_fit();
}

void ext2Class::addOrphans() {
    std::uint32_t orphanFolder = kNoExtInode;
    auto addOrphan = [&](std::uint32_t index) {
        if (orphanFolder == kNoExtInode) {
            ExtInode folder;
            folder.mode = kTypeDirectory | 0755;
            folder.state = ExtInode::kInUse | ExtInode::kWalked;
            orphanFolder = map_.addInode(folder);
            orphanEntry_ = addFolderEntry(kExtOrphanFolderName, rootInode_, orphanFolder, 0);
        }
        ExtInode& n = map_.inodes[index];
        n.state |= ExtInode::kNamed;
        ExtEntry e;
        e.inode = n.number;
        e.inodeIndex = index;
        e.parentIndex = orphanFolder;
        e.type = fileTypeOfMode(n.mode);
        e.flags = ExtEntry::kOrphan | (n.inUse() ? 0 : ExtEntry::kDeleted);
        return map_.addEntry(e, "OrphanFile-" + std::to_string(n.number));
    };
    // Folders first, each walked as soon as it is listed, so what they hold is found under them
    // rather than as orphans of its own.
    for (std::size_t i = 0; i < map_.tableInodes && !stopRequested.requested(); ++i) {
        ExtInode& n = map_.inodes[i];
        if (!n.isDirectory() || n.owner != kNoExtEntry || (n.state & ExtInode::kWalked)) continue;
        n.owner = addOrphan(static_cast<std::uint32_t>(i));
        walkDirectory(static_cast<std::uint32_t>(i), !n.inUse());
        walkDeletedFolders();
    }
    for (std::size_t i = 0; i < map_.tableInodes && !stopRequested.requested(); ++i) {
        const ExtInode& n = map_.inodes[i];
        if (n.isDirectory() || (n.state & ExtInode::kNamed)) continue;
        addOrphan(static_cast<std::uint32_t>(i));
    }
}

void ext2Class::linkChildren() {
    report().setStatusText("Maintaining Parent Child....");
    const std::size_t count = map_.entries.size();
    report().setProgressRange(static_cast<std::int64_t>(count));
    for (ExtInode& n : map_.inodes) n.firstChild = kNoExtEntry;
    // Each name goes to the front of its folder's list, last name first, so every list ends up
    // in the order the directories gave their names.
    for (std::size_t n = 0; n < count; ++n) {
        if (n % kLinkStatusEvery == 0) {
            if (stopRequested.requested()) break;
            report().setStatusText(
                format("Maintaining Parent Child for record %llu of %llu....", n, count));
            report().setProgressPosition(static_cast<std::int64_t>(n + 1));
        }
        const std::size_t i = count - 1 - n;
        ExtEntry& e = map_.entries[i];
        e.nextSibling = kNoExtEntry;
        if (!e.listed() || e.parentIndex >= map_.inodes.size() ||
            static_cast<std::int32_t>(i) == rootEntry_)
            continue;
        ExtInode& parent = map_.inodes[e.parentIndex];
        e.nextSibling = parent.firstChild;
        parent.firstChild = static_cast<std::int32_t>(i);
    }
}

void ext2Class::fillRootNodes() {
    report().setStatusText("filling root entries in  tree....");
    if (!resultsTree || rootEntry_ == kNoExtEntry) return;
    TreeItem top = insertVolumeRootItem();
    forEachChild(rootEntry_, [&](ItemData child) {
        insertChildItem(top, child, true, rootEntry_);
        return true;
    });
    resultsTree->expand(top);
}

// --- What the list and the save ask ----------------------------------------------------------

const ExtEntry* ext2Class::entry(ItemData e) const {
    return map_.validEntry(e) ? &map_.entries[static_cast<std::size_t>(e)] : nullptr;
}

bool ext2Class::isEntry(ItemData e) const {
    const ExtEntry* x = entry(e);
    return x && x->listed();
}

bool ext2Class::isFolder(ItemData e) const {
    const ExtEntry* x = entry(e);
    return x && x->isFolder();
}

bool ext2Class::hasChildren(ItemData e) const {
    const ExtEntry* x = entry(e);
    if (!x || !x->isFolder()) return false;
    const ExtInode* n = map_.inodeOf(*x);
    // A folder named twice shows its children under one name only, so no listing can loop.
    return n && n->owner == e && n->firstChild != kNoExtEntry;
}

std::string ext2Class::recordedName(ItemData e) const {
    const ExtEntry* x = entry(e);
    if (!x) return {};
    // Linux writes names in UTF-8 whatever the locale this runs in; other bytes are 8-bit text.
    std::string bytes(map_.name(*x));
    return isValidUtf8(bytes) ? bytes : ansiToUtf8(bytes);
}

bool ext2Class::isDeleted(ItemData e, ItemData) const {
    const ExtEntry* x = entry(e);
    return x && x->deleted();
}

void ext2Class::forEachChild(ItemData folder, const std::function<bool(ItemData)>& visit) const {
    if (!hasChildren(folder)) return;
    std::int32_t c = map_.inodeOf(*entry(folder))->firstChild;
    for (std::size_t steps = 0; map_.validEntry(c) && steps < map_.entries.size(); ++steps) {
        if (!visit(c)) return;
        c = map_.entries[static_cast<std::size_t>(c)].nextSibling;
    }
}

EntryColumns ext2Class::entryColumns(ItemData e) const {
    EntryColumns cols;
    const ExtEntry* x = entry(e);
    const ExtInode* n = x ? map_.inodeOf(*x) : nullptr;
    if (!n || n->number == 0) return cols;
    cols.created = dateText(unixToLocal(n->creationTime().seconds));
    cols.accessed = dateText(unixToLocal(n->accessTime().seconds));
    cols.modified = dateText(unixToLocal(n->modificationTime().seconds));
    cols.attributes = permissionText(n->mode);
    if ((n->state & ExtInode::kFromJournal) || (x->flags & ExtEntry::kJournalName))
        cols.source = "journal";
    return cols;
}

RecordedTimes ext2Class::recordedTimes(ItemData e) const {
    RecordedTimes t;
    const ExtEntry* x = entry(e);
    const ExtInode* n = x ? map_.inodeOf(*x) : nullptr;
    if (!n || n->number == 0) return t;
    t.accessed = hostTime(n->accessTime());
    t.modified = hostTime(n->modificationTime());
    // Small inodes have no creation time at all.
    if (n->created != 0 || (n->state & ExtInode::kCreatedExtra))
        t.created = hostTime(n->creationTime());
    return t;
}

std::uint64_t ext2Class::entrySize(ItemData e) const {
    const ExtEntry* x = entry(e);
    const ExtInode* n = x && !x->isFolder() ? map_.inodeOf(*x) : nullptr;
    return n ? n->size : 0;
}

std::string ext2Class::entrySizeText(ItemData e) const {
    return sizeText(static_cast<std::int64_t>(
        std::min<std::uint64_t>(entrySize(e), std::numeric_limits<std::int64_t>::max())));
}

bool ext2Class::writeEntry(ItemData e, EntryWriter& out) {
    const ExtEntry* x = entry(e);
    if (!x || x->isFolder() || !superblock_ || !reader) return false;
    // A name whose inode is gone or belongs to another file now: nothing of its data is known.
    const ExtInode* found = map_.inodeOf(*x);
    if (!found) return false;
    const ExtInode n = *found;
    out.setTimes(hostTime(n.accessTime()), hostTime(n.modificationTime()));
    const Superblock& s = *superblock_;

    if (isFastSymlink(n)) {
        // The target text, as a small file: a link is never made in the output folder.
        return out.write(n.block, static_cast<std::size_t>(n.size));
    }
    if (n.flags & kFlagInlineData) {
        const std::size_t first =
            static_cast<std::size_t>(std::min<std::uint64_t>(n.size, kBlockAreaSize));
        if (!out.write(n.block, first)) return false;
        std::uint64_t written = first;
        if (n.size > written) {
            std::vector<std::uint8_t> raw = readInode(n.number);
            std::string_view more =
                raw.empty() ? std::string_view() : inlineDataAttribute(raw.data(), s.inodeSize);
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(more.size(), n.size - written));
            if (!out.write(more.data(), take)) return false;
            written += take;
        }
        if (written == n.size) return true;
        out.writeZeros(n.size - written);
        return false;
    }

    const std::uint32_t bs = s.blockSize;
    const std::uint32_t perChunk = std::max<std::uint32_t>(1, kReadChunk / bs);
    std::vector<std::uint8_t> buffer(std::size_t{perChunk} * bs);
    std::uint64_t pos = 0;
    bool whole = true, mapped = false, taken = true;
    // Every run at its logical place: what lies between runs is a hole, written as zeros.
    auto writeRun = [&](const BlockRun& run) {
        const std::uint64_t start = run.logical * bs;
        if (start > pos) {
            if (!(taken = out.writeZeros(start - pos))) return false;
            pos = start;
        }
        // A deleted file's blocks that another file has taken since hold that file's data.
        if (!n.inUse() && !run.unwritten && !blocksFree(run)) whole = false;
        const std::uint64_t end = std::min(n.size, (run.logical + run.count) * bs);
        for (std::uint64_t block = run.physical; pos < end;) {
            const auto blocks = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(perChunk, (end - pos + bs - 1) / bs));
            const std::uint64_t bytes =
                std::min<std::uint64_t>(std::uint64_t{blocks} * bs, end - pos);
            if (run.unwritten) {
                taken = out.writeZeros(bytes);
            } else {
                // Unreadable blocks are written as zeros, in their place.
                if (!readBlocks(block, blocks, buffer.data())) whole = false;
                taken = out.write(buffer.data(), static_cast<std::size_t>(bytes));
            }
            if (!taken) return false;
            mapped = true;
            pos += bytes;
            block += blocks;
        }
        return true;
    };
    const MapResult m =
        mapBlocks(n.block, n.flags & kFlagExtents, limitsFor(n.size), mapReader(n), writeRun);
    if (!taken) return false;
    if (!m.complete || m.stopped) whole = false;
    // Deleted, and its block map cleared: the data cannot be found from the inode.
    if (!n.inUse() && !mapped) return false;
    if (pos < n.size && !out.writeZeros(n.size - pos)) return false;  // a hole up to the end
    return whole;
}

}  // namespace vel
