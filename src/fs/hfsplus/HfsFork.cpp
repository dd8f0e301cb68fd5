#include "fs/hfsplus/HfsFork.h"

#include <algorithm>
#include <cstring>

namespace vel {

namespace {
// Appends extents up to the first empty one; returns the blocks added.
std::uint64_t appendExtents(std::span<const hfs::Extent> from, HfsForkExtents& to) {
    std::uint64_t added = 0;
    for (const hfs::Extent& e : from) {
        if (e.blockCount == 0) break;
        to.extents.push_back(e);
        added += e.blockCount;
    }
    to.blocks += added;
    return added;
}
}  // namespace

HfsForkExtents mapFork(std::span<const hfs::Extent> first, std::uint32_t totalBlocks,
                       std::uint32_t fileId, std::uint8_t forkType,
                       const HfsOverflowMap& overflow) {
    HfsForkExtents f;
    appendExtents(first, f);
    while (f.blocks < totalBlocks && f.blocks <= UINT32_MAX) {
        auto it = overflow.find({forkType, fileId, static_cast<std::uint32_t>(f.blocks)});
        if (it == overflow.end() || appendExtents(it->second, f) == 0) break;
    }
    f.complete = f.blocks >= totalBlocks;
    return f;
}

HfsForkReader::HfsForkReader(const readWriteInterface* reader, std::uint32_t blockSize,
                             std::uint64_t volumeBlocks, std::vector<hfs::Extent> extents)
    : reader_(reader),
      blockSize_(blockSize),
      volumeBlocks_(volumeBlocks),
      extents_(std::move(extents)) {
    blockStarts_.reserve(extents_.size() + 1);
    std::uint64_t at = 0;
    bool inside = true;
    for (const hfs::Extent& e : extents_) {
        blockStarts_.push_back(at);
        at += e.blockCount;
        inside = inside && e.startBlock != 0 && e.startBlock < volumeBlocks_ &&
                 e.blockCount <= volumeBlocks_ - e.startBlock;
        if (inside) readable_ = at * blockSize_;
    }
    blockStarts_.push_back(at);
}

std::int64_t HfsForkReader::volumeOffset(std::uint64_t offset) const {
    if (blockSize_ == 0 || offset >= length()) return -1;
    std::uint64_t block = offset / blockSize_;
    auto it = std::upper_bound(blockStarts_.begin(), blockStarts_.end() - 1, block);
    std::size_t i = static_cast<std::size_t>(it - blockStarts_.begin()) - 1;
    std::uint64_t volumeBlock = extents_[i].startBlock + (block - blockStarts_[i]);
    if (volumeBlock >= volumeBlocks_) return -1;
    return static_cast<std::int64_t>(volumeBlock * blockSize_ + offset % blockSize_);
}

bool HfsForkReader::read(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) const {
    std::memset(buffer, 0, count);
    if (blockSize_ == 0 || !reader_) return false;
    bool whole = true;
    while (count > 0) {
        if (offset >= length()) return false;
        std::uint64_t block = offset / blockSize_;
        auto it = std::upper_bound(blockStarts_.begin(), blockStarts_.end() - 1, block);
        std::size_t i = static_cast<std::size_t>(it - blockStarts_.begin()) - 1;
        const hfs::Extent& e = extents_[i];
        // Contiguous bytes left in this extent from offset.
        std::uint64_t inExtent = (blockStarts_[i + 1] * blockSize_) - offset;
        std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({count, inExtent, std::uint64_t{1} << 30}));
        std::uint64_t volumeBlock = e.startBlock + (block - blockStarts_[i]);
        std::uint64_t lastBlock = volumeBlock + (offset % blockSize_ + n - 1) / blockSize_;
        if (lastBlock >= volumeBlocks_) {
            whole = false;  // an extent past the volume's end: nothing there to read
        } else {
            auto at = static_cast<std::int64_t>(volumeBlock * blockSize_ + offset % blockSize_);
            if (!reader_->readAt(at, buffer, n)) whole = false;
        }
        buffer += n;
        offset += n;
        count -= n;
    }
    return whole;
}

}  // namespace vel
