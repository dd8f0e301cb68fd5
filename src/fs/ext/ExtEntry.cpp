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
        pages_.push_back(std::make_unique<char[]>(kPageSize));
        used_ = 0;
    }
    const auto start = static_cast<std::uint32_t>(((pages_.size() - 1) << kPageBits) | used_);
    if (!name.empty()) std::memcpy(pages_.back().get() + used_, name.data(), name.size());
    used_ += static_cast<std::uint32_t>(name.size());
    return start;
}

std::uint32_t ExtEntryMap::findInode(std::uint32_t number) const {
    auto end = inodes.begin() + static_cast<std::ptrdiff_t>(tableInodes);
    auto it = std::lower_bound(inodes.begin(), end, number,
                               [](const ExtInode& n, std::uint32_t v) { return n.number < v; });
    if (it == end || it->number != number) return kNoExtInode;
    return static_cast<std::uint32_t>(it - inodes.begin());
}

}  // namespace vel
