#include "fs/ext/ExtEntry.h"

#include <cstring>

namespace vel {

ExtInode ExtInode::from(std::uint32_t number, const extfmt::Inode& n) {
    ExtInode r;
    r.number = number;
    r.flags = n.flags;
    r.size = n.size;
    r.mode = n.mode;
    r.atime = n.atime.seconds;
    r.atimeExtra = n.atime.extra;
    r.mtime = n.mtime.seconds;
    r.mtimeExtra = n.mtime.extra;
    const extfmt::RawTime& created = n.hasCrtime ? n.crtime : n.ctime;
    r.created = created.seconds;
    r.createdExtra = created.extra;
    if (n.inUse()) r.state |= kInUse;
    if (n.atime.hasExtra) r.state |= kAtimeExtra;
    if (n.mtime.hasExtra) r.state |= kMtimeExtra;
    if (created.hasExtra) r.state |= kCreatedExtra;
    std::memcpy(r.block, n.block, sizeof r.block);
    return r;
}

std::uint32_t NameArena::add(std::string_view name) {
    if (used_ + name.size() > kPageSize) {
        pages_.push_back(std::make_unique_for_overwrite<char[]>(kPageSize));
        used_ = 0;
    }
    const auto start = static_cast<std::uint32_t>(((pages_.size() - 1) << kPageBits) | used_);
    if (!name.empty()) std::memcpy(pages_.back().get() + used_, name.data(), name.size());
    used_ += static_cast<std::uint32_t>(name.size());
    return start;
}

std::uint32_t ExtEntryMap::findInode(std::uint32_t number, std::uint32_t hint) const {
    if (hint < tableInodes) {
        for (std::size_t i = hint; i < tableInodes && i <= std::size_t{hint} + 1; ++i)
            if (inodes[i].number == number) return static_cast<std::uint32_t>(i);
    }
    std::size_t lo = 0, hi = tableInodes;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (inodes[mid].number < number)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == tableInodes || inodes[lo].number != number) return kNoExtInode;
    return static_cast<std::uint32_t>(lo);
}

}  // namespace vel
