#pragma once
// A fork's bytes through its extents: the eight of its record, then its records in the
// extents-overflow tree, mapped from fork offsets to volume offsets.
#include <cstdint>
#include <span>
#include <vector>

#include "device/readWriteInterface.h"
#include "fs/hfsplus/HfsCatalog.h"

namespace vel {

struct HfsForkExtents {
    std::vector<hfs::Extent> extents;  // in fork order
    std::uint64_t blocks = 0;          // their block count
    bool complete = false;             // they cover the fork's total blocks
};

// The extents of a fork of totalBlocks blocks whose record holds first: those of first up to the
// first empty one, then the overflow records keyed by (fork type, file ID, blocks so far) until
// totalBlocks are covered or a record is missing. Each record must add blocks, so the lookups end.
HfsForkExtents mapFork(std::span<const hfs::Extent> first, std::uint32_t totalBlocks,
                       std::uint32_t fileId, std::uint8_t forkType, const HfsOverflowMap& overflow);

class HfsForkReader {
  public:
    HfsForkReader() = default;
    // volumeBlocks bounds every extent: blocks past the volume read as zeros and count as failed.
    HfsForkReader(const readWriteInterface* reader, std::uint32_t blockSize,
                  std::uint64_t volumeBlocks, std::vector<hfs::Extent> extents);

    // Bytes the extents cover.
    std::uint64_t length() const {
        return blockStarts_.empty() ? 0 : blockStarts_.back() * blockSize_;
    }
    // Bytes from the fork's start up to the first extent that leaves the volume.
    std::uint64_t readableLength() const { return readable_; }
    // Volume byte offset of fork byte offset; -1 outside the extents.
    std::int64_t volumeOffset(std::uint64_t offset) const;
    // Reads count bytes at fork offset. Bytes outside the extents or the volume, and bytes that
    // could not be read, are zero and make the result false.
    bool read(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) const;

  private:
    const readWriteInterface* reader_ = nullptr;
    std::uint32_t blockSize_ = 0;
    std::uint64_t volumeBlocks_ = 0;
    std::vector<hfs::Extent> extents_;
    std::vector<std::uint64_t> blockStarts_;  // fork block of each extent's start; then the total
    std::uint64_t readable_ = 0;
};

}  // namespace vel
